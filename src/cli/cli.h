// The korvane command-line front end over the engine.
#ifndef KORVANE_CLI_CLI_H
#define KORVANE_CLI_CLI_H

#include <string>
#include <vector>

// Exit statuses of the front end.
#define EXIT_DONE 0          // the run succeeded
#define EXIT_HAD_ERRORS 1    // the run finished with failures
#define EXIT_USAGE 2         // the command line could not be understood
#define EXIT_REFUSED 3       // refused before any change
#define EXIT_WALK_STOPPED 4  // a walk stopped early

// Runs the front end with the arguments (program name first); the exit status.
int runCommandLine(const std::vector<std::wstring>& arguments);

// The exit status for a run's result code.
int exitStatusOf(int runResult);

#endif
