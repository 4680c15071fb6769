// The folder copy run: brings the To Folder up to date with the From Folder,
// under the optional rule, and in Synchronous mode deletes what From lacks.
#ifndef KORVANE_ENGINE_FOLDER_RUN_H
#define KORVANE_ENGINE_FOLDER_RUN_H

#include <vector>

#include "text/wide_string.h"

// Runs a whole folder copy and returns its RUN_ or WALK_ code. The log is
// opened by the caller before and closed after; hadErrors is clear on entry.
int FolderCopyRun(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& fromFolder,
                  const WideString& toFolder, const WideString& ruleText);

// The same run under several rules (none: every entry is handled); an entry
// matches when any rule matches it. Each rule is checked before any change.
int FolderCopyRunRules(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& fromFolder,
                       const WideString& toFolder, const std::vector<WideString>& ruleTexts);

// Entry handler of the copy walk: brings one entry up to date and reports it.
bool copyFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString& extra1,
                     const WideString& extra2, const WideString& otherRoot);

// True when the run's rules take the entry of a walk of walkRoot; an entry
// the rules cannot judge is reported and its walk does not descend below it;
// countSkip counts an entry the rules leave alone as skipped.
bool takenByRule(const WideString& entryPath, const WideString& walkRoot, bool countSkip);

// Tells of a source entry left alone because it is no plain file or directory.
void reportNotPlainFile(const WideString& entryPath);

// Tells of a link in To that stands where an entry belongs and was not followed.
void reportLinkInTheWay(const WideString& target);

// Tells of an entry left out because its name, in To, would reach another
// entry: one named taken before, equal but for case, in a To that does not
// tell case apart (caseOnly), or one whose short name it is.
void reportNameTaken(const WideString& entryPath, const WideString& taken, bool caseOnly);

// True when the folder that is to hold target takes names equal but for case for one.
bool targetFoldsCase(const WideString& target);

#endif
