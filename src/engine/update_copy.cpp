// The update of one entry: the facts its plan asks for learned, then the plan carried out.
#include "engine/update_copy.h"

#include <string>

#include "base/separator.h"
#include "engine/entry_plan.h"
#include "engine/folder_times.h"
#include "engine/in_the_way.h"
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
SystemResult directoryLike(const RunState& run, const WideString& source, const WideString& target) {
    if (!run.options.updateMetadata) return createDirectoryLike(run.changes, source, target);
    return createDirectoryKeeping(run.changes, source, target, keptMetadata(run.options));
}

// Makes sure the directory that is to hold target exists, made like the source's.
SystemResult parentReady(const RunState& run, const WideString& entryPath, const WideString& target) {
    WideString sourceParent = entryPath.Left(entryPath.FindLastSeparator());
    WideString targetParent = target.Left(target.FindLastSeparator());
    if (directoryExists(targetParent)) return SystemResult{true, 0};
    return directoryLike(run, sourceParent, targetParent);
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

// Learns the fact the plan of update asks for: from the listing where it
// told it, otherwise from the file system. A link whose text the system
// cannot read as a link's (Wine's view of a unix link) is followed, as
// without copyLinks; where listings mark every link, the listing has
// already told what is one.
void learn(const RunState& run, EntryUpdate* update, const UpdateAsk& ask) {
    EntryFacts& facts = update->facts;
    const WideString& entryPath = *update->entryPath;
    const WideString& target = update->target;
    const ListedEntry* listed = update->listedKnown ? &update->listed : nullptr;
    int fact = update->plan.needs;
    switch (fact) {
        case FACT_MARK: facts.markedVersionsFolder = isMarkedVersionsFolder(target); break;
        case FACT_NAME: nameTakenInTarget(*update->targetRoot, target, listed == nullptr, &facts.nameTakenBy); break;
        case FACT_SOURCE_LINK: {
            bool listedAsLinks = listed && platformLinksAreVisible();
            facts.sourceLink = (listedAsLinks ? listed->isLink : platformIsLink(entryPath.buffer)) &&
                               platformReadLink(entryPath.buffer, &facts.linkText);
            break;
        }
        case FACT_LINK_TARGET: {
            EntryState existing = queryEntryState(target);
            facts.target = ComparedSide{existing, existing.queried, false, 0};
            facts.targetIsLink = existing.queried ? existing.status.isLink : platformIsLink(target.buffer);
            std::wstring text;
            facts.sameLinkText = facts.targetIsLink && platformReadLink(target.buffer, &text) && text == facts.linkText;
            break;
        }
        case FACT_LINK_OWNER: {
            EntryStatus own;
            facts.linkOwnerDiffers = platformQueryOwnEntry(entryPath.buffer, &own) &&
                                     platformOwnModeDiffer(own, facts.target.state.status, keptMetadata(run.options));
            break;
        }
        case FACT_STATUSES: {
            EntryState source;
            EntryState existing;
            // The copy walk's listing may already have told the entry's status.
            const EntryStatus* known = listed && listed->statusKnown ? &listed->status : nullptr;
            queryBothStates(entryPath, target, &source, &existing, known, ask.targetMissing, ask.targetListed);
            bool words = source.isDirectory || existing.isDirectory;
            facts.source = compareSide(entryPath, source, words);
            facts.target = compareSide(target, existing, words);
            break;
        }
        case FACT_TIME_STEP: facts.timeStep = volumeTimeStep(target.Left(target.FindLastSeparator()), run.steps); break;
        case FACT_NAMES_OF_ONE:
            facts.links = findLinks(run.links, facts.source.state, facts.target.state, update->plan.linksReplaced);
            break;
        case FACT_MEND:
            facts.mend =
                metadataMend(run, entryPath, target, facts.source.state, facts.target.state, &facts.mendReason);
            break;
        case FACT_RUN_LOG: facts.targetIsRunLog = isRunLogByName(target); break;
        case FACT_CONTENTS: {
            // A run that changes To gives a copy found alike its record on the way.
            SystemResult read =
                platformCompareContents(entryPath.buffer, target.buffer, !run.changes->simulated, &facts.contents);
            facts.contentsReason = read ? 0 : read.reason;
            break;
        }
        default: break;
    }
    facts.known |= fact;
}

// The plan of update made again until it asks for nothing more, each fact
// it asks learned in between.
void planAgain(const RunState& run, EntryUpdate* update, const UpdateAsk& ask) {
    RunKnows knows{run.replaceLinks, run.holdKindChanges, run.holdReplacements, run.changes->simulated,
                   run.holdingNew && run.holdingNew->load()};
    for (;;) {
        update->plan = planEntry(update->facts, run.options, knows);
        if (update->plan.verdict != PLAN_ASK) return;
        learn(run, update, ask);
    }
}

// What a plan tells of the entry before anything is done.
UpdateOutcome outcomeOf(const EntryUpdate& update) {
    const EntryPlan& plan = update.plan;
    UpdateOutcome outcome;
    outcome.changeAttempted = plan.changeAttempted;
    outcome.isDirectory = plan.isDirectory;
    const EntryState& source = update.facts.source.state;
    outcome.severalNames = source.queried && !source.isDirectory && source.status.linkCount > 1;
    outcome.facedFile = plan.facedFile;
    outcome.linkCopied = plan.linkCopied;
    outcome.contentsRead = plan.contentsRead;
    outcome.contentsOnly = plan.contentsOnly;
    outcome.copyDamaged = plan.contents == CONTENTS_COPY_DAMAGED;
    outcome.sourceDamaged = plan.contents == CONTENTS_SOURCE_DAMAGED;
    outcome.copyOthers = plan.contentsRead && update.facts.contents.copyOthers;
    if (plan.contentsRead) outcome.bytesHashed = update.facts.contents.bytesRead;
    if (plan.reason[0] != L'\0') outcome.reason = plan.reason;
    switch (plan.verdict) {
        case PLAN_OWN_NAME: outcome.programsOwnName = true; break;
        case PLAN_VERSIONS: outcome.versionsInTheWay = true; break;
        case PLAN_NAME_TAKEN: outcome.nameTakenBy = update.facts.nameTakenBy; break;
        case PLAN_NOT_PLAIN:
            outcome.notPlainFile = true;
            outcome.upToDate = true;
            break;
        case PLAN_UP_TO_DATE: outcome.upToDate = true; break;
        case PLAN_FAIL:
            if (plan.failure != 0) outcome.reason = reasonWords(plan.failure);
            break;
        case PLAN_HOLD_KIND: outcome.heldBack = true; break;  // noted in turn, when told
        case PLAN_HOLD_REPLACE: outcome.replaceHeld = true; break;
        case PLAN_HOLD_NEW: outcome.heldNew = true; break;
        case PLAN_LINK_STAYS: outcome.linkInTheWay = true; break;
        default: break;
    }
    return outcome;
}

// Notes what a folder's time asks once its contents are done: due when To
// has no folder there yet, or one of another time.
void noteFolderTime(const RunState& run, EntryUpdate* update) {
    const EntryState& source = update->facts.source.state;
    const EntryState& existing = update->facts.target.state;
    UpdateOutcome& outcome = update->outcome;
    outcome.sourceSeconds = source.status.modifiedSeconds;
    outcome.sourceNanoseconds = source.status.modifiedNanoseconds;
    outcome.folderTimeDue =
        !existing.queried || !existing.isDirectory || existing.status.isLink ||
        folderTimeDiffers(run, update->target,
                          FolderTime{source.status.modifiedSeconds, source.status.modifiedNanoseconds},
                          FolderTime{existing.status.modifiedSeconds, existing.status.modifiedNanoseconds});
}

// Readies update's outcome from its plan, the folder's time noted where it is kept.
void startOutcome(const RunState& run, EntryUpdate* update) {
    update->outcome = outcomeOf(*update);
    int verdict = update->plan.verdict;
    if (update->plan.isDirectory && run.options.folderTimes && (verdict == PLAN_UP_TO_DATE || verdict == PLAN_CHANGE)) {
        noteFolderTime(run, update);
    }
}

// An outcome that failed for reason.
void fail(UpdateOutcome* outcome, int reason) {
    if (outcome->reason.length == 0) outcome->reason = reasonWords(reason);
}

// A change made, which the run's closing line counts.
void changed(UpdateOutcome* outcome) {
    outcome->counted = true;
    outcome->upToDate = true;
}

// An entry found up to date: nothing was due after all.
void nothingDue(UpdateOutcome* outcome) {
    outcome->changeAttempted = false;
    outcome->upToDate = true;
}

// Lets go of the version kept for a change that did not happen.
void dropVersion(const RunState& run, UpdateOutcome* outcome) {
    dropKept(*run.changes, outcome->kept);
    outcome->kept = KeptVersion();
}

// Notes the counterpart as the copy of the first name of a file of several
// names, with its identity where it stands (a simulated copy stands nowhere).
void noteFirstName(const RunState& run, const EntryUpdate& update, bool afterCopy) {
    if (!afterCopy) {
        noteFirstCopy(run.links, update.facts.source.state, update.target, &update.facts.target.state.status.identity);
        return;
    }
    EntryState made = run.changes->simulated ? EntryState{false, false, {}} : queryEntryState(update.target);
    noteFirstCopy(run.links, update.facts.source.state, update.target, made.queried ? &made.status.identity : nullptr);
}

// Brings the metadata of the counterpart to its source's in place. Where
// the volume holds none of what differs (owners on FAT), nothing changed.
// *refused tells an entry found, as it was opened, to be one that is to be
// made anew (a grant to what another may have put there): nothing was changed.
void mendInPlace(const RunState& run, EntryUpdate* update, bool* refused) {
    bool changedAny = false;
    SystemResult written = changeWriteMetadata(run.changes, update->entryPath->buffer, update->target.buffer,
                                               keptMetadata(run.options), &changedAny);
    *refused = !written && written.reason == FAILURE_GRANT_REFUSED;
    UpdateOutcome& outcome = update->outcome;
    if (!written) return fail(&outcome, written.reason);
    if (!changedAny) return nothingDue(&outcome);
    outcome.updatedInPlace = true;
    changed(&outcome);
}

// Copies the file over its counterpart, or where none stands, its version
// kept already where the plan asks for one; the version goes again when
// the copy does not happen. A copy whose volume refused an attribute stands,
// and fails with the reason.
void copyFile(const RunState& run, EntryUpdate* update) {
    const WideString& entryPath = *update->entryPath;
    const EntryState& source = update->facts.source.state;
    const EntryState& existing = update->facts.target.state;
    UpdateOutcome& outcome = update->outcome;
    KeptMetadata keep = keptMetadata(run.options);
    CopyResult copied = copyFileOutcome(run.changes, entryPath, update->target, keep);
    outcome.notPlainFile = copied.outcome == COPY_NOT_REGULAR;
    // The walk made the directory before its contents, so a missing parent
    // is looked for only when the copy failed for a missing name; one that
    // was moved away during the run is not made again. A parent that stands
    // by now may have been made meanwhile, for another entry of a list run
    // on another worker: the copy is tried once more. Any other failure (no
    // right, no space) is the copy's own: it is not written twice. A source
    // that is not there makes no folders in To.
    if (copied.outcome == COPY_FAILED && platformErrorIsMissing(copied.reason) && !existing.queried && source.queried &&
        !runStopRequested()) {
        SystemResult ready = parentReady(run, entryPath, update->target);
        if (ready) {
            copied = copyFileOutcome(run.changes, entryPath, update->target, keep);
        } else {
            copied.reason = ready.reason;
        }
    }
    outcome.verifyFailed = copied.reason == FAILURE_COPY_UNVERIFIED;
    if (copied.outcome != COPY_DONE) {
        if (update->plan.keep && copied.outcome != COPY_KEPT_LESS) dropVersion(run, &outcome);
        return fail(&outcome, copied.reason);
    }
    outcome.copiedBytes = source.status.size;
    // What was written is hashed as it passes, and hashed again as it is read back.
    outcome.verified = keep.verify && !run.changes->simulated;
    if (keep.record && !run.changes->simulated) outcome.bytesHashed += source.status.size * (keep.verify ? 2 : 1);
    changed(&outcome);
    if (update->plan.noteFirst) noteFirstName(run, *update, true);
}

// Makes the counterpart another name of the copy of the file's first name;
// where the name cannot be linked (a volume below To, a file of too many
// names), it gets a copy of its own, its version standing kept. False when
// that copy is still to be made.
bool linkName(const RunState& run, EntryUpdate* update) {
    const FirstCopy* first = update->facts.links.first;
    CopyResult linked = changeLinkFile(run.changes, first->target.buffer, first->identity, update->target.buffer);
    if (linked.outcome == COPY_DONE) {
        changed(&update->outcome);
        return true;
    }
    if (linked.outcome != COPY_STOPPED && linked.outcome != COPY_PLACE_MOVED) return false;
    dropVersion(run, &update->outcome);
    fail(&update->outcome, linked.reason);
    return true;
}

// Copies the link as a link over its counterpart, or where none stands.
void copyLink(const RunState& run, EntryUpdate* update) {
    CopyResult copied =
        changeCopyLink(run.changes, update->entryPath->buffer, update->target.buffer, keptMetadata(run.options));
    if (copied.outcome == COPY_DONE) return changed(&update->outcome);
    if (copied.outcome != COPY_KEPT_LESS) dropVersion(run, &update->outcome);
    fail(&update->outcome, copied.reason);
}

// A directory given a mode its volume cannot hold keeps the word it had:
// nothing changed (a simulation cannot tell).
bool attributeWordKept(const RunState& run, const WideString& target, const EntryState& existing) {
    if (run.changes->simulated || !existing.queried || !existing.isDirectory) return false;
    uint32_t word = 0;
    return platformReadAttributeWord(target.buffer, &word) && word == existing.status.attributeWord;
}

// Makes the directory, or gives it its source's attributes; a folder made
// anew first where the plan says so.
void makeDirectory(const RunState& run, EntryUpdate* update) {
    UpdateOutcome& outcome = update->outcome;
    if (update->plan.renew) {
        // What it held moved along: only the folder itself, and its time, are new.
        SystemResult renewed = changeRenewDirectory(run.changes, update->target.buffer);
        if (!renewed) {
            outcome.othersFolder = true;
            return fail(&outcome, renewed.reason);
        }
        outcome.folderTimeDue = true;
    }
    SystemResult made = directoryLike(run, *update->entryPath, update->target);
    if (!made) return fail(&outcome, made.reason);
    const EntryState& existing = update->facts.target.state;
    outcome.madeDirectory = !existing.queried;
    if (update->plan.checkWordKept && attributeWordKept(run, update->target, existing)) return nothingDue(&outcome);
    changed(&outcome);
}

// The steps of a plan of PLAN_CHANGE after what stands in the way is gone.
void makeChange(const RunState& run, EntryUpdate* update) {
    const EntryPlan& plan = update->plan;
    UpdateOutcome& outcome = update->outcome;
    if (plan.retime) {
        const EntryStatus& source = update->facts.source.state.status;
        SystemResult set =
            changeWriteFileTime(run.changes, update->target.buffer, update->facts.target.state.status.identity,
                                source.modifiedSeconds, source.modifiedNanoseconds);
        if (!set && set.reason == FAILURE_STOPPED) return fail(&outcome, set.reason);
        // Another entry put there since it was compared, or a time this
        // process may not give: the file gets a copy of its own (its
        // contents were alike: nothing is lost).
        if (!set) return copyFile(run, update);
        outcome.updatedInPlace = true;
        if (plan.make == MAKE_RETIME) return changed(&outcome);
    }
    if (plan.make == MAKE_MEND) {
        bool refused = false;
        mendInPlace(run, update, &refused);
        // The time given is a change of its own, whatever the mend found.
        if (plan.retime && outcome.upToDate && !outcome.counted) {
            outcome.changeAttempted = true;
            outcome.updatedInPlace = true;
            changed(&outcome);
        }
        if (!refused || plan.linkCopied) {
            if (outcome.upToDate && plan.noteFirst) noteFirstName(run, *update, false);
            return;
        }
        // Another entry took the name since it was queried: made anew as well.
        update->facts.mend = MEND_ANEW;
        UpdateAsk none;
        planAgain(run, update, none);
        startOutcome(run, update);
        if (update->plan.verdict != PLAN_CHANGE) return;
        return makeChange(run, update);
    }
    if (plan.parentFirst) {
        SystemResult ready = parentReady(run, *update->entryPath, update->target);
        if (!ready) return fail(&outcome, ready.reason);
    }
    if (plan.keep && keepBeforeReplacing(run, update->target, &outcome.kept) == KEEP_FAILED) return;
    switch (plan.make) {
        case MAKE_COPY: return copyFile(run, update);
        case MAKE_LINK_COPY: return copyLink(run, update);
        case MAKE_HARD_LINK:
            if (!linkName(run, update)) copyFile(run, update);
            return;
        case MAKE_DIRECTORY: return makeDirectory(run, update);
        default: return;
    }
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

EntryUpdate planUpdate(const RunState& run, const WideString& sourceRoot, const WideString& targetRoot,
                       const WideString& entryPath, const UpdateAsk& ask) {
    EntryUpdate update;
    update.targetRoot = &targetRoot;
    update.entryPath = &entryPath;
    EntryFacts& facts = update.facts;
    facts.updatable = updatable(sourceRoot, targetRoot, entryPath);
    if (facts.updatable) {
        update.target = counterpartPath(entryPath, sourceRoot, targetRoot);
        if (ask.listed) {
            update.listedKnown = true;
            update.listed = *ask.listed;
        }
        facts.programsOwnName = isProgramsOwnName(entryPath.buffer + entryPath.FindLastSeparator() + 1);
        facts.versionsPlace = isVersionsPlace(&run, update.target);
        facts.mayBeFolder = !ask.listed || ask.listed->isDirectory;
        facts.targetMissing = ask.targetMissing;
        facts.rule = ask.rule;
    }
    planAgain(run, &update, ask);
    startOutcome(run, &update);
    return update;
}

// A source that is no plain file or directory (a FIFO, a socket, a device)
// is never opened and never becomes a file in To; one bearing a name of the
// program's own is never copied; a versions folder of To facing a From
// folder is not entered; a link in To facing the entry is never written
// through. The plan says which; this does what it says.
void carryOutPlan(const RunState& run, EntryUpdate* update) {
    const EntryPlan& plan = update->plan;
    if (plan.verdict == PLAN_UP_TO_DATE && plan.noteFirst) noteFirstName(run, *update, false);
    if (plan.verdict != PLAN_CHANGE) return;
    if (!update->cleared) {
        // What stands in the way goes on the run's thread, told in turn as a deletion.
        if (plan.clear != CLEAR_NONE) {
            update->waitsForRunThread = true;
            return;
        }
        update->cleared = true;
    }
    makeChange(run, update);
}

// What the removal kept, when the run itself kept it, is the update's reason.
void finishOnRunThread(RunState* run, EntryUpdate* update) {
    checkOnRunThread(*run);
    update->waitsForRunThread = false;
    update->cleared = true;
    const WideString& target = update->target;
    bool cleared = update->plan.clear == CLEAR_TREE
                       ? removeTreeInTheWay(run, *update->targetRoot, target, &update->outcome.reason)
                       : deleteFileInTheWay(run, target, update->plan.clear == CLEAR_LINK, &update->outcome.reason);
    if (cleared) makeChange(*run, update);
}

int planByRules(const RunState& run, int rule) {
    EntryFacts facts;
    facts.updatable = true;
    facts.rule = rule;
    RunKnows knows{run.replaceLinks, run.holdKindChanges, run.holdReplacements, run.changes->simulated};
    return planEntry(facts, run.options, knows).verdict;
}

UpdateOutcome updateEntry(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                          const WideString& entryPath, const UpdateAsk& ask) {
    EntryUpdate update = planUpdate(*run, sourceRoot, targetRoot, entryPath, ask);
    carryOutPlan(*run, &update);
    if (update.waitsForRunThread) finishOnRunThread(run, &update);
    return update.outcome;
}

void noteOutcome(RunState* run, const UpdateOutcome& outcome) {
    checkOnRunThread(*run);
    runContext.changeAttempted = outcome.changeAttempted;
    if (outcome.counted) ++runContext.updatedCount;
    RunTally& tally = run->tally;
    // A replacement held for its guard was counted when it was read first.
    bool counts = !run->replaying;
    tally.contentsCompared += outcome.contentsRead && counts ? 1 : 0;
    tally.bytesHashed += counts ? outcome.bytesHashed : 0;
    tally.verified += outcome.verified ? 1 : 0;
    tally.verifyFailed += outcome.verifyFailed ? 1 : 0;
    tally.sourceDamaged += outcome.sourceDamaged && !outcome.upToDate ? 1 : 0;
    tally.copyDamaged += outcome.copyDamaged && outcome.upToDate ? 1 : 0;
}

UpdateOutcome updateEntryNoted(RunState* run, const WideString& sourceRoot, const WideString& targetRoot,
                               const WideString& entryPath, const ListedEntry* listed) {
    UpdateAsk ask;
    ask.listed = listed;
    UpdateOutcome outcome = updateEntry(run, sourceRoot, targetRoot, entryPath, ask);
    if (updatable(sourceRoot, targetRoot, entryPath)) noteOutcome(run, outcome);  // else nothing was asked
    return outcome;
}

// cppcheck-suppress unusedFunction ; the update as the window program's design names it, which its tests call
UpdateOutcome copyIfUpdated(const WideString& sourceRoot, const WideString& targetRoot, const WideString& entryPath) {
    DefaultRun lone;
    return updateEntryNoted(&lone.run, sourceRoot, targetRoot, entryPath, nullptr);
}
