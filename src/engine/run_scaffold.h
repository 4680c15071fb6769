// What the folder run and the list run set up around their work alike: the
// run's records, the banner, the folder checks, the versions, the To
// Folder's lock and the workers; and the guards that let each go, in the
// right order, however the run ends.
#ifndef KORVANE_ENGINE_RUN_SCAFFOLD_H
#define KORVANE_ENGINE_RUN_SCAFFOLD_H

#include "engine/jobs.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/versions.h"
#include "text/wide_string.h"

// The To tree is guarded, and the From tree read through held folders, for
// as long as a run may change To: lets both go on every way out.
struct TreesHeld {
    TreesHeld() = default;
    TreesHeld(const TreesHeld&) = delete;
    TreesHeld& operator=(const TreesHeld&) = delete;
    ~TreesHeld();
};

// One run's records and what it holds, let go in the reverse order of the
// members: the workers end first, then the versions folder, the lock and the
// trees are let go, and the copy ticks end last.
struct RunScaffold {
    RunShared shared;           // the records the run's workers share with it
    RunState run;               // the run itself
    PatternRules patterns;      // the run's shell-pattern rules, once taken
    RunEnd end;                 // ends what beginRun readied
    TreesHeld trees;            // the To tree and the From tree held
    VersionStore versions;      // where the run keeps what it replaces or deletes, when asked to
    DestinationLock lock;       // the To Folder's lock
    VersionsHeld versionsHeld;  // the versions folder held as a tree of its own
    JobQueue jobs;              // the run's workers, ended before anything else is let go
    RunScaffold(const RunOptions& options, RunTally* tally);
    RunScaffold(const RunScaffold&) = delete;
    RunScaffold& operator=(const RunScaffold&) = delete;
};

// Opens the run of scaffold: copies tick the front end, and the banner is
// written (a dry run's says so).
void openRun(RunScaffold* scaffold);

// Holds the From Folder and checks the two folders, as far as a To Folder
// yet to be made (toMissing) can be checked; RUN_OK, or the refusal's code
// with its line written and shown.
int checkRunFolders(const WideString& from, const WideString& to, bool toMissing);

// Checks the run's stores and sets its versions folder up, unless the To
// Folder is yet to be made (toMissing), which holds nothing to keep; RUN_OK,
// or the refusal's code with its line written and shown.
int prepareRunStores(RunScaffold* scaffold, const WideString& from, const WideString& to, bool toMissing);

// Once the To tree is guarded: locks the To Folder, holds the versions
// folder, starts the workers and writes the start lines. RUN_OK, or the
// lock's refusal (engine/run_checks.h).
int startRunWork(RunScaffold* scaffold, const WideString& from, const WideString& to);

#endif
