// The list-file run: brings the entries named in a list file up to date.
#ifndef KORVANE_ENGINE_LIST_RUN_H
#define KORVANE_ENGINE_LIST_RUN_H

#include "text/wide_string.h"

// Runs a whole list-file copy and returns its RUN_ code.
int ListCopyRun(bool showCopyFile, const WideString& fromFolder, const WideString& toFolder,
                const WideString& listFile);

// Reads the non-empty lines of listFile into runContext.listEntries; the count
// stored, or -1 when the file cannot be accessed or read.
int readListFile(const WideString& listFile);

// True when a list entry would reach outside the folders it is joined to.
bool listEntryLeavesFolder(const WideString& entry);

#endif
