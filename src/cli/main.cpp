// merrowfax-cli: the application without a window.

#include <clocale>
#include <string_view>
#include <vector>

#include "cli/json_lines.h"
#include "cli/number_commands.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        return merrowfax::cli::failWith("usage: merrowfax-cli number|places ...");
    }
    const std::string_view command = args.front();
    const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
    if (command == "number") return merrowfax::cli::runNumberCommand(rest);
    if (command == "places") return merrowfax::cli::runPlacesCommand(rest);
    return merrowfax::cli::failWith("unknown command");
}
