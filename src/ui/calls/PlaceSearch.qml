import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The searchable place sheet: rows of {id, title, detail}; choosing one
// reports its id.
Popup {
    id: sheet
    property string title
    property alias query: search.text
    property var rows: []
    signal chosen(string id)

    parent: Overlay.overlay
    width: parent ? parent.width : 0
    height: parent ? parent.height - 48 : 0
    y: 48
    modal: true
    padding: 0
    onOpened: search.text = ""

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 12
            Label {
                Layout.fillWidth: true
                text: sheet.title
                font.pixelSize: 20
                font.weight: Font.DemiBold
            }
            Button {
                text: "Cancel"
                flat: true
                onClicked: sheet.close()
            }
        }
        TextField {
            id: search
            objectName: "placeSearch"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            placeholderText: "Search"
        }
        ListView {
            objectName: "placeRows"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: sheet.rows
            delegate: ItemDelegate {
                required property var modelData
                width: ListView.view.width
                contentItem: Column {
                    Label { text: modelData.title }
                    Label { text: modelData.detail; opacity: 0.6; font.pixelSize: 12 }
                }
                onClicked: {
                    sheet.chosen(modelData.id)
                    sheet.close()
                }
            }
        }
    }
}
