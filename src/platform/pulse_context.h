#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_format.h"

namespace merrowfax {

// One connection to the sound server (PulseAudio, or PipeWire's PulseAudio
// service): a context on its own threaded main loop. Callbacks of everything
// made on it run on that loop's thread with the loop lock held; other threads
// take the lock (PulseLock) before touching the context or its streams.
// Every wait gives up after a timeout, so a server that is gone or stuck
// never hangs the caller.
class PulseConnection {
public:
    // Connected and ready, or nothing (no server, refused, timed out).
    static std::unique_ptr<PulseConnection> open(std::chrono::milliseconds timeout);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    // With the lock held: the context still talks to the server.
    bool ready() const;

    // With the lock held: waits until `done()` (checked whenever a callback
    // signals the loop), the context fails, or the timeout passes.
    bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // With the lock held: waits for an operation (and unrefs it); on timeout
    // it is cancelled so its callback never runs later.
    bool finish(pa_operation* operation, std::chrono::milliseconds timeout);
    // Wakes wait(); for callbacks.
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

private:
    PulseConnection() = default;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool started_ = false;
};

// The loop lock of a connection for a scope.
class PulseLock {
public:
    explicit PulseLock(const PulseConnection& c) : loop_(c.loop()) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~PulseLock() { pa_threaded_mainloop_unlock(loop_); }
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// A source (input) or sink (output) of the server.
struct PulseDevice {
    std::string name;         // the server's system name, e.g. "alsa_input.pci-..."
    std::string description;  // what a person reads, e.g. "Built-in Audio Analog Stereo"
    AudioFormat format;       // the device's own rate and channels
    bool monitor = false;     // a source that hears a sink's output
};

enum class PulseDirection { input, output };

// With the lock held: every source or sink of the server; nothing when the
// server does not answer in time.
std::optional<std::vector<PulseDevice>> listPulseDevices(PulseConnection& connection,
                                                         PulseDirection direction,
                                                         std::chrono::milliseconds timeout);
// With the lock held: the device a user picked: empty is the server's default,
// otherwise a device whose name, or else description, is `choice`.
std::optional<PulseDevice> findPulseDevice(PulseConnection& connection, PulseDirection direction,
                                           const std::string& choice,
                                           std::chrono::milliseconds timeout);

}  // namespace merrowfax
