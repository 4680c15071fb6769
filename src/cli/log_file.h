// The front end's log file (--log-file): a record of each run appended to
// the ones before, each line with its time and the run's process number,
// so that the runs of two jobs sharing the file are told apart.
#ifndef KORVANE_CLI_LOG_FILE_H
#define KORVANE_CLI_LOG_FILE_H

#include <cstdio>
#include <string>
#include <vector>

#include "text/wide_string.h"

// An open log file and how writing it went.
struct LogFile {
    FILE* file = nullptr;  // the file, or null when none is open
    bool changes = false;  // a line per change too (-v), not only failures
    std::wstring failure;  // why a line could not be written, or empty
};

// The arguments as one line a shell would read back: each one that holds
// more than plain characters in single quotes.
std::wstring shellLine(const std::vector<std::wstring>& arguments);

// Opens the log file at path to append to (platformOpenOwnAppendFile);
// false with the system's reason in *reason.
bool openLogFile(LogFile* log, const WideString& path, int* reason);

// Appends one line: the local time, the process number, then text, each
// character the locale cannot write and each control character as "?", so
// that a name cannot end a line early or forge another; written whole in
// one piece, so that a line of another run never lands inside it.
void writeLogFileLine(LogFile* log, const std::wstring& text);

// Closes the log file; false when a line could not be written or kept
// (log->failure tells why).
bool closeLogFile(LogFile* log);

#endif
