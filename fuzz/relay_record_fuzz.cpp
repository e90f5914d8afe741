// Client records on the live endpoint: JSON parsing, stamping and the book
// cleaner, which all run before a record is forwarded or stored.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "relay/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auto record = merrowfax::relay::json::parseObject(input);
    if (!record) return 0;
    const auto& doc = *record;
    const auto contacts = doc.FindMember("contacts");
    if (contacts != doc.MemberEnd()) {
        if (const auto book = merrowfax::relay::json::cleanBook(contacts->value, 5000)) {
            // What is stored must read back as the same numbers.
            if (merrowfax::relay::json::bookNumbers(book->json) != book->numbers) __builtin_trap();
        }
    }
    // What is forwarded must itself be a valid record.
    const auto stamped = merrowfax::relay::json::stamped(*record, "0-1-234-5678");
    if (stamped && !merrowfax::relay::json::parseObject(*stamped)) __builtin_trap();
    return 0;
}
