import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import "../common"

// One form: the number, another number, the PIN, the name, linked devices,
// the walkie, about, erase.
Page {
    id: settings
    required property var app
    signal openPrivacy()

    property bool business: app.account.business

    header: ScreenHeader { title: "Settings" }

    component SectionTitle: Label {
        Layout.topMargin: 20
        font.pixelSize: 13
        font.weight: Font.DemiBold
        opacity: 0.7
    }
    component Footnote: Label {
        Layout.fillWidth: true
        wrapMode: Text.Wrap
        font.pixelSize: 12
        opacity: 0.6
    }

    Flickable {
        objectName: "settingsForm"
        anchors.fill: parent
        contentHeight: form.implicitHeight + 48
        clip: true

        ColumnLayout {
            id: form
            x: 20
            width: parent.width - 40
            spacing: 8

            SectionTitle { text: "Your number" }
            Label {
                objectName: "ownNumber"
                text: settings.app.account.accountNumber
                font.pixelSize: 22
                font.weight: Font.DemiBold
            }
            Label { text: settings.app.account.accountPlace; opacity: 0.7 }
            Button {
                text: "Copy number"
                onClicked: settings.app.copyText(settings.app.account.accountNumber)
            }
            Footnote { text: "This number works inside Merrowfax. It is not a carrier line." }

            SectionTitle { text: "I already have a number" }
            TextField { id: otherName; Layout.fillWidth: true; placeholderText: "Name" }
            TextField {
                id: otherNumber
                Layout.fillWidth: true
                placeholderText: "Number"
                inputMethodHints: Qt.ImhDigitsOnly
            }
            TextField {
                id: otherPin
                Layout.fillWidth: true
                placeholderText: "4-digit PIN"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            Button {
                text: "Use this number"
                onClicked: settings.app.account.claimNumber(otherName.text, otherNumber.text, otherPin.text)
            }
            Footnote {
                text: "Your contacts stay on this phone. The PIN is the one set when that number was created. Without it, this phone stays on the number it already has."
            }

            SectionTitle {
                objectName: "pinSection"
                text: settings.app.account.hasPin ? "Change PIN" : "Set PIN"
            }
            TextField {
                id: currentPin
                objectName: "currentPin"
                Layout.fillWidth: true
                visible: settings.app.account.hasPin
                placeholderText: "Current PIN"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            Label {
                visible: !settings.app.account.hasPin
                text: "This number has no PIN yet. Set one here."
            }
            TextField {
                id: newPin
                objectName: "newPin"
                Layout.fillWidth: true
                placeholderText: "4-digit PIN"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            TextField {
                id: newPinAgain
                objectName: "newPinAgain"
                Layout.fillWidth: true
                placeholderText: "PIN again"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            Button {
                objectName: "pinButton"
                text: settings.app.account.hasPin ? "Change PIN" : "Set PIN"
                onClicked: {
                    if (settings.app.account.submitPin(currentPin.text, newPin.text, newPinAgain.text)) {
                        currentPin.clear()
                        newPin.clear()
                        newPinAgain.clear()
                    }
                }
            }
            Footnote {
                text: "Do this on the phone that already has the number. A number that never chose a PIN can set one here. Changing it needs the current PIN."
            }

            SectionTitle { text: "Name" }
            RowLayout {
                Label { text: "Account" }
                Item { Layout.fillWidth: true }
                ComboBox {
                    model: ["Personal", "Business"]
                    currentIndex: settings.business ? 1 : 0
                    onActivated: (index) => settings.business = index === 1
                }
            }
            TextField {
                id: profileName
                objectName: "profileName"
                Layout.fillWidth: true
                placeholderText: settings.business ? "Business name" : "Name"
                text: settings.app.account.accountName
            }
            Button {
                objectName: "saveName"
                text: settings.business ? "Save business name" : "Save name"
                onClicked: settings.app.account.saveProfile(profileName.text, settings.business)
            }
            Footnote {
                text: settings.business
                      ? "The directory lists this business name and marks the number as a business."
                      : "The directory lists this name with the number. Choose Business if this line is for a business."
            }

            SectionTitle { text: "Linked devices" }
            ColumnLayout {
                spacing: 2
                Label { text: "This device"; font.weight: Font.DemiBold }
                Label {
                    objectName: "thisDevice"
                    text: settings.app.linking.thisDevice
                    font.pixelSize: 12
                    opacity: 0.6
                }
            }
            Repeater {
                model: settings.app.linking.linkedDevices
                delegate: RowLayout {
                    id: linkedRow
                    required property var modelData
                    Layout.preferredWidth: form.width
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Label { text: linkedRow.modelData.name; font.weight: Font.DemiBold }
                        Label {
                            text: (linkedRow.modelData.kind === "" ? "" : linkedRow.modelData.kind + " · ")
                                  + linkedRow.modelData.seen
                            font.pixelSize: 12
                            opacity: 0.6
                        }
                    }
                    Button {
                        text: "Log out"
                        flat: true
                        Material.foreground: Material.Red
                        onClicked: settings.app.linking.unlinkDevice(linkedRow.modelData.id)
                    }
                }
            }
            Button {
                objectName: "linkDevice"
                text: "Link a device"
                onClicked: {
                    settings.app.linking.hostLinkCode()
                    linkSheet.open()
                }
            }
            Footnote {
                // The browser's part only where there is a service to name.
                text: "Linking works between Merrowfax on iPhone, iPad, and Mac when both are on the same Wi-Fi."
                      + (settings.app.linking.webAddress === "" ? ""
                         : " A browser at " + settings.app.linking.webAddress
                           + " can use a link code when that companion is connected.")
            }

            SectionTitle { text: "Walkie" }
            Switch {
                objectName: "walkieContactsOnly"
                Layout.fillWidth: true
                text: "Walkie from contacts only"
                checked: settings.app.calls.walkieContactsOnly
                onToggled: settings.app.calls.walkieContactsOnly = checked
            }
            Footnote {
                text: "Talk from numbers that are not your contacts is not played. With this off, it plays now and then, shown by its number."
            }

            SectionTitle { text: "Window" }
            Switch {
                objectName: "keepInTray"
                Layout.fillWidth: true
                text: "Keep running in the tray"
                checked: settings.app.chats.keepInTray
                onToggled: settings.app.chats.keepInTray = checked
            }
            Footnote {
                text: "Closing the window leaves Merrowfax in the tray, where texts and calls still reach you. Quit from the tray icon's menu."
            }

            // A desktop has no lock screen button to switch.
            ColumnLayout {
                objectName: "lockScreenSection"
                visible: settings.app.deviceLabel !== "Mac"
                Layout.fillWidth: true
                spacing: 8
                Switch {
                    objectName: "lockScreenTalk"
                    Layout.fillWidth: true
                    text: "Push to talk on the lock screen"
                    checked: settings.app.calls.lockScreenTalk
                    onToggled: settings.app.calls.lockScreenTalk = checked
                }
                Footnote {
                    text: "Turn this off if the lock screen button gets in the way. Hold to talk inside Merrowfax still works."
                }
            }

            SectionTitle { text: "About" }
            ItemDelegate {
                Layout.fillWidth: true
                text: "Privacy Policy"
                onClicked: settings.openPrivacy()
            }
            Label {
                text: "<a href=\"" + settings.app.privacyAddress + "\">Privacy Policy on the web</a>"
                onLinkActivated: (link) => Qt.openUrlExternally(link)
            }
            Label { text: "Merrowfax " + settings.app.version; opacity: 0.7 }

            Button {
                Layout.topMargin: 24
                Layout.fillWidth: true
                text: "Erase this number"
                Material.foreground: Material.Red
                onClicked: eraseDialog.open()
            }
        }
    }

    // The code in large type while it is on show; closing withdraws it.
    Dialog {
        id: linkSheet
        objectName: "linkSheet"
        anchors.centerIn: parent
        width: parent.width - 48
        modal: true
        title: "Link a device"
        onClosed: settings.app.linking.stopHosting()
        ColumnLayout {
            anchors.fill: parent
            spacing: 16
            Label {
                objectName: "linkCode"
                Layout.alignment: Qt.AlignHCenter
                text: settings.app.linking.hostedLinkCode
                font.pixelSize: 44
                font.weight: Font.Bold
                font.letterSpacing: 6
                font.family: "monospace"
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "On the other Merrowfax, choose Link a device and enter this code. Keep both devices on the same Wi-Fi."
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                opacity: 0.7
                visible: text !== ""
                text: settings.app.linking.linkStatus.endsWith(" is linked.") ? settings.app.linking.linkStatus : ""
            }
        }
        footer: DialogButtonBox {
            Button { text: "Done"; DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole } // qmllint disable type
        }
    }

    Dialog {
        id: eraseDialog
        anchors.centerIn: parent
        width: parent.width - 48
        modal: true
        title: "Erase this number and the texts on this device?"
        footer: DialogButtonBox {
            Button {
                text: "Erase"
                Material.foreground: Material.Red
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole // qmllint disable type
            }
            Button { text: "Cancel"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole } // qmllint disable type
        }
        onAccepted: settings.app.account.resetDevice()
    }
}
