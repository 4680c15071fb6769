// The synchronous clean-up: the second walk of a folder run, which deletes the
// files and removes the directories of the To Folder that the From Folder lacks.
#ifndef KORVANE_ENGINE_CLEANUP_H
#define KORVANE_ENGINE_CLEANUP_H

#include "text/wide_string.h"

// Entry handler of the clean-up walk: deletes a file or link without counterpart.
bool deleteFileHandler(const WideString& entryPath, const WideString& walkRoot,
                       const WideString& extra1, const WideString& extra2,
                       const WideString& otherRoot);

// After-directory handler of the clean-up walk: removes a directory without counterpart.
bool removeDirectoryHandler(const WideString& entryPath, const WideString& walkRoot,
                            const WideString& extra1, const WideString& extra2,
                            const WideString& otherRoot);

// Deletes path, a file (or link) under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was deleted; sets changeAttempted.
bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot,
                                  const WideString& path);

// Removes path, a directory under root, when otherRoot holds no counterpart.
// True when it stays with a counterpart or was removed; sets changeAttempted.
bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot,
                                       const WideString& path);

#endif
