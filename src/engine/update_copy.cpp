#include "engine/update_copy.h"

#include "engine/cleanup.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"
#include "platform/platform.h"

namespace {

// copyFileOver, with how the copy ended.
CopyOutcome copyFileOutcome(const WideString& source, const WideString& target) {
    CopyOutcome outcome = changeCopyFile(source.buffer, target.buffer);
    if ((outcome == COPY_ACCESS_DENIED || outcome == COPY_ALREADY_EXISTS) && fileExists(target) &&
        changeClearProtection(target.buffer)) {
        return changeCopyFile(source.buffer, target.buffer);
    }
    return outcome;
}

// The open run log is never copied over, whatever From holds of that name;
// only a target of the log's name is asked for its identity.
bool isRunLogByName(const WideString& target) {
    return runContext.log.placeKnown && target.EndsWith(runContext.log.fileName) && isOpenRunLog(target);
}

// Makes sure the directory that is to hold target exists, made like the source's.
bool parentReady(const WideString& entryPath, const WideString& target) {
    WideString sourceParent = entryPath.Left(entryPath.FindLastSeparator());
    WideString targetParent = target.Left(target.FindLastSeparator());
    return directoryExists(targetParent) || createDirectoryLike(sourceParent, targetParent);
}

// Counts a change made, as runContext.updatedCount counts them.
UpdateOutcome changed(UpdateOutcome outcome) {
    ++runContext.updatedCount;
    outcome.upToDate = true;
    return outcome;
}

// A link copied as a link, its text already read: up to date when To holds
// a link with the same text; otherwise a copy of it replaces a file or link
// of that name. A directory in its place stays, and the update fails,
// unless the run is a mirror, which replaces it.
UpdateOutcome copyLinkIfUpdated(RunState* run, const WideString& entryPath, const WideString& target,
                                const std::wstring& text) {
    UpdateOutcome outcome;
    outcome.linkCopied = true;
    std::wstring existingText;
    EntryState existing = queryEntryState(target);
    bool targetIsLink = existing.queried ? existing.status.isLink : platformIsLink(target.buffer);
    if (targetIsLink && platformReadLink(target.buffer, &existingText) && existingText == text) {
        outcome.upToDate = true;
        return outcome;
    }
    outcome.changeAttempted = true;
    bool directoryInTheWay = existing.queried && existing.isDirectory && !targetIsLink;
    if (run->replaceLinks && directoryInTheWay) {
        if (run->holdKindChanges) {
            run->heldKindChanges.push_back(entryPath);
            outcome.heldBack = true;
            return outcome;
        }
        if (!removeTreeInTheWay(run, target)) return outcome;
        existing = EntryState{false, false, {}};
        directoryInTheWay = false;
    }
    bool standing = existing.queried || targetIsLink;
    if (!standing && !parentReady(entryPath, target)) return outcome;
    if (standing && !targetIsLink && isRunLogByName(target)) return outcome;
    KeepResult kept = standing && !directoryInTheWay ? keepBeforeReplacing(run, target) : KEEP_NOT_ASKED;
    if (kept == KEEP_FAILED) {
        outcome.failureTold = true;
        return outcome;
    }
    if (changeCopyLink(entryPath.buffer, target.buffer) != COPY_DONE) {
        if (kept == KEEP_BESIDE) dropKept(run, target);
        return outcome;
    }
    if (kept == KEEP_BESIDE) reportKept(run, target);
    return changed(outcome);
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
// a file or link where From has a directory goes too; while the deletion
// guard counts, it waits in the run's heldKindChanges (outcome's heldBack).
// Other runs leave it, and its copy fails as before. False when it stays
// in the way.
bool clearedForKind(RunState* run, const WideString& entryPath, const WideString& target, const EntryState& source,
                    const EntryState& existing, UpdateOutcome* outcome) {
    if (!run->replaceLinks || !source.queried || !existing.queried || existing.status.isLink) return true;
    if (source.isDirectory == existing.isDirectory) return true;
    if (run->holdKindChanges) {
        run->heldKindChanges.push_back(entryPath);
        outcome->heldBack = true;
        return false;
    }
    return existing.isDirectory ? removeTreeInTheWay(run, target) : deleteFileInTheWay(run, target);
}

// Copies a file whose counterpart differs or is missing; a file it replaces
// (replacing) is kept as a version first, when the run keeps versions, and
// its version goes again when the copy does not happen.
UpdateOutcome copyFileEntry(RunState* run, UpdateOutcome outcome, const WideString& entryPath, const WideString& target,
                            const EntryState& source, const EntryState& existing, bool replacing) {
    if (existing.queried && isRunLogByName(target)) return outcome;
    KeepResult kept = replacing ? keepBeforeReplacing(run, target) : KEEP_NOT_ASKED;
    if (kept == KEEP_FAILED) {
        outcome.failureTold = true;
        return outcome;
    }
    // A simulated copy cannot tell a missing parent: a dry run looks first.
    // A source that is not there makes no folders in To: its copy fails
    // with the system's reason.
    if (!existing.queried && source.queried && isDryRun() && !parentReady(entryPath, target)) return outcome;
    CopyOutcome copied = copyFileOutcome(entryPath, target);
    outcome.notPlainFile = copied == COPY_NOT_REGULAR;
    // The walk made the directory before its contents, so a missing parent
    // is looked for only when the copy could not be written; one that was
    // moved away during the run is not made again.
    if (copied != COPY_DONE && !existing.queried && source.queried && !outcome.notPlainFile && !runStopRequested() &&
        copied != COPY_PLACE_MOVED && !directoryExists(target.Left(target.FindLastSeparator()))) {
        changeClearFailure();
        if (parentReady(entryPath, target)) copied = copyFileOutcome(entryPath, target);
    }
    if (copied != COPY_DONE) {
        if (kept == KEEP_BESIDE) dropKept(run, target);
        return outcome;
    }
    if (kept == KEEP_BESIDE) reportKept(run, target);
    outcome.copiedBytes = source.status.size;
    return changed(outcome);
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
UpdateOutcome copyIfUpdated(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                            const WideString& entryPath, const ListedEntry* listed) {
    UpdateOutcome outcome;
    if (sourceRoot.length == 0 || targetRoot.length == 0 || entryPath.length == 0) return outcome;
    if (!StartsWith(entryPath, sourceRoot)) return outcome;
    runContext.changeAttempted = false;
    changeClearFailure();

    WideString target = counterpartPath(entryPath, sourceRoot, targetRoot);
    if (isVersionsPlace(run, target)) {
        outcome.versionsInTheWay = true;
        outcome.changeAttempted = true;
        runContext.changeAttempted = true;
        return outcome;
    }
    // A link whose text the system cannot read as a link's (Wine's view of
    // a unix link) is followed, as without copyLinks. Where listings mark
    // every link, the listing has already told what is one.
    bool listedAsLinks = listed && platformLinksAreVisible();
    std::wstring linkText;
    if (run->options.copyLinks && (listedAsLinks ? listed->isLink : platformIsLink(entryPath.buffer)) &&
        platformReadLink(entryPath.buffer, &linkText)) {
        outcome = copyLinkIfUpdated(run, entryPath, target, linkText);
        runContext.changeAttempted = outcome.changeAttempted;
        return outcome;
    }
    changeClearFailure();
    EntryState source;
    EntryState existing;
    // The copy walk's listing may already have told the entry's status.
    const EntryStatus* known = listed && listed->statusKnown ? &listed->status : nullptr;
    bool differ = entriesDifferWith(entryPath, target, &source, &existing, run->options.modifyWindow, known) &&
                  !sameTimeOnCoarseVolume(target, source, existing);
    outcome.isDirectory = source.queried && source.isDirectory;
    if (source.queried && !source.isDirectory && !source.status.isRegular) {
        outcome.notPlainFile = true;
        outcome.upToDate = true;
        return outcome;
    }
    bool linkFacing = existing.queried && existing.status.isLink;
    outcome.changeAttempted = differ || linkFacing;
    runContext.changeAttempted = outcome.changeAttempted;
    if (!outcome.changeAttempted) {
        outcome.upToDate = true;
        return outcome;
    }
    if (!linkFacing && !clearedForKind(run, entryPath, target, source, existing, &outcome)) {
        runContext.changeAttempted = true;
        return outcome;
    }
    runContext.changeAttempted = true;
    if (linkFacing) {
        // A link the system cannot remove as a link stays, and so does one outside a mirror.
        KeepResult kept = run->replaceLinks ? keepBeforeDeleting(run, target) : KEEP_NOT_ASKED;
        if (kept == KEEP_FAILED) {
            outcome.failureTold = true;
            return outcome;
        }
        if (!run->replaceLinks || (kept != KEEP_MOVED && !changeRemoveLink(target.buffer))) {
            if (kept == KEEP_BESIDE) dropKept(run, target);
            outcome.linkInTheWay = true;
            return outcome;
        }
        if (kept != KEEP_NOT_ASKED) reportKept(run, target);
    }
    // A file in To (not a directory, which a mirror has just removed) is replaced.
    bool replacing = existing.queried && !existing.isDirectory && !linkFacing;
    if (!source.isDirectory) return copyFileEntry(run, outcome, entryPath, target, source, existing, replacing);
    if (!createDirectoryLike(entryPath, target)) return outcome;
    outcome.madeDirectory = !existing.queried;
    if (!linkFacing && attributeWordKept(target, existing)) {
        outcome.changeAttempted = false;
        runContext.changeAttempted = false;
        outcome.upToDate = true;
        return outcome;
    }
    return changed(outcome);
}

UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    RunOptions options;
    RunTally tally;
    RunState run = makeRun(options, tally);
    return copyIfUpdated(&run, sourceRoot, targetRoot, entryPath, nullptr);
}
