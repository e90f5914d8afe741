import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import "../common"

// One contact: text, call, video; edit, block, delete.
Page {
    id: detail
    required property var app
    required property string contactId
    signal back()
    signal openChat(string number)

    // The contact as the model has it now (re-read on every change).
    readonly property var info: {
        app.people.contactsRevision
        return app.people.contactInfo(contactId)
    }
    readonly property string name: info.name || ""
    readonly property string number: info.number || ""
    readonly property string place: info.detail || ""
    readonly property bool blocked: info.blocked === true

    header: ScreenHeader {
        title: "Contact"
        canGoBack: true
        onBack: detail.back()
        ToolButton {
            text: "Edit"
            onClicked: {
                editing.name = detail.name
                editing.number = detail.number
                editing.open()
            }
        }
        ToolButton {
            text: detail.blocked ? "Unblock" : "Block"
            onClicked: detail.app.people.setBlocked(detail.contactId, !detail.blocked)
        }
        ToolButton {
            text: "Delete"
            onClicked: confirmDelete.open()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 10
        Label { text: detail.name; font.pixelSize: 28; font.weight: Font.Bold }
        Label { text: detail.place; opacity: 0.7; wrapMode: Text.Wrap; Layout.fillWidth: true }
        Label { visible: detail.blocked; text: "Blocked"; color: "#e53935" }
        RowLayout {
            Layout.topMargin: 12
            spacing: 12
            Button {
                text: "Text"
                icon.name: detail.app.icon("bubble.left")
                onClicked: detail.openChat(detail.number)
            }
            Button {
                text: "Call"
                icon.name: detail.app.icon("phone")
                onClicked: detail.app.calls.startCall(detail.number, false)
            }
            Button {
                text: "Video"
                icon.name: detail.app.icon("video")
                onClicked: detail.app.calls.startCall(detail.number, true)
            }
        }
        Item { Layout.fillHeight: true }
    }

    ContactSheet {
        id: editing
        title: "Edit contact"
        onSaved: (name, number) => {
            if (detail.app.people.updateContact(detail.contactId, name, number)) editing.close()
        }
    }

    Dialog {
        id: confirmDelete
        anchors.centerIn: parent
        width: parent.width - 48
        modal: true
        title: "Delete " + detail.name + "?"
        Label {
            width: confirmDelete.availableWidth
            wrapMode: Text.Wrap
            text: "This removes " + detail.name + " from your contacts. The chat stays on this phone."
        }
        footer: DialogButtonBox {
            Button {
                text: "Delete contact"
                Material.foreground: Material.Red
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole // qmllint disable type
            }
            Button { text: "Cancel"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole } // qmllint disable type
        }
        onAccepted: {
            detail.app.people.deleteContactById(detail.contactId)
            detail.back()
        }
    }
}
