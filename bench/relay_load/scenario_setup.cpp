#include <chrono>

#include "clock.h"
#include "load.h"
#include "report.h"
#include "scenarios.h"

namespace merrowfax::bench {

using namespace std::chrono_literals;

std::size_t countOr(const Options& o, std::size_t fallback) {
    return o.connections ? o.connections : fallback;
}

std::vector<std::size_t> everyone(std::size_t n) {
    std::vector<std::size_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = i;
    return out;
}

bool registerAll(Load& load, std::size_t n) {
    const auto t0 = nowNs();
    if (!load.connect(0, n, 120s)) return false;
    result("registrations_per_s",
           static_cast<double>(n) * kSecond / static_cast<double>(nowNs() - t0));
    return true;
}

}  // namespace merrowfax::bench
