// What the command line asks of the terminal and of a run: the options
// read into the host's behaviour and the engine's run options.
#ifndef KORVANE_CLI_RUN_OPTIONS_H
#define KORVANE_CLI_RUN_OPTIONS_H

#include "cli/options.h"
#include "cli/terminal.h"
#include "engine/run_context.h"

// Sets terminal up for the options and installs it as the engine's host,
// the run state reset.
void installTerminal(Terminal* terminal, const CliOptions& options);

// What a run is asked to do, as the options say (the patterns aside).
RunOptions runOptionsOf(const CliOptions& options);

#endif
