import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The choices for deleting one message. "Delete for Everyone" only for an
// own message that is not deleted for everyone yet.
Dialog {
    id: dialog
    property bool own: false
    signal forMe()
    signal forEveryone()

    modal: true
    title: "Delete message?"

    ColumnLayout {
        width: dialog.availableWidth
        spacing: 8
        Label {
            objectName: "deleteExplanation"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: dialog.own ? "Delete for everyone removes this message from this chat on both phones."
                             : "This message will be removed from this phone only."
        }
        Button {
            objectName: "deleteForMe"
            Layout.fillWidth: true
            text: "Delete for Me"
            onClicked: { dialog.forMe(); dialog.close() }
        }
        Button {
            objectName: "deleteForEveryone"
            Layout.fillWidth: true
            visible: dialog.own
            text: "Delete for Everyone"
            onClicked: { dialog.forEveryone(); dialog.close() }
        }
        Button {
            Layout.fillWidth: true
            flat: true
            text: "Cancel"
            onClicked: dialog.close()
        }
    }
}
