// The update of one entry: what it needs decided from its statuses, then done.
#include "engine/update_copy.h"

#include "base/separator.h"
#include "engine/in_the_way.h"
#include "engine/folder_times.h"
#include "engine/metadata.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"
#include "platform/platform.h"

namespace {

// copyFileOver, with how the copy ended and what it kept besides.
CopyResult copyFileOutcome(Changes* changes, const WideString& source, const WideString& target,
                           const KeptMetadata& keep) {
    CopyResult copied = changeCopyFile(changes, source.buffer, target.buffer, keep);
    if ((copied.outcome == COPY_ACCESS_DENIED || copied.outcome == COPY_ALREADY_EXISTS) && fileExists(target) &&
        changeClearProtection(changes, target.buffer)) {
        return changeCopyFile(changes, source.buffer, target.buffer, keep);
    }
    return copied;
}

// The words of a reason, for an outcome.
WideString reasonWords(int reason) { return WideString(platformReasonText(reason).c_str()); }

// The open run log is never copied over, whatever From holds of that name;
// only a target of the log's name is asked for its identity.
bool isRunLogByName(const WideString& target) {
    return runContext.log.placeKnown && target.EndsWith(runContext.log.fileName) && isOpenRunLog(target);
}

// Makes the directory target like source, or with its metadata where run keeps it.
SystemResult directoryLike(const RunState* run, const WideString& source, const WideString& target) {
    if (!run->options.updateMetadata) return createDirectoryLike(run->changes, source, target);
    return createDirectoryKeeping(run->changes, source, target, keptMetadata(run->options));
}

// Makes sure the directory that is to hold target exists, made like the source's.
SystemResult parentReady(const RunState* run, const WideString& entryPath, const WideString& target) {
    WideString sourceParent = entryPath.Left(entryPath.FindLastSeparator());
    WideString targetParent = target.Left(target.FindLastSeparator());
    if (directoryExists(targetParent)) return SystemResult{true, 0};
    return directoryLike(run, sourceParent, targetParent);
}

// An outcome that failed for reason.
UpdateOutcome failed(UpdateOutcome outcome, int reason) {
    if (outcome.reason.length == 0) outcome.reason = reasonWords(reason);
    return outcome;
}

// While the replacement guard counts, a To file that the update would
// replace waits (outcome's replaceHeld): nothing is done, and the run's
// thread notes it in the walk's order. True when it waits.
bool replacementWaits(const RunState* run, UpdateOutcome* outcome) {
    if (!run->holdReplacements) return false;
    outcome->replaceHeld = true;
    return true;
}

// A change made, which the run's closing line counts.
UpdateOutcome changed(UpdateOutcome outcome) {
    outcome.counted = true;
    outcome.upToDate = true;
    return outcome;
}

// An entry found up to date: nothing was due after all.
UpdateOutcome nothingDue(UpdateOutcome outcome) {
    outcome.changeAttempted = false;
    outcome.upToDate = true;
    return outcome;
}

// Brings the metadata of target to its source's in place. Where the volume
// holds none of what differs (owners on FAT), nothing changed. *refused
// tells an entry found, as it was opened, to be one that is to be made
// anew (a grant to what another may have put there): nothing was changed.
UpdateOutcome updateInPlace(const RunState* run, UpdateOutcome outcome, const WideString& entryPath,
                            const WideString& target, bool* refused) {
    bool changedAny = false;
    SystemResult written =
        changeWriteMetadata(run->changes, entryPath.buffer, target.buffer, keptMetadata(run->options), &changedAny);
    *refused = !written && written.reason == FAILURE_GRANT_REFUSED;
    if (!written) return failed(outcome, written.reason);
    if (!changedAny) return nothingDue(outcome);
    outcome.updatedInPlace = true;
    return changed(outcome);
}

// A link copied as a link, its text already read: up to date when To holds
// a link with the same text; otherwise a copy of it replaces a file or link
// of that name. A directory in its place stays, and the update fails,
// unless the run is a mirror, which replaces it.
UpdateOutcome copyLinkIfUpdated(RunState* run, const WideString& targetRoot, const WideString& entryPath,
                                const WideString& target, const std::wstring& text, bool onWorker) {
    UpdateOutcome outcome;
    outcome.linkCopied = true;
    std::wstring existingText;
    EntryState existing = queryEntryState(target);
    bool targetIsLink = existing.queried ? existing.status.isLink : platformIsLink(target.buffer);
    outcome.facedFile = existing.queried && existing.status.isRegular && !targetIsLink;
    if (targetIsLink && platformReadLink(target.buffer, &existingText) && existingText == text) {
        // The same text: the link's owner and group may be all that differs.
        EntryStatus own;
        if (run->options.updateMetadata && run->options.keepOwners && existing.queried &&
            platformQueryOwnEntry(entryPath.buffer, &own) &&
            platformOwnModeDiffer(own, existing.status, keptMetadata(run->options))) {
            outcome.changeAttempted = true;
            bool refused = false;
            return updateInPlace(run, outcome, entryPath, target, &refused);
        }
        outcome.upToDate = true;
        return outcome;
    }
    outcome.changeAttempted = true;
    bool directoryInTheWay = existing.queried && existing.isDirectory && !targetIsLink;
    if (run->replaceLinks && directoryInTheWay) {
        if (onWorker) {
            outcome.needsRunThread = true;
            return outcome;
        }
        if (run->holdKindChanges) {
            outcome.heldBack = true;  // noted in turn, when told
            return outcome;
        }
        if (!removeTreeInTheWay(run, targetRoot, target, &outcome.reason)) return outcome;
        existing = EntryState{false, false, {}};
        directoryInTheWay = false;
    }
    bool standing = existing.queried || targetIsLink;
    if (!standing) {
        SystemResult ready = parentReady(run, entryPath, target);
        if (!ready) return failed(outcome, ready.reason);
    }
    if (standing && !targetIsLink && isRunLogByName(target)) {
        outcome.reason = L"it is the run's log";
        return outcome;
    }
    if (existing.queried && !existing.isDirectory && !targetIsLink && replacementWaits(run, &outcome)) return outcome;
    if (standing && !directoryInTheWay && keepBeforeReplacing(run, target, &outcome.kept) == KEEP_FAILED) {
        return outcome;
    }
    CopyResult copied = changeCopyLink(run->changes, entryPath.buffer, target.buffer, keptMetadata(run->options));
    if (copied.outcome != COPY_DONE) {
        if (copied.outcome != COPY_KEPT_LESS) {
            dropKept(*run->changes, outcome.kept);
            outcome.kept = KeptVersion();
        }
        return failed(outcome, copied.reason);
    }
    return changed(outcome);
}

// A name that may be a short name (Windows' "PROGRA~1") and reaches an entry
// of To under another name is not copied over that entry; takenBy
// tells that name. Only such names cost a look-up. A walk has looked at the
// folders above the entry already; otherwise (a list) each name below
// targetRoot is looked at.
bool nameTakenInTarget(const WideString& targetRoot, const WideString& target, bool wholePath, WideString* takenBy) {
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
        *takenBy = WideString(reached.c_str());
        return true;
    }
    return false;
}

// A file's modification time.
StampTime stampOf(const EntryState& entry) {
    return StampTime{entry.status.modifiedSeconds, entry.status.modifiedNanoseconds};
}

// Two files of one size whose times differ only as a coarser volume stores
// them are alike when the target's volume keeps times that coarsely; the
// volume is asked only then, once per run. A copy bearing set-ID bits under
// another owner than its source's is never alike.
bool sameTimeOnCoarseVolume(const RunState* run, const WideString& target, const EntryState& source,
                            const EntryState& existing) {
    if (!source.queried || !existing.queried || source.isDirectory || existing.isDirectory) return false;
    if (!existing.status.isRegular || source.status.size != existing.status.size) return false;
    if (existing.status.setId && existing.status.owner != source.status.owner) return false;
    return !sameMoment(stampOf(source), stampOf(existing)) &&
           sameModifiedTime(stampOf(source), stampOf(existing), 0, target.Left(target.FindLastSeparator()), run->steps);
}

// True when two files have one size and one modification time, as the run
// of options compares times: to the nanosecond, within its window, or
// within the step of a To volume that keeps them more coarsely (which is
// asked only when the times differ as such a volume makes them differ).
bool sameContentsStamp(const RunState* run, const WideString& target, const EntryState& source,
                       const EntryState& existing) {
    if (!source.queried || !existing.queried || source.isDirectory || existing.isDirectory) return false;
    if (!existing.status.isRegular || source.status.size != existing.status.size) return false;
    return sameModifiedTime(stampOf(source), stampOf(existing), run->options.modifyWindow,
                            target.Left(target.FindLastSeparator()), run->steps);
}

// A directory given a mode its volume cannot hold keeps the word it had:
// nothing changed (a dry run cannot tell).
bool attributeWordKept(const RunState* run, const WideString& target, const EntryState& existing) {
    if (run->changes->simulated || !existing.queried || !existing.isDirectory) return false;
    uint32_t word = 0;
    return platformReadAttributeWord(target.buffer, &word) && word == existing.status.attributeWord;
}

// True when a mirror finds a To entry of another kind than its From entry.
bool kindInTheWay(const RunState* run, const EntryState& source, const EntryState& existing) {
    if (!run->replaceLinks || !source.queried || !existing.queried || existing.status.isLink) return false;
    return source.isDirectory != existing.isDirectory;
}

// A mirror replaces a To entry of another kind than its From entry: a
// directory where From has a file or a link goes with everything below it,
// a file or link where From has a directory goes too; while the deletion
// guard counts, it waits (outcome's heldBack), for the run's thread to note
// in the walk's order. Other runs leave it, and its copy fails as before. False when it stays
// in the way.
bool clearedForKind(RunState* run, const WideString& targetRoot, const WideString& target, const EntryState& source,
                    const EntryState& existing, UpdateOutcome* outcome) {
    if (!kindInTheWay(run, source, existing)) return true;
    if (run->holdKindChanges) {
        outcome->heldBack = true;  // noted in turn, when told
        return false;
    }
    return existing.isDirectory ? removeTreeInTheWay(run, targetRoot, target, &outcome->reason)
                                : deleteFileInTheWay(run, target, &outcome->reason);
}

// Notes what a folder's time asks once its contents are done: due when To
// has no folder there yet, or one of another time.
void noteFolderTime(UpdateOutcome* outcome, const RunState* run, const WideString& target, const EntryState& source,
                    const EntryState& existing) {
    outcome->sourceSeconds = source.status.modifiedSeconds;
    outcome->sourceNanoseconds = source.status.modifiedNanoseconds;
    outcome->folderTimeDue =
        !existing.queried || !existing.isDirectory || existing.status.isLink ||
        folderTimeDiffers(*run, target, FolderTime{source.status.modifiedSeconds, source.status.modifiedNanoseconds},
                          FolderTime{existing.status.modifiedSeconds, existing.status.modifiedNanoseconds});
}

// Copies a file whose counterpart differs or is missing; a file it replaces
// (replacing) is kept as a version first, when the run keeps versions and
// has not kept it already, and its version goes again when the copy does
// not happen. A copy whose volume refused an attribute stands, and fails
// with the reason.
UpdateOutcome copyFileEntry(RunState* run, UpdateOutcome outcome, const WideString& entryPath, const WideString& target,
                            const EntryState& source, const EntryState& existing, bool replacing) {
    if (existing.queried && isRunLogByName(target)) {
        outcome.reason = L"it is the run's log";
        return outcome;
    }
    if (replacing && outcome.kept.result == KEEP_NOT_ASKED && replacementWaits(run, &outcome)) return outcome;
    if (replacing && outcome.kept.result == KEEP_NOT_ASKED &&
        keepBeforeReplacing(run, target, &outcome.kept) == KEEP_FAILED) {
        return outcome;
    }
    // A simulated copy cannot tell a missing parent: a dry run looks first.
    // A source that is not there makes no folders in To: its copy fails
    // with the system's reason.
    if (!existing.queried && source.queried && run->changes->simulated) {
        SystemResult ready = parentReady(run, entryPath, target);
        if (!ready) return failed(outcome, ready.reason);
    }
    KeptMetadata keep = keptMetadata(run->options);
    CopyResult copied = copyFileOutcome(run->changes, entryPath, target, keep);
    outcome.notPlainFile = copied.outcome == COPY_NOT_REGULAR;
    // The walk made the directory before its contents, so a missing parent
    // is looked for only when the copy failed for a missing name; one that
    // was moved away during the run is not made again. A parent that stands
    // by now may have been made meanwhile, for another entry of a list run
    // on another worker: the copy is tried once more. Any other failure (no
    // right, no space) is the copy's own: it is not written twice.
    if (copied.outcome == COPY_FAILED && platformErrorIsMissing(copied.reason) && !existing.queried && source.queried &&
        !runStopRequested()) {
        SystemResult ready = parentReady(run, entryPath, target);
        if (ready) {
            copied = copyFileOutcome(run->changes, entryPath, target, keep);
        } else {
            copied.reason = ready.reason;
        }
    }
    if (copied.outcome != COPY_DONE) {
        if (replacing && copied.outcome != COPY_KEPT_LESS) {
            dropKept(*run->changes, outcome.kept);
            outcome.kept = KeptVersion();
        }
        return failed(outcome, copied.reason);
    }
    outcome.copiedBytes = source.status.size;
    return changed(outcome);
}

// True for an entry below sourceRoot, both roots given.
bool updatable(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    return sourceRoot.length > 0 && targetRoot.length > 0 && entryPath.length > 0 && StartsWith(entryPath, sourceRoot);
}

}  // namespace

// The attributes stay cleared when the second attempt fails.
// cppcheck-suppress unusedFunction ; the engine's own interface, which its tests call
bool copyFileOver(const WideString& source, const WideString& target) {
    Changes changes;
    return copyFileOutcome(&changes, source, target, KeptMetadata{false, false, false}).outcome == COPY_DONE;
}

// A source that is no plain file or directory (a FIFO, a socket, a device) is
// left alone and told through notPlainFile: it is never opened and never
// becomes a file in To; one bearing a name of the program's own, through
// programsOwnName. A versions folder of To facing a From folder is not entered. A link in To facing the entry is never written
// through: a mirror removes it as a link and puts the entry in its place,
// any other run leaves it and tells through linkInTheWay.
UpdateOutcome updateEntry(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                          const WideString& entryPath, const UpdateAsk& ask) {
    UpdateOutcome outcome;
    if (!updatable(sourceRoot, targetRoot, entryPath)) return outcome;
    const ListedEntry* listed = ask.listed;

    WideString target = counterpartPath(entryPath, sourceRoot, targetRoot);
    // A mark carried over from From would make a folder of To pass for a versions folder.
    if (isProgramsOwnName(entryPath.buffer + entryPath.FindLastSeparator() + 1)) {
        outcome.programsOwnName = true;
        return outcome;
    }
    // A folder the run has just made holds no mark.
    bool mayBeFolder = (!listed || listed->isDirectory) && !ask.targetMissing;
    if (isVersionsPlace(run, target)) {
        outcome.versionsInTheWay = true;
        outcome.changeAttempted = true;
        outcome.reason = L"the run keeps its versions there; left as it is";
        return outcome;
    }
    if (mayBeFolder && isMarkedVersionsFolder(target)) {
        outcome.versionsInTheWay = true;
        outcome.changeAttempted = true;
        outcome.reason = L"a versions folder is there; left as it is";
        return outcome;
    }
    if (!ask.targetMissing && nameTakenInTarget(targetRoot, target, listed == nullptr, &outcome.nameTakenBy)) {
        outcome.changeAttempted = true;
        return outcome;
    }
    // A link whose text the system cannot read as a link's (Wine's view of
    // a unix link) is followed, as without copyLinks. Where listings mark
    // every link, the listing has already told what is one.
    bool listedAsLinks = listed && platformLinksAreVisible();
    std::wstring linkText;
    if (run->options.copyLinks && (listedAsLinks ? listed->isLink : platformIsLink(entryPath.buffer)) &&
        platformReadLink(entryPath.buffer, &linkText)) {
        return copyLinkIfUpdated(run, targetRoot, entryPath, target, linkText, ask.onWorker);
    }
    EntryState source;
    EntryState existing;
    // The copy walk's listing may already have told the entry's status.
    const EntryStatus* known = listed && listed->statusKnown ? &listed->status : nullptr;
    bool differ = entriesDifferWith(entryPath, target, &source, &existing, run->options.modifyWindow, known,
                                    ask.targetMissing, ask.targetListed) &&
                  !sameTimeOnCoarseVolume(run, target, source, existing);
    outcome.isDirectory = source.queried && source.isDirectory;
    outcome.facedFile = source.queried && existing.queried && !source.isDirectory && source.status.isRegular &&
                        !existing.isDirectory && existing.status.isRegular && !existing.status.isLink;
    if (source.queried && !source.isDirectory && !source.status.isRegular) {
        outcome.notPlainFile = true;
        outcome.upToDate = true;
        return outcome;
    }
    bool linkFacing = existing.queried && existing.status.isLink;
    bool faithful = run->options.updateMetadata;
    bool sameKind = source.queried && existing.queried && !linkFacing && source.isDirectory == existing.isDirectory;
    // Where metadata are kept, they decide below: a folder's mode, and a
    // file's set-ID bits under another owner, are mended in place.
    if (faithful && sameKind && source.isDirectory) differ = false;
    if (faithful && sameKind && !source.isDirectory && differ && existing.status.setId) {
        differ = !sameContentsStamp(run, target, source, existing);
    }
    LinkFinding links{LINK_NONE, false, nullptr};
    if (run->options.hardLinks && source.queried && source.status.isRegular) {
        links = findLinks(run->links, source, existing, differ);
        // A To file that is another From file's copy too is made afresh; its other names stay as they are.
        if (links.shared) differ = true;
    }
    if (links.step == LINK_UP_TO_DATE) return nothingDue(outcome);
    bool inPlace = false;
    bool renew = false;
    if (faithful && sameKind && !differ && links.step != LINK_DUE) {
        int reason = 0;
        MendKind mend = metadataMend(*run, entryPath, target, source, existing, &reason);
        if (reason != 0) {
            outcome.changeAttempted = true;
            return failed(outcome, reason);
        }
        // A To file of several names is never changed in place: the other
        // names (a snapshot's, or one planted to reach another's file) stay
        // as they are, and this one gets a copy of its own. Nor is an entry
        // whose contents another may have chosen given what they may not
        // take: a file gets a copy the run writes, a folder is renewed.
        bool othersShare = !source.isDirectory && existing.status.linkCount > 1;
        bool anew = mend == MEND_ANEW || (mend == MEND_IN_PLACE && othersShare);
        differ = anew && !source.isDirectory;
        renew = anew && source.isDirectory;
        inPlace = mend == MEND_IN_PLACE && !anew;
    }
    if (outcome.isDirectory && run->options.folderTimes) noteFolderTime(&outcome, run, target, source, existing);
    outcome.changeAttempted = differ || linkFacing || inPlace || renew || links.step == LINK_DUE;
    if (!outcome.changeAttempted) {
        if (links.step == LINK_FIRST) noteFirstCopy(run->links, source, target, &existing.status.identity);
        outcome.upToDate = true;
        return outcome;
    }
    if (!linkFacing && ask.onWorker && kindInTheWay(run, source, existing)) {
        outcome.needsRunThread = true;
        return outcome;
    }
    if (!linkFacing && !clearedForKind(run, targetRoot, target, source, existing, &outcome)) {
        return outcome;
    }
    if (linkFacing) {
        // A link the system cannot remove as a link stays, and so does one outside a mirror.
        KeepResult kept = run->replaceLinks ? keepBeforeDeleting(run, target, &outcome.kept) : KEEP_NOT_ASKED;
        if (kept == KEEP_FAILED) return outcome;
        if (!run->replaceLinks || (kept != KEEP_MOVED && !changeRemoveLink(run->changes, target.buffer))) {
            dropKept(*run->changes, outcome.kept);
            outcome.kept = KeptVersion();
            outcome.linkInTheWay = true;
            return outcome;
        }
    }
    if (inPlace) {
        bool refused = false;
        UpdateOutcome mended = updateInPlace(run, outcome, entryPath, target, &refused);
        if (mended.upToDate && links.step == LINK_FIRST)
            noteFirstCopy(run->links, source, target, &existing.status.identity);
        if (!refused) return mended;
        // Another entry took the name since it was queried: made anew as well.
        renew = source.isDirectory;
    }
    // A file in To (not a directory, which a mirror has just removed) is replaced.
    bool replacing = existing.queried && !existing.isDirectory && !linkFacing;
    if (links.step == LINK_DUE) {
        // A list run meets names whose folders in To are not made yet.
        if (!existing.queried) {
            SystemResult ready = parentReady(run, entryPath, target);
            if (!ready) return failed(outcome, ready.reason);
        }
        if (replacing && isRunLogByName(target)) {
            outcome.reason = L"it is the run's log";
            return outcome;
        }
        if (replacing && replacementWaits(run, &outcome)) return outcome;
        if (replacing && keepBeforeReplacing(run, target, &outcome.kept) == KEEP_FAILED) return outcome;
        CopyResult linked =
            changeLinkFile(run->changes, links.first->target.buffer, links.first->identity, target.buffer);
        if (linked.outcome == COPY_DONE) return changed(outcome);
        if (linked.outcome == COPY_STOPPED || linked.outcome == COPY_PLACE_MOVED) {
            dropKept(*run->changes, outcome.kept);
            outcome.kept = KeptVersion();
            return failed(outcome, linked.reason);
        }
        // Where the name cannot be linked (a volume below To, a file of too
        // many names), it gets a copy of its own; its version stands kept.
    }
    if (!source.isDirectory) {
        outcome = copyFileEntry(run, outcome, entryPath, target, source, existing, replacing);
        if (outcome.upToDate && links.step == LINK_FIRST) {
            EntryState made = run->changes->simulated ? EntryState{false, false, {}} : queryEntryState(target);
            noteFirstCopy(run->links, source, target, made.queried ? &made.status.identity : nullptr);
        }
        return outcome;
    }
    if (renew) {
        // What it held moved along: only the folder itself, and its time, are new.
        SystemResult renewed = changeRenewDirectory(run->changes, target.buffer);
        if (!renewed) {
            outcome.othersFolder = true;
            return failed(outcome, renewed.reason);
        }
        outcome.folderTimeDue = true;
    }
    SystemResult made = directoryLike(run, entryPath, target);
    if (!made) return failed(outcome, made.reason);
    outcome.madeDirectory = !existing.queried;
    if (!linkFacing && !faithful && attributeWordKept(run, target, existing)) return nothingDue(outcome);
    return changed(outcome);
}

void noteOutcome(const UpdateOutcome& outcome) {
    runContext.changeAttempted = outcome.changeAttempted;
    if (outcome.counted) ++runContext.updatedCount;
}

UpdateOutcome copyIfUpdated(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                            const WideString& entryPath, const ListedEntry* listed) {
    UpdateAsk ask;
    ask.listed = listed;
    UpdateOutcome outcome = updateEntry(run, sourceRoot, targetRoot, entryPath, ask);
    if (updatable(sourceRoot, targetRoot, entryPath)) noteOutcome(outcome);  // else nothing was asked
    return outcome;
}

UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    DefaultRun lone;
    return copyIfUpdated(&lone.run, sourceRoot, targetRoot, entryPath, nullptr);
}
