import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "onboarding"
import "chats"
import "call"
import "desk"

// Onboarding without an account, the tabs with one; over them a watched
// screen share; over everything the model's alert and, while a call rings or
// runs, the call cover.
Item {
    id: root
    required property var app

    Loader {
        anchors.fill: parent
        sourceComponent: root.app.account.hasAccount ? tabs
                         : root.app.account.restoring ? checking : onboarding
    }

    Component {
        id: checking
        Item {
            ColumnLayout {
                anchors.centerIn: parent
                spacing: 16
                BusyIndicator { Layout.alignment: Qt.AlignHCenter; running: true }
                Label { text: "Checking this computer…" }
            }
        }
    }
    Component { id: onboarding; OnboardingView { app: root.app } }
    Component { id: tabs; MainTabView { app: root.app } }

    // A watched share covers the tabs until it ends or is closed.
    DeskView {
        anchors.fill: parent
        app: root.app
        visible: root.app.account.hasAccount && root.app.desk.watching
    }

    CallScreen {
        app: root.app
        // Not dismissable by a gesture: only its buttons end the call.
        visible: root.app.calls.call.present
    }

    Dialog {
        id: alert
        objectName: "alertDialog"
        anchors.centerIn: parent
        width: parent.width - 64
        modal: true
        closePolicy: Popup.NoAutoClose
        visible: root.app.alertMessage !== ""
        standardButtons: Dialog.Ok
        Label {
            width: alert.availableWidth
            wrapMode: Text.Wrap
            text: root.app.alertMessage
        }
        onAccepted: root.app.dismissAlert()
    }
}
