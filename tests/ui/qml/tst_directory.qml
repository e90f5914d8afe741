import QtQuick
import QtTest
import Merrowfax

// The directory's buttons are never greyed out: a press that cannot act
// (no earlier page, no further page) does nothing.
TestCase {
    id: test
    name: "Directory"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: directory
        DirectoryView { app: seededApp; width: 402; height: 844 }
    }

    SignalSpy { id: cursorSpy; signalName: "cursorChanged" }
    SignalSpy { id: loadingSpy; signalName: "loadingChanged" }

    function test_paging_buttons_stay_enabled_and_a_useless_press_does_nothing() {
        const view = createTemporaryObject(directory, test)
        const pager = findChild(view, "pager")
        verify(pager)
        tryCompare(pager, "loading", false)
        verify(!pager.hasEarlier)
        verify(!pager.more)

        const previous = findChild(view, "previousButton")
        const next = findChild(view, "nextButton")
        const refresh = findChild(view, "refreshButton")
        verify(previous.enabled)
        verify(next.enabled)
        verify(refresh.enabled)

        cursorSpy.target = pager
        loadingSpy.target = pager
        previous.clicked()
        next.clicked()
        wait(50)
        compare(cursorSpy.count, 0)
        compare(loadingSpy.count, 0)
        verify(!pager.loading)

        // Refresh always asks again, even while a request is out.
        refresh.clicked()
        refresh.clicked()
        verify(loadingSpy.count > 0)
        tryCompare(pager, "loading", false)
    }
}
