// What the front end tells after a run: the figures as an aligned table or as
// one JSON object.
#ifndef KORVANE_CLI_REPORT_H
#define KORVANE_CLI_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run_context.h"

// One failure as the terminal told it.
struct FailureNote {
    std::wstring message;  // the error line
    std::wstring path;     // the entry, or the directory a walk could not read
    std::wstring reason;   // the system's words, or empty
    std::wstring target;   // the other path of a line that names two (a copy's target), or empty
};

// The figures of one run.
struct RunFigures {
    int exitStatus;        // the front end's exit status
    int runResult;         // the run's RUN_ or WALK_ code
    bool dryRun;           // the figures tell what a run would do
    RunTally tally;        // what the run did
    int64_t microseconds;  // how long it took
    bool versions;         // the run kept versions: the table tells what it kept and expired
    bool guarded;          // a mirror with a deletion guard: the table tells what it held back
    std::wstring reason;   // the lines that refused, held back or stopped the run, or empty
};

// A byte count as people read it: "512 B", "1.5 KiB", "2.0 GiB".
std::wstring byteText(long long bytes);

// The figures as a small aligned table, one line each, ending in a line end.
std::wstring statsTable(const RunFigures& figures);

// The figures as one line for the log file: what was examined, copied,
// created, updated, deleted, kept, skipped and failed, the bytes and the time.
std::wstring statsLine(const RunFigures& figures);

// The figures and the failures as one JSON object on one line, ASCII only.
std::wstring statsJson(const RunFigures& figures, const std::vector<FailureNote>& failures, long long failuresLeftOut);

// The text as a JSON string, quotes included: ASCII only, every other
// character escaped; a lone surrogate or a unit beyond Unicode is U+FFFD.
std::wstring jsonString(const std::wstring& text);

#endif
