#pragma once

#include <string>

// What the generator tells its caller: "RESULT key value" lines on stdout,
// which bench/run-relay-bench collects into its table, and human notes on
// stderr.
namespace merrowfax::bench {

void result(const char* key, double value);
inline void result(const std::string& key, double value) {
    result(key.c_str(), value);
}

void note(const std::string& text);

}  // namespace merrowfax::bench
