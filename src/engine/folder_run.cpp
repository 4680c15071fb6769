#include "engine/folder_run.h"

#include "engine/cleanup.h"
#include "engine/entry_reports.h"
#include "engine/folder_times.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
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
int changeKind(const UpdateOutcome& outcome, bool isDirectory) {
    if (outcome.updatedInPlace) return REPORT_UPDATED;
    return isDirectory ? REPORT_CREATED : REPORT_COPIED;
}

// After-directory handler of the copy walk: a mirror's marks of where To
// may hold surplus, then the folder's time.
bool afterCopiedFolder(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                       const WideString& otherRoot) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    if (folderWalk->cleanup->pruning) markSurplusHandler(walker, directory, walkRoot, otherRoot);
    bool cleanupFollows = folderWalk->run->replaceLinks;  // a mirror: the clean-up walk comes next
    finishFolder(folderWalk->run, &folderWalk->times, walker->descent.size(), directory,
                 counterpartPath(directory, walkRoot, otherRoot),
                 cleanupFollows && cleanupEnters(*folderWalk->cleanup, directory, walkRoot));
    return true;
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
    // A dry run of a To Folder yet to be made finds it empty: nothing to lock, guard or clean up.
    bool toMissing = options.dryRun && options.toToBeMade;
    int refused = toMissing ? validateFoldersForNewTo(from, to) : validateFolders(from, to);
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
    runContext.showCopyFile = showCopyFile;
    run.replaceLinks = synchronous;
    run.sweepTemporaries = !synchronous;  // a mirror's clean-up meets them anyway
    if (runStopRequested()) return stopRun();
    ToTreeGuard guard;
    if (!toMissing && !platformGuardTree(to.buffer)) {
        return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
    }
    DestinationLock lock;
    int locked = lockDestination(to, options.waitForLock, &lock);
    if (locked != RUN_OK) return locked;
    platformReadTree(from.buffer);  // a From that cannot be opened stops the walk, which tells why
    writeLogLine(WideString(L"Start to copy [") + from + L"] -> [" + to + L"]...");
    writeEmptyLine();

    runContext.updatedCount = 0;
    CleanupState cleanup;
    FolderWalk folderWalk{&run, &cleanup};
    DirectoryWalker walker = makeWalker(copyFileHandler, nullptr);
    walker.data = &folderWalk;
    walker.loopHandler = reportLinkLoop;
    walker.foldNames = true;
    if (synchronous && !runContext.ruleActive && !toMissing) {
        markSurplusInCopyWalk(&cleanup, true);
        walker.afterDirectoryHandler = afterCopiedFolder;
        walker.keepNames = true;
    }
    // A To Folder a dry run would make first has no folder times to keep.
    bool folderTimes = options.folderTimes && !toMissing;
    if (folderTimes) walker.afterDirectoryHandler = afterCopiedFolder;
    beginFolderTimes(&folderWalk.times, folderTimes, &run, from, to, true);
    // The To Folder reached inside the From Folder under another spelling is
    // not copied into itself.
    walker.avoidIdentity = platformDirectoryIdentity(to.buffer, &walker.avoided);
    if (run.sweepTemporaries && removeDeadTemporaries(to, from) && folderTimes)
        folderWalk.times.frames[0].touched = true;
    int result = walk(&walker, from, to);
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    if (result != WALK_OK) return endWalk(walker, result);
    int directoryTotal = walker.directoryCount;
    int fileTotal = walker.fileCount;

    if (synchronous && !toMissing) {
        walker.entryHandler = deleteFileHandler;
        walker.afterDirectoryHandler = removeDirectoryHandler;
        walker.enterLinks = false;
        walker.keepNames = false;
        walker.foldNames = false;
        walker.avoidIdentity = platformDirectoryIdentity(from.buffer, &walker.avoided);
        beginFolderTimes(&folderWalk.times, folderTimes, &run, from, to, false);
        startCleanupScopes(&cleanup);
        result = walk(&walker, to, from);
        if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
        if (result != WALK_OK) return endWalk(walker, result);
    }

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
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}

namespace {

// An entry whose name no path reaches, or whose name in To would reach
// another entry, is told and left out with what lies below it; true when
// the entry is left so. Where To tells case apart, names equal but for case
// are copied as any.
bool leftOutForItsName(RunState* run, DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                       const WideString& otherRoot) {
    if (walker->currentName == NAME_HOLDS_SEPARATOR) {
        reportEntryFailure(run, WideString(L"! Error => Name holds a path separator, not copied: [") + entryPath + L"]",
                           entryPath, WideString());
        pumpMessages();
        return true;
    }
    if (walker->currentName != NAME_FOLDS || !targetFoldsCase(counterpartPath(entryPath, walkRoot, otherRoot))) {
        return false;
    }
    reportNameTaken(run, entryPath, WideString(walker->currentFoldsOnto.c_str()), true);
    walker->skipDescent = true;
    return true;
}

}  // namespace

bool copyFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    RunState* run = folderWalk->run;
    noteEntryDone(run, entriesHandedOver(*walker));
    // A link copied as a link is an entry of its own, whatever it names.
    bool linkAsItself = run->options.copyLinks && walker->current.isLink;
    bool isDirectory = walker->current.isDirectory && !linkAsItself;
    if (isDirectory) {
        ++run->tally.directories;
    } else {
        ++run->tally.files;
    }
    // A folder the walk enters takes its time only when its update went through.
    bool framed = isDirectory && folderWalk->times.on;
    size_t frameDepth = listingDepth(*walker) + 1;
    if (framed) folderFrame(&folderWalk->times, frameDepth, run);
    if (!takenByRule(run, walker, entryPath, walkRoot, true)) {
        walker->takeName = false;
        return true;
    }
    if (leftOutForItsName(run, walker, entryPath, walkRoot, otherRoot)) return true;
    UpdateOutcome outcome = copyIfUpdated(run, walkRoot, otherRoot, entryPath, &walker->current);
    if (outcome.linkCopied) walker->skipDescent = true;  // not entered
    if (runStopRequested()) return true;                 // the walk stops before its next entry
    if (outcome.notPlainFile) {
        reportNotPlainFile(run, entryPath);
        return true;
    }
    if (outcome.upToDate) {
        // A directory the run has just made holds no one's temporaries.
        bool touched = run->sweepTemporaries && isDirectory && !outcome.madeDirectory &&
                       removeDeadTemporaries(counterpartPath(entryPath, walkRoot, otherRoot), entryPath);
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (outcome.changeAttempted) {
            WideString target = counterpartPath(entryPath, walkRoot, otherRoot);
            WideString line =
                WideString(outcome.updatedInPlace ? L"  MD: [" : L"  CP: [") + entryPath + L"] -> [" + target + L"]";
            if (runContext.showCopyFile) writeLogLine(line);
            reportChange(run, changeKind(outcome, isDirectory), line, entryPath, outcome.copiedBytes);
        }
        if (framed) {
            folderWalk->times.frames[frameDepth] =
                FolderTimeFrame{true, outcome.folderTimeDue, outcome.changeAttempted,   touched,
                                true, outcome.sourceSeconds, outcome.sourceNanoseconds, runActivity(run)};
        }
    } else if (outcome.nameTakenBy.length > 0) {
        reportNameTaken(run, entryPath, outcome.nameTakenBy, false);
        walker->skipDescent = true;
    } else if (outcome.linkInTheWay) {
        reportLinkInTheWay(run, counterpartPath(entryPath, walkRoot, otherRoot));
        // What lies below the link is left as it is, not copied entry by entry.
        walker->skipDescent = true;
    } else if (outcome.changeAttempted) {
        reportCopyFailure(run, entryPath, counterpartPath(entryPath, walkRoot, otherRoot), outcome.reason);
    }
    return true;
}
