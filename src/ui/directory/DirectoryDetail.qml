import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../common"

// One directory listing: who it is and where the number is from, with text,
// call and add-to-contacts for anyone but the user.
Page {
    id: detail
    required property var app
    required property var pager
    required property string number
    required property string name
    required property bool business
    required property string place
    signal back()
    signal openChat(string number)

    readonly property bool own: number === app.account.accountNumber

    header: ScreenHeader {
        title: detail.business ? "Business" : "Listing"
        canGoBack: true
        onBack: detail.back()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 8

        Label {
            objectName: "listingName"
            Layout.fillWidth: true
            text: detail.name
            font.pixelSize: 24
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
        }
        Label {
            objectName: "listingNumber"
            Layout.fillWidth: true
            text: detail.number
            font.pixelSize: 17
        }
        Label {
            Layout.fillWidth: true
            visible: detail.place !== ""
            text: detail.place
            opacity: 0.7
        }

        Label {
            objectName: "ownNumber"
            Layout.topMargin: 12
            visible: detail.own
            text: "This is your number."
            opacity: 0.7
        }

        RowLayout {
            Layout.topMargin: 12
            visible: !detail.own
            spacing: 8
            Button {
                objectName: "textButton"
                icon.name: detail.app.icon("bubble.left")
                onClicked: detail.openChat(detail.number)
            }
            Button {
                objectName: "callButton"
                icon.name: detail.app.icon("phone")
                onClicked: detail.app.calls.startCall(detail.number, false)
            }
            Button {
                objectName: "addContactButton"
                text: "Add to contacts"
                icon.name: detail.app.icon("person.crop.circle.badge.plus")
                onClicked: detail.pager.addContact(detail.name, detail.number)
            }
        }

        Item { Layout.fillHeight: true }
    }
}
