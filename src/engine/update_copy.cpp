#include "engine/update_copy.h"

#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"
#include "platform/platform.h"

// The attributes stay cleared when the second attempt fails.
bool copyFileOver(const WideString& source, const WideString& target) {
    CopyOutcome outcome = changeCopyFile(source.buffer, target.buffer);
    if (outcome == COPY_DONE) return true;
    if (outcome == COPY_NOT_REGULAR) runContext.notPlainFile = true;
    if ((outcome == COPY_ACCESS_DENIED || outcome == COPY_ALREADY_EXISTS) && fileExists(target) &&
        changeClearProtection(target.buffer)) {
        return changeCopyFile(source.buffer, target.buffer) == COPY_DONE;
    }
    return false;
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
    bool standing = existing.queried || targetIsLink;
    if (!standing && !parentReady(entryPath, target)) return false;
    if (standing && !targetIsLink && isRunLogByName(target)) return false;
    if (changeCopyLink(entryPath.buffer, target.buffer) != COPY_DONE) return false;
    ++runContext.updatedCount;
    return true;
}

// A name that may be a short name (Windows' "PROGRA~1") and reaches an entry
// of To under another name is not copied over that entry; nameTakenBy
// tells that name. Only such names cost a look-up. A walk has looked at the
// folders above the entry already; otherwise (a list) each name below
// targetRoot is looked at.
bool nameTakenInTarget(const WideString& targetRoot, const WideString& target, bool wholePath) {
    int32_t start = wholePath ? targetRoot.length : target.FindLastSeparator();
    if (wholePath && start > 0 && isComponentSeparator(target.buffer[start - 1])) --start;
    for (int32_t end = start + 1; end <= target.length; ++end) {
        if (end < target.length && !isComponentSeparator(target.buffer[end])) continue;
        const wchar_t* name = target.buffer + start + 1;
        size_t length = static_cast<size_t>(end - start - 1);
        start = end;
        std::wstring reached;
        if (!platformNameMayAlias(name, length) || !platformEntryName(target.Left(end).buffer, &reached)) continue;
        std::wstring reachedKey;
        std::wstring ownKey;
        platformFoldName(reached.c_str(), &reachedKey);
        platformFoldName(std::wstring(name, length).c_str(), &ownKey);
        if (reachedKey == ownKey) continue;
        runContext.nameTakenBy = WideString(reached.c_str());
        return true;
    }
    return false;
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

}  // namespace

bool copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    if (sourceRoot.length == 0 || targetRoot.length == 0 || entryPath.length == 0) return false;
    if (!StartsWith(entryPath, sourceRoot)) return false;
    runContext.linkInTheWay = false;
    runContext.notPlainFile = false;
    runContext.linkCopied = false;
    runContext.madeDirectory = false;
    runContext.lastCopiedBytes = 0;
    runContext.nameTakenBy = WideString();
    changeClearFailure();

    WideString target = counterpartPath(entryPath, sourceRoot, targetRoot);
    const DirectoryWalker* walker = runContext.activeWalker;
    if (nameTakenInTarget(targetRoot, target, !walker)) {
        runContext.changeAttempted = true;
        return false;
    }
    // A link whose text the system cannot read as a link's (Wine's view of
    // a unix link) is followed, as without copyLinks. In a walk whose
    // listings mark every link, the listing has already told what is one.
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
        if (!existing.queried && isDryRun() && !parentReady(entryPath, target)) return false;
        ok = copyFileOver(entryPath, target);
        // The walk made the directory before its contents, so a missing
        // parent is looked for only when the copy could not be written.
        if (!ok && !existing.queried && !runContext.notPlainFile && !runStopRequested() &&
            !directoryExists(target.Left(target.FindLastSeparator()))) {
            changeClearFailure();
            ok = parentReady(entryPath, target) && copyFileOver(entryPath, target);
        }
        if (ok) runContext.lastCopiedBytes = source.status.size;
    }
    if (ok) ++runContext.updatedCount;
    return ok;
}
