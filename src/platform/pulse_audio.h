#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/jitter_buffer.h"
#include "platform/pulse_context.h"

namespace merrowfax {

// What the server made of a stream's buffer request, in bytes, and the
// latency it reports (device and buffers, microseconds) when it knows it.
struct PulseStreamReport {
    pa_buffer_attr granted{};
    std::optional<std::chrono::microseconds> latency;
};

// One record or playback stream of 16-bit samples on a connection of its own,
// opened again (on a new connection when the old one died) by each open().
class PulseStream {
public:
    using Setup = void (*)(pa_stream*, void*);

    PulseStream() = default;
    ~PulseStream() { close(); }
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects to `device` (empty: the server's default, followed when it
    // changes); `setup` installs the data callbacks before the stream starts.
    // Takes over a connection that is already open (for the first open()).
    void adopt(std::unique_ptr<PulseConnection> connection) { connection_ = std::move(connection); }
    bool open(PulseDirection direction, const std::string& device, AudioFormat format,
              const pa_buffer_attr& wanted, Setup setup, void* data);
    // No callback of the stream runs after this returns.
    void close();

    // With the lock held: the stream, while it runs.
    pa_stream* live() const;
    PulseConnection* connection() const { return connection_.get(); }
    std::optional<PulseStreamReport> report() const;

private:
    std::unique_ptr<PulseConnection> connection_;
    pa_stream* stream_ = nullptr;
};

// A sound-server source captured at its own rate and channel count, in
// chunks of at most 20 ms.
class PulseMicrophone final : public AudioSource {
public:
    // `device` empty: the default source. Its format is read when it is found.
    PulseMicrophone(std::string device, AudioFormat format,
                    std::unique_ptr<PulseConnection> connection = nullptr);
    ~PulseMicrophone() override;

    AudioFormat format() const override { return format_; }
    // `onChunk` runs on the connection's thread; it must not call stop().
    bool start(OnChunk onChunk) override;
    void stop() override;
    std::optional<PulseStreamReport> report() const;

private:
    static void setup(pa_stream* stream, void* self);
    void read(pa_stream* stream);

    const std::string device_;
    const AudioFormat format_;
    mutable std::mutex lifecycle_;  // before the loop lock
    PulseStream stream_;
    OnChunk onChunk_;
    std::vector<std::uint8_t> pending_;  // bytes short of a whole frame
    std::vector<std::int16_t> chunk_;
};

// A sound-server sink fed 16 kHz mono (the server converts). play() only
// puts the audio in a jitter buffer; the server's write callback takes from
// it exactly what it writes, silence when the buffer has nothing to play, so
// the server's own buffer stays small and never waits for the network.
class PulseSpeaker final : public AudioSink {
public:
    explicit PulseSpeaker(std::string device,
                          std::unique_ptr<PulseConnection> connection = nullptr);
    ~PulseSpeaker() override;

    AudioFormat format() const override { return kWireAudioFormat; }
    bool start() override;
    // From any thread; never waits for the sound server.
    void play(std::span<const std::int16_t> samples) override;
    void stop() override;
    std::optional<PulseStreamReport> report() const;
    // Times playing audio ran out since start().
    std::size_t underruns() const { return jitter_.underruns(); }
    JitterBuffer::Stats jitterStats() const { return jitter_.stats(); }
    std::optional<JitterBuffer::Stats> playoutStats() const override { return jitter_.stats(); }

private:
    static void setup(pa_stream* stream, void* self);
    void feed(pa_stream* stream);

    const std::string device_;
    mutable std::mutex lifecycle_;  // before the loop lock
    PulseStream stream_;
    JitterBuffer jitter_;
};

// Looks the device up and makes it; nothing when there is no server or no
// such device.
std::unique_ptr<PulseMicrophone> openPulseMicrophone(const std::string& choice);
std::unique_ptr<PulseSpeaker> openPulseSpeaker(const std::string& choice);

}  // namespace merrowfax
