// The list-file run: brings the entries named in a list file up to date.
#ifndef KORVANE_ENGINE_LIST_RUN_H
#define KORVANE_ENGINE_LIST_RUN_H

#include "text/wide_string.h"

// Runs a whole list-file copy and returns its RUN_ code.
int ListCopyRun(bool showCopyFile, const WideString& fromFolder, const WideString& toFolder,
                const WideString& listFile);

// Longest list line, in wide units, that can name an entry: the longest path
// Windows can name; no line longer than that is kept.
constexpr size_t LIST_LINE_MAX_UNITS = 32767;

// Most bytes of one line kept while reading: room for LIST_LINE_MAX_UNITS
// characters in any encoding a locale uses, and a mark and a CR.
constexpr size_t LIST_LINE_MAX_BYTES = 4 * LIST_LINE_MAX_UNITS + 4;

// Reads the non-empty lines of listFile into runContext.listEntries and the
// lines that give no entry (bytes the code page rejects, a NUL, too long) into
// runContext.listFaults; the count of entries stored, or -1 when the file
// cannot be accessed or read.
int readListFile(const WideString& listFile);

// True when a list entry would reach outside the folders it is joined to.
bool listEntryLeavesFolder(const WideString& entry);

#endif
