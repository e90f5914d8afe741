import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Merrowfax

// Covers everything while a call rings here or runs: who, its state, and
// the controls. Only its buttons take it away (by ending the call).
Popup {
    id: screen
    required property var app

    // Ringing here, or the current call.
    readonly property CurrentCall call: app.calls.call
    readonly property bool inCall: call.phase === CurrentCall.Dialing
                                   || call.phase === CurrentCall.Connected

    parent: Overlay.overlay
    x: 0
    y: 0
    width: parent ? parent.width : 0
    height: parent ? parent.height : 0
    modal: true
    closePolicy: Popup.NoAutoClose
    padding: 0
    background: Rectangle { color: "black" }

    property double clock: Date.now()
    Timer {
        interval: 1000
        repeat: true
        running: screen.visible
        triggeredOnStart: true
        onTriggered: screen.clock = Date.now()
    }

    function statusLine() {
        if (call.phase === CurrentCall.Connected) return "Connected"
        if (call.phase === CurrentCall.Dialing) return "Calling"
        return call.video ? "Incoming video" : "Incoming call"
    }

    // The other side's video behind everything else.
    VideoPicture {
        objectName: "remotePicture"
        anchors.fill: parent
        image: screen.call.remoteImage
        visible: !empty
    }

    // The own camera, while it runs.
    VideoPicture {
        objectName: "ownPreview"
        z: 1
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: 16
        width: 120
        height: 170
        radius: 12
        image: screen.call.localPreview
        visible: screen.app.calls.videoOn && !empty
    }

    component RoundControl: ColumnLayout {
        id: control
        property string symbol
        property string label
        property color tint: "#37474f"
        signal activated()
        spacing: 6
        RoundButton {
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 62
            implicitHeight: 62
            icon.name: screen.app.icon(control.symbol)
            icon.color: "white"
            Material.background: control.tint
            onClicked: control.activated()
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: control.label
            color: "white"
            font.pixelSize: 12
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: 10
        Item { Layout.preferredHeight: 72 }
        Label {
            objectName: "callName"
            Layout.alignment: Qt.AlignHCenter
            text: screen.call.name
            color: "white"
            font.pixelSize: 32
            font.weight: Font.Bold
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: screen.call.number
            color: "white"
            opacity: 0.7
        }
        Label {
            objectName: "callStatus"
            Layout.alignment: Qt.AlignHCenter
            text: screen.statusLine()
            color: "white"
            font.pixelSize: 18
        }
        Label {
            objectName: "callDuration"
            Layout.alignment: Qt.AlignHCenter
            visible: screen.call.phase === CurrentCall.Connected && screen.call.connectedAtMs >= 0
            text: visible ? screen.app.durationSince(screen.call.connectedAtMs, screen.clock) : ""
            color: "white"
            font.pixelSize: 18
            font.family: "monospace"
        }
        Item { Layout.fillHeight: true }

        // Ringing: decline and accept only.
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            visible: !screen.inCall
            spacing: 72
            RoundControl {
                objectName: "decline"
                symbol: "phone.down.fill"
                label: "Decline"
                tint: "#e53935"
                onActivated: screen.app.calls.declineCall()
            }
            RoundControl {
                objectName: "accept"
                symbol: "phone.fill"
                label: "Accept"
                tint: "#43a047"
                onActivated: screen.app.calls.answerCall()
            }
        }

        // During the call.
        GridLayout {
            Layout.alignment: Qt.AlignHCenter
            visible: screen.inCall
            columns: 3
            columnSpacing: 28
            rowSpacing: 18
            RoundControl {
                objectName: "mute"
                symbol: screen.app.calls.muted ? "mic.slash" : "mic"
                label: screen.app.calls.muted ? "Unmute" : "Mute"
                onActivated: screen.app.calls.toggleMute()
            }
            RoundControl {
                objectName: "speaker"
                symbol: "speaker.wave.2.fill"
                label: "Speaker"
                tint: screen.app.calls.speakerOn ? "#546e7a" : "#37474f"
                onActivated: screen.app.calls.toggleSpeaker()
            }
            RoundControl {
                objectName: "camera"
                symbol: "video"
                label: screen.app.calls.videoOn ? "Camera on" : "Camera"
                onActivated: screen.app.calls.toggleCallVideo()
            }
            RoundControl {
                objectName: "flip"
                Layout.row: 1
                Layout.column: 0
                // Only where there is another camera to switch to.
                visible: screen.app.calls.videoOn && screen.call.cameraCount > 1
                symbol: "arrow.triangle.2.circlepath.camera"
                label: "Flip"
                onActivated: screen.app.calls.switchCamera()
            }
            RoundControl {
                objectName: "end"
                Layout.row: 1
                Layout.column: 1
                symbol: "phone.down.fill"
                label: "End"
                tint: "#e53935"
                onActivated: screen.app.calls.endCall()
            }
        }
        Item { Layout.preferredHeight: 32 }
    }
}
