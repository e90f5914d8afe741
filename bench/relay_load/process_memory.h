#pragma once

#include <sys/types.h>

#include <cstdint>

namespace merrowfax::bench {

// Resident memory of a process in KB, 0 when unknown (no pid, or gone).
std::uint64_t residentKb(pid_t pid);

}  // namespace merrowfax::bench
