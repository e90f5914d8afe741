#include "platform/diagnostic_log.h"

#include <QLoggingCategory>
#include <QString>

#include <chrono>
#include <mutex>

namespace merrowfax {
namespace {

Q_LOGGING_CATEGORY(callLog, "call", QtInfoMsg)

}  // namespace

void diagnosticLog(std::string_view line) {
    using Clock = std::chrono::steady_clock;
    static std::mutex mutex;
    static Clock::time_point last{};
    {
        std::lock_guard lock(mutex);
        const auto current = Clock::now();
        if (last != Clock::time_point{} && current - last < std::chrono::seconds(1)) return;
        last = current;
    }
    qCInfo(callLog).noquote() << QString::fromUtf8(line.data(),
                                                   static_cast<qsizetype>(line.size()));
}

}  // namespace merrowfax
