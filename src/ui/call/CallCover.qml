import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts

// Covers everything while a call rings here or runs: who, what state, and
// the controls to answer, decline or end it.
Popup {
    id: cover
    required property var app

    readonly property var incoming: app.incoming
    readonly property var active: app.active
    readonly property bool ringing: incoming.id !== undefined
    readonly property var call: ringing ? incoming : active

    parent: Overlay.overlay
    x: 0
    y: 0
    width: parent ? parent.width : 0
    height: parent ? parent.height : 0
    modal: true
    closePolicy: Popup.NoAutoClose
    padding: 0
    background: Rectangle { color: "#263238" }

    property double clock: Date.now()
    Timer {
        interval: 1000
        repeat: true
        running: cover.visible
        onTriggered: cover.clock = Date.now()
    }

    function statusLine() {
        if (ringing) return call.video ? "Incoming video call" : "Incoming call"
        if (!active.id) return ""
        if (active.phase === "dialing") return "Calling…"
        const seconds = Math.max(0, Math.floor((clock - active.startedAtMs) / 1000))
        const m = Math.floor(seconds / 60)
        const s = seconds % 60
        return m + ":" + (s < 10 ? "0" : "") + s
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 32
        spacing: 12
        Item { Layout.preferredHeight: 80 }
        Label {
            objectName: "callName"
            Layout.alignment: Qt.AlignHCenter
            text: cover.call.name || ""
            color: "white"
            font.pixelSize: 30
            font.weight: Font.DemiBold
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: cover.call.number || ""
            color: "white"
            opacity: 0.7
        }
        Label {
            objectName: "callStatus"
            Layout.alignment: Qt.AlignHCenter
            text: cover.statusLine()
            color: "white"
            font.pixelSize: 18
        }
        Item { Layout.fillHeight: true }
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            spacing: 48
            RoundButton {
                objectName: "declineButton"
                visible: cover.ringing
                implicitWidth: 72
                implicitHeight: 72
                icon.name: cover.app.icon("phone.down")
                icon.color: "white"
                Material.background: Material.Red
                onClicked: cover.app.declineCall()
            }
            RoundButton {
                objectName: "answerButton"
                visible: cover.ringing
                implicitWidth: 72
                implicitHeight: 72
                icon.name: cover.app.icon("phone")
                icon.color: "white"
                Material.background: Material.Green
                onClicked: cover.app.answerCall()
            }
            RoundButton {
                objectName: "endButton"
                visible: !cover.ringing
                implicitWidth: 72
                implicitHeight: 72
                icon.name: cover.app.icon("phone.down")
                icon.color: "white"
                Material.background: Material.Red
                onClicked: cover.app.endCall()
            }
        }
        Item { Layout.preferredHeight: 48 }
    }
}
