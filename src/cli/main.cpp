// merrowfax-cli: the application without a window.

#include <QCoreApplication>

#include <clocale>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/device_commands.h"
#include "cli/json_lines.h"
#include "cli/number_commands.h"
#include "cli/session_commands.h"

namespace {

constexpr const char* kUsage =
    "usage: merrowfax-cli [--data DIR] [--audio-input ID] [--audio-output ID] [--camera ID] "
    "[--sounds] [--no-lan] run | send TO TEXT | state | devices | number ... | places ...";

constexpr const char* kHelp =
    "Usage: merrowfax-cli [OPTION]... COMMAND [ARGUMENT]...\n"
    "The Merrowfax application without a window, for scripts, bots and tests. Every\n"
    "answer is one JSON object per line on standard output. The exit status is 0\n"
    "when the command did what it says, 2 when it failed (the reason comes as a\n"
    "line {\"error\": TEXT}).\n"
    "\n"
    "Commands:\n"
    "  run                    read one JSON command per line on standard input, answer\n"
    "                         each with one reply line and report every change\n"
    "  send TO TEXT           send a text; exit 0 once sent, 2 when it still waits\n"
    "                         after 10 seconds\n"
    "  state                  every published property as one line\n"
    "  devices                the microphones, speakers and cameras the options take\n"
    "  number parse TEXT      a number's country, city, subscriber, text and place\n"
    "  number issue COUNTRY CITY  a fresh random number in that city\n"
    "  places countries [QUERY]   countries to pick from\n"
    "  places cities COUNTRY [QUERY]  cities of a country to pick from\n"
    "\n"
    "Options (before the command, in any order):\n"
    "  --data DIR             keep the data (and the computer identity) in DIR,\n"
    "                         a separate installation\n"
    "  --audio-input ID       microphone: a device's name, or file:PATH.wav\n"
    "  --audio-output ID      speaker: a device's name, or file:PATH.wav to record\n"
    "  --camera ID            camera: a device's name, or \"pattern\" for a test picture\n"
    "  --sounds               play the desktop's sounds\n"
    "  --no-lan               no direct links to devices on the network\n"
    "  -h, --help             show this help and end\n"
    "\n"
    "Environment:\n"
    "  MERROWFAX_SERVICE      the relay service, wss://HOST[:PORT] (ws:// on loopback)\n"
    "  XDG_DATA_HOME          without --data, the data folder is $XDG_DATA_HOME/Merrowfax\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace merrowfax::cli;
    std::setlocale(LC_ALL, "");
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::optional<std::filesystem::path> data;
    CallDevices devices;
    bool lan = true;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    // Options in any order, before the command.
    while (!args.empty() && args.front().starts_with("--")) {
        const std::string_view option = args.front();
        if (option == "--sounds" || option == "--no-lan") {
            if (option == "--sounds") {
                devices.sounds = true;
            } else {
                lan = false;
            }
            args.erase(args.begin());
            continue;
        }
        if (args.size() < 2) return failWith(kUsage);
        const std::string value(args[1]);
        if (option == "--data") {
            data = std::filesystem::path(value);
        } else if (option == "--audio-input") {
            devices.audioInput = value;
        } else if (option == "--audio-output") {
            devices.audioOutput = value;
        } else if (option == "--camera") {
            devices.camera = value;
        } else {
            return failWith(kUsage);
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return failWith(kUsage);
    const std::string_view command = args.front();
    const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
    if (command == "number") return runNumberCommand(rest);
    if (command == "places") return runPlacesCommand(rest);
    if (command == "devices" && rest.empty()) {
        QCoreApplication app(argc, argv);
        return runDevicesCommand();
    }

    const bool session = (command == "run" && rest.empty()) ||
                         (command == "send" && rest.size() == 2) ||
                         (command == "state" && rest.empty());
    if (!session) return failWith(kUsage);
    QCoreApplication app(argc, argv);
    Installation installation = installationAt(data);
    installation.devices = std::move(devices);
    installation.lan = lan;
    if (command == "run") return runSession(installation);
    if (command == "send") {
        return runSend(installation, std::string(rest[0]), std::string(rest[1]));
    }
    return runState(installation);
}
