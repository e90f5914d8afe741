// Request targets as they arrive on the relay's port: target parsing, the
// registration read from it, and the directory's cursor decoding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "relay/directory.h"
#include "relay/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto target = merrowfax::relay::parseTarget(input)) {
        if (const auto reg = merrowfax::relay::parseRegistration(*target)) {
            if (reg->number.empty() || reg->computer.empty()) __builtin_trap();
            if (!merrowfax::relay::isCleanText(reg->name)) __builtin_trap();
        }
        if (const auto* after = target->find("after"))
            (void)merrowfax::relay::Directory::decodeCursor(*after);
    }
    return 0;
}
