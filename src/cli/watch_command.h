// Keeping TO current: the watch of FROM, its batches run and told.
#ifndef KORVANE_CLI_WATCH_COMMAND_H
#define KORVANE_CLI_WATCH_COMMAND_H

#include "cli/options.h"
#include "cli/terminal.h"
#include "engine/run_context.h"

// Locks TO, arms the watch of FROM, runs a whole pass, then a batch for
// each settled change until a stop or --watch-for ends it, each told on
// the terminal and in the logs. The exit status: 0 when everything the
// watch saw is in TO; *result the RUN_ or WALK_ code behind it.
int watchFolders(Terminal* terminal, const CliOptions& options, const RunOptions& runOptions, int* result);

#endif
