import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import "../common"

// The first run: a new number, a number the user has, or a link to a device
// that has one. Only view state lives here; the model claims.
Page {
    id: view
    objectName: "onboarding"
    required property var app

    property string step: "welcome"
    property string name: ""
    property bool business: false
    property string country: "0"
    property int city: -1
    property string number: ""
    property string query: ""
    property string reclaimNote: ""

    function choose(next) { step = next }
    function chooseCountry(code) {
        country = code
        city = -1
        number = ""
        query = ""
        step = "city"
    }
    function chooseCity(code) {
        city = code
        number = app.account.offerNumber(country, code)
        step = "issue"
    }
    function useNewNumber() {
        app.account.claimOffered(name, business, pinField.text, pinAgainField.text)
    }
    function useReclaimed() {
        reclaimNote = app.account.reclaimNumber(name, reclaimNumberField.text, reclaimPinField.text)
    }

    header: ToolBar {
        Label {
            anchors.centerIn: parent
            text: "Merrowfax"
            font.weight: Font.DemiBold
        }
    }

    StackLayout {
        anchors.fill: parent
        anchors.margins: 24
        currentIndex: ["welcome", "kind", "name", "country", "city", "issue", "link",
                       "reclaim"].indexOf(view.step) // qmllint disable type

        // welcome
        ColumnLayout {
            spacing: 16
            Item { Layout.fillHeight: true }
            SymbolIcon {
                Layout.alignment: Qt.AlignHCenter
                app: view.app
                symbol: "bubble.left.and.bubble.right"
                size: 64
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "Merrowfax"
                font.pixelSize: 32
                font.weight: Font.Bold
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                text: "A virtual number for text and calls. You do not enter a carrier phone number. Merrowfax gives you one."
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                font.pixelSize: 12
                opacity: 0.7
                text: "Canada is 0, then the city, then your line. Calgary is 0-1-234-5678. The United States is 1. New York is 1-1-222-2222. Other countries use their own code. London is 44-1-234-5678."
            }
            Button {
                objectName: "getNumber"
                Layout.fillWidth: true
                highlighted: true
                text: "Get a number"
                onClicked: view.choose("kind")
            }
            Button {
                objectName: "haveNumber"
                Layout.fillWidth: true
                text: "I already have a number"
                onClicked: view.choose("reclaim")
            }
            Button {
                Layout.fillWidth: true
                objectName: "linkDevice"
                text: "Link a device"
                onClicked: view.choose("link")
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "<a href=\"" + view.app.privacyAddress + "\">Privacy Policy</a>"
                onLinkActivated: (link) => Qt.openUrlExternally(link)
            }
            Item { Layout.fillHeight: true }
        }

        // kind
        ColumnLayout {
            spacing: 16
            Label { text: "Personal or business"; font.pixelSize: 24; font.weight: Font.Bold }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "The directory lists every number. A business is listed under its business name."
            }
            Repeater {
                model: [
                    { title: "Personal", detail: "The next step asks for your name.", business: false },
                    { title: "Business", detail: "The next step asks for the business name.", business: true }
                ]
                delegate: ItemDelegate {
                    required property var modelData
                    objectName: "kind" + modelData.title
                    Layout.fillWidth: true
                    contentItem: Column {
                        Label { text: modelData.title; font.pixelSize: 18; font.weight: Font.DemiBold }
                        Label { text: modelData.detail; opacity: 0.7 }
                    }
                    onClicked: {
                        view.business = modelData.business
                        view.choose("name")
                    }
                }
            }
            Item { Layout.fillHeight: true }
        }

        // name
        ColumnLayout {
            spacing: 16
            Label {
                text: view.business ? "Business name" : "Your name"
                font.pixelSize: 24
                font.weight: Font.Bold
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: view.business ? "The directory shows this business name with the number."
                                    : "The directory shows this name with your number."
            }
            TextField {
                objectName: "nameField"
                Layout.fillWidth: true
                placeholderText: view.business ? "Business name" : "Name"
                text: view.name
                onTextEdited: view.name = text
                inputMethodHints: Qt.ImhNoPredictiveText
            }
            Button {
                objectName: "continue"
                Layout.fillWidth: true
                highlighted: true
                text: "Continue"
                onClicked: view.choose("country")
            }
            Item { Layout.fillHeight: true }
        }

        // country
        ColumnLayout {
            spacing: 12
            Label { text: "Country"; font.pixelSize: 24; font.weight: Font.Bold }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Canada is 0. The United States is 1. Every other country has its own code."
            }
            TextField {
                Layout.fillWidth: true
                placeholderText: "Search countries"
                text: view.query
                onTextEdited: view.query = text
            }
            ListView {
                objectName: "countryList"
                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true
                model: view.step === "country" ? view.app.account.countries(view.query) : []
                delegate: ItemDelegate {
                    required property var modelData
                    width: ListView.view.width
                    contentItem: RowLayout {
                        Label { Layout.fillWidth: true; text: modelData.name; elide: Text.ElideRight }
                        Label { text: modelData.code; opacity: 0.6 }
                    }
                    onClicked: view.chooseCountry(modelData.code)
                }
            }
        }

        // city
        ColumnLayout {
            spacing: 12
            Label { text: view.app.account.countryName(view.country); font.pixelSize: 24; font.weight: Font.Bold }
            TextField {
                Layout.fillWidth: true
                placeholderText: "Search cities"
                text: view.query
                onTextEdited: view.query = text
            }
            ListView {
                objectName: "cityList"
                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true
                model: view.step === "city" ? view.app.account.cities(view.country, view.query) : []
                delegate: ItemDelegate {
                    required property var modelData
                    width: ListView.view.width
                    contentItem: RowLayout {
                        Column {
                            Layout.fillWidth: true
                            Label { text: modelData.name }
                            Label { text: modelData.region; opacity: 0.6; font.pixelSize: 12 }
                        }
                        Label { text: "" + modelData.code; opacity: 0.6 }
                    }
                    onClicked: view.chooseCity(modelData.code)
                }
            }
        }

        // issue
        ColumnLayout {
            spacing: 16
            Label {
                objectName: "offeredNumber"
                Layout.alignment: Qt.AlignHCenter
                text: view.number
                font.pixelSize: 32
                font.weight: Font.DemiBold
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "This number works inside Merrowfax over the internet. It is not a carrier line. The other person needs Merrowfax open."
            }
            TextField {
                id: pinField
                objectName: "pinField"
                Layout.fillWidth: true
                placeholderText: "4-digit PIN"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            TextField {
                id: pinAgainField
                objectName: "pinAgainField"
                Layout.fillWidth: true
                placeholderText: "PIN again"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                font.pixelSize: 12
                opacity: 0.7
                text: "You need this PIN to put the number on another phone. Without it, nobody else can take the number."
            }
            Button {
                objectName: "useNewNumber"
                Layout.fillWidth: true
                highlighted: true
                text: "Use this number"
                onClicked: view.useNewNumber()
            }
            Button {
                Layout.fillWidth: true
                text: "Choose a different line"
                onClicked: view.number = view.app.account.offerNumber(view.country, view.city)
            }
            Item { Layout.fillHeight: true }
        }

        // link
        ColumnLayout {
            spacing: 16
            Label { text: "Link a device"; font.pixelSize: 24; font.weight: Font.Bold }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Enter the code shown on the Merrowfax that already has the number. Both devices need to be on the same Wi-Fi."
            }
            TextField {
                id: linkCodeField
                objectName: "linkCode"
                Layout.fillWidth: true
                placeholderText: "Code"
                font.capitalization: Font.AllUppercase
                inputMethodHints: Qt.ImhUppercaseOnly | Qt.ImhNoPredictiveText
            }
            Button {
                Layout.fillWidth: true
                objectName: "seekLink"
                highlighted: true
                text: "Link"
                onClicked: view.app.linking.seekLinkCode(linkCodeField.text)
            }
            RowLayout {
                Layout.fillWidth: true
                spacing: 12
                visible: linkStatusLine.text !== ""
                BusyIndicator {
                    objectName: "linkSearch"
                    visible: running
                    running: view.app.linking.linkStatus.startsWith("Looking")
                    implicitWidth: 28
                    implicitHeight: 28
                }
                Label {
                    id: linkStatusLine
                    objectName: "linkStatus"
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    text: view.app.linking.linkStatus
                }
            }
            Button {
                Layout.fillWidth: true
                text: "Back"
                onClicked: view.choose("welcome")
            }
            Item { Layout.fillHeight: true }
        }

        // reclaim
        ColumnLayout {
            spacing: 16
            Label { text: "Use your number"; font.pixelSize: 24; font.weight: Font.Bold }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: "Type the number and its 4-digit PIN. If this number never had a PIN, the one you type is saved and becomes the PIN."
            }
            TextField {
                objectName: "reclaimName"
                Layout.fillWidth: true
                placeholderText: "Name"
                text: view.name
                onTextEdited: view.name = text
            }
            TextField {
                id: reclaimNumberField
                objectName: "reclaimNumber"
                Layout.fillWidth: true
                placeholderText: "Number"
                inputMethodHints: Qt.ImhDigitsOnly
            }
            TextField {
                id: reclaimPinField
                objectName: "reclaimPin"
                Layout.fillWidth: true
                placeholderText: "4-digit PIN"
                echoMode: TextInput.Password
                inputMethodHints: Qt.ImhDigitsOnly
            }
            Label {
                objectName: "reclaimNote"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                visible: view.reclaimNote !== ""
                color: "#b3261e"
                text: view.reclaimNote
            }
            Button {
                objectName: "useReclaimed"
                Layout.fillWidth: true
                highlighted: true
                text: "Use this number"
                onClicked: view.useReclaimed()
            }
            Button {
                Layout.fillWidth: true
                text: "Back"
                onClicked: view.choose("welcome")
            }
            Item { Layout.fillHeight: true }
        }
    }
}
