import QtQuick
import QtQuick.Controls.impl

// A theme icon standing for a symbol name, tinted like text.
IconImage {
    required property var app
    property string symbol
    property int size: 24
    name: app.icon(symbol)
    sourceSize.width: size
    sourceSize.height: size
    color: palette.text
}
