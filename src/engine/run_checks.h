// The checks both runs make before any change, how a refusal is told, and
// the lock a run holds on its To Folder.
#ifndef KORVANE_ENGINE_RUN_CHECKS_H
#define KORVANE_ENGINE_RUN_CHECKS_H

#include "platform/platform.h"
#include "text/wide_string.h"

struct RunOptions;

// The checks both runs make on their two folders, in order; RUN_OK when all
// pass, otherwise the code, with its error line written and shown.
int validateFolders(const WideString& fromFolder, const WideString& toFolder);

// The checks of validateFolders for a To Folder that does not stand yet and
// is to be made: what they can tell before it stands, with the same lines
// and codes; the folder within its path that stands decides on disk.
int validateFoldersForNewTo(const WideString& fromFolder, const WideString& toFolder);

// True when the From Folder lies inside the To Folder, by text or on disk.
bool sourceInsideDestination(const WideString& fromFolder, const WideString& toFolder);

// Holds the From Folder as the tree the run reads (platformReadTree) from
// now on, so that the checks and the walks reach the folder the checks
// judged, not one put in its place meanwhile. RUN_OK, also when it cannot
// be opened (the folder checks then tell why), but in a root run, which
// reads From through the held folder alone: RUN_NO_SOURCE then, as the
// checks tell it, where it is not there, RUN_SOURCE_UNOPENED with the
// reason where it is and cannot be opened; RUN_SOURCE_UNSAFE when a root
// run reaches it only through a link whose owner may not read what it
// names, at any level of its path.
// A refusal has its line written and shown. The run's TreesHeld
// (engine/run_scaffold.h) lets it go.
int holdSource(const WideString& fromFolder);

// The point of a mount through which folder, a folder a run writes in,
// overlaps the From Folder: one at or below folder (where below) that shows
// From, a folder of it or one that holds it, or the one folder lies on,
// where it shows folder as a folder of From. A change there would land in
// From. Empty where none does, as mounts stand now, or a folder cannot be
// resolved (the folder checks tell).
std::wstring mountOverlappingSource(const WideString& fromFolder, const WideString& folder, bool below);

// The From Folder and the To Folder overlapping through a mount
// (mountOverlappingSource): RUN_SOURCE_INSIDE_DEST, its line written and
// shown; RUN_OK otherwise.
int checkMountsInDestination(const WideString& fromFolder, const WideString& toFolder);

// True when a root run may not keep what it writes in folder (the log
// folder, the versions folder): another user may change it or a folder on
// its way, or it is reached through another user's link, as for the To
// Folder. Of a folder not made yet, the nearest one that stands is judged
// so, and no other user may add to it at all: a level the run is to make
// there could be planted first. False for any run but root's.
bool storeOthersMayChange(const WideString& folder);

// The checks of a root run's stores: a versions folder that
// storeOthersMayChange refuses ends the run before any change,
// RUN_STORE_UNSAFE with its line written and shown; RUN_OK otherwise.
int checkStores(const RunOptions& options);

// The To Folder's lock for one run, released however the run ends.
struct DestinationLock {
    TreeLock* lock = nullptr;  // the lock taken, or null
    DestinationLock() = default;
    DestinationLock(const DestinationLock&) = delete;
    DestinationLock& operator=(const DestinationLock&) = delete;
    ~DestinationLock() { platformUnlockTree(lock); }
};

// Holds the To Folder as the tree the run changes (platformGuardTree):
// RUN_OK; RUN_NO_DEST, as the checks tell it, where it is not there;
// RUN_DEST_UNOPENED with the reason where it is and cannot be opened (as
// when the run has no file handle left). A refusal has its line written
// and shown.
int guardDestination(const WideString& toFolder);

// Locks the To Folder, as platformGuardTree holds it, for a run of options
// that changes it (a dry run takes no lock).
// RUN_OK once held; RUN_DEST_LOCKED, its line written and shown, while
// another run holds it, unless options.waitForLock, which waits for it
// (WALK_BROKEN when a stop ends the wait).
int lockDestination(const WideString& toFolder, const RunOptions& options, DestinationLock* held);

// Locks the To Folder for a watch, which holds it across all its runs
// (each run told options.lockHeld): RUN_OK, or the lock's refusal, its line
// written and shown.
int lockDestinationForWatch(const WideString& toFolder, const RunOptions& options, DestinationLock* held);

// Puts message in messageText, reports it as an error and returns code.
int refuse(int code, const WideString& message);

// Writes runContext.messageText as an error line and shows it in red.
void reportError();

#endif
