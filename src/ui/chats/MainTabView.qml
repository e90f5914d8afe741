import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../calls"
import "../contacts"
import "../conversation"
import "../directory"
import "../privacy"
import "../settings"

// The five tabs in one bar at the bottom, each with its own navigation.
Page {
    id: tabsView
    required property var app
    property int tab: 0
    objectName: "tabs"

    // Navigation a caller may ask for (another tab, a chat, the policy).
    function openChat(number) {
        tab = 0
        chatsStack.pop(null)
        chatsStack.push(conversation, { number: number })
    }
    function openContact(id) {
        tab = 2
        contactsStack.pop(null)
        contactsStack.push(contactDetail, { contactId: id })
    }
    function openMyCode() {
        tab = 2
        contactsStack.pop(null)
        contactsStack.push(myCode)
    }
    // A contact link (merrowfax://add?...): the new-contact sheet, filled.
    function openContactLink(link) {
        const offered = app.people.readContactLink(link)
        if (offered.number === undefined) return
        tab = 2
        contactsStack.pop(null)
        contactsStack.currentItem.newContact(offered.name, offered.number)
    }
    function openPrivacy() {
        tab = 4
        settingsStack.pop(null)
        settingsStack.push(privacy)
    }

    StackLayout {
        anchors.fill: parent
        currentIndex: tabsView.tab

        StackView {
            id: chatsStack
            initialItem: ChatsView {
                app: tabsView.app
                onOpenChat: (number) => chatsStack.push(conversation, { number: number })
            }
        }
        StackView {
            id: callsStack
            initialItem: CallsView {
                app: tabsView.app
                onOpenChat: (number) => callsStack.push(callsConversation, { number: number })
            }
        }
        StackView {
            id: contactsStack
            initialItem: ContactsView {
                app: tabsView.app
                onOpenContact: (id) => contactsStack.push(contactDetail, { contactId: id })
                onOpenMyCode: contactsStack.push(myCode)
            }
        }
        StackView {
            initialItem: DirectoryView {
                app: tabsView.app
                onOpenChat: (number) => tabsView.openChat(number)
            }
        }
        StackView {
            id: settingsStack
            initialItem: SettingsView {
                app: tabsView.app
                onOpenPrivacy: settingsStack.push(privacy)
            }
        }
    }

    Component {
        id: conversation
        ConversationView {
            app: tabsView.app
            onBack: chatsStack.pop()
        }
    }
    Component {
        id: contactDetail
        ContactDetail {
            app: tabsView.app
            onBack: contactsStack.pop()
            onOpenChat: (number) => contactsStack.push(contactConversation, { number: number })
        }
    }
    Component {
        id: contactConversation
        ConversationView {
            app: tabsView.app
            onBack: contactsStack.pop()
        }
    }
    Component {
        id: callsConversation
        ConversationView {
            app: tabsView.app
            onBack: callsStack.pop()
        }
    }
    Component {
        id: myCode
        MyCodeView {
            app: tabsView.app
            onBack: contactsStack.pop()
        }
    }
    Component {
        id: privacy
        PrivacyView {
            app: tabsView.app
            onBack: settingsStack.pop()
        }
    }

    footer: TabBar {
        id: bar
        currentIndex: tabsView.tab
        onCurrentIndexChanged: tabsView.tab = currentIndex
        Repeater {
            model: [
                { label: "Chats", symbol: "bubble.left.and.bubble.right" },
                { label: "Calls", symbol: "phone" },
                { label: "Contacts", symbol: "person.2" },
                { label: "Directory", symbol: "book.closed" },
                { label: "Settings", symbol: "gearshape" }
            ]
            delegate: TabButton {
                required property var modelData
                text: modelData.label
                icon.name: tabsView.app.icon(modelData.symbol)
                display: AbstractButton.TextUnderIcon
                font.pixelSize: 11
                font.capitalization: Font.MixedCase
            }
        }
    }
}
