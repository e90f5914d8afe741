import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Merrowfax

// A watched share over the main tabs: who shares and what this side may do,
// the newest picture of the screen on black, and while control is allowed
// the mouse and a typing box act on it.
Page {
    id: deskView
    required property var app
    readonly property var desk: app.desk

    header: ToolBar {
        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 16
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 0
                Label {
                    objectName: "deskName"
                    text: deskView.desk.watchName
                    font.pixelSize: 17
                    font.weight: Font.DemiBold
                }
                Label {
                    objectName: "deskCaption"
                    Layout.fillWidth: true
                    text: deskView.desk.caption
                    font.pixelSize: 12
                    opacity: 0.7
                    elide: Text.ElideRight
                }
            }
            ToolButton { text: "Close"; onClicked: deskView.desk.stopWatching() }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            Layout.fillHeight: true
            color: "black"

            VideoPicture {
                id: picture
                anchors.fill: parent
                fit: true
                image: deskView.desk.image
            }
            Label {
                anchors.centerIn: parent
                visible: !deskView.desk.hasImage
                text: "Waiting for the screen"
                color: "white"
            }
            // Press, drag and release move the pointer with the button held;
            // the wheel scrolls; a double click is a click of two.
            MouseArea {
                anchors.fill: parent
                enabled: deskView.desk.canControl
                function send(action, mouse, dy, phase, clicks) {
                    deskView.desk.gesture(action, mouse.x, mouse.y, width, height, dy, phase, clicks)
                }
                onPressed: (mouse) => send("pointer", mouse, 0, "down", 1)
                onPositionChanged: (mouse) => send("pointer", mouse, 0, "drag", 1)
                onReleased: (mouse) => send("pointer", mouse, 0, "up", 1)
                onDoubleClicked: (mouse) => send("click", mouse, 0, "", 2)
                onWheel: (wheel) => {
                    const dy = wheel.pixelDelta.y !== 0 ? wheel.pixelDelta.y : wheel.angleDelta.y / 8
                    if (Math.abs(dy) >= 1)
                        deskView.desk.gesture("scroll", wheel.x, wheel.y, width, height, dy, "", 1)
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 8
            visible: deskView.desk.canControl
            TextField {
                id: typing
                objectName: "deskTyping"
                Layout.fillWidth: true
                placeholderText: "Type on the Mac"
                onAccepted: {
                    deskView.desk.submit(text)
                    text = ""
                }
            }
            Button {
                text: "Send"
                onClicked: {
                    deskView.desk.send(typing.text)
                    typing.text = ""
                }
            }
        }
    }
}
