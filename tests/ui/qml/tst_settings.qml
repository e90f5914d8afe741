import QtQuick
import QtTest
import Merrowfax

// Settings' PIN form: its checks, its heading, its fields.
TestCase {
    id: test
    name: "Settings"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: settings
        SettingsView { app: seededApp; width: 402; height: 844 }
    }

    function cleanup() { seededApp.dismissAlert() }

    function test_a_pin_of_three_digits_is_refused_and_kept_in_the_fields() {
        const view = createTemporaryObject(settings, test)
        compare(findChild(view, "pinSection").text, "Set PIN")
        verify(!findChild(view, "currentPin").visible)
        findChild(view, "newPin").text = "123"
        findChild(view, "newPinAgain").text = "123"
        findChild(view, "pinButton").clicked()
        compare(seededApp.alertMessage, "Use a 4-digit PIN.")
        compare(findChild(view, "newPin").text, "123")
    }

    function test_b_a_good_pin_is_asked_for_and_the_fields_clear() {
        const view = createTemporaryObject(settings, test)
        findChild(view, "newPin").text = "4321"
        findChild(view, "newPinAgain").text = "4321"
        findChild(view, "pinButton").clicked()
        compare(seededApp.alertMessage, "")
        compare(findChild(view, "newPin").text, "")
        compare(findChild(view, "newPinAgain").text, "")
    }

    function test_c_a_blank_name_is_not_saved_and_nothing_is_said() {
        // As on the first run: a name with nothing to read stops the save
        // without a word, and the listed name stays.
        const view = createTemporaryObject(settings, test)
        const before = seededApp.account.accountName
        verify(before !== "")
        for (const blank of ["", "   ", "\t\n", "\u200b \u0007"]) {
            findChild(view, "profileName").text = blank
            findChild(view, "saveName").clicked()
            compare(seededApp.alertMessage, "", JSON.stringify(blank))
            compare(seededApp.account.accountName, before)
        }
        findChild(view, "profileName").text = "  Bea  "
        findChild(view, "saveName").clicked()
        compare(seededApp.alertMessage, "Name saved. The directory lists this name.")
        compare(seededApp.account.accountName, "Bea")
        seededApp.dismissAlert()
        findChild(view, "profileName").text = before
        findChild(view, "saveName").clicked()
    }
}
