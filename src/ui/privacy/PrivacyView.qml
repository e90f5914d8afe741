import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../common"

// What the app does with data: a page of text, nothing to do.
Page {
    id: page
    required property var app
    signal back()

    header: ScreenHeader {
        title: page.policy.title
        canGoBack: true
        onBack: page.back()
    }

    // The one wording of the policy, shared with the service's web page.
    readonly property var policy: page.app.privacyText

    Flickable {
        anchors.fill: parent
        contentHeight: text.implicitHeight + 48
        clip: true
        ColumnLayout {
            id: text
            x: 20
            y: 16
            width: parent.width - 40
            spacing: 10
            Label { text: page.policy.date; opacity: 0.6 }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: page.policy.opening
            }
            Repeater {
                model: page.policy.sections
                delegate: ColumnLayout {
                    required property var modelData
                    Layout.fillWidth: true
                    Layout.topMargin: 8
                    spacing: 4
                    Label { text: modelData[0]; font.weight: Font.DemiBold; font.pixelSize: 16 }
                    Label { Layout.fillWidth: true; wrapMode: Text.Wrap; text: modelData[1] }
                }
            }
        }
    }
}
