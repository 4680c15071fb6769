// The terminal as the engine's host: status texts on standard error, the
// Synchronous question at the terminal, and a progress line kept in place.
#ifndef KORVANE_CLI_TERMINAL_H
#define KORVANE_CLI_TERMINAL_H

#include <cstdint>

#include "engine/run_context.h"

// How the terminal host behaves for one run, and what it has counted.
struct Terminal {
    bool colors;           // standard error shows ANSI colours
    bool askable;          // standard input and error are a terminal: the question can be asked
    bool progress;         // keep a progress line up to date on standard error
    bool quietStatus;      // show only notices (the dry run prints its log lines instead)
    bool yes;              // answer Yes without asking
    int errors;            // error texts shown so far
    bool lineShown;        // the progress line is on the screen
    unsigned ticks;        // entries since the last look at the clock
    int64_t started;       // when the run started, in milliseconds
    int64_t lastDrawn;     // when the progress line was last drawn
    bool declinedUnasked;  // the question was declined for want of a terminal
};

// A host record whose functions work on terminal.
Host terminalHost(Terminal* terminal);

// Removes the progress line, if shown.
void clearProgress(Terminal* terminal);

// Writes a line to standard error, in red when colours are on and asked for.
void writeErrorText(Terminal* terminal, const std::wstring& text);

#endif
