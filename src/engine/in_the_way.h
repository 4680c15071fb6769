// Removing entries of To that a run takes away: a file or link with its
// version kept first, a directory with everything below it (in one change
// into the run folder where it can), each removal told as the clean-up
// tells it. The update removes with them what stands in the way of an
// entry of another kind; the clean-up walk deletes with them what From lacks.
#ifndef KORVANE_ENGINE_IN_THE_WAY_H
#define KORVANE_ENGINE_IN_THE_WAY_H

#include "engine/kept_version.h"
#include "engine/run_context.h"
#include "text/wide_string.h"

// What the clean-up may delete of an entry.
enum DeletableKind {
    NOT_DELETABLE,   // a directory (its own handler removes it) or nothing at all
    DELETABLE_FILE,  // any entry that is neither a directory nor a link
    LINK             // a link to anything or to nothing: removed as a link
};

// Puts one operation of the clean-up into the figures the program's design
// names: changeAttempted (a change was due and tried), and updatedCount
// when it was tried and made. A counting pass puts nothing there.
void noteCleanup(RunState* run, bool attempted, bool made);

// Reports the result of one clean-up operation for run: progress and its
// line when it changed something and "Show Copy File" is on, the error line
// with its reason when it failed; the front end is told of each change and
// failure. A counting pass only counts what it would delete.
void reportCleanup(RunState* run, SystemResult result, bool attempted, const WideString& entryPath, int kind,
                   const wchar_t* doneLine, const wchar_t* errorLine);

// Deletes the To file or link at path (a link as a link), for run, which
// keeps its version first when it keeps versions; *kept tells
// what keeping found. A version that cannot be kept leaves the entry, and
// fails it for that. Safe on a worker: it tells nothing.
SystemResult deleteEntry(const RunState& run, const WideString& path, DeletableKind kind, KeptVersion* kept);

// Tells, after a deletion of path was attempted, what keeping its version
// found: the version kept, or the failure to keep it (true: told as the
// entry's failure, nothing more to tell of it).
bool tellKept(RunState* run, const WideString& path, const KeptVersion& kept);

// True when the directory at path is the open run log's folder or holds it:
// never the clean-up's to take.
bool holdsRunLog(const WideString& path);

// How taking a tree whole went.
enum TreeOutcome {
    TREE_KEPT,      // the tree went into the run folder in one change, every entry told
    TREE_FAILED,    // its version could not be kept: it stays, the failure told
    TREE_PER_ENTRY  // it cannot go whole (another volume, the run log or a live temporary inside): nothing done
};

// Tells the To directory at path, on which a volume is mounted, as a
// removal that failed: no removal enters it, nor takes it or what holds it.
void reportMountLeft(RunState* run, const WideString& path);

// Removes the To directory at path with everything below it by moving it
// into the run folder in one change, and tells every entry of it as the
// clean-up would have told its deletion, each with its version. On the
// run's thread.
TreeOutcome removeTreeWhole(RunState* run, const WideString& directory);

// Removes the To directory (below toRoot) that stands where From has an
// entry of another kind (a mirror replacing it), with everything below it;
// every removal is reported for run. False when anything of it stays, with
// *why set when the run itself kept it: the run log or a folder holding
// it, a live run's temporary, an entry the rules leave alone, a folder a
// volume is mounted on (never entered); a failure
// (told with its reason) or a stop.
bool removeTreeInTheWay(RunState* run, const WideString& toRoot, const WideString& directory, WideString* why);

// Deletes the To file that stands where From has a directory, or the link
// (isLink: as a link) that stands where From has any entry but a link (a
// mirror replacing it), reported as the clean-up reports it; false when it
// stays (the run log or a live run's temporary: *why says so; a failure).
bool deleteFileInTheWay(RunState* run, const WideString& path, bool isLink, WideString* why);

#endif
