// How the outcome of one entry is told: a change, a skip or a failure goes
// to the log, to the front end and into the run's tally; and whether the
// run's rules take an entry at all. Every report step is the run's
// thread's (it checks so), and tells what it is given as it comes: a caller
// outside a job's telling settles the run's jobs first (engine/jobs.h), so
// that what the workers did before is told first.
#ifndef KORVANE_ENGINE_ENTRY_REPORTS_H
#define KORVANE_ENGINE_ENTRY_REPORTS_H

#include "engine/rule.h"
#include "engine/run_context.h"
#include "engine/update_outcome.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// Tells of an entry that failed: message is its error line, written to the
// log and told to the front end with path and reason (and target, the other
// path of a line that names two); counted in run's tally.
void reportEntryFailure(RunState* run, const WideString& message, const WideString& path, const WideString& reason,
                        const WideString& target = WideString());

// Tells the front end, and the log with "Show Copy File", a line beside the
// changes that counts as none (REPORT_NOTED).
void reportNote(RunState* run, const WideString& line);

// Tells, before the change's line, why a copy by contents was made: a copy
// found damaged (told always, REPORT_WARNED), a source that changed without
// a write copied as asked (likewise), or contents that differed while size
// and time were alike (a note). pair names the source and its copy.
void reportContentsFound(RunState* run, const UpdateOutcome& outcome, const WideString& pair);

// Tells of a source whose contents changed without a write, its good copy
// kept: a copy failure, or a line told always (REPORT_WARNED) where the copy
// is another user's, who may have written its record herself and is not to
// fail the run with it.
void reportSourceDamaged(RunState* run, const UpdateOutcome& outcome, const WideString& source,
                         const WideString& target);

// Tells the front end of a change (a REPORT_ kind) with its log line, and
// counts it; target: the other path of a line naming two, where told apart.
void reportChange(RunState* run, int kind, const WideString& line, const WideString& path, long long bytes,
                  const WideString& target = WideString());

// Tells the front end of a skipped entry with its log line, and counts it.
void reportSkip(RunState* run, const WideString& line, const WideString& path);

// Tells the front end of a walk that stopped at directory (empty when none is known), and why.
void reportWalkStop(RunState* run, int result, const WideString& directory, const WideString& reason);

// Tells of a source entry left alone because it is no plain file or directory.
void reportNotPlainFile(RunState* run, const WideString& entryPath);

// Tells that the From entry at entryPath bears a name of the program's own
// and is not copied: an "  SK: [" line, logged always, and a skip.
void reportProgramsOwnName(RunState* run, const WideString& entryPath);

// Tells of a link in To that stands where an entry belongs and was not followed.
void reportLinkInTheWay(RunState* run, const WideString& target);

// Tells of an entry left out because its name, in To, would reach another
// entry: one named taken before, equal but for case, in a To that does not
// tell case apart (caseOnly), or one whose short name it is.
void reportNameTaken(RunState* run, const WideString& entryPath, const WideString& taken, bool caseOnly);

// True when the folder that is to hold target takes names equal but for case for one.
bool targetFoldsCase(const WideString& target);

// Tells of a copy that failed, with its reason.
void reportCopyFailure(RunState* run, const WideString& source, const WideString& target, const WideString& reason);

// Tells of a directory that the walk did not enter: a link back into its own path.
void reportLinkLoop(RunState* run, const WideString& directoryPath);

// What the run's rules say of the entry of a walk of walkRoot, a folder
// when isDirectory: RULE_TAKE when no rule is active. Asks nothing of the
// file system.
RuleVerdict judgeByRules(const RunState& run, const WideString& entryPath, const WideString& walkRoot,
                         bool isDirectory);

// Tells that the rules leave the entry of a walk alone: one they cannot
// judge (unjudged) is reported, and walker (when given) does not descend
// below it; countSkip counts one they leave as skipped.
void leaveByRule(RunState* run, DirectoryWalker* walker, const WideString& entryPath, bool unjudged, bool countSkip);

#endif
