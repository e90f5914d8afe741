import QtQuick
import QtQuick.Controls
import QtTest
import Merrowfax

// A conversation's menu, pickers and recordings, and the delete dialog's choices.
TestCase {
    id: test
    name: "Chats"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: conversation
        ConversationView { app: seededApp; number: "44-1-555-0001"; width: 402; height: 844 }
    }
    Component {
        id: bobsChat
        ConversationView { app: seededApp; number: "1-1-222-2222"; width: 402; height: 844 }
    }
    Component {
        id: stack
        StackView { width: 402; height: 844 }
    }
    Component {
        id: deleteDialog
        DeleteMessageDialog { width: 360 }
    }

    Component {
        id: chatList
        ChatsView { app: seededApp; width: 402; height: 844 }
    }

    // Runs first (by name and place): Bob's seeded message is still unread.
    function test_a_chat_on_screen_is_read() {
        const badges = (list) => {
            const rows = findChild(list, "threadList").contentItem.children
            let shown = []
            for (let i = 0; i < rows.length; ++i) {
                const badge = findChild(rows[i], "unreadBadge")
                if (badge && badge.visible) shown.push(badge.text)
            }
            return shown
        }
        const list = createTemporaryObject(chatList, test.parent)
        tryCompare(seededApp.chats, "unreadCount", 1)
        tryVerify(() => badges(list).length === 1)
        compare(badges(list)[0], "1")

        // Held but not shown: still unread. Shown in the window: read.
        createTemporaryObject(bobsChat, test)
        compare(seededApp.chats.unreadCount, 1)
        const view = createTemporaryObject(stack, test.parent)
        view.push(bobsChat, {}, StackView.Immediate)
        tryCompare(seededApp.chats, "unreadCount", 0)
        tryVerify(() => badges(list).length === 0)
    }

    function test_the_file_pickers_open() {
        // Without a desktop's own dialog the window's QML one is used; it
        // needs the folder-list module installed.
        const view = createTemporaryObject(conversation, test)
        for (const name of ["photoDialog", "fileDialog"]) {
            const dialog = findChild(view, name)
            verify(dialog, name)
            dialog.open()
            tryVerify(() => dialog.visible, 3000, name)
            dialog.close()
        }
    }

    function test_delete_offers_everyone_only_for_own_messages() {
        const own = createTemporaryObject(deleteDialog, test, { own: true })
        own.open()
        tryVerify(() => own.opened)
        verify(findChild(own.contentItem, "deleteForEveryone").visible)
        compare(findChild(own.contentItem, "deleteExplanation").text,
                "Delete for everyone removes this message from this chat on both phones.")
        let chosen = ""
        own.forEveryone.connect(() => chosen = "everyone")
        findChild(own.contentItem, "deleteForEveryone").clicked()
        compare(chosen, "everyone")
        tryVerify(() => !own.visible)

        const theirs = createTemporaryObject(deleteDialog, test, { own: false })
        theirs.open()
        tryVerify(() => theirs.opened)
        verify(!findChild(theirs.contentItem, "deleteForEveryone").visible)
        compare(findChild(theirs.contentItem, "deleteExplanation").text,
                "This message will be removed from this phone only.")
    }

    function test_the_title_and_block_item_follow_the_contact() {
        const bob = "1-1-222-2222"
        const view = createTemporaryObject(bobsChat, test)
        const header = findChild(view, "chatHeader")
        const menu = findChild(view, "chatMenu")
        menu.open()
        tryVerify(() => menu.opened)
        const block = findChild(menu.contentItem, "blockItem")
        verify(block)
        compare(header.title, "Bob's Bakery")  // the directory's name
        compare(block.text, "Block")

        seededApp.people.addContact("Bob Baker", bob)
        compare(header.title, "Bob Baker")
        seededApp.people.toggleBlocked(bob)
        compare(block.text, "Unblock")
        seededApp.people.toggleBlocked(bob)
        compare(block.text, "Block")
        seededApp.people.deleteContact(bob)
        compare(header.title, "Bob's Bakery")
        menu.close()
    }

    function test_a_stranger_can_be_blocked_but_has_no_contact_to_delete() {
        const bob = "1-1-222-2222"
        const view = createTemporaryObject(bobsChat, test)
        const menu = findChild(view, "chatMenu")
        menu.open()
        tryVerify(() => menu.opened)
        const remove = findChild(menu.contentItem, "deleteContactItem")
        const block = findChild(menu.contentItem, "blockItem")
        verify(!remove.visible)
        compare(remove.height, 0)
        block.triggered()  // as a tap does
        compare(block.text, "Unblock")
        verify(seededApp.people.isBlocked(bob))
        verify(remove.visible)  // kept as a blocked contact
        block.triggered()
        compare(block.text, "Block")
        verify(!seededApp.people.isBlocked(bob))
        seededApp.people.deleteContact(bob)
        verify(!remove.visible)
    }

    function test_a_recordings_row_plays_it() {
        const view = createTemporaryObject(conversation, test)
        const list = findChild(view, "messageList")
        let walkie = null
        tryVerify(() => {
            list.positionViewAtEnd()
            const rows = list.contentItem.children
            for (let i = 0; i < rows.length; ++i) {
                if (rows[i].kind === "audio" && rows[i].text === "Walkie") walkie = rows[i]
            }
            return walkie !== null
        })
        // The seeded recording has no file: pressing it (as a tap does) tries,
        // and says so.
        walkie.playRequested(walkie.messageId)
        tryCompare(seededApp, "alertMessage", "That recording could not be played.")
    }

    function test_a_voice_message_records_in_its_own_chat_until_the_chat_is_left() {
        const alice = "44-1-555-0001"
        // Shown in the window: a TestCase and what it holds are never visible.
        const view = createTemporaryObject(stack, test.parent)
        const chat = view.push(conversation, {}, StackView.Immediate)
        const other = createTemporaryObject(bobsChat, test)
        const button = findChild(chat, "voiceButton")
        button.clicked()
        compare(seededApp.chats.recordingFor, alice)
        compare(button.symbol, "stop.circle.fill")
        compare(findChild(other, "voiceButton").symbol, "mic.fill")

        // Covered by another page: the recording ends.
        view.push(bobsChat, {}, StackView.Immediate)
        tryCompare(seededApp.chats, "recordingFor", "")
        compare(button.symbol, "mic.fill")

        // Its tab left: the same.
        view.pop(StackView.Immediate)
        button.clicked()
        compare(seededApp.chats.recordingFor, alice)
        view.visible = false
        tryCompare(seededApp.chats, "recordingFor", "")
    }
}
