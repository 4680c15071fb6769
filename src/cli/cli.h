// The korvane command-line front end over the engine.
#ifndef KORVANE_CLI_CLI_H
#define KORVANE_CLI_CLI_H

#include <string>
#include <vector>

#include "cli/exit_codes.h"

// Runs the front end with the arguments (program name first); the exit status.
int runCommandLine(const std::vector<std::wstring>& arguments);

#endif
