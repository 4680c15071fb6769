// The update copy: brings one entry of the source tree up to date in the target tree.
#ifndef KORVANE_ENGINE_UPDATE_COPY_H
#define KORVANE_ENGINE_UPDATE_COPY_H

#include "text/wide_string.h"

// Copies or creates the counterpart of entryPath (under sourceRoot) below
// targetRoot when it is missing or differs. True when the counterpart is up to
// date afterwards; runContext.changeAttempted tells whether a change was due,
// and runContext.updatedCount counts each change made; linkInTheWay and
// notPlainFile tell of an entry left alone for what stands on either side,
// linkCopied of a source link taken as a link (copyLinks).
bool copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath);

// Copies source over target; a target that refuses (read-only, hidden or
// system) has those attributes cleared and is tried once more.
bool copyFileOver(const WideString& source, const WideString& target);

#endif
