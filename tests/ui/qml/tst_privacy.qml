import QtQuick
import QtTest
import Merrowfax

// The privacy page shows the one shared policy text.
TestCase {
    id: test
    name: "Privacy"
    when: windowShown

    Component {
        id: privacy
        PrivacyView { app: seededApp; width: 402; height: 844 }
    }

    function test_the_policy_comes_from_the_shared_text() {
        const view = createTemporaryObject(privacy, test)
        compare(view.policy.title, "Privacy Policy")
        compare(view.policy.date, "6 November 2026")
        verify(view.policy.opening.startsWith("Merrowfax gives you a virtual number"))
        compare(view.policy.sections.length, 12)
        compare(view.policy.sections[0][0], "Text, photos, and files")
        compare(view.policy.sections[7][0], "How text and calls move")
    }
}
