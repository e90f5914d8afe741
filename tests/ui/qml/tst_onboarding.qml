import QtQuick
import QtTest
import Merrowfax

// The onboarding roads and their checks, through the screen's own controls.
TestCase {
    id: test
    name: "Onboarding"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: screen
        OnboardingView { app: freshApp; width: 402; height: 844 }
    }

    function find(view, name) {
        const item = findChild(view, name)
        verify(item, name)
        return item
    }
    // What typing leaves in a field (the end-to-end test types for real).
    function type(field, text) {
        field.text = text
        field.textEdited()
    }
    function issueStep(view, name) {
        view.name = name
        view.chooseCountry("0")
        view.chooseCity(1)
        compare(view.step, "issue")
    }
    function cleanup() { freshApp.dismissAlert() }

    function test_a_welcome_leads_to_each_road() {
        const view = createTemporaryObject(screen, test)
        find(view, "getNumber").clicked()
        compare(view.step, "kind")
        find(view, "kindBusiness").clicked()
        compare(view.step, "name")
        verify(view.business)
        // An empty name still moves on.
        find(view, "continue").clicked()
        compare(view.step, "country")
    }

    function test_b_a_country_clears_the_city_and_the_offered_number() {
        const view = createTemporaryObject(screen, test)
        issueStep(view, "Ann")
        verify(/^0-1-\d{3}-\d{4}$/.test(view.number), view.number)
        view.query = "can"
        view.chooseCountry("44")
        compare(view.city, -1)
        compare(view.number, "")
        compare(view.query, "")
        compare(view.step, "city")
    }

    function test_c_the_pin_needs_four_digits_typed_twice() {
        const view = createTemporaryObject(screen, test)
        issueStep(view, "Ann")
        const cases = [
            ["12a4", "1234", "Choose a 4-digit PIN."],
            ["", "", "Choose a 4-digit PIN."],
            ["1234", "4321", "The two PINs do not match."],
        ]
        for (const c of cases) {
            type(find(view, "pinField"), c[0])
            type(find(view, "pinAgainField"), c[1])
            find(view, "useNewNumber").clicked()
            compare(freshApp.alertMessage, c[2])
            freshApp.dismissAlert()
        }
        verify(!freshApp.account.hasAccount)
    }

    function test_d_an_empty_name_does_nothing_at_all() {
        const view = createTemporaryObject(screen, test)
        issueStep(view, "   ")
        type(find(view, "pinField"), "1234")
        type(find(view, "pinAgainField"), "1234")
        find(view, "useNewNumber").clicked()
        compare(freshApp.alertMessage, "")
        verify(!freshApp.account.hasAccount)
    }

    function test_e_reclaim_shows_its_own_notes() {
        const view = createTemporaryObject(screen, test)
        find(view, "haveNumber").clicked()
        compare(view.step, "reclaim")
        type(find(view, "reclaimName"), "Ann")
        type(find(view, "reclaimNumber"), "0-1-234")
        type(find(view, "reclaimPin"), "1234")
        find(view, "useReclaimed").clicked()
        compare(find(view, "reclaimNote").text, "Enter the full number, like 0-1-660-9141.")
        type(find(view, "reclaimNumber"), "0-1-234-5678")
        type(find(view, "reclaimPin"), "12")
        find(view, "useReclaimed").clicked()
        compare(find(view, "reclaimNote").text, "Enter the 4-digit PIN for that number.")
        verify(!freshApp.account.hasAccount)
    }

    function test_f_a_new_number_becomes_the_account() {
        const view = createTemporaryObject(screen, test)
        issueStep(view, "Ann")
        const offered = view.number
        type(find(view, "pinField"), "2468")
        type(find(view, "pinAgainField"), "2 4 6 8")
        find(view, "useNewNumber").clicked()
        verify(freshApp.account.hasAccount)
        compare(freshApp.account.accountNumber, offered)
        compare(freshApp.account.accountName, "Ann")
    }
}
