// Counting ahead of a run, for the progress line's estimate: the entries
// below FROM (or the lines of a list) counted on a thread of their own
// while the run goes, within a bound of memory.
#ifndef KORVANE_CLI_COUNT_AHEAD_H
#define KORVANE_CLI_COUNT_AHEAD_H

#include <atomic>
#include <string>
#include <thread>

#include "text/wide_string.h"

// Most folders a count keeps waiting to be listed; a tree wider than that
// is not counted (the count would take memory the run does not).
constexpr size_t COUNT_AHEAD_MOST_WAITING = 10000;

// Where a count is.
enum CountState {
    COUNT_GOING,   // still counting
    COUNT_DONE,    // total holds the count
    COUNT_GAVE_UP  // no count: why tells
};

// A count going on beside a run.
struct CountAhead {
    std::thread thread;                   // the counting thread, while it runs
    std::atomic<bool> stop{false};        // asks the count to end early
    std::atomic<int> state{COUNT_GOING};  // a CountState
    std::atomic<long long> total{0};      // the entries counted so far, all once COUNT_DONE
    const wchar_t* why = L"";             // COUNT_GAVE_UP: why there is no count, set before the state
};

// Starts counting the entries below folder (links not followed), as a folder run examines them.
void countFolderAhead(CountAhead* count, const WideString& folder);

// Starts counting the entries a list file names: its lines that are not empty.
void countListAhead(CountAhead* count, const WideString& listFile);

// Ends the count, early if need be, and waits for its thread.
void endCountAhead(CountAhead* count);

#endif
