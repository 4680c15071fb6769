#include "engine/update_copy.h"

#include "engine/cleanup.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"
#include "platform/platform.h"

namespace {

// copyFileOver, with how the copy ended.
CopyOutcome copyFileOutcome(const WideString& source, const WideString& target) {
    CopyOutcome outcome = changeCopyFile(source.buffer, target.buffer);
    if (outcome == COPY_NOT_REGULAR) runContext.notPlainFile = true;
    if ((outcome == COPY_ACCESS_DENIED || outcome == COPY_ALREADY_EXISTS) && fileExists(target) &&
        changeClearProtection(target.buffer)) {
        return changeCopyFile(source.buffer, target.buffer);
    }
    return outcome;
}

}  // namespace

// The attributes stay cleared when the second attempt fails.
bool copyFileOver(const WideString& source, const WideString& target) {
    return copyFileOutcome(source, target) == COPY_DONE;
}

// A source that is no plain file or directory (a FIFO, a socket, a device) is
// left alone and told through notPlainFile: it is never opened and never
// becomes a file in To. A link in To facing the entry is never written
// through: a mirror removes it as a link and puts the entry in its place,
// any other run leaves it and tells through linkInTheWay.
namespace {

// The open run log is never copied over, whatever From holds of that name;
// only a target of the log's name is asked for its identity.
bool isRunLogByName(const WideString& target) {
    return runContext.logIdentityKnown && target.EndsWith(runContext.logFileName) && isOpenRunLog(target);
}

// Makes sure the directory that is to hold target exists, made like the source's.
bool parentReady(const WideString& entryPath, const WideString& target) {
    WideString sourceParent = entryPath.Left(entryPath.FindLastSeparator());
    WideString targetParent = target.Left(target.FindLastSeparator());
    return directoryExists(targetParent) || createDirectoryLike(sourceParent, targetParent);
}

// A link copied as a link, its text already read: up to date when To holds
// a link with the same text; otherwise a copy of it replaces a file or link
// of that name. A directory in its place stays, and the update fails.
bool copyLinkIfUpdated(const WideString& entryPath, const WideString& target, const std::wstring& text) {
    std::wstring existingText;
    EntryState existing = queryEntryState(target);
    bool targetIsLink = existing.queried ? existing.status.isLink : platformIsLink(target.buffer);
    if (targetIsLink && platformReadLink(target.buffer, &existingText) && existingText == text) {
        runContext.changeAttempted = false;
        return true;
    }
    runContext.changeAttempted = true;
    if (runContext.replaceLinks && existing.queried && existing.isDirectory && !targetIsLink) {
        if (!removeTreeInTheWay(target)) return false;
        existing = EntryState{false, false, {}};
    }
    bool standing = existing.queried || targetIsLink;
    if (!standing && !parentReady(entryPath, target)) return false;
    if (standing && !targetIsLink && isRunLogByName(target)) return false;
    if (changeCopyLink(entryPath.buffer, target.buffer) != COPY_DONE) return false;
    ++runContext.updatedCount;
    return true;
}

// Two files of one size whose times differ only as a coarse volume stores
// them are alike when the target's volume keeps times that coarsely; the
// volume is asked only then, once per run.
bool sameTimeOnCoarseVolume(const WideString& target, const EntryState& source, const EntryState& existing) {
    if (!source.queried || !existing.queried || source.isDirectory || existing.isDirectory) return false;
    if (!existing.status.isRegular || source.status.size != existing.status.size) return false;
    int64_t from = source.status.modifiedSeconds;
    int64_t to = existing.status.modifiedSeconds;
    if (!timesMatchOnStep(from, to, COARSE_TIME_STEP)) return false;
    return timesMatchOnStep(from, to, volumeTimeStep(target.Left(target.FindLastSeparator())));
}

// A directory given a mode its volume cannot hold keeps the word it had:
// nothing changed (a dry run cannot tell).
bool attributeWordKept(const WideString& target, const EntryState& existing) {
    if (isDryRun() || !existing.queried || !existing.isDirectory) return false;
    uint32_t word = 0;
    return platformReadAttributeWord(target.buffer, &word) && word == existing.status.attributeWord;
}

// A mirror replaces a To entry of another kind than its From entry: a
// directory where From has a file or a link goes with everything below it,
// a file or link where From has a directory goes too. Other runs leave it,
// and its copy fails as before. False when it stays in the way.
bool clearedForKind(const WideString& target, const EntryState& source, const EntryState& existing) {
    if (!runContext.replaceLinks || !source.queried || !existing.queried || existing.status.isLink) return true;
    if (source.isDirectory == existing.isDirectory) return true;
    return existing.isDirectory ? removeTreeInTheWay(target) : deleteFileInTheWay(target);
}

}  // namespace

bool copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    if (sourceRoot.length == 0 || targetRoot.length == 0 || entryPath.length == 0) return false;
    if (!StartsWith(entryPath, sourceRoot)) return false;
    runContext.linkInTheWay = false;
    runContext.notPlainFile = false;
    runContext.linkCopied = false;
    runContext.madeDirectory = false;
    runContext.lastCopiedBytes = 0;
    changeClearFailure();

    WideString target = counterpartPath(entryPath, sourceRoot, targetRoot);
    // A link whose text the system cannot read as a link's (Wine's view of
    // a unix link) is followed, as without copyLinks. In a walk whose
    // listings mark every link, the listing has already told what is one.
    const DirectoryWalker* walker = runContext.activeWalker;
    bool listedAsLinks = walker && platformLinksAreVisible();
    std::wstring linkText;
    if (runContext.copyLinks && (listedAsLinks ? walker->currentIsLink : platformIsLink(entryPath.buffer)) &&
        platformReadLink(entryPath.buffer, &linkText)) {
        runContext.linkCopied = true;
        return copyLinkIfUpdated(entryPath, target, linkText);
    }
    changeClearFailure();
    EntryState source;
    EntryState existing;
    // The copy walk's listing may already have told the entry's status.
    const EntryStatus* listed = walker && walker->currentStatusKnown ? &walker->currentStatus : nullptr;
    bool differ = entriesDifferWith(entryPath, target, &source, &existing, runContext.modifyWindow, listed) &&
                  !sameTimeOnCoarseVolume(target, source, existing);
    if (source.queried && !source.isDirectory && !source.status.isRegular) {
        runContext.changeAttempted = false;
        runContext.notPlainFile = true;
        return true;
    }
    bool linkFacing = existing.queried && existing.status.isLink;
    runContext.changeAttempted = differ || linkFacing;
    if (!runContext.changeAttempted) return true;
    if (!linkFacing && !clearedForKind(target, source, existing)) return false;
    if (linkFacing) {
        if (!runContext.replaceLinks) {
            runContext.linkInTheWay = true;
            return false;
        }
        if (!changeRemoveLink(target.buffer)) {
            runContext.linkInTheWay = true;  // a link the system cannot remove as a link stays
            return false;
        }
    }

    bool ok;
    if (source.isDirectory) {
        ok = createDirectoryLike(entryPath, target);
        runContext.madeDirectory = ok && !existing.queried;
        if (ok && !linkFacing && attributeWordKept(target, existing)) {
            runContext.changeAttempted = false;
            return true;
        }
    } else {
        if (existing.queried && isRunLogByName(target)) return false;
        // A simulated copy cannot tell a missing parent: a dry run looks first.
        // A source that is not there makes no folders in To: its copy fails
        // with the system's reason.
        if (!existing.queried && source.queried && isDryRun() && !parentReady(entryPath, target)) return false;
        CopyOutcome outcome = copyFileOutcome(entryPath, target);
        ok = outcome == COPY_DONE;
        // The walk made the directory before its contents, so a missing
        // parent is looked for only when the copy could not be written;
        // one that was moved away during the run is not made again.
        if (!ok && !existing.queried && source.queried && !runContext.notPlainFile && !runStopRequested() &&
            outcome != COPY_PLACE_MOVED && !directoryExists(target.Left(target.FindLastSeparator()))) {
            changeClearFailure();
            ok = parentReady(entryPath, target) && copyFileOver(entryPath, target);
        }
        if (ok) runContext.lastCopiedBytes = source.status.size;
    }
    if (ok) ++runContext.updatedCount;
    return ok;
}
