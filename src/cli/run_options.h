// What the command line asks of the terminal and of a run: the options
// read into the host's behaviour and the engine's run options.
#ifndef KORVANE_CLI_RUN_OPTIONS_H
#define KORVANE_CLI_RUN_OPTIONS_H

#include "cli/options.h"
#include "cli/report.h"
#include "cli/terminal.h"
#include "engine/run_context.h"

// Sets terminal up for the options and installs it as the engine's host,
// the run state reset.
void installTerminal(Terminal* terminal, const CliOptions& options);

// What a run is asked to do, as the options say (the patterns aside).
RunOptions runOptionsOf(const CliOptions& options);

// Writes a run's closing figures where the options ask (the log file, --stats,
// --json), what could not be written so far counted in them; returns the
// exit status, standard streams that failed told.
int writeClosingFigures(Terminal* terminal, const CliOptions& options, RunFigures figures);

#endif
