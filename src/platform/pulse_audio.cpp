#include "platform/pulse_audio.h"

#include <algorithm>
#include <cstring>

#include "platform/diagnostic_log.h"
#include "platform/timings.h"

namespace merrowfax {
namespace {

using namespace std::chrono_literals;

// Voice-client buffering: the microphone hands over every 20 ms, the speaker
// keeps 60 ms queued at the server and starts after one 20 ms chunk.
constexpr auto kCaptureFragment = 20ms;
constexpr auto kPlaybackTarget = 60ms;
constexpr auto kPlaybackStart = 20ms;

std::uint32_t bytesFor(std::chrono::milliseconds duration, const pa_sample_spec& spec) {
    return static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(duration.count()) * PA_USEC_PER_MSEC, &spec));
}

pa_sample_spec specOf(AudioFormat format) {
    return {PA_SAMPLE_S16NE, static_cast<std::uint32_t>(format.sampleRate),
            static_cast<std::uint8_t>(format.channels)};
}

bool usable(AudioFormat format) {
    return format.sampleRate > 0 && static_cast<std::uint32_t>(format.sampleRate) <= PA_RATE_MAX &&
           format.channels > 0 && format.channels <= static_cast<int>(PA_CHANNELS_MAX);
}

std::string contextError(const PulseConnection* connection) {
    return connection ? pa_strerror(pa_context_errno(connection->context())) : "no connection";
}

void onStreamState(pa_stream* stream, void* data) {
    auto* connection = static_cast<PulseConnection*>(data);
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED) {
        diagnosticLog("sound stream failed: " + contextError(connection));
    }
    connection->signal();
}

}  // namespace

bool PulseStream::open(PulseDirection direction, const std::string& device, AudioFormat format,
                       const pa_buffer_attr& wanted, Setup setup, void* data) {
    close();
    bool reusable = false;
    if (connection_) {
        PulseLock lock(*connection_);
        reusable = connection_->ready();
    }
    if (!reusable) connection_.reset();  // not under its lock: that joins its thread
    const auto timeout = timings().soundServer;
    if (!connection_) connection_ = PulseConnection::open(timeout);
    if (!connection_ || !usable(format)) return false;

    PulseLock lock(*connection_);
    const pa_sample_spec spec = specOf(format);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "phone");
    stream_ = pa_stream_new_with_proplist(
        connection_->context(), direction == PulseDirection::input ? "Microphone" : "Call audio",
        &spec, &map, properties);
    pa_proplist_free(properties);
    if (!stream_) return false;
    pa_stream_set_state_callback(stream_, onStreamState, connection_.get());
    setup(stream_, data);

    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    const char* name = device.empty() ? nullptr : device.c_str();
    const int connected =
        direction == PulseDirection::input
            ? pa_stream_connect_record(stream_, name, &wanted, flags)
            : pa_stream_connect_playback(stream_, name, &wanted, flags, nullptr, nullptr);
    const bool ready =
        connected == 0 &&
        connection_->wait([&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                          timeout) &&
        pa_stream_get_state(stream_) == PA_STREAM_READY;
    if (ready) return true;
    diagnosticLog("sound stream did not start: " + contextError(connection_.get()));
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    return false;
}

void PulseStream::close() {
    if (!stream_) return;
    PulseLock lock(*connection_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

pa_stream* PulseStream::live() const {
    return stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY ? stream_ : nullptr;
}

std::optional<PulseStreamReport> PulseStream::report() const {
    if (!connection_) return std::nullopt;
    PulseLock lock(*connection_);
    pa_stream* stream = live();
    if (!stream) return std::nullopt;
    PulseStreamReport report;
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream))
        report.granted = *granted;
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &usec, &negative) == 0) {
        report.latency = std::chrono::microseconds(negative ? 0 : usec);
    }
    return report;
}

PulseMicrophone::PulseMicrophone(std::string device, AudioFormat format,
                                 std::unique_ptr<PulseConnection> connection)
    : device_(std::move(device)), format_(format) {
    stream_.adopt(std::move(connection));
}

PulseMicrophone::~PulseMicrophone() {
    stop();
}

bool PulseMicrophone::start(OnChunk onChunk) {
    std::lock_guard lifecycle(lifecycle_);
    stream_.close();
    onChunk_ = std::move(onChunk);
    pending_.clear();
    const pa_sample_spec spec = specOf(format_);
    const pa_buffer_attr wanted{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                bytesFor(kCaptureFragment, spec)};
    if (stream_.open(PulseDirection::input, device_, format_, wanted, setup, this)) return true;
    onChunk_ = nullptr;
    return false;
}

void PulseMicrophone::stop() {
    std::lock_guard lifecycle(lifecycle_);
    stream_.close();
    onChunk_ = nullptr;
}

std::optional<PulseStreamReport> PulseMicrophone::report() const {
    std::lock_guard lifecycle(lifecycle_);
    return stream_.report();
}

void PulseMicrophone::setup(pa_stream* stream, void* self) {
    pa_stream_set_read_callback(
        stream,
        [](pa_stream* s, std::size_t, void* d) { static_cast<PulseMicrophone*>(d)->read(s); },
        self);
}

void PulseMicrophone::read(pa_stream* stream) {
    const auto frameBytes = static_cast<std::size_t>(format_.bytesPerFrame());
    const auto maxFrames = std::max<std::size_t>(
        1, static_cast<std::size_t>(format_.sampleRate) * kCaptureFragment.count() / 1000);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // No data with a size is a hole in the recording: nothing to hand on.
        if (data) {
            const auto* from = static_cast<const std::uint8_t*>(data);
            pending_.insert(pending_.end(), from, from + bytes);
        }
        pa_stream_drop(stream);
        std::size_t offset = 0;
        while (pending_.size() - offset >= frameBytes) {
            const std::size_t frames = std::min(maxFrames, (pending_.size() - offset) / frameBytes);
            chunk_.resize(frames * static_cast<std::size_t>(format_.channels));
            std::memcpy(chunk_.data(), pending_.data() + offset, frames * frameBytes);
            offset += frames * frameBytes;
            if (onChunk_) onChunk_(chunk_);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

PulseSpeaker::PulseSpeaker(std::string device, std::unique_ptr<PulseConnection> connection)
    : device_(std::move(device)) {
    stream_.adopt(std::move(connection));
}

PulseSpeaker::~PulseSpeaker() {
    stop();
}

bool PulseSpeaker::start() {
    std::lock_guard lifecycle(lifecycle_);
    stream_.close();
    jitter_.reset();
    const pa_sample_spec spec = specOf(kWireAudioFormat);
    const pa_buffer_attr wanted{static_cast<std::uint32_t>(-1), bytesFor(kPlaybackTarget, spec),
                                bytesFor(kPlaybackStart, spec), static_cast<std::uint32_t>(-1),
                                static_cast<std::uint32_t>(-1)};
    return stream_.open(PulseDirection::output, device_, kWireAudioFormat, wanted, setup, this);
}

void PulseSpeaker::stop() {
    std::lock_guard lifecycle(lifecycle_);
    stream_.close();
}

std::optional<PulseStreamReport> PulseSpeaker::report() const {
    std::lock_guard lifecycle(lifecycle_);
    return stream_.report();
}

void PulseSpeaker::play(std::span<const std::int16_t> samples) {
    jitter_.push(samples, std::chrono::steady_clock::now());
}

void PulseSpeaker::setup(pa_stream* stream, void* self) {
    pa_stream_set_write_callback(
        stream, [](pa_stream* s, std::size_t, void* d) { static_cast<PulseSpeaker*>(d)->feed(s); },
        self);
    // The stream is always fed, so this means the server's thread itself
    // fell behind.
    pa_stream_set_underflow_callback(
        stream, [](pa_stream*, void*) { diagnosticLog("sound server ran out of speaker audio"); },
        self);
}

void PulseSpeaker::feed(pa_stream* stream) {
    std::size_t room = pa_stream_writable_size(stream);
    if (room == static_cast<std::size_t>(-1)) return;
    const std::size_t underrunsBefore = jitter_.underruns();
    // Straight into the server's memory: nothing is allocated or copied
    // twice on its thread.
    while (room >= sizeof(std::int16_t)) {
        void* data = nullptr;
        std::size_t bytes = room;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data) break;
        bytes = std::min(bytes, room) / sizeof(std::int16_t) * sizeof(std::int16_t);
        if (bytes == 0) {
            pa_stream_cancel_write(stream);
            break;
        }
        const std::span<std::int16_t> out(static_cast<std::int16_t*>(data),
                                          bytes / sizeof(std::int16_t));
        jitter_.pull(out, std::chrono::steady_clock::now());
        reportPlayed(out);
        if (pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            diagnosticLog("speaker write failed");
            break;
        }
        room -= bytes;
    }
    const std::size_t underrunsAfter = jitter_.underruns();
    if (underrunsAfter == underrunsBefore) return;
    for (std::size_t i = underrunsBefore; i < underrunsAfter; ++i) reportUnderrun();
    diagnosticLog([&] {
        const JitterBuffer::Stats stats = jitter_.stats();
        return "speaker underrun " + std::to_string(underrunsAfter) + "; dropped so far " +
               std::to_string(stats.dropped) + " samples, target " +
               std::to_string(jitter_.target().count()) + " ms";
    });
}

std::unique_ptr<PulseMicrophone> openPulseMicrophone(const std::string& choice) {
    auto connection = PulseConnection::open(timings().soundServer);
    if (!connection) return nullptr;
    std::optional<PulseDevice> device;
    {
        PulseLock lock(*connection);
        device = findPulseDevice(*connection, PulseDirection::input, choice, timings().soundServer);
    }
    if (!device || !usable(device->format)) {
        diagnosticLog("no microphone \"" + choice + "\"");
        return nullptr;
    }
    return std::make_unique<PulseMicrophone>(choice.empty() ? std::string() : device->name,
                                             device->format, std::move(connection));
}

std::unique_ptr<PulseSpeaker> openPulseSpeaker(const std::string& choice) {
    auto connection = PulseConnection::open(timings().soundServer);
    if (!connection) return nullptr;
    std::optional<PulseDevice> device;
    {
        PulseLock lock(*connection);
        device =
            findPulseDevice(*connection, PulseDirection::output, choice, timings().soundServer);
    }
    if (!device) {
        diagnosticLog("no speaker \"" + choice + "\"");
        return nullptr;
    }
    return std::make_unique<PulseSpeaker>(choice.empty() ? std::string() : device->name,
                                          std::move(connection));
}

}  // namespace merrowfax
