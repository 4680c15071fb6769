#include "engine/folder_run.h"

#include "engine/cleanup.h"
#include "engine/entry_reports.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"

namespace {

void reportLinkLoop(DirectoryWalker* walker, const WideString& directoryPath) {
    reportLinkLoop(static_cast<FolderWalk*>(walker->data)->run, directoryPath);
}

// A walk that stops early is told with the directory it could not read.
int endWalk(const DirectoryWalker& walker, int result) {
    reportWalkStop(result, walker.failedDirectory, walker.failureReason);
    return result;
}

// The To tree is guarded, and the From tree read through held folders,
// for as long as a run may change To, on every way out.
struct ToTreeGuard {
    ~ToTreeGuard() {
        platformReleaseTree();
        platformReleaseReadTree();
    }
};

int stopRun() {
    reportWalkResult(WALK_BROKEN);
    return WALK_BROKEN;
}

// The kind of change an update made of an entry.
int changeKind(bool isDirectory) { return isDirectory ? REPORT_CREATED : REPORT_COPIED; }

// True when folder holds an entry; for run (To), one a mirror would take:
// anything but the versions folder (and the folders on its way to it, when
// they hold nothing else) and the run log. A folder that cannot be listed
// holds what it may.
bool holdsEntries(const RunState* run, const WideString& folder) {
    WideString base = folder;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(base.buffer);
    if (!listing) return true;
    bool holds = false;
    DirectoryEntry entry;
    while (!holds && platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        WideString path = base + entry.name;
        if (run && (isVersionsPlace(run, path) || isOpenRunLog(path))) continue;
        holds = !holdsVersions(run, path) || holdsEntries(run, path);
    }
    platformCloseListing(listing);
    return holds;
}

// Brings one entry of the copy walk up to date and tells how it went;
// counted: the entry is counted among those examined.
void updateEntry(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                 const WideString& otherRoot, bool counted);

// The clean-up walk of a mirror: through To, deleting what From lacks.
int cleanupWalk(DirectoryWalker* sweeper, CleanupState* cleanup, const WideString& from, const WideString& to) {
    sweeper->enterLinks = false;
    sweeper->avoidIdentity = platformDirectoryIdentity(from.buffer, &sweeper->avoided);
    startCleanupScopes(cleanup);
    int result = walk(sweeper, to, from);
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    return result;
}

// What a mirror would delete, counted before it deletes anything: the To
// entries of another kind held back, then the clean-up walk, all simulated
// and told to no one. The walk's result; the count in *count.
int countDeletions(RunState* run, DirectoryWalker* sweeper, CleanupState* cleanup, const WideString& from,
                   const WideString& to, long long* count) {
    int updated = runContext.updatedCount;
    bool errors = runContext.hadErrors;
    beginSimulatedPass();
    run->counting = true;
    run->counted = 0;
    for (const WideString& entry : run->heldKindChanges) {
        WideString target = counterpartPath(entry, from, to);
        EntryState existing = queryEntryState(target);
        if (!existing.queried) continue;
        if (existing.isDirectory) {
            removeTreeInTheWay(run, target);
        } else {
            deleteFileInTheWay(run, target);
        }
    }
    int result = cleanupWalk(sweeper, cleanup, from, to);
    *count = run->counted;
    run->counting = false;
    endSimulatedPass();
    runContext.updatedCount = updated;
    runContext.hadErrors = errors;
    return result;
}

// Brings up to date the From entries whose To entry of another kind waited
// for the deletion guard, a directory with everything below it.
int replayHeldBack(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to) {
    std::vector<WideString> held;
    held.swap(run->heldKindChanges);
    for (const WideString& entry : held) {
        if (runStopRequested()) return WALK_BROKEN;
        EntryStatus status{};
        bool isLink = platformIsLink(entry.buffer);
        walker->current =
            ListedEntry{platformQueryEntry(entry.buffer, &status) && status.isDirectory, isLink, false, EntryStatus{}};
        walker->skipDescent = false;
        updateEntry(walker, entry, from, to, false);
        if (walker->current.isDirectory && !walker->skipDescent && !(isLink && run->options.copyLinks)) {
            int result = walkDirectory(walker, entry, from, to);
            if (result != WALK_OK) return result;
        }
    }
    return runStopRequested() ? WALK_BROKEN : WALK_OK;
}

// Tells that the deletion guard held a mirror's deletions back: each entry
// of another kind left waiting, then the count and the limit.
void reportHeldBack(RunState* run, const WideString& from, const WideString& to, long long count) {
    for (const WideString& entry : run->heldKindChanges) {
        reportEntryFailure(
            run,
            WideString(L"! Error => Copy failure: [") + entry + L"] -> [" + counterpartPath(entry, from, to) + L"]",
            entry, WideString(L"held back by the deletion guard"));
    }
    run->heldKindChanges.clear();
    run->tally.heldBack = count;
    refuse(RUN_DELETES_HELD, WideString(L"! Error => Deletion guard: the mirror would delete [") + decimalText(count) +
                                 L"] entries, more than the limit [" + decimalText(run->options.maxDelete) +
                                 L"]; nothing was deleted.");
}

}  // namespace

// Banner, the Synchronous question, the folder checks, the rule, then the
// copy walk and (Synchronous) the clean-up walk, then the closing lines. A
// walk that stops early ends the run with its code after its line; nothing
// done before is rolled back. A stop asked for at any point ends the run
// before its next change with "It is broken by user.".
int FolderCopyRun(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& from, const WideString& to,
                  const WideString& ruleText) {
    std::vector<WideString> ruleTexts;
    if (ruleText.length > 0) ruleTexts.push_back(ruleText);
    RunOptions options;
    RunTally tally;
    return FolderCopyRunRules(options, &tally, synchronous, ruleExcludes, showCopyFile, from, to, ruleTexts);
}

int FolderCopyRunRules(const RunOptions& options, RunTally* tally, bool synchronous, bool ruleExcludes,
                       bool showCopyFile, const WideString& from, const WideString& to,
                       const std::vector<WideString>& ruleTexts) {
    RunState run = makeRun(options, *tally);
    RunEnd end;
    beginRun(&run);
    writeBanner();
    if (synchronous) {
        // The question keeps the program's own words ("is not exist"), on purpose.
        showStatus(STATUS_NOTICE, WideString(L"[Synchronous] will delete the dirs and files from [To Folder] which "
                                             L"is not exist in [From Folder]."));
        bool yes =
            askYesNo(WideString(L"[Synchronous] will delete the dirs and files from [To Folder]\n"
                                L"which is not exist in [From Folder].\n\nDo you want to continue?"));
        if (runStopRequested()) return stopRun();
        if (!yes) return RUN_DECLINED;
    }
    int refused = validateFolders(from, to);
    if (refused != RUN_OK) return refused;
    if (sourceInsideDestination(from, to)) {
        return refuse(RUN_SOURCE_INSIDE_DEST,
                      WideString(L"! Error => Source dir can not be the subdir of [") + to + L"].");
    }

    if (ruleTexts.empty()) {
        runContext.ruleActive = false;
    } else {
        runContext.ruleActive = true;
        runContext.rulesRelative = options.rulesRelative;
        size_t refusedAt = 0;
        RuleRefusal why = RULE_ACCEPTED;
        if (!compileRules(ruleTexts, &refusedAt, &why)) {
            runContext.ruleActive = false;
            const WideString& badRule = ruleTexts[refusedAt];
            refuse(RUN_BAD_RULE, WideString(L"! Error => Regular expression is not valid [") + badRule + L"].");
            WideString reason = ruleRefusalLine(why, badRule);
            if (reason.length > 0) refuse(RUN_BAD_RULE, reason);
            return RUN_BAD_RULE;
        }
        runContext.ruleExcludes = ruleExcludes;
    }
    VersionStore versions;
    refused = prepareVersions(options, from, to, &versions);
    if (refused != RUN_OK) return refused;
    if (options.versionsFolder.length > 0) run.versions = &versions;
    if (synchronous && options.refuseEmptySource && !holdsEntries(nullptr, from) && holdsEntries(&run, to)) {
        return refuse(RUN_EMPTY_SOURCE, WideString(L"! Error => Source dir [") + from +
                                            L"] is empty and destination dir [" + to +
                                            L"] is not: the mirror would delete everything in it.");
    }
    runContext.showCopyFile = showCopyFile;
    run.replaceLinks = synchronous;
    run.sweepTemporaries = !synchronous;  // a mirror's clean-up meets them anyway
    if (runStopRequested()) return stopRun();
    DestinationLock lock;
    int locked = lockDestination(to, options.waitForLock, &lock);
    if (locked != RUN_OK) return locked;
    ToTreeGuard guard;
    VersionsHeld versionsHeld;
    if (!platformGuardTree(to.buffer)) {
        return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
    }
    holdVersions(&versions);
    platformReadTree(from.buffer);  // a From that cannot be opened stops the walk, which tells why
    writeLogLine(WideString(L"Start to copy [") + from + L"] -> [" + to + L"]...");
    writeEmptyLine();

    runContext.updatedCount = 0;
    CleanupState cleanup;
    FolderWalk folderWalk{&run, &cleanup};
    DirectoryWalker walker = makeWalker(copyFileHandler, nullptr);
    walker.data = &folderWalk;
    walker.loopHandler = reportLinkLoop;
    if (synchronous && !runContext.ruleActive) {
        markSurplusInCopyWalk(&cleanup, true);
        walker.afterDirectoryHandler = markSurplusHandler;
        walker.keepNames = true;
    }
    // The To Folder reached inside the From Folder under another spelling is
    // not copied into itself.
    walker.avoidIdentity = platformDirectoryIdentity(to.buffer, &walker.avoided);
    if (run.sweepTemporaries) removeDeadTemporaries(to, from);
    // The deletion guard counts first: a To entry of another kind waits for its count.
    run.holdKindChanges = synchronous && options.maxDelete >= 0;
    int result = walk(&walker, from, to);
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    if (result != WALK_OK) return endWalk(walker, result);

    bool heldBack = false;
    if (synchronous) {
        DirectoryWalker sweeper = makeWalker(deleteFileHandler, removeDirectoryHandler);
        sweeper.data = &folderWalk;
        if (run.holdKindChanges) {
            long long count = 0;
            result = countDeletions(&run, &sweeper, &cleanup, from, to, &count);
            if (result != WALK_OK) return endWalk(sweeper, result);
            run.holdKindChanges = false;
            heldBack = count > options.maxDelete;
            if (heldBack) reportHeldBack(&run, from, to, count);
        }
        if (!heldBack) {
            result = replayHeldBack(&run, &walker, from, to);
            if (result != WALK_OK) return endWalk(walker, result);
            result = cleanupWalk(&sweeper, &cleanup, from, to);
            if (result != WALK_OK) return endWalk(sweeper, result);
        }
    }
    int directoryTotal = walker.directoryCount;
    int fileTotal = walker.fileCount;
    expireVersions(&run, from, to);

    if (runContext.hadErrors || (runContext.showCopyFile && runContext.updatedCount > 0)) {
        writeEmptyLine();
    }
    writeLogLine(WideString(L"End of copy [") + from + L"] -> [" + to + L"].");
    writeEmptyLine();
    runContext.messageText =
        WideString(L"Total: [") + WideString(directoryTotal) + L" dirs] and [" + WideString(fileTotal) + L" files].";
    writeMessageLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.updatedCount) + L" dirs and files]. ");
    if (heldBack) return RUN_DELETES_HELD;
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}

bool copyFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot) {
    updateEntry(walker, entryPath, walkRoot, otherRoot, true);
    return true;
}

namespace {

void updateEntry(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                 const WideString& otherRoot, bool counted) {
    RunState* run = static_cast<FolderWalk*>(walker->data)->run;
    noteEntryDone(run, entriesHandedOver(*walker));
    // A link copied as a link is an entry of its own, whatever it names.
    bool linkAsItself = run->options.copyLinks && walker->current.isLink;
    bool isDirectory = walker->current.isDirectory && !linkAsItself;
    if (counted) ++(isDirectory ? run->tally.directories : run->tally.files);
    if (!takenByRule(run, walker, entryPath, walkRoot, counted)) return;
    UpdateOutcome outcome = copyIfUpdated(run, walkRoot, otherRoot, entryPath, &walker->current);
    if (outcome.linkCopied || outcome.heldBack) walker->skipDescent = true;  // not entered (yet)
    if (runStopRequested() || outcome.heldBack) return;                      // the walk stops before its next entry
    if (outcome.notPlainFile) {
        reportNotPlainFile(run, entryPath);
        return;
    }
    if (outcome.versionsInTheWay) {
        reportEntryFailure(run,
                           WideString(L"! Error => Copy failure: [") + entryPath + L"] -> [" +
                               counterpartPath(entryPath, walkRoot, otherRoot) + L"]",
                           entryPath, WideString(L"the run keeps its versions there; left as it is"));
        pumpMessages();
        walker->skipDescent = true;
        return;
    }
    if (outcome.upToDate) {
        // A directory the run has just made holds no one's temporaries.
        if (run->sweepTemporaries && isDirectory && !outcome.madeDirectory) {
            removeDeadTemporaries(counterpartPath(entryPath, walkRoot, otherRoot), entryPath);
        }
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (outcome.changeAttempted) {
            WideString target = counterpartPath(entryPath, walkRoot, otherRoot);
            WideString line = WideString(L"  CP: [") + entryPath + L"] -> [" + target + L"]";
            if (runContext.showCopyFile) writeLogLine(line);
            reportChange(run, changeKind(isDirectory), line, entryPath, outcome.copiedBytes);
        }
    } else if (outcome.linkInTheWay) {
        reportLinkInTheWay(run, counterpartPath(entryPath, walkRoot, otherRoot));
        // What lies below the link is left as it is, not copied entry by entry.
        walker->skipDescent = true;
    } else if (outcome.changeAttempted && !outcome.failureTold) {
        reportCopyFailure(run, entryPath, counterpartPath(entryPath, walkRoot, otherRoot));
    }
}

}  // namespace
