import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../common"

// The own name and number as a QR code of the add link.
Page {
    id: code
    required property var app
    signal back()

    header: ScreenHeader {
        title: "My code"
        canGoBack: true
        onBack: code.back()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 12
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: code.app.account.accountName
            font.pixelSize: 24
            font.weight: Font.Bold
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: code.app.account.accountNumber
            font.pixelSize: 18
        }
        Image {
            objectName: "qrCode"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: 300
            Layout.preferredHeight: 300
            source: code.app.account.contactLink === "" ? ""
                    : "image://qr/" + encodeURIComponent(code.app.account.contactLink)
            fillMode: Image.PreserveAspectFit
            // Modules stay sharp squares when scaled.
            smooth: false
            mipmap: false
        }
        Label {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            text: "Show this code. The other phone scans it and adds you."
        }
        Item { Layout.fillHeight: true }
    }
}
