// The synchronous clean-up: the second walk of a folder run, which deletes the
// files and removes the directories of the To Folder that the From Folder lacks.
#ifndef KORVANE_ENGINE_CLEANUP_H
#define KORVANE_ENGINE_CLEANUP_H

#include "text/wide_string.h"

// Entry handler of the clean-up walk: deletes a file or link without counterpart.
bool deleteFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString& extra1,
                       const WideString& extra2, const WideString& otherRoot);

// After-directory handler of the clean-up walk: removes a directory without counterpart.
bool removeDirectoryHandler(const WideString& entryPath, const WideString& walkRoot, const WideString& extra1,
                            const WideString& extra2, const WideString& otherRoot);

// Deletes path, a file (or link) under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was deleted; sets changeAttempted.
bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path);

// Removes path, a directory under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was removed; sets changeAttempted.
bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path);

// Deletes, in a directory of the To Folder, the temporaries that copies of
// runs now gone left there and that its counterpart in From plainly lacks; a
// live run's and every other entry stay. Nothing of it is counted or logged.
void removeDeadTemporaries(const WideString& directory, const WideString& counterpart);

// Removes the To directory that stands where From has an entry of another
// kind (a mirror replacing it), with everything below it; every removal is
// reported. False when anything of it stays: the run log or a folder
// holding it, a live run's temporary, a failure, a stop.
bool removeTreeInTheWay(const WideString& directory);

// Deletes the To file that stands where From has a directory (a mirror
// replacing it), reported as the clean-up reports it; false when it stays
// (the run log, a failure).
bool deleteFileInTheWay(const WideString& path);

// Forgets the From listings the clean-up walk read; call before and after each clean-up walk.
void forgetCounterpartNames();

// Starts (on) or ends the marks of where To may hold surplus; without marks
// the clean-up walk goes through all of To. Call it on before a mirror's
// copy walk whose after-directory handler is markSurplusHandler (no rule
// active: a rule judges each To entry on its own), and off after its clean-up.
void markSurplusInCopyWalk(bool on);

// After-directory handler of a mirror's copy walk (its walker keeping names):
// lists the To directory facing the From directory just walked through and
// marks what the clean-up walk must look at there.
bool markSurplusHandler(const WideString& directory, const WideString& walkRoot, const WideString& extra1,
                        const WideString& extra2, const WideString& otherRoot);

// Readies the clean-up walk's scopes from the marks; call right before it.
void startCleanupScopes();

// True when the entry at path is a temporary of another run still alive.
bool isLiveTemporary(const WideString& path);

// True when the entry at path is a temporary whose run is gone.
bool isDeadTemporary(const WideString& path);

#endif
