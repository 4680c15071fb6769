// The update copy: brings one entry of the source tree up to date in the target tree.
#ifndef KORVANE_ENGINE_UPDATE_COPY_H
#define KORVANE_ENGINE_UPDATE_COPY_H

#include "engine/run_context.h"
#include "engine/walker.h"
#include "text/wide_string.h"

// What bringing one entry up to date found and did.
struct UpdateOutcome {
    bool upToDate = false;         // the counterpart is up to date afterwards
    bool changeAttempted = false;  // a change was due
    bool linkInTheWay = false;     // a link in To faced the entry and was left as it is (not a mirror)
    bool notPlainFile = false;     // the source is no plain file or directory: left alone, never opened
    bool linkCopied = false;       // the source was taken as a link (copyLinks), not followed
    bool madeDirectory = false;    // a directory was made where none stood
    bool isDirectory = false;      // the source is a directory, not taken as a link
    long long copiedBytes = 0;     // the bytes a file copy wrote

    // The net under a mirror.
    bool heldBack = false;          // a To entry of another kind waits for the deletion guard: nothing was done
    bool versionsInTheWay = false;  // the counterpart is the run's versions folder or lies below it: left alone
    bool failureTold = false;       // the update failed and was told already (its version could not be kept)

    // True when the counterpart is up to date afterwards.
    explicit operator bool() const { return upToDate; }
};

// Copies or creates the counterpart of entryPath (under sourceRoot) below
// targetRoot when it is missing or differs, for run; listed, when not null,
// is what the walk's listing told of entryPath. runContext.changeAttempted
// tells whether a change was due, and runContext.updatedCount counts each
// change made, as the outcome does.
UpdateOutcome copyIfUpdated(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                            const WideString& entryPath, const ListedEntry* listed);

// The same for a run of default options that is no mirror.
UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath);

// Copies source over target; a target that refuses (read-only, hidden or
// system) has those attributes cleared and is tried once more.
bool copyFileOver(const WideString& source, const WideString& target);

#endif
