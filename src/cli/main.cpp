// merrowfax-cli: the application without a window.

#include <QCoreApplication>

#include <clocale>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/json_lines.h"
#include "cli/number_commands.h"
#include "cli/session_commands.h"

namespace {

constexpr const char* kUsage =
    "usage: merrowfax-cli [--data DIR] run | send TO TEXT | state | number ... | places ...";

}  // namespace

int main(int argc, char** argv) {
    using namespace merrowfax::cli;
    std::setlocale(LC_ALL, "");
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::optional<std::filesystem::path> data;
    if (args.size() >= 2 && args[0] == "--data") {
        data = std::filesystem::path(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return failWith(kUsage);
    const std::string_view command = args.front();
    const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
    if (command == "number") return runNumberCommand(rest);
    if (command == "places") return runPlacesCommand(rest);

    const bool session = (command == "run" && rest.empty()) ||
                         (command == "send" && rest.size() == 2) ||
                         (command == "state" && rest.empty());
    if (!session) return failWith(kUsage);
    QCoreApplication app(argc, argv);
    const Installation installation = installationAt(data);
    if (command == "run") return runSession(installation);
    if (command == "send") {
        return runSend(installation, std::string(rest[0]), std::string(rest[1]));
    }
    return runState(installation);
}
