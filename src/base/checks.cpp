// What a failed check does: one line on the standard error, and the end of the program.
#include "base/checks.h"

#include <cstdio>
#include <cstdlib>

// cppcheck-suppress unusedFunction ; KORVANE_CHECK calls it in the builds that check
void checkFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "korvane: check failed at %s:%d: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}
