// The exit statuses of the front end, one family, as --help lists them.
#ifndef KORVANE_CLI_EXIT_CODES_H
#define KORVANE_CLI_EXIT_CODES_H

#define EXIT_DONE 0          // the run succeeded
#define EXIT_HAD_ERRORS 1    // the run finished with failures
#define EXIT_USAGE 2         // the command line could not be understood
#define EXIT_REFUSED 3       // refused before any change
#define EXIT_WALK_STOPPED 4  // a walk stopped early
#define EXIT_DELETES_HELD 5  // the deletion guard held a mirror's deletions back

#include "engine/run_codes.h"

// The exit status for a run's result code.
inline int exitStatusOf(int result) {
    if (result == RUN_OK) return EXIT_DONE;
    if (result == RUN_HAD_ERRORS) return EXIT_HAD_ERRORS;
    if (result == RUN_DELETES_HELD || result == RUN_REPLACES_HELD) return EXIT_DELETES_HELD;
    if (result < 0 && result >= WALK_CLOSE_ERROR) return EXIT_WALK_STOPPED;
    return EXIT_REFUSED;
}

#endif
