import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../common"

// One message: own ones on the trailing side, with their status line.
Item {
    id: bubble
    required property var app
    required property double clock
    required property string messageId
    required property bool mine
    required property bool deleted
    required property string text
    required property string kind
    required property string fileName
    required property url image
    required property string statusLine
    required property double expiresAt
    signal menuRequested(string id, bool own, string text)
    // A recording's row is its play button.
    signal playRequested(string id)

    implicitHeight: column.implicitHeight

    ColumnLayout {
        id: column
        spacing: 2
        width: Math.min(implicitWidth, bubble.width * 0.78)
        x: bubble.mine ? bubble.width - width - 12 : 12

        Rectangle {
            Layout.fillWidth: true
            implicitWidth: content.implicitWidth + 24
            implicitHeight: content.implicitHeight + 16
            radius: 16
            color: bubble.mine ? "#00897b" : "#eceff1"

            Item {
                id: content
                anchors.centerIn: parent
                width: parent.width - 24
                implicitWidth: shown.item ? shown.item.implicitWidth : 0 // qmllint disable type
                implicitHeight: shown.item ? shown.item.implicitHeight : 0 // qmllint disable type
                Loader {
                    id: shown
                    width: parent.width
                    sourceComponent: bubble.deleted ? deletedText
                                     : bubble.kind === "image" ? picture
                                     : bubble.kind === "audio" ? audio
                                     : bubble.kind === "file" ? file : plain
                }
            }

            MouseArea {
                anchors.fill: parent
                acceptedButtons: Qt.RightButton | Qt.LeftButton
                onPressAndHold: bubble.menuRequested(bubble.messageId, bubble.mine && !bubble.deleted, bubble.text)
                onClicked: (mouse) => {
                    if (mouse.button === Qt.RightButton)
                        bubble.menuRequested(bubble.messageId, bubble.mine && !bubble.deleted, bubble.text)
                    else if (bubble.kind === "audio" && !bubble.deleted)
                        bubble.playRequested(bubble.messageId)
                }
            }
        }
        Label {
            Layout.alignment: bubble.mine ? Qt.AlignRight : Qt.AlignLeft
            visible: bubble.statusLine !== ""
            text: bubble.statusLine
            font.pixelSize: 11
            opacity: 0.6
        }
        Label {
            objectName: "expiryLine"
            Layout.alignment: bubble.mine ? Qt.AlignRight : Qt.AlignLeft
            visible: bubble.expiresAt >= 0
            text: visible ? bubble.app.expiryText(bubble.expiresAt + 0 * bubble.clock) : ""
            font.pixelSize: 11
            font.family: "monospace"
            opacity: 0.6
        }
    }

    readonly property color ink: mine ? "white" : "#212121"

    Component {
        id: plain
        Label {
            text: bubble.text
            color: bubble.ink
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
        }
    }
    Component {
        id: deletedText
        Label {
            text: "This message was deleted"
            color: bubble.ink
            font.italic: true
        }
    }
    Component {
        id: picture
        Item {
            implicitWidth: 220
            implicitHeight: photo.status === Image.Ready && photo.implicitWidth > 0
                            ? 220 * photo.implicitHeight / photo.implicitWidth : 140
            Image {
                id: photo
                anchors.fill: parent
                source: bubble.image
                fillMode: Image.PreserveAspectFit
                asynchronous: true
                sourceSize.width: 440
            }
        }
    }
    Component {
        id: audio
        RowLayout {
            SymbolIcon { app: bubble.app; symbol: "speaker.wave.2.fill"; color: bubble.ink; size: 18 }
            Label {
                color: bubble.ink
                text: bubble.text === "Walkie" ? "Play walkie" : "Play voice"
            }
        }
    }
    Component {
        id: file
        RowLayout {
            SymbolIcon { app: bubble.app; symbol: "doc"; color: bubble.ink; size: 18 }
            Label { color: bubble.ink; text: bubble.fileName; elide: Text.ElideMiddle; Layout.maximumWidth: 220 }
        }
    }
}
