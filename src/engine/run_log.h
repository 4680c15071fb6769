// The run log: narrow lines in the locale's encoding, each flushed at once,
// and the status texts that go with them.
#ifndef KORVANE_ENGINE_RUN_LOG_H
#define KORVANE_ENGINE_RUN_LOG_H

#include "text/wide_string.h"

// Opens (truncating) the log file at path as runContext.logStream, never
// through a link or another name of a file (see platformOpenOwnFile);
// false with *reason (when given) telling why not.
bool openRunLog(const WideString& path, int* reason = nullptr);

// Flushes and closes runContext.logStream, if open; false when a line of
// it could not be written or kept (runContext.log.failure tells why).
bool closeRunLog();

// Writes the four banner lines, and for a dry run a line that says nothing was changed.
void writeBanner(bool dryRun);

// Writes one line: its characters in the locale's encoding ("?" for those it
// lacks and for control characters, so a line is always one entry).
void writeLogLine(const WideString& line);

// Writes an empty line.
void writeEmptyLine();

// Writes runContext.messageText as one line: an error, a total or a list line.
void writeMessageLine();

// Writes the line for a walk that stopped early and shows it as an error.
void reportWalkResult(int result);

// The two paths of a line that names both, "source] -> [target": a path
// holding "] -> [" has it written "] ?> [", so that the line holds it once
// and a reader tells the two paths apart; other paths are written as they are.
WideString pathPair(const WideString& source, const WideString& target);

// The decimal text of any int (the counts of the "Updated" lines).
WideString decimalText(long long value);

// True when path is the open run log itself, under whatever name it is reached.
bool isOpenRunLog(const WideString& path);

#endif
