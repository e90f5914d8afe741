import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

// A screen's title bar: an optional back button, the title, trailing items.
ToolBar {
    id: bar
    property string title
    property bool canGoBack: false
    default property alias trailing: trailingRow.data
    signal back()
    Material.foreground: "white"

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: bar.canGoBack ? 0 : 12
        spacing: 4
        ToolButton {
            visible: bar.canGoBack
            icon.name: "go-previous-symbolic"
            onClicked: bar.back()
        }
        Label {
            Layout.fillWidth: true
            text: bar.title
            font.pixelSize: 20
            font.weight: Font.DemiBold
            elide: Text.ElideRight
        }
        Row { id: trailingRow; spacing: 0 }
    }
}
