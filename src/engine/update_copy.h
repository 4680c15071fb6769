// The update copy: brings one entry of the source tree up to date in the target tree.
#ifndef KORVANE_ENGINE_UPDATE_COPY_H
#define KORVANE_ENGINE_UPDATE_COPY_H

#include "engine/run_context.h"
#include "engine/update_outcome.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// Copies or creates the counterpart of entryPath (under sourceRoot) below
// targetRoot when it is missing or differs, for run, and tells what it
// found and did; the run's own figures are left to noteOutcome.
UpdateOutcome updateEntry(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                          const WideString& entryPath, const UpdateAsk& ask);

// Puts an update's outcome into the run's figures, on the run's thread:
// runContext.changeAttempted tells whether a change was due, and
// runContext.updatedCount counts the change made.
void noteOutcome(const UpdateOutcome& outcome);

// updateEntry on the run's thread, its outcome noted; listed, when not
// null, is what the walk's listing told of entryPath.
UpdateOutcome copyIfUpdated(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                            const WideString& entryPath, const ListedEntry* listed);

// The same for a run of default options that is no mirror.
UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath);

// Copies source over target; a target that refuses (read-only, hidden or
// system) has those attributes cleared and is tried once more.
bool copyFileOver(const WideString& source, const WideString& target);

#endif
