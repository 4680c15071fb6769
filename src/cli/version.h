// What the front end says of its version; defined in a file the build writes
// (cmake/build_info.cmake), from the project's version and the checkout.
#ifndef KORVANE_CLI_VERSION_H
#define KORVANE_CLI_VERSION_H

// The project's version, as CMake's project() gives it: "1.0".
const wchar_t* korvaneVersion();

// The commit built from ("bcf04b7", "bcf04b7-dirty" with uncommitted
// changes), or "" when the sources were not a checkout.
const wchar_t* korvaneCommit();

#endif
