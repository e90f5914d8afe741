import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A name and a number, for a new contact or an edited one. It closes only
// when told to: a refused save keeps it open under the model's alert.
Dialog {
    id: sheet
    property string hint
    property alias name: nameField.text
    property alias number: numberField.text
    signal saved(string name, string number)

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: parent ? parent.width - 32 : 0
    modal: true
    closePolicy: Popup.NoAutoClose

    ColumnLayout {
        width: sheet.availableWidth
        spacing: 8
        TextField {
            id: nameField
            objectName: "contactName"
            Layout.fillWidth: true
            placeholderText: "Name"
        }
        TextField {
            id: numberField
            objectName: "contactNumber"
            Layout.fillWidth: true
            placeholderText: "Number"
            inputMethodHints: Qt.ImhDigitsOnly
        }
        Label {
            Layout.fillWidth: true
            visible: sheet.hint !== ""
            wrapMode: Text.Wrap
            text: sheet.hint
            font.pixelSize: 12
            opacity: 0.6
        }
    }
    footer: DialogButtonBox {
        Button {
            text: "Cancel"
            flat: true
            onClicked: sheet.close()
        }
        Button {
            objectName: "saveContact"
            text: "Save"
            flat: true
            onClicked: sheet.saved(nameField.text, numberField.text)
        }
    }
    onClosed: {
        nameField.text = ""
        numberField.text = ""
    }
}
