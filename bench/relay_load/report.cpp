#include "report.h"

#include <cstdio>

namespace merrowfax::bench {

void result(const char* key, double value) {
    std::printf("RESULT %s %.6g\n", key, value);
    // The caller reads the lines as they come, through a pipe.
    std::fflush(stdout);
}

void note(const std::string& text) {
    std::fprintf(stderr, "relay_load: %s\n", text.c_str());
}

}  // namespace merrowfax::bench
