// The list-file run: brings the entries named in a list file up to date.
#ifndef KORVANE_ENGINE_LIST_RUN_H
#define KORVANE_ENGINE_LIST_RUN_H

#include <vector>

#include "engine/run_context.h"
#include "text/wide_string.h"

// A list-file line that could not become an entry, and where it stood.
struct ListLineFault {
    long long line;      // its 1-based line number in the file
    size_t beforeEntry;  // how many entries of listEntries came before it
    bool tooLong;        // longer than any path; otherwise its bytes did not decode
    WideString shown;    // its text for the log, undecodable bytes escaped (cut when too long)
};

// Runs a whole list-file copy with default options and returns its RUN_ code.
int ListCopyRun(bool showCopyFile, const WideString& fromFolder, const WideString& toFolder,
                const WideString& listFile);

// The front ends' list run: ListCopyRun with every choice in options
// (options.showCopyFile among them), counting into tally.
int listRunWithOptions(const RunOptions& options, RunTally* tally, const WideString& fromFolder,
                       const WideString& toFolder, const WideString& listFile);

// Longest list line, in wide units, that can name an entry: the longest path
// Windows can name; no line longer than that is kept.
constexpr size_t LIST_LINE_MAX_UNITS = 32767;

// Most bytes of one line kept while reading: room for LIST_LINE_MAX_UNITS
// characters in any encoding a locale uses, and a mark and a CR.
constexpr size_t LIST_LINE_MAX_BYTES = 4 * LIST_LINE_MAX_UNITS + 4;

// Reads the non-empty lines of listFile into runContext.listEntries and the
// lines that give no entry (bytes the code page rejects, a NUL, too long) into
// faults; the count of entries stored, or -1 when the file cannot be
// accessed or read (*reason, when given, telling why when it knows).
int readListFile(const WideString& listFile, std::vector<ListLineFault>* faults, int* reason = nullptr);

// True when a list entry would reach outside the folders it is joined to.
bool listEntryLeavesFolder(const WideString& entry);

#endif
