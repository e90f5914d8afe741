#pragma once

#include <sys/types.h>

#include <cstdint>

namespace merrowfax::bench {

// Resident memory of a process in KB, 0 when unknown (no pid, or gone).
std::uint64_t residentKb(pid_t pid);

// CPU time a process has used so far (all its threads, user and system), in
// seconds; 0 when unknown.
double cpuSeconds(pid_t pid);

}  // namespace merrowfax::bench
