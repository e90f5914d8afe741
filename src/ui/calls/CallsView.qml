import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Merrowfax
import "../common"

// Recents, or the keypad that composes a number by country, city and seven
// local digits.
Page {
    id: calls
    objectName: "callsView"
    required property var app
    signal openChat(string number)
    property int mode: 0  // 0 recents, 1 keypad

    CallListModel { id: records; model: calls.app.model } // qmllint disable
    Keypad { id: keypad; objectName: "keypad" }

    header: ScreenHeader { title: "Calls" }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TabBar {
            id: modes
            Layout.fillWidth: true
            Layout.margins: 12
            currentIndex: calls.mode
            onCurrentIndexChanged: calls.mode = currentIndex
            TabButton { text: "Recents"; font.capitalization: Font.MixedCase }
            TabButton { text: "Keypad"; font.capitalization: Font.MixedCase }
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: calls.mode

            // Recents
            Item {
                ColumnLayout {
                    anchors.centerIn: parent
                    width: parent.width - 64
                    visible: recentList.count === 0
                    spacing: 8
                    SymbolIcon {
                        Layout.alignment: Qt.AlignHCenter
                        app: calls.app
                        symbol: "phone"
                        size: 48
                        opacity: 0.5
                    }
                    Label {
                        Layout.alignment: Qt.AlignHCenter
                        text: "No calls yet"
                        font.pixelSize: 20
                        font.weight: Font.DemiBold
                    }
                    Label {
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                        opacity: 0.7
                        text: "Use the keypad to call a Merrowfax number over the internet."
                    }
                }
                ListView {
                    id: recentList
                    objectName: "recentList"
                    anchors.fill: parent
                    clip: true
                    model: records
                    delegate: ItemDelegate {
                        id: record
                        required property string number
                        required property string name
                        required property bool video
                        required property bool missed
                        required property string time
                        required property string duration
                        width: ListView.view.width
                        contentItem: RowLayout {
                            spacing: 12
                            SymbolIcon {
                                app: calls.app
                                symbol: record.video ? "video" : "phone"
                                color: record.missed ? "#e53935" : palette.text
                                size: 20
                            }
                            ColumnLayout {
                                Layout.fillWidth: true
                                spacing: 0
                                Label {
                                    text: record.name
                                    color: record.missed ? "#e53935" : palette.text
                                    font.weight: Font.DemiBold
                                }
                                Label { text: record.number; opacity: 0.6; font.pixelSize: 12 }
                            }
                            ColumnLayout {
                                spacing: 0
                                Label { Layout.alignment: Qt.AlignRight; text: record.time; opacity: 0.6; font.pixelSize: 12 }
                                Label {
                                    Layout.alignment: Qt.AlignRight
                                    visible: record.duration !== ""
                                    text: record.duration
                                    font.family: "monospace"
                                    font.pixelSize: 12
                                    opacity: 0.6
                                }
                            }
                        }
                        onClicked: calls.app.calls.startCall(record.number, record.video)
                    }
                }
            }

            // Keypad
            ColumnLayout {
                spacing: 12
                Label {
                    objectName: "numberLine"
                    Layout.alignment: Qt.AlignHCenter
                    Layout.topMargin: 8
                    text: keypad.numberLine
                    font.pixelSize: 30
                    font.weight: Font.DemiBold
                }
                Label {
                    Layout.alignment: Qt.AlignHCenter
                    text: keypad.placeLine
                    opacity: 0.7
                }
                RowLayout {
                    Layout.alignment: Qt.AlignHCenter
                    spacing: 12
                    Button { text: "Country"; onClicked: countrySheet.open() }
                    Button { text: "City"; onClicked: citySheet.open() }
                }
                GridLayout {
                    Layout.alignment: Qt.AlignHCenter
                    columns: 3
                    columnSpacing: 18
                    rowSpacing: 10
                    Repeater {
                        model: ["1", "2", "3", "4", "5", "6", "7", "8", "9", "", "0", "⌫"]
                        delegate: RoundButton {
                            required property string modelData
                            objectName: "key" + modelData
                            implicitWidth: 72
                            implicitHeight: 72
                            text: modelData
                            font.pixelSize: 24
                            visible: modelData !== ""
                            flat: modelData === "⌫"
                            onClicked: keypad.press(modelData)
                        }
                    }
                }
                RowLayout {
                    Layout.alignment: Qt.AlignHCenter
                    spacing: 12
                    Button {
                        text: "Text"
                        icon.name: calls.app.icon("bubble.left")
                        onClicked: if (keypad.completeNumber !== "") calls.openChat(keypad.completeNumber)
                    }
                    Button {
                        objectName: "callButton"
                        text: "Call"
                        highlighted: true
                        icon.name: calls.app.icon("phone.fill")
                        onClicked: if (keypad.completeNumber !== "") calls.app.calls.startCall(keypad.completeNumber, false)
                    }
                    Button {
                        text: "Video"
                        icon.name: calls.app.icon("video.fill")
                        onClicked: if (keypad.completeNumber !== "") calls.app.calls.startCall(keypad.completeNumber, true)
                    }
                }
                Item { Layout.fillHeight: true }
            }
        }

        WalkieBar {
            objectName: "walkieBar"
            Layout.fillWidth: true
            app: calls.app
            talking: calls.app.calls.holdingTalk
            line: calls.app.calls.walkieHearing !== ""
                  ? calls.app.calls.walkieHearing + " on the speaker"
                  : calls.app.calls.lockScreenTalk && calls.app.deviceLabel !== "Mac"
                    ? "Walkie plays loud on the speaker, including the lock screen."
                    : "Walkie plays loud on the speaker."
            onTalkPressed: calls.app.calls.pressWalkieBar()
            onTalkReleased: calls.app.calls.releaseWalkieBar()
        }
    }

    PlaceSearch {
        id: countrySheet
        title: "Country"
        rows: visible ? calls.app.people.countryRows(query) : []
        onChosen: (id) => keypad.country = id
    }
    PlaceSearch {
        id: citySheet
        title: "City"
        rows: visible ? calls.app.people.cityRows(keypad.country, query) : []
        onChosen: (id) => keypad.cityCode = parseInt(id)
    }
}
