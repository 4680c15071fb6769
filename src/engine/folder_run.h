// The folder copy run: brings the To Folder up to date with the From Folder,
// under the optional rule, and in Synchronous mode deletes what From lacks.
#ifndef KORVANE_ENGINE_FOLDER_RUN_H
#define KORVANE_ENGINE_FOLDER_RUN_H

#include <vector>

#include "text/wide_string.h"

// Runs a whole folder copy and returns its RUN_ or WALK_ code. The log is
// opened by the caller before and closed after; hadErrors is clear on entry.
int FolderCopyRun(bool synchronous, bool ruleExcludes, bool showCopyFile,
                  const WideString& fromFolder, const WideString& toFolder,
                  const WideString& ruleText);

// The same run under several rules (none: every entry is handled); an entry
// matches when any rule matches it. Each rule is checked before any change.
int FolderCopyRunRules(bool synchronous, bool ruleExcludes, bool showCopyFile,
                       const WideString& fromFolder, const WideString& toFolder,
                       const std::vector<WideString>& ruleTexts);

// Entry handler of the copy walk: brings one entry up to date and reports it.
bool copyFileHandler(const WideString& entryPath, const WideString& walkRoot,
                     const WideString& extra1, const WideString& extra2,
                     const WideString& otherRoot);

// The checks both runs make on their two folders, in order; RUN_OK when all
// pass, otherwise the code, with its error line written and shown.
int validateFolders(const WideString& fromFolder, const WideString& toFolder);

// Writes runContext.messageText as an error line and shows it in red.
void reportError();

#endif
