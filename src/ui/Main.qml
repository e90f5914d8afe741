import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material

// The one window: a phone-sized column, fixed, at 120, 80 when it first opens.
ApplicationWindow {
    id: window
    required property var app

    width: 402
    height: 844
    minimumWidth: 402
    maximumWidth: 402
    minimumHeight: 844
    maximumHeight: 844
    x: 120
    y: 80
    visible: true
    title: "Merrowfax"
    Material.theme: Material.Light
    Material.accent: Material.Teal
    Material.primary: Material.Teal

    RootView {
        anchors.fill: parent
        app: window.app
    }
}
