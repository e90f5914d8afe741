// Parsing and printing numbers: both run for every contact, thread and
// envelope, so they must stay far below a microsecond.

#include <benchmark/benchmark.h>

#include "numbers/virtual_number.h"

namespace {

using merrowfax::VirtualNumber;

void BM_ParseCanonical(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(VirtualNumber::parse("0-1-234-5678"));
}
BENCHMARK(BM_ParseCanonical)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ParseTyped(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(VirtualNumber::parse("+44 (1) 234 5678"));
}
BENCHMARK(BM_ParseTyped)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ParseFourDigitCountry(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(VirtualNumber::parse("1242-2-123-4567"));
}
BENCHMARK(BM_ParseFourDigitCountry)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ParseRejected(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(VirtualNumber::parse("1-501-234-5678"));
}
BENCHMARK(BM_ParseRejected)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_Text(benchmark::State& state) {
    const VirtualNumber number{{"44"}, 1, 2345678};
    for (auto _ : state) benchmark::DoNotOptimize(number.text());
}
BENCHMARK(BM_Text)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
