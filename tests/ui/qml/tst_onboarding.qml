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

    function test_d_a_link_code_is_checked_then_sought() {
        const view = createTemporaryObject(screen, test)
        find(view, "linkDevice").clicked()
        compare(view.step, "link")
        type(find(view, "linkCode"), "ab-c1")
        find(view, "seekLink").clicked()
        compare(find(view, "linkStatus").text, "Enter the 6 character code from the other Merrowfax.")
        verify(!find(view, "linkSearch").running)
        type(find(view, "linkCode"), "ab-c12 3")
        find(view, "seekLink").clicked()
        compare(find(view, "linkStatus").text, "Looking for ABC123 on this Wi-Fi…")
        verify(find(view, "linkSearch").running)
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
}
