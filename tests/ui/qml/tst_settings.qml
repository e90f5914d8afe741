import QtQuick
import QtTest
import Merrowfax

// Settings' PIN form: its checks, its heading, its fields; the link-code sheet.
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

    function test_c_link_a_device_shows_a_code_until_done() {
        const view = createTemporaryObject(settings, test)
        findChild(view, "linkDevice").clicked()
        const sheet = findChild(view, "linkSheet")
        tryVerify(() => sheet.opened)
        verify(/^[A-HJ-NP-Z2-9]{6}$/.test(findChild(view, "linkCode").text))
        sheet.accept()
        tryVerify(() => !sheet.visible)
        compare(seededApp.linking.hostedLinkCode, "")
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
}
