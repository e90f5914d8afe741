import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Dialogs
import QtQuick.Layouts
import Merrowfax
import "../common"

// The chat with one number: its messages, the composer, calls and the chat's
// menu. Only the draft and the dialogs' state live here.
Page {
    id: chat
    required property var app
    required property string number
    signal back()

    property string deletingId: ""
    property bool deletingOwn: false

    // The title and the block item follow contact changes.
    ContactWatcher {
        id: peer
        objectName: "peer"
        model: chat.app.model
        number: chat.number
    }

    MessageListModel { // qmllint disable
        id: messages
        objectName: "messages" // qmllint disable
        model: chat.app.model
        number: chat.number
    }

    // Expiry lines count down once a second.
    property double clock: Date.now()
    Timer {
        interval: 1000
        repeat: true
        running: true
        onTriggered: chat.clock = Date.now()
    }

    // Shown to the user: the top of its stack, in the tab on view.
    readonly property bool shown: visible
                                  && (StackView.view === null || StackView.status === StackView.Active)
    // A voice message belongs to the chat it is recorded in: leaving the
    // chat (popped, covered by another page, its tab left) sends it as the
    // stop button would.
    onShownChanged: if (!shown) chat.app.chats.leaveChat(chat.number)
    // Read while shown in the active window: what arrives then is seen.
    readonly property bool seen: shown && Window.active
    onSeenChanged: chat.app.chats.viewChat(chat.number, seen)
    Component.onCompleted: if (seen) chat.app.chats.viewChat(chat.number, true)
    Component.onDestruction: {
        if (shown) chat.app.chats.leaveChat(chat.number)
        if (seen) chat.app.chats.viewChat(chat.number, false)
    }

    function send() {
        app.chats.sendText(draft.text, number)
        draft.text = ""
    }
    function askDelete(id, own) {
        deletingId = id
        deletingOwn = own
        deleteDialog.open()
    }

    header: ScreenHeader {
        objectName: "chatHeader"
        title: peer.name
        canGoBack: true
        onBack: chat.back()
        SymbolButton {
            app: chat.app
            symbol: "phone"
            onClicked: chat.app.calls.startCall(chat.number, false)
        }
        SymbolButton {
            app: chat.app
            symbol: "video"
            onClicked: chat.app.calls.startCall(chat.number, true)
        }
        // A desktop shares its screen from here; checked while it does.
        SymbolButton {
            objectName: "screenButton"
            app: chat.app
            visible: chat.app.deviceLabel === "Mac"
            checked: chat.app.desk.sharingTo === chat.number
            symbol: checked ? "display.badge.checkmark" : "display"
            onClicked: chat.app.desk.toggleSharing(chat.number)
        }
        SymbolButton {
            id: menuButton
            app: chat.app
            symbol: "ellipsis.circle"
            onClicked: chatMenu.open()
            Menu {
                id: chatMenu
                objectName: "chatMenu"
                y: menuButton.height
                MenuItem { text: "Clear chat"; onTriggered: clearDialog.open() }
                MenuItem {
                    objectName: "blockItem"
                    text: peer.blocked ? "Unblock" : "Block"
                    // What the item says is what it does.
                    onTriggered: chat.app.people.setNumberBlocked(chat.number, !peer.blocked)
                }
                MenuItem {
                    objectName: "deleteContactItem"
                    text: "Delete contact"
                    // Offered only when there is a contact to delete.
                    visible: peer.isContact
                    height: visible ? implicitHeight : 0
                    Material.foreground: Material.Red
                    onTriggered: chat.app.people.deleteContact(chat.number)
                }
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Switch {
            objectName: "allowControl"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            visible: chat.app.desk.sharingTo === chat.number
            text: "Allow " + peer.name + " to control this Mac"
            checked: chat.app.desk.control
            onToggled: chat.app.desk.allowControl(checked)
        }

        ListView {
            id: list
            objectName: "messageList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 6
            topMargin: 8
            bottomMargin: 8
            model: messages
            // New messages arrive at the end; stay there when already there.
            onCountChanged: if (atYEnd || count < 2) Qt.callLater(positionViewAtEnd) // qmllint disable type
            Component.onCompleted: positionViewAtEnd()
            delegate: MessageBubble {
                width: ListView.view.width
                app: chat.app
                clock: chat.clock
                onPlayRequested: (id) => chat.app.chats.playWalkieMessage(id, chat.number)
                onMenuRequested: (id, own, text) => {
                    bubbleMenu.messageId = id
                    bubbleMenu.own = own
                    bubbleMenu.copyText = text
                    bubbleMenu.popup()
                }
            }
            Menu {
                id: bubbleMenu
                property string messageId
                property bool own
                property string copyText
                MenuItem { text: "Copy"; onTriggered: chat.app.copyText(bubbleMenu.copyText) }
                MenuItem {
                    text: "Delete"
                    Material.foreground: Material.Red
                    onTriggered: chat.askDelete(bubbleMenu.messageId, bubbleMenu.own)
                }
            }
        }

        WalkieBar {
            objectName: "walkieBar"
            Layout.fillWidth: true
            app: chat.app
            talking: chat.app.calls.holdingTalk && chat.app.calls.talkTarget === chat.number
            line: chat.app.calls.walkieStatus
            onTalkPressed: chat.app.calls.pressTalk(chat.number)
            onTalkReleased: chat.app.calls.releaseTalk(chat.number)
        }

        Pane {
            Layout.fillWidth: true
            padding: 6
            RowLayout {
                anchors.fill: parent
                spacing: 2
                TextField {
                    id: draft
                    objectName: "draft"
                    Layout.fillWidth: true
                    placeholderText: "Text message"
                    onAccepted: chat.send()
                }
                SymbolButton {
                    app: chat.app
                    symbol: "photo"
                    onClicked: photoDialog.open()
                }
                SymbolButton {
                    app: chat.app
                    symbol: "paperclip"
                    onClicked: fileDialog.open()
                }
                SymbolButton {
                    objectName: "voiceButton"
                    app: chat.app
                    symbol: chat.app.chats.recordingFor === chat.number ? "stop.circle.fill" : "mic.fill"
                    onClicked: chat.app.chats.toggleVoice(chat.number)
                }
                SymbolButton {
                    objectName: "sendButton"
                    app: chat.app
                    symbol: "paperplane.fill"
                    onClicked: chat.send()
                }
            }
        }
    }

    FileDialog {
        id: photoDialog
        objectName: "photoDialog"
        title: "Photo"
        nameFilters: ["Images (*.jpg *.jpeg *.png *.heic *.gif *.bmp *.webp)"]
        onAccepted: chat.app.chats.sendPhoto(selectedFile, chat.number)
    }
    FileDialog {
        id: fileDialog
        objectName: "fileDialog"
        onAccepted: chat.app.chats.sendFile(selectedFile, chat.number)
    }

    Dialog {
        id: clearDialog
        anchors.centerIn: parent
        width: parent.width - 48
        modal: true
        title: "Clear this chat?"
        Label {
            width: clearDialog.availableWidth
            wrapMode: Text.Wrap
            text: "Texts, photos, files, and recordings in this chat are deleted from this phone right away."
        }
        footer: DialogButtonBox {
            Button {
                text: "Clear chat"
                Material.foreground: Material.Red
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole // qmllint disable type
            }
            Button { text: "Cancel"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole } // qmllint disable type
        }
        onAccepted: chat.app.chats.clearChat(chat.number)
    }

    DeleteMessageDialog {
        id: deleteDialog
        anchors.centerIn: parent
        width: parent.width - 48
        own: chat.deletingOwn
        onForMe: chat.app.chats.deleteForMe(chat.deletingId, chat.number)
        onForEveryone: chat.app.chats.deleteForEveryone(chat.deletingId, chat.number)
        onClosed: chat.deletingId = ""
    }
}
