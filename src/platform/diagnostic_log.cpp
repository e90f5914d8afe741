#include "platform/diagnostic_log.h"

#include <QLoggingCategory>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace merrowfax {
namespace {

Q_LOGGING_CATEGORY(callLog, "call", QtInfoMsg)

// When the last line was written, in steady-clock nanoseconds; 0 for never.
std::atomic<std::int64_t> lastLine{0};

}  // namespace

bool claimDiagnosticLine() {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::int64_t last = lastLine.load(std::memory_order_relaxed);
    constexpr std::int64_t kInterval = 1'000'000'000;
    if (last != 0 && now - last < kInterval) return false;
    // Of the threads that saw the same last line, one wins the second.
    return lastLine.compare_exchange_strong(last, now, std::memory_order_relaxed);
}

void writeDiagnosticLine(std::string_view line) {
    qCInfo(callLog).noquote() << QString::fromUtf8(line.data(),
                                                   static_cast<qsizetype>(line.size()));
}

void diagnosticLog(std::string_view line) {
    if (claimDiagnosticLine()) writeDiagnosticLine(line);
}

}  // namespace merrowfax
