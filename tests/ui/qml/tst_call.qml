import QtQuick
import QtTest
import Merrowfax

// The call screen follows the call: ringing, connected, dialing, over.
TestCase {
    id: test
    name: "Call"
    when: windowShown
    width: 402
    height: 844

    Component {
        id: callScreen
        CallScreen { app: seededApp; visible: seededApp.call.present }
    }

    function child(screen, name) {
        const item = findChild(screen.contentItem, name)
        verify(item, name)
        return item
    }

    function test_the_screen_follows_the_call() {
        const screen = createTemporaryObject(callScreen, test)
        verify(!screen.visible)

        seededPeers.ring("1-1-222-2222", true)
        tryVerify(() => screen.opened)
        compare(child(screen, "callName").text, "Bob's Bakery")
        compare(child(screen, "callStatus").text, "Incoming video")
        verify(child(screen, "accept").visible)
        verify(!child(screen, "end").visible)
        verify(!child(screen, "callDuration").visible)

        seededApp.answerCall()
        compare(child(screen, "callStatus").text, "Connected")
        verify(child(screen, "callDuration").visible)
        compare(child(screen, "callDuration").text, "0:00")
        verify(child(screen, "end").visible)
        verify(!child(screen, "accept").visible)

        seededApp.endCall()
        tryVerify(() => !screen.visible)

        seededPeers.openLine()
        seededApp.startCall("44-1-555-0001", false)
        tryVerify(() => screen.opened)
        compare(child(screen, "callName").text, "Alice Liddell")
        compare(child(screen, "callStatus").text, "Calling")
        verify(!child(screen, "callDuration").visible)
        seededPeers.accept()
        compare(child(screen, "callStatus").text, "Connected")
        seededApp.endCall()
        tryVerify(() => !screen.visible)
    }
}
