#include "process_memory.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace merrowfax::bench {

std::uint64_t residentKb(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

}  // namespace merrowfax::bench
