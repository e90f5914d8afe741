// Envelope decoding and interpretation on arbitrary bytes. Besides not
// crashing: whatever decodes encodes again and decodes to the same envelope,
// and the events honour their own rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <variant>

#include "wire/envelope_json.h"
#include "wire/receive.h"
#include "wire/service_records.h"

namespace {

using namespace merrowfax::wire;

void check(bool ok) {
    if (!ok) std::abort();
}

void interpret(const Envelope& envelope, Transport transport) {
    auto incoming = receiveEnvelope(envelope, transport, "peer", 1.0);
    if (!incoming) return;
    if (const auto* event = std::get_if<PeerEvent>(&*incoming)) {
        if (const auto* audio = std::get_if<events::Audio>(event)) check(audio->bytes.size() >= 2);
    } else if (const auto* file = std::get_if<IncomingFile>(&*incoming)) {
        check(!file->localName.empty() && file->localName.find('/') == std::string::npos);
        check(transport == Transport::net ? file->resource.empty() : file->bytes.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);

    if (auto envelope = decodeEnvelope(input)) {
        auto json = encodeEnvelope(*envelope);
        // Re-encoding may lengthen numbers ("1e18"), so only a record near the
        // bound may fail to encode.
        check(json || size > kMaxEnvelopeBytes / 2);
        if (json) {
            auto again = decodeEnvelope(*json);
            check(again && *again == *envelope);
        }
        interpret(*envelope, Transport::lan);
        interpret(*envelope, Transport::net);
    }

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto record = decodeServiceRecord(text)) {
        if (const auto* book = std::get_if<service::Book>(&*record)) {
            auto json = encodeBookStore(book->contacts);
            check(json || size > kMaxEnvelopeBytes / 2);
            if (json) check(decodeServiceRecord(*json) == ServiceRecord(*book));
        }
    }

    if (auto frame = parseLanFrame(input)) (void)eventFromFrame(*frame, "0-1-234-5678");
    if (auto frame = parseNetFrame(input)) (void)eventFromFrame(*frame);
    return 0;
}
