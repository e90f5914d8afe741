import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Material
import QtQuick.Layouts
import Merrowfax
import "../common"

// The public directory, one page at a time: the listings under one index
// letter, or the matches of a search. A listing opens its detail on the same
// stack.
Page {
    id: directory
    required property var app
    signal openChat(string number)

    property bool started: false

    DirectoryPager {
        id: directoryPager
        objectName: "pager"
        model: directory.app.model
    }

    // The first page of "A" when the tab is first shown, not at start-up.
    function start() {
        if (started || !visible) return
        started = true
        directoryPager.firstPage()
    }
    onVisibleChanged: start()
    Component.onCompleted: Qt.callLater(start) // qmllint disable type

    function openEntry(entry) {
        StackView.view.push(detail, {
            number: entry.number,
            name: entry.name,
            business: entry.business,
            place: entry.place
        })
    }

    Component {
        id: detail
        DirectoryDetail {
            app: directory.app
            pager: directoryPager
            onBack: directory.StackView.view.pop()
            onOpenChat: (number) => directory.openChat(number)
        }
    }

    header: ScreenHeader {
        title: "Directory"
        ToolButton {
            objectName: "refreshButton"
            icon.name: "view-refresh-symbolic"
            onClicked: directoryPager.refresh()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TextField {
            id: search
            objectName: "directorySearch"
            Layout.fillWidth: true
            Layout.margins: 12
            placeholderText: "Start of a name or number"
            text: directoryPager.query
            onTextEdited: directoryPager.query = text
        }

        // The index: 26 letters and "#" for the rest, in one scrolling row.
        ListView {
            objectName: "letterIndex"
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.rightMargin: 8
            implicitHeight: 40
            visible: !directoryPager.searching
            orientation: ListView.Horizontal
            clip: true
            spacing: 2
            model: directoryPager.letters
            delegate: ToolButton {
                required property string modelData
                objectName: "letter_" + modelData
                text: modelData
                width: 32
                height: 40
                highlighted: modelData === directoryPager.letter
                font.weight: highlighted ? Font.Bold : Font.Normal
                onClicked: directoryPager.chooseLetter(modelData)
            }
        }

        Label {
            objectName: "matchesTitle"
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.topMargin: 4
            visible: directoryPager.searching
            text: "Matches"
            font.weight: Font.DemiBold
            opacity: 0.7
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            ListView {
                id: list
                objectName: "directoryList"
                anchors.fill: parent
                clip: true
                model: directoryPager.people
                // Pulling the list down past its top loads the page again.
                onDragEnded: if (verticalOvershoot < -64 && !directoryPager.loading) directoryPager.refresh()
                delegate: ItemDelegate {
                    id: row
                    required property var modelData
                    width: ListView.view.width
                    contentItem: RowLayout {
                        spacing: 8
                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 2
                            RowLayout {
                                Layout.fillWidth: true
                                spacing: 6
                                Label {
                                    Layout.fillWidth: true
                                    text: row.modelData.name
                                    font.weight: Font.DemiBold
                                    elide: Text.ElideRight
                                }
                                Label {
                                    visible: row.modelData.business
                                    text: "Business"
                                    font.pixelSize: 11
                                    leftPadding: 6
                                    rightPadding: 6
                                    topPadding: 1
                                    bottomPadding: 1
                                    background: Rectangle {
                                        radius: 4
                                        color: "transparent"
                                        border.color: palette.mid
                                    }
                                }
                            }
                            Label {
                                Layout.fillWidth: true
                                text: row.modelData.place === ""
                                      ? row.modelData.number
                                      : row.modelData.number + " · " + row.modelData.place
                                opacity: 0.6
                                elide: Text.ElideRight
                            }
                        }
                        Rectangle {
                            // Reads the status too, so the dot follows presence changes.
                            visible: {
                                directory.app.onlineStatus
                                return directory.app.isOnline(row.modelData.number)
                            }
                            width: 8
                            height: 8
                            radius: 4
                            color: "#2e7d32"
                        }
                    }
                    onClicked: directory.openEntry(row.modelData)
                }
            }

            Label {
                objectName: "emptyText"
                anchors.centerIn: parent
                width: parent.width - 64
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                visible: list.count === 0 && !directoryPager.loading && directoryPager.note === ""
                         && directory.started
                text: directoryPager.emptyText
                opacity: 0.7
            }
            BusyIndicator {
                anchors.centerIn: parent
                running: directoryPager.loading && list.count === 0
            }
        }

        Pane {
            Layout.fillWidth: true
            padding: 8
            ColumnLayout {
                anchors.fill: parent
                spacing: 4
                Label {
                    objectName: "directoryNote"
                    Layout.fillWidth: true
                    visible: directoryPager.note !== ""
                    text: directoryPager.note
                    wrapMode: Text.Wrap
                    color: Material.color(Material.Red)
                }
                RowLayout {
                    Layout.fillWidth: true
                    Button {
                        objectName: "previousButton"
                        text: "Previous"
                        flat: true
                        onClicked: directoryPager.previous()
                    }
                    Label {
                        objectName: "pageStatus"
                        Layout.fillWidth: true
                        horizontalAlignment: Text.AlignHCenter
                        text: directoryPager.statusText
                        opacity: 0.7
                    }
                    Button {
                        objectName: "nextButton"
                        text: "Next"
                        flat: true
                        onClicked: directoryPager.next()
                    }
                }
                Label {
                    Layout.fillWidth: true
                    visible: !directoryPager.searching
                    text: "One page of one letter. The phone does not load the whole directory."
                    wrapMode: Text.Wrap
                    font.pixelSize: 12
                    opacity: 0.6
                    horizontalAlignment: Text.AlignHCenter
                }
            }
        }
    }
}
