import QtQuick
import QtQuick.Controls

// A tool button showing the theme icon that stands for a symbol name.
ToolButton {
    required property var app
    property string symbol
    icon.name: app.icon(symbol)
    display: text === "" ? AbstractButton.IconOnly : AbstractButton.TextBesideIcon
}
