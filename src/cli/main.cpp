// merrowfax-cli: the application without a window.

#include <QCoreApplication>

#include <clocale>
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

}  // namespace

int main(int argc, char** argv) {
    using namespace merrowfax::cli;
    std::setlocale(LC_ALL, "");
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::optional<std::filesystem::path> data;
    CallDevices devices;
    bool lan = true;
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
