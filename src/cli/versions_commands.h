// The front end's commands over kept versions: --list-versions lists them,
// --restore puts a path back from them.
#ifndef KORVANE_CLI_VERSIONS_COMMANDS_H
#define KORVANE_CLI_VERSIONS_COMMANDS_H

#include <string>

#include "cli/options.h"
#include "cli/terminal.h"
#include "engine/run_context.h"

// The local time of seconds since 1970, "2026-12-08 01:30:00".
std::wstring localTimeText(int64_t seconds);

// Lists the versions of the path the options name, newest first, on
// standard output; the exit status.
int listVersionsCommand(Terminal* terminal, const CliOptions& options);

// Puts the path of --restore back, as the options say; the exit status.
int restoreCommand(Terminal* terminal, const CliOptions& options);

#endif
