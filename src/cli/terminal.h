// The terminal as the engine's host: changes on standard output, failures
// with their reasons on standard error, the Synchronous question at the
// terminal, and a progress line kept in place.
#ifndef KORVANE_CLI_TERMINAL_H
#define KORVANE_CLI_TERMINAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli/count_ahead.h"
#include "cli/log_file.h"
#include "cli/report.h"
#include "engine/run_context.h"

// How the terminal host behaves for one run, and what it has gathered.
struct Terminal {
    bool colors = false;                // standard error shows ANSI colours
    bool askable = false;               // standard input and error are a terminal: the question can be asked
    bool progress = false;              // keep a progress line up to date on standard error
    bool verbose = false;               // print a line per change and the notices
    bool yes = false;                   // answer Yes without asking
    bool keepFailures = false;          // gather the failures for the JSON object
    int listStream = 1;                 // where change and result lines go (PLATFORM_STDOUT or _STDERR)
    bool lineShown = false;             // the progress line is on the screen
    unsigned ticks = 0;                 // entries since the last look at the clock
    int64_t started = 0;                // when the run started, in milliseconds
    int64_t startedMicroseconds = 0;    // the same, in microseconds, for the figures
    int64_t lastDrawn = 0;              // when the progress line was last drawn
    bool declinedUnasked = false;       // the question was declined for want of a terminal
    std::wstring endReason;             // the lines that refused, held back or stopped the run, one a line
    RunTally tally;                     // what the run has done so far: the progress line and the figures
    std::vector<FailureNote> failures;  // the failures gathered, at most kFailuresKept
    long long failuresLeftOut = 0;      // failures beyond those
    bool outputFailed[3] = {};          // a write to standard input, output or error failed
    std::wstring outputReason[3];       // the system's words for the first such failure
    LogFile* logFile = nullptr;         // the log file (--log-file) the failures also go to, or null
    std::wstring current;               // the entry the run is at, for the progress line
    std::wstring root;                  // the folder the entries are shown below (FROM), or empty
    const CountAhead* count = nullptr;  // the count of what the run will look at, or null
};

// Most failures a terminal gathers for the JSON object.
const size_t kFailuresKept = 10000;

// A host record whose functions work on terminal.
Host terminalHost(Terminal* terminal);

// Removes the progress line, if shown.
void clearProgress(Terminal* terminal);

// Notes a line that refused, held back or stopped the run, for the JSON object.
void noteEndReason(Terminal* terminal, const std::wstring& line);

// Writes a line to standard error, in red when colours are on.
void writeErrorText(Terminal* terminal, const std::wstring& text);

// Writes a line to a standard stream as it stands, control characters shown as "?".
void writeLine(Terminal* terminal, int stream, const std::wstring& text);

// Writes text to a standard stream as it stands, noting a failure to write it.
void writeStream(Terminal* terminal, int stream, const std::wstring& text);

// The exit status after the output: a run that went through but whose
// standard output or error could not be written fails (1), with a line on
// standard error saying which and why.
int statusAfterOutput(Terminal* terminal, int status);

#endif
