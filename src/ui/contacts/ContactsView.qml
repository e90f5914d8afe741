import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Merrowfax
import "../common"

// The saved contacts, searchable; adding one by its number.
Page {
    id: contacts
    required property var app
    signal openContact(string id)
    signal openMyCode()

    // The sheet of a new contact, filled (from a contact link).
    function newContact(name, number) {
        adding.name = name
        adding.number = number
        adding.open()
    }

    ContactListModel { // qmllint disable
        id: list
        objectName: "contacts" // qmllint disable
        model: contacts.app.model
        query: search.text
    }

    header: ScreenHeader {
        title: "Contacts"
        SymbolButton {
            app: contacts.app
            symbol: "qrcode"
            onClicked: contacts.openMyCode()
        }
        SymbolButton {
            objectName: "addContact"
            app: contacts.app
            symbol: "plus"
            onClicked: adding.open()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        TextField {
            id: search
            objectName: "contactSearch"
            Layout.fillWidth: true
            Layout.margins: 12
            placeholderText: "Search"
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: list.totalCount === 0
            spacing: 8
            Item { Layout.fillHeight: true }
            SymbolIcon {
                Layout.alignment: Qt.AlignHCenter
                app: contacts.app
                symbol: "person.crop.circle"
                size: 48
                opacity: 0.5
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "No contacts"
                font.pixelSize: 20
                font.weight: Font.DemiBold
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                opacity: 0.7
                text: "Add someone by their Merrowfax number."
            }
            Item { Layout.fillHeight: true }
        }
        ListView {
            objectName: "contactList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: list.totalCount > 0
            clip: true
            model: list
            delegate: SwipeDelegate {
                id: row
                required property string contactId
                required property string name
                required property string detail
                required property bool blocked
                required property bool online
                width: ListView.view.width
                contentItem: RowLayout {
                    spacing: 8
                    Rectangle {
                        visible: row.online
                        width: 8
                        height: 8
                        radius: 4
                        color: "#2e7d32"
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 0
                        Label { text: row.name; font.weight: Font.DemiBold }
                        Label {
                            Layout.fillWidth: true
                            text: row.detail
                            opacity: 0.6
                            font.pixelSize: 12
                            elide: Text.ElideRight
                        }
                    }
                    Label { visible: row.blocked; text: "Blocked"; color: "#e53935"; font.pixelSize: 12 }
                }
                swipe.right: Button {
                    height: row.height
                    anchors.right: parent.right
                    text: "Delete"
                    Material.background: Material.Red
                    onClicked: contacts.app.people.deleteContactById(row.contactId)
                }
                onClicked: contacts.openContact(row.contactId)
            }
        }
    }

    ContactSheet {
        id: adding
        objectName: "newContactSheet"
        title: "New contact"
        hint: "Example: 0-1-234-5678 or 1-1-222-2222"
        onSaved: (name, number) => { if (contacts.app.people.addContact(name, number)) adding.close() }
    }
}
