#include "engine/update_copy.h"

#include "engine/copy_queue.h"
#include "engine/run_context.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "platform/platform.h"

// The attributes stay cleared when the second attempt fails.
bool copyFileOver(const WideString& source, const WideString& target) {
    CopyOutcome outcome = changeCopyFile(source.buffer, target.buffer);
    if (outcome == COPY_DONE) return true;
    if ((outcome == COPY_ACCESS_DENIED || outcome == COPY_ALREADY_EXISTS) && fileExists(target) &&
        changeClearProtection(target.buffer)) {
        return changeCopyFile(source.buffer, target.buffer) == COPY_DONE;
    }
    return false;
}

bool copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot,
                   const WideString& entryPath) {
    if (sourceRoot.length == 0 || targetRoot.length == 0 || entryPath.length == 0) return false;
    if (!StartsWith(entryPath, sourceRoot)) return false;

    WideString target = counterpartPath(entryPath, sourceRoot, targetRoot);
    EntryState source;
    EntryState existing;
    runContext.changeAttempted = entriesDifferWith(entryPath, target, &source, &existing);
    if (!runContext.changeAttempted) return true;

    bool ok;
    if (source.isDirectory) {
        ok = createDirectoryLike(entryPath, target);
    } else {
        // A target that exists in any form has its parent; otherwise make sure.
        if (!existing.queried) {
            WideString sourceParent = entryPath.Left(entryPath.FindLastSeparator());
            WideString targetParent = target.Left(target.FindLastSeparator());
            if (!directoryExists(targetParent) && !createDirectoryLike(sourceParent, targetParent)) {
                return false;
            }
        }
        if (copyQueueActive()) {
            queueCopy(entryPath, target);
            return true;
        }
        ok = copyFileOver(entryPath, target);
    }
    if (ok) ++runContext.updatedCount;
    return ok;
}
