import QtQuick
import QtTest
import Merrowfax

// The contacts tab: the new-contact sheet stays open while the model
// refuses; a contact link fills it, or says why not.
TestCase {
    id: test
    name: "Contacts"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: screen
        ContactsView { app: seededApp; width: 402; height: 844 }
    }

    function cleanup() { seededApp.dismissAlert() }

    function test_a_refused_contact_keeps_the_sheet_open() {
        const view = createTemporaryObject(screen, test)
        const sheet = findChild(view, "newContactSheet")
        findChild(view, "addContact").clicked()
        tryVerify(() => sheet.opened)
        sheet.name = "Carol"
        sheet.number = "0-1-23"
        findChild(sheet.footer, "saveContact").clicked()
        compare(seededApp.alertMessage, "Enter a Merrowfax number such as 0-1-234-5678.")
        verify(sheet.visible)

        seededApp.dismissAlert()
        sheet.number = "0 1 345 6789"
        findChild(sheet.footer, "saveContact").clicked()
        compare(seededApp.alertMessage, "")
        tryVerify(() => !sheet.visible)
        compare(findChild(view, "contacts").totalCount, 2)
    }

    function test_b_a_contact_link_fills_the_sheet_or_is_refused() {
        const view = createTemporaryObject(screen, test)
        const sheet = findChild(view, "newContactSheet")
        compare(Object.keys(seededApp.people.readContactLink("merrowfax://add?name=Eve&number=0-1-23")).length, 0)
        compare(seededApp.alertMessage, "That number is not a Merrowfax number.")
        const offered = seededApp.people.readContactLink(
            "merrowfax://add?name=Zo%C3%AB&number=0%201%20345%206789")
        compare(offered.name, "Zoë")
        compare(offered.number, "0-1-345-6789")
        view.newContact(offered.name, offered.number)
        tryVerify(() => sheet.opened)
        compare(sheet.name, "Zoë")
        compare(sheet.number, "0-1-345-6789")
        sheet.close()
    }
}
