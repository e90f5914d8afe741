// Envelope coding: a text record travels for every message, and a 900 KB
// file as base64 is the largest record the internet line carries.
#include <benchmark/benchmark.h>

#include "wire/base64.h"
#include "wire/bounded_json.h"
#include "wire/envelope_builders.h"
#include "wire/envelope_json.h"
#include "wire/receive.h"
#include "wire/service_records.h"

namespace {

using namespace merrowfax;
using namespace merrowfax::wire;

Envelope textRecord() {
    Envelope e = textEnvelope(Uuid::random(), "44-1-234-5678", "See you at eight, bring the map.",
                              786297600.123456);
    fillSender(e, "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "0-1-234-5678", "Ann Example");
    return e;
}

Envelope fileRecord() {
    std::vector<std::byte> bytes(900 * 1024);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>(i * 31);
    Envelope e =
        netFileEnvelope(Uuid::random(), "44-1-234-5678", "photo.jpg", "image", 786297600.5, bytes);
    e.number = "0-1-234-5678";
    return e;
}

void BM_EncodeText(benchmark::State& state) {
    const Envelope e = textRecord();
    for (auto _ : state) benchmark::DoNotOptimize(encodeEnvelope(e));
}
BENCHMARK(BM_EncodeText);

void BM_DecodeAndReceiveText(benchmark::State& state) {
    const std::string json = *encodeEnvelope(textRecord());
    for (auto _ : state) {
        auto e = decodeEnvelope(json);
        benchmark::DoNotOptimize(receiveEnvelope(*e, Transport::net, "0-1-234-5678", 1.0));
    }
}
BENCHMARK(BM_DecodeAndReceiveText);

void BM_EncodeFile900K(benchmark::State& state) {
    const Envelope e = fileRecord();
    for (auto _ : state) benchmark::DoNotOptimize(encodeEnvelope(e));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(e.payload->size()));
}
BENCHMARK(BM_EncodeFile900K)->Unit(benchmark::kMillisecond);

void BM_DecodeAndReceiveFile900K(benchmark::State& state) {
    const std::string json = *encodeEnvelope(fileRecord());
    for (auto _ : state) {
        auto e = decodeEnvelope(json);
        benchmark::DoNotOptimize(receiveEnvelope(*e, Transport::net, "0-1-234-5678", 1.0));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(json.size()));
}
BENCHMARK(BM_DecodeAndReceiveFile900K)->Unit(benchmark::kMillisecond);

// What the internet line does with each text message: a call audio record
// (20 ms of wire audio, base64) arrives fifty times a second.
std::string audioRecordJson() {
    Envelope e = audioEnvelope("44-1-234-5678", encodeBase64(Bytes(640, std::byte{0x2a})));
    e.number = "0-1-234-5678";
    return *encodeEnvelope(e);
}

// As the line read records before: a document parse to tell service
// records apart, then the envelope parse of the same text.
void BM_LineRecordTwoParses(benchmark::State& state) {
    const std::string json = audioRecordJson();
    for (auto _ : state) {
        rapidjson::MemoryPoolAllocator<> pool(1024);
        rapidjson::Document document(&pool);
        benchmark::DoNotOptimize(parseBoundedObject(json, document, kMaxEnvelopeBytes));
        benchmark::DoNotOptimize(decodeEnvelope(json));
    }
}
BENCHMARK(BM_LineRecordTwoParses);

void BM_LineRecordOneParse(benchmark::State& state) {
    const std::string json = audioRecordJson();
    for (auto _ : state) benchmark::DoNotOptimize(decodeLineRecord(json));
}
BENCHMARK(BM_LineRecordOneParse);

void BM_EnvelopeAloneForReference(benchmark::State& state) {
    const std::string json = audioRecordJson();
    for (auto _ : state) benchmark::DoNotOptimize(decodeEnvelope(json));
}
BENCHMARK(BM_EnvelopeAloneForReference);

}  // namespace
