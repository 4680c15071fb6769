// Checks of what must always hold, made in the builds that look for faults
// (debug builds and the sanitizers' define KORVANE_CHECKS): a check that
// fails ends the program at once, saying where and what, as assert does.
// Other builds check nothing and pay nothing.
#ifndef KORVANE_BASE_CHECKS_H
#define KORVANE_BASE_CHECKS_H

// Writes what failed and where to the standard error, and ends the program.
[[noreturn]] void checkFailed(const char* condition, const char* file, int line);

#ifdef KORVANE_CHECKS
// Ends the program unless condition holds.
#define KORVANE_CHECK(condition) ((condition) ? static_cast<void>(0) : checkFailed(#condition, __FILE__, __LINE__))
#else
// Checks nothing in this build.
#define KORVANE_CHECK(condition) static_cast<void>(0)
#endif

#endif
