#pragma once

#include <cstddef>
#include <vector>

#include "options.h"

// The measured runs. Each prints its RESULT lines and returns the exit code:
// 0 when it ran, 1 when its clients could not all register or stay up.
namespace merrowfax::bench {

class Load;

int texts(Load& load);    // the highest text rate within the latency budget
int audio(Load& load);    // call audio both ways on every pair
int screens(Load& load);  // large frames, with and without a slow receiver
int idle(Load& load);     // server memory per silent connection

// --- shared by the scenarios ---

// The --connections count, or the scenario's own.
std::size_t countOr(const Options& o, std::size_t fallback);
// Indices 0 to n - 1: every client sends.
std::vector<std::size_t> everyone(std::size_t n);
// Registers clients [0, n) and reports how fast; false when any failed.
bool registerAll(Load& load, std::size_t n);

}  // namespace merrowfax::bench
