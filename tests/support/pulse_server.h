#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_format.h"

namespace merrowfax::testing {

// A private PulseAudio server for one test, in a fresh folder (HOME and
// XDG_RUNTIME_DIR point there, so no system or user daemon is involved).
// Each client gets a pipe source "micN" ("Test Microphone N") fed through
// its own FIFO and a null sink "speakerN" ("Test Speaker N") whose monitor
// "speakerN.monitor" hears what is played. While it lives PULSE_SERVER (and
// PULSE_COOKIE) point this process's clients at it. The pipe path adds
// hundreds of milliseconds: enough to show sound crosses, never to time it.
// Throws std::runtime_error when the server does not start.
class PulseServer {
public:
    struct Options {
        int clients = 1;
        AudioFormat microphone{48000, 2};  // the pipe sources' format
    };

    // The pulseaudio binary is on PATH (tests skip without it).
    static bool available();

    PulseServer();
    explicit PulseServer(Options options);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    std::string address() const;  // unix:DIR/pulse/native
    const Options& options() const { return options_; }
    static std::string microphoneName(int client = 0) { return "mic" + std::to_string(client); }
    static std::string microphoneDescription(int client = 0) {
        return "Test Microphone " + std::to_string(client);
    }
    static std::string speakerName(int client = 0) { return "speaker" + std::to_string(client); }
    static std::string speakerDescription(int client = 0) {
        return "Test Speaker " + std::to_string(client);
    }
    std::filesystem::path fifo(int client = 0) const;
    std::string log() const;

    // SIGKILL and wait: the server vanishing under its clients.
    void kill();

private:
    void start();

    Options options_;
    std::filesystem::path root_;
    pid_t pid_ = -1;
    std::optional<std::string> previousServer_, previousCookie_;
};

// Writes a sine tone into a client's pipe source as a real microphone
// delivers it: 20 ms every 20 ms (the pipe source reads as fast as it is
// fed). Stops with the object; a server that went away is not an error.
class ToneFeeder {
public:
    ToneFeeder(const PulseServer& server, double hz, int client = 0, double amplitude = 0.5);
    ~ToneFeeder();
    ToneFeeder(const ToneFeeder&) = delete;
    ToneFeeder& operator=(const ToneFeeder&) = delete;

private:
    void run(std::filesystem::path fifo, AudioFormat format, double hz, double amplitude);

    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Records what a client's null sink plays, from its monitor through parec,
// as 16 kHz mono.
class MonitorRecorder {
public:
    static constexpr int kRate = 16000;

    // Returns once the monitor delivers (at most a few seconds): a freshly
    // loaded null sink plays nothing for its first second or two, and what a
    // test plays into it then is lost.
    explicit MonitorRecorder(const PulseServer& server, int client = 0);
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    std::vector<std::int16_t> samples() const;

private:
    pid_t pid_ = -1;
    int out_ = -1;
    mutable std::mutex mutex_;
    std::vector<std::int16_t> samples_;
    std::thread thread_;
};

}  // namespace merrowfax::testing
