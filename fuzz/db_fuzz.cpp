// The database and snapshot decoders on arbitrary bytes: never crash, and
// whatever decodes encodes to a document that decodes to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "model/record_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace merrowfax;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (auto db = decodeDatabase(input)) {
        auto again = decodeDatabase(encodeDatabase(*db));
        if (!again || !(*again == *db)) std::abort();
    }
    if (auto snapshot = decodeSnapshot(input)) {
        auto again = decodeSnapshot(encodeSnapshot(*snapshot));
        if (!again || !(*again == *snapshot)) std::abort();
    }
    return 0;
}
