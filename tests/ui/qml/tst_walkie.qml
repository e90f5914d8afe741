import QtQuick
import QtTest
import Merrowfax

// The walkie bars of a conversation and of the calls tab: press and release
// by pointer and by the space bar, the partner the calls tab talks to, the
// line that names who is heard; in a desktop's settings the strangers switch
// but no lock-screen switch.
// The pointer needs a visible item to press: the screens go into one.
Item {
    id: screen
    width: 402
    height: 844

    TestCase {
        id: test
        name: "Walkie"
        when: windowShown

        readonly property string alice: "44-1-555-0001"
        readonly property string bob: "1-1-222-2222"

        Component {
            id: conversation
            ConversationView { app: seededApp; number: test.alice; width: 402; height: 844 }
        }
        Component {
            id: calls
            CallsView { app: seededApp; width: 402; height: 844 }
        }
        Component {
            id: settings
            SettingsView { app: seededApp; width: 402; height: 844 }
        }

        function cleanup() {
            if (seededApp.calls.holdingTalk) seededApp.calls.releaseWalkieBar()
            seededApp.dismissAlert()
        }

        function test_a_the_calls_bar_without_a_partner_says_where_to_start() {
            const view = createTemporaryObject(calls, screen)
            const button = findChild(view, "talkButton")
            compare(findChild(view, "walkieLine").text, "Walkie plays loud on the speaker.")
            mousePress(button)
            compare(seededApp.alertMessage, "Open a contact and hold Walkie to talk to that person.")
            verify(!seededApp.calls.holdingTalk)
            mouseRelease(button)
            verify(!seededApp.calls.holdingTalk)
        }

        function test_b_a_conversation_talks_while_held_by_the_pointer() {
            seededPeers.openLine()
            const view = createTemporaryObject(conversation, screen)
            const button = findChild(view, "talkButton")
            compare(button.text, "Hold to talk")
            mousePress(button)
            verify(seededApp.calls.holdingTalk)
            compare(seededApp.calls.talkTarget, test.alice)
            compare(button.text, "Talking")
            mouseRelease(button)
            verify(!seededApp.calls.holdingTalk)
            compare(seededApp.calls.talkTarget, "")
            compare(button.text, "Hold to talk")
        }

        function test_c_the_space_bar_holds_the_talk_until_it_is_let_go_or_focus_leaves() {
            seededPeers.openLine()
            const view = createTemporaryObject(conversation, screen)
            const button = findChild(view, "talkButton")
            button.forceActiveFocus()
            keyPress(Qt.Key_Space)
            verify(seededApp.calls.holdingTalk)
            keyPress(Qt.Key_Space)  // a second press while held changes nothing
            verify(seededApp.calls.holdingTalk)
            keyRelease(Qt.Key_Space)
            verify(!seededApp.calls.holdingTalk)

            keyPress(Qt.Key_Space)
            verify(seededApp.calls.holdingTalk)
            findChild(view, "draft").forceActiveFocus()
            verify(!seededApp.calls.holdingTalk, "leaving the control lets go")
            keyRelease(Qt.Key_Space)
            verify(!seededApp.calls.holdingTalk)
        }

        function test_d_the_calls_bar_talks_to_the_last_partner() {
            seededPeers.openLine()
            // Bob keys up: he is the last partner, and the line says he is
            // heard. Only a contact is either.
            verify(seededApp.people.addContact("Bob's Bakery", test.bob))
            const view = createTemporaryObject(calls, screen)
            seededPeers.talk(test.bob, true)
            compare(findChild(view, "walkieLine").text, "Bob's Bakery on the speaker")
            seededPeers.talk(test.bob, false)
            compare(seededApp.calls.walkiePartner, test.bob)

            const button = findChild(view, "talkButton")
            mousePress(button)
            verify(seededApp.calls.holdingTalk)
            compare(seededApp.calls.talkTarget, test.bob)
            compare(button.text, "Talking")
            mouseRelease(button)
            verify(!seededApp.calls.holdingTalk)
            compare(seededApp.alertMessage, "")
            seededApp.people.deleteContact(test.bob)
        }

        function test_e_a_desktop_has_no_lock_screen_switch_but_keeps_strangers_off() {
            const view = createTemporaryObject(settings, screen)
            compare(seededApp.deviceLabel, "Mac")
            verify(!findChild(view, "lockScreenSection").visible)
            // The switch that keeps strangers off is there on every device.
            const contactsOnly = findChild(view, "walkieContactsOnly")
            verify(contactsOnly.visible)
            const before = seededApp.calls.walkieContactsOnly
            compare(contactsOnly.checked, before)
            for (const expected of [!before, before]) {
                contactsOnly.toggle()
                contactsOnly.toggled()
                compare(seededApp.calls.walkieContactsOnly, expected)
                compare(contactsOnly.checked, expected)
            }
        }
    }
}
