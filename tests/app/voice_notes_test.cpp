// Voice messages against a microphone the test speaks into: a recording
// belongs to its chat, and leaving the chat or a call beginning sends it.
#include <memory>
#include <vector>

#include "app/voice_notes.h"
#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

// One microphone's state, kept by the test after the recorder drops it.
struct Mic {
    AudioSource::OnChunk onChunk;
    bool open = false;
};

class HandMic final : public AudioSource {
public:
    explicit HandMic(std::shared_ptr<Mic> mic) : mic_(std::move(mic)) {}
    AudioFormat format() const override { return kWireAudioFormat; }
    bool start(OnChunk onChunk) override {
        mic_->onChunk = std::move(onChunk);
        mic_->open = true;
        return true;
    }
    void stop() override {
        mic_->onChunk = nullptr;
        mic_->open = false;
    }

private:
    std::shared_ptr<Mic> mic_;
};

class VoiceNotesTest : public ModelTest {
protected:
    std::vector<std::shared_ptr<Mic>> mics;  // one per recording, in order
    VoiceNotes* voice = nullptr;
    std::vector<std::string> changes;  // recordingFor() at each change
    int ends = 0;

    void SetUp() override {
        microphone = [this] {
            mics.push_back(std::make_shared<Mic>());
            return std::make_unique<HandMic>(mics.back());
        };
        start();
        line->open = true;
        fromLine(text(kAlice, "hi"));
        fromLine(text(kBob, "hey", Uuid::random(), "Bob"));
        voice = &model->voice();
        QObject::connect(voice, &VoiceNotes::recordingChanged,
                         [this] { changes.push_back(voice->recordingFor()); });
        QObject::connect(voice, &VoiceNotes::ended, [this] { ++ends; });
    }

    // A tenth of a second of sound into the microphone last opened.
    void speak() {
        ASSERT_FALSE(mics.empty());
        const std::vector<std::int16_t> sound(1600, 4000);
        if (mics.back()->onChunk) mics.back()->onChunk(sound);
    }
    bool finished() {
        return waitUntil([&] { return !voice->recording(); }, 10000);
    }
    std::size_t voiceMessages(const char* number) const {
        std::size_t n = 0;
        if (const ChatThread* t = threadOf(number)) {
            for (const auto& m : t->messages) {
                if (m.sender == "me" && m.attachmentName == "voice.m4a") ++n;
            }
        }
        return n;
    }
};

TEST_F(VoiceNotesTest, TheRecordingNamesItsChatAndLeavingThatChatSendsIt) {
    ASSERT_TRUE(voice->start(kAlice));
    EXPECT_EQ(voice->recordingFor(), kAlice);
    EXPECT_FALSE(voice->start(kAlice)) << "it records there already";
    speak();
    voice->leaveChat(kBob);
    EXPECT_TRUE(mics.back()->open) << "another chat was left";

    voice->leaveChat(kAlice);
    EXPECT_FALSE(mics.back()->open) << "the microphone closes on leaving";
    ASSERT_TRUE(finished());
    EXPECT_EQ(voice->recordingFor(), "");
    EXPECT_EQ(changes, (std::vector<std::string>{kAlice, ""}));
    EXPECT_EQ(voiceMessages(kAlice), 1u);
    EXPECT_EQ(voiceMessages(kBob), 0u);
    EXPECT_EQ(ends, 1);
}

TEST_F(VoiceNotesTest, APlacedOrAnsweredCallSendsTheRecordingOnce) {
    ASSERT_TRUE(voice->start(kAlice));
    speak();
    model->calls().startCall(kBob, false);
    ASSERT_TRUE(model->calls().active());
    EXPECT_FALSE(mics.back()->open);
    ASSERT_TRUE(finished());
    EXPECT_EQ(voiceMessages(kAlice), 1u);
    EXPECT_FALSE(voice->start(kAlice)) << "the call holds the microphone";
    model->calls().endCall();

    // Ringing leaves the recording alone; answering ends it.
    ASSERT_TRUE(voice->start(kAlice));
    speak();
    fromLine(wire::events::Call{"invite", Uuid::random(), kBob, "Mac", "Bob", false, kBob});
    ASSERT_TRUE(model->calls().incoming());
    EXPECT_TRUE(mics.back()->open);
    model->calls().answerCall();
    EXPECT_FALSE(mics.back()->open);
    ASSERT_TRUE(finished());
    // Later changes of the call (its media, the end) end nothing more.
    model->calls().endCall();
    settle();
    EXPECT_EQ(voiceMessages(kAlice), 2u);
    EXPECT_EQ(ends, 2);
}

// Without an encoder nothing records, and the microphone is never opened.
TEST_F(VoiceNotesTest, WithoutAnEncoderNothingRecords) {
    model.reset();
    voiceEncoder = nullptr;
    start();
    voice = &model->voice();
    EXPECT_FALSE(voice->start(kAlice));
    EXPECT_FALSE(voice->recording());
    EXPECT_TRUE(mics.empty());
}

}  // namespace
