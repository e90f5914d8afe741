import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Merrowfax
import "../common"

// The conversations, newest first, narrowed by the search text.
Page {
    id: chats
    required property var app
    signal openChat(string number)

    ThreadListModel { // qmllint disable
        id: threads
        objectName: "threads" // qmllint disable
        model: chats.app.model
        query: search.text
    }

    header: ScreenHeader {
        title: "Chats"
        Label {
            objectName: "onlineStatus"
            anchors.verticalCenter: parent ? parent.verticalCenter : undefined
            rightPadding: 12
            font.pixelSize: 12
            opacity: 0.85
            text: chats.app.onlineStatus
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TextField {
            id: search
            objectName: "chatSearch"
            Layout.fillWidth: true
            Layout.margins: 12
            placeholderText: "Search"
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: threads.totalCount === 0
            spacing: 8
            Item { Layout.fillHeight: true }
            SymbolIcon {
                Layout.alignment: Qt.AlignHCenter
                app: chats.app
                symbol: "bubble.left"
                size: 48
                opacity: 0.5
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "No texts yet"
                font.pixelSize: 20
                font.weight: Font.DemiBold
            }
            Label {
                Layout.fillWidth: true
                Layout.leftMargin: 32
                Layout.rightMargin: 32
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                opacity: 0.7
                text: "Text people on Merrowfax from Contacts or the keypad. Messages are text."
            }
            Item { Layout.fillHeight: true }
        }

        ListView {
            id: list
            objectName: "threadList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: threads.totalCount > 0
            clip: true
            model: threads
            delegate: SwipeDelegate {
                id: row
                required property string number
                required property string title
                required property string lastText
                required property string time
                required property bool online
                required property int unread
                width: ListView.view.width
                contentItem: RowLayout {
                    spacing: 8
                    Rectangle {
                        visible: row.online
                        width: 8
                        height: 8
                        radius: 4
                        color: "#2e7d32"
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Label {
                            Layout.fillWidth: true
                            text: row.title
                            font.weight: Font.DemiBold
                            elide: Text.ElideRight
                        }
                        Label {
                            Layout.fillWidth: true
                            text: row.lastText
                            opacity: 0.6
                            elide: Text.ElideRight
                            maximumLineCount: 1
                        }
                    }
                    ColumnLayout {
                        spacing: 4
                        Label {
                            Layout.alignment: Qt.AlignRight
                            text: row.time
                            opacity: row.unread > 0 ? 1 : 0.6
                            color: row.unread > 0 ? Material.accent : Material.foreground
                            font.pixelSize: 12
                        }
                        Label {
                            objectName: "unreadBadge"
                            Layout.alignment: Qt.AlignRight
                            Layout.minimumWidth: 20
                            visible: row.unread > 0
                            text: row.unread > 99 ? "99+" : row.unread
                            horizontalAlignment: Text.AlignHCenter
                            leftPadding: 6
                            rightPadding: 6
                            topPadding: 2
                            bottomPadding: 2
                            color: "white"
                            font.pixelSize: 11
                            font.weight: Font.DemiBold
                            background: Rectangle {
                                radius: 9
                                color: Material.accent
                            }
                        }
                    }
                }
                swipe.right: Button {
                    height: row.height
                    anchors.right: parent.right
                    text: "Delete"
                    Material.background: Material.Red
                    onClicked: chats.app.chats.clearChat(row.number)
                }
                onClicked: chats.openChat(row.number)
            }
        }
    }
}
