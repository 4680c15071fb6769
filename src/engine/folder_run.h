// The folder copy run: brings the To Folder up to date with the From Folder,
// under the optional rule, and in Synchronous mode deletes what From lacks.
#ifndef KORVANE_ENGINE_FOLDER_RUN_H
#define KORVANE_ENGINE_FOLDER_RUN_H

#include <vector>

#include "engine/run_context.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// Runs a whole folder copy with default options and returns its RUN_ or
// WALK_ code. The log is opened by the caller before and closed after;
// hadErrors is clear on entry.
int FolderCopyRun(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& fromFolder,
                  const WideString& toFolder, const WideString& ruleText);

// The front ends' folder run: FolderCopyRun with every choice in options
// (a mirror, what the rules mean, what is told among them), counting into
// tally, under several rules (none: every entry is handled); an entry
// matches when any rule matches it. Each rule is checked before any change.
int folderRunWithOptions(const RunOptions& options, RunTally* tally, const WideString& fromFolder,
                         const WideString& toFolder, const std::vector<WideString>& ruleTexts);

// Entry handler of the copy walk (its walker's data a FolderWalk): brings
// one entry up to date and reports it.
bool copyFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot);

#endif
