// Calls between devices through the real relay service: the signals, the
// records on both sides and the audio that starts when a call connects.
#include <gtest/gtest.h>

#include "device.h"
#include "platform/timings.h"
#include "support/ws_client.h"
#include "wire/base64.h"
#include "wire/frames.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

constexpr const char* kAnn = "0-1-234-5678";
constexpr const char* kBen = "44-1-555-0001";
constexpr const char* kCat = "1-1-222-2222";

class CallsThroughTheRelay : public ::testing::Test {
protected:
    RelayProcess relay;

    // Registered, so the service routes calls to each of them.
    static void allRegistered(std::initializer_list<Device*> devices) {
        ASSERT_TRUE(waitFor([&] {
            for (Device* d : devices) {
                if (!d->line->isRegistered()) return false;
            }
            return true;
        }));
    }

    // `from` calls `to`'s number and waits until `to` rings.
    static void ring(Device& from, Device& to, const char* number, bool video = false) {
        from.model->calls().startCall(number, video);
        ASSERT_TRUE(from.model->calls().active());
        ASSERT_TRUE(waitFor([&] { return to.model->calls().incoming().has_value(); }));
        EXPECT_EQ(to.model->calls().incoming()->id, from.model->calls().active()->id);
    }

    static bool connected(const Device& d) {
        return d.model->calls().active() && d.model->calls().active()->phase == CallPhase::active;
    }
};

TEST_F(CallsThroughTheRelay, AThirdNumbersMediaIsNeverPlayedIntoACall) {
    Device ann(relay, "mac-ANN", std::pair{kAnn, "Ann"});
    Device ben(relay, "mac-BEN", std::pair{kBen, "Ben"});
    allRegistered({&ann, &ben});
    WsClient cat(
        relay.port(),
        liveTarget(
            {{"number", kCat}, {"name", "Cat"}, {"device", "Mac"}, {"computer", "mac-CAT"}}));
    ASSERT_TRUE(cat.waitFor("pin"));

    ring(ann, ben, kBen);
    ben.model->calls().answerCall();
    ASSERT_TRUE(waitFor([&] { return connected(ann); }));
    ASSERT_TRUE(waitFor([&] { return ben.media->received.size() >= 2; }));  // both tones

    // Cat addresses audio and video to Ben, in every form media travels in.
    const wire::Bytes catAudio(640, std::byte{0x0C});
    cat.sendText(R"({"op":"audio","to":")" + std::string(kBen) + R"(","payload":")" +
                 wire::encodeBase64(catAudio) + R"("})");
    for (auto kind : {wire::FrameKind::audio, wire::FrameKind::video}) {
        const auto frame = wire::encodeNetFrame(kind, kBen, catAudio);
        cat.sendBinary(std::string(reinterpret_cast<const char*>(frame.data()), frame.size()));
    }
    // Ann's audio still comes through.
    const wire::Bytes annAudio(640, std::byte{0x0A});
    ann.media->callbacks.onAudio(annAudio);
    ASSERT_TRUE(waitFor([&] { return ben.media->received.back() == annAudio; }));
    idle(200);
    for (const auto& chunk : ben.media->received) EXPECT_NE(chunk, catAudio);
    EXPECT_EQ(ben.media->framesShown, 0);
}

}  // namespace
