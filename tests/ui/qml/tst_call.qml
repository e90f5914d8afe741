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
        CallScreen { app: seededApp; visible: seededApp.calls.call.present }
    }

    // Bob rings in more than one test, and a caller who is not a contact
    // rings once in five minutes.
    function initTestCase() {
        verify(seededApp.people.addContact("Bob's Bakery", "1-1-222-2222"))
    }
    function cleanupTestCase() {
        seededApp.people.deleteContact("1-1-222-2222")
    }

    // A failed test leaves no call behind for the next.
    function cleanup() {
        seededApp.calls.endCall()
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

        seededApp.calls.answerCall()
        compare(child(screen, "callStatus").text, "Connected")
        verify(child(screen, "callDuration").visible)
        compare(child(screen, "callDuration").text, "0:00")
        verify(child(screen, "end").visible)
        verify(!child(screen, "accept").visible)

        seededApp.calls.endCall()
        tryVerify(() => !screen.visible)

        seededPeers.openLine()
        seededApp.calls.startCall("44-1-555-0001", false)
        tryVerify(() => screen.opened)
        compare(child(screen, "callName").text, "Alice Liddell")
        compare(child(screen, "callStatus").text, "Calling")
        verify(!child(screen, "callDuration").visible)
        seededPeers.accept()
        compare(child(screen, "callStatus").text, "Connected")
        seededApp.calls.endCall()
        tryVerify(() => !screen.visible)
    }

    // The other side's video fills the screen once a frame arrives; the own
    // preview and the flip control are there only while the camera runs.
    function test_the_pictures_follow_the_video() {
        const screen = createTemporaryObject(callScreen, test)
        seededPeers.setCameras(1)
        seededPeers.ring("1-1-222-2222", true)
        tryVerify(() => screen.opened)
        const remote = child(screen, "remotePicture")
        const preview = child(screen, "ownPreview")
        const flip = child(screen, "flip")
        verify(!remote.visible)

        seededApp.calls.answerCall()
        tryVerify(() => seededApp.calls.videoOn, 5000, "a video call turns the camera on")
        verify(!preview.visible, "no frame yet")
        verify(!flip.visible, "one camera")

        seededPeers.sendPicture("#ff8000")
        verify(remote.visible)
        compare(remote.width, screen.width)
        waitForRendering(remote)
        const shown = grabImage(remote)
        const middle = shown.pixel(shown.width / 2, shown.height / 2)
        fuzzyCompare(middle.r, 1.0, 0.05)
        fuzzyCompare(middle.g, 0.5, 0.05)
        fuzzyCompare(middle.b, 0.0, 0.05)

        seededPeers.cameraFrame()
        verify(preview.visible)
        compare(preview.width, 120)
        compare(preview.height, 170)
        verify(preview.x > screen.width / 2 && preview.y < 40, "top trailing corner")
        seededPeers.setCameras(2)
        seededPeers.cameraFrame()
        verify(flip.visible)

        seededApp.calls.toggleCallVideo()
        verify(!seededApp.calls.videoOn)
        verify(!preview.visible)
        verify(!flip.visible)
        verify(remote.visible, "the other side still sends")

        seededApp.calls.endCall()
        tryVerify(() => !screen.visible)
    }
}
