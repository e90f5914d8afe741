import QtQuick
import QtTest
import Merrowfax

// The contacts tab: the new-contact sheet stays open while the model
// refuses.
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
}
