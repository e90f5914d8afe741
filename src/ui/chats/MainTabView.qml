import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../conversation"
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
        TabPlaceholder { title: "Calls" }
        TabPlaceholder { title: "Contacts" }
        TabPlaceholder { title: "Directory" }
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
        id: privacy
        PrivacyView { onBack: settingsStack.pop() }
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
