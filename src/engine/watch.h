// Watching a From Folder: the changes the system tells gathered into
// batches, each a reach of folders a run looks at instead of the whole tree.
#ifndef KORVANE_ENGINE_WATCH_H
#define KORVANE_ENGINE_WATCH_H

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "text/wide_string.h"

// The most folders a batch names one by one; past it the batch is the whole tree.
const size_t kMostWatchedFolders = 20000;

// What a run of a batch looks at, by paths relative to the From Folder ("" the folder itself).
struct WatchScope {
    bool whole = false;                          // the whole tree, as a run without a watch
    std::unordered_set<std::wstring> levels;     // folders whose own entries are looked at
    std::unordered_set<std::wstring> trees;      // folders looked at with everything below them
    std::unordered_set<std::wstring> onTheWay;   // folders above those, entered only to reach them
    std::unordered_set<std::wstring> leftAlone;  // folders whose volume went: not entered, nothing below
                                                 // copied or deleted, even by a whole pass
};

// Why a batch is run (a BATCH_ reason).
enum BatchReason {
    BATCH_CHANGES,    // changes were told and have settled
    BATCH_LOST,       // the system may have lost changes: what it named is walked whole
    BATCH_RESCAN,     // the time for a rescan of the whole tree came
    BATCH_ROOT_BACK,  // the From Folder went and stands again: watched afresh, walked whole
    BATCH_RETRY       // what an earlier batch could not bring up to date is tried again
};

// A watch's settings, from the front end.
struct WatchSettings {
    int64_t delayMilliseconds = 200;                        // quiet time after the last change before its batch
    int64_t rescanMilliseconds = int64_t{6} * 3600 * 1000;  // a whole-tree pass this often (0: never)
    int64_t endMilliseconds = -1;           // the watch ends this long after it starts (-1: when stopped)
    int64_t retryMilliseconds = 30000;      // a batch a guard held or a refusal stopped is tried again after this
                                            // long, then twice as long each time
    int64_t soonMilliseconds = 1000;        // a failure that may pass (an entry busy) is tried again after this
                                            // long (and with the next batch), then twice as long each time
    int64_t unwatchedMilliseconds = 60000;  // folders the system does not watch are walked this often
};

// What the next batch is and why.
struct WatchBatch {
    WatchScope scope;                     // what its run looks at
    int reason = BATCH_CHANGES;           // a BATCH_ reason
    long long notices = 0;                // the changes told for it
    std::vector<std::wstring> lost;       // folders whose changes may have been lost ("" the whole tree), to be told
    std::vector<std::wstring> unmounted;  // folders whose volume went since the last batch, to be told
};

// What waiting for a batch ended with.
enum WatchStep {
    WATCH_STEP_BATCH,   // a batch is ready
    WATCH_STEP_STOP,    // a stop was asked for
    WATCH_STEP_END,     // the watch's time is up
    WATCH_STEP_FAILED,  // the system's watch failed: *reason in the state
    WATCH_STEP_GONE     // the From Folder went: told once; the watch waits for it to stand again
};

// One watch in progress, from its arming to its end.
struct WatchState {
    WatchSettings settings;                      // as the front end gave them
    WideString from;                             // the watched folder
    FolderWatch* watch = nullptr;                // the system's watch, or null while the From Folder is gone
    WatchScope gathered;                         // what changed since the last batch
    long long gatheredNotices = 0;               // how many changes that is
    std::vector<std::wstring> lost;              // folders whose changes may have been lost since the last batch
    std::unordered_set<std::wstring> unwatched;  // folders the watch limit left unwatched, walked now and then
    std::unordered_set<std::wstring> unmounted;  // folders whose volume went and has not come back
    std::vector<std::wstring> newlyUnmounted;    // those not told yet
    WatchScope failed;                           // what batches could not bring up to date, to be tried again
    bool anyFailed = false;                      // failed holds something
    bool failedWithNext = false;                 // failed goes with the next batch (what failed may pass)
    int64_t retryWait = 0;                       // the wait before failed is tried on its own
    int64_t startedAt = 0;                       // when the watch was armed (platformMilliseconds)
    int64_t firstNoticeAt = 0;                   // when the first change gathered was told
    int64_t lastNoticeAt = 0;                    // when the last change was told
    int64_t nextRescanAt = 0;                    // when the next whole-tree pass is due (0: none)
    int64_t nextRetryAt = 0;                     // when failed is tried again
    int64_t nextUnwatchedAt = 0;                 // when the unwatched folders are walked again
    bool gone = false;                           // the From Folder went and is not watched again yet
    DirectoryIdentity watchedAs{0, 0};           // the identity of the folder the system's watch is on
    DirectoryIdentity armedAs{0, 0};             // the From Folder's identity when the watch was first armed
    int64_t identityLookedAt = 0;                // when the From Folder's identity was last compared with watchedAs
    bool replaced = false;  // the folder watched now is another than the one first armed: looked at now and then
    int reason = 0;         // the system's reason when the watch failed
    std::vector<WatchNotice> notices;  // read from the system, not gathered yet
};

// A scope of the whole tree, as a run without a watch looks at it.
WatchScope wholeTree();

// Adds one change the system told to scope. Past kMostWatchedFolders
// folders the scope becomes the whole tree.
void addToScope(WatchScope* scope, const WatchNotice& notice);

// Adds every folder of more to scope.
void mergeScope(WatchScope* scope, const WatchScope& more);

// True when a run of scope looks at the entries of the folder at relative.
bool scopeLooksAt(const WatchScope& scope, const std::wstring& relative);

// True when a run of scope enters the folder at relative (to look at it, or on its way to one).
bool scopeEnters(const WatchScope& scope, const std::wstring& relative);

// The path of entryPath relative to root (a folder entryPath lies below).
std::wstring relativeTo(const WideString& entryPath, const WideString& root);

// Whether a run of scope (none: every entry) hands the entry at entryPath
// below root over at all; *enters: whether it enters it, when a folder.
bool scopeTakes(const WatchScope* scope, const WideString& entryPath, const WideString& root, bool isDirectory,
                bool* enters);

// True when the entry at entryPath below root lay on a volume that went
// (scope's leftAlone): nothing there is copied or deleted.
bool scopeLeavesAlone(const WatchScope* scope, const WideString& entryPath, const WideString& root);

// True when the entry at entryPath below root is, or holds, a folder that
// lay on a volume that went: such a folder is never deleted, nor what holds it.
bool scopeHoldsLeftAlone(const WatchScope* scope, const WideString& entryPath, const WideString& root);

// Arms the watch of state->from: from now on every change is told. False
// with state->reason when the system cannot watch it.
bool armWatch(WatchState* state);

// Waits until the changes told have settled for settings.delayMilliseconds,
// or a rescan, a retry or the end is due, or a stop is asked for. With
// WATCH_STEP_BATCH, *batch is what to run next.
int nextWatchBatch(WatchState* state, WatchBatch* batch);

// Notes that a batch's run could not bring scope up to date. A failure that
// may pass (mayPass: an entry busy, or changed while copied) is tried again
// with the next batch, and on its own after settings' soonMilliseconds; one
// that waits for the user (a guard's hold, a refusal) after
// retryMilliseconds; each wait twice the last while tries keep failing, up
// to the rescan's period.
void noteBatchFailed(WatchState* state, const WatchScope& scope, bool mayPass);

// Has the next batch walk the whole tree, once the delay has passed (a file
// of several names changed: its other names may lie anywhere).
void askWholePass(WatchState* state);

// Notes that a batch of scope went through: the waits between tries start
// afresh once nothing failed waits; a whole pass ends every wait.
void noteBatchDone(WatchState* state, const WatchScope& scope);

// Ends the watch.
void endWatch(WatchState* state);

#endif
