import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

// A hold-to-talk control with a line beside it. It talks while the mouse or
// a finger holds it down, or while the space bar is held with the control in
// focus; key repeats do not count as new presses, and losing focus or the
// pointer's grab lets go.
Pane {
    id: bar
    required property var app
    property string line
    property bool talking: false
    signal talkPressed()
    signal talkReleased()

    padding: 8
    Material.elevation: 2

    RowLayout {
        anchors.fill: parent
        spacing: 10
        Label {
            objectName: "walkieLine"
            Layout.fillWidth: true
            text: bar.line
            wrapMode: Text.Wrap
            font.pixelSize: 12
            opacity: 0.75
        }
        Button {
            id: talk
            objectName: "talkButton"
            property bool spaceHeld: false
            text: bar.talking ? "Talking" : "Hold to talk"
            highlighted: bar.talking
            icon.name: bar.app.icon("mic.fill")
            font.capitalization: Font.MixedCase
            focusPolicy: Qt.StrongFocus

            onPressed: { forceActiveFocus(); bar.talkPressed() }
            onReleased: bar.talkReleased()
            onCanceled: bar.talkReleased()

            Keys.onPressed: (event) => {
                if (event.key !== Qt.Key_Space) return
                event.accepted = true
                if (event.isAutoRepeat || spaceHeld) return
                spaceHeld = true
                bar.talkPressed()
            }
            Keys.onReleased: (event) => {
                if (event.key !== Qt.Key_Space) return
                event.accepted = true
                if (event.isAutoRepeat || !spaceHeld) return
                spaceHeld = false
                bar.talkReleased()
            }
            onActiveFocusChanged: {
                if (activeFocus || !spaceHeld) return
                spaceHeld = false
                bar.talkReleased()
            }
        }
    }
}
