#include "engine/folder_run.h"

#include "engine/cleanup.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"

namespace {

void reportLinkLoop(const WideString& directoryPath) {
    runContext.messageText = WideString(L"! Error => Link loop is not entered [") + directoryPath + L"].";
    reportEntryFailure(directoryPath, WideString());
    pumpMessages();
}

// Runs one walk of the run with the walker visible to the front end.
int runWalk(DirectoryWalker* walker, const WideString& root, const WideString& otherRoot) {
    runContext.activeWalker = walker;
    int result = walk(walker, root, otherRoot, WideString(), WideString());
    runContext.activeWalker = nullptr;
    return result;
}

void reportCopyFailure(const WideString& source, const WideString& target) {
    WideString reason = failureReason();
    runContext.messageText = WideString(L"! Error => Copy failure: [") + source + L"] -> [" + target + L"]";
    reportEntryFailure(source, reason);
    pumpMessages();
}

// A walk that stops early is told with the directory it could not read.
int endWalk(const DirectoryWalker& walker, int result) {
    reportWalkStop(result, walker.failedDirectory, walker.failureReason);
    return result;
}

// The To tree is guarded for as long as a run may change it, on every way out.
struct ToTreeGuard {
    ~ToTreeGuard() { platformReleaseTree(); }
};

// The marks of a mirror's copy walk serve its own clean-up only, on every way out.
struct SurplusMarks {
    ~SurplusMarks() { markSurplusInCopyWalk(false); }
};

int stopRun() {
    reportWalkResult(WALK_BROKEN);
    return WALK_BROKEN;
}

// The kind of change an update made of an entry.
int changeKind(bool isDirectory) { return isDirectory ? REPORT_CREATED : REPORT_COPIED; }

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
    return FolderCopyRunRules(synchronous, ruleExcludes, showCopyFile, from, to, ruleTexts);
}

int FolderCopyRunRules(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& from,
                       const WideString& to, const std::vector<WideString>& ruleTexts) {
    beginRun();
    writeBanner();
    if (synchronous) {
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
    runContext.replaceLinks = synchronous;
    runContext.sweepTemporaries = !synchronous;  // a mirror's clean-up meets them anyway
    if (runStopRequested()) return stopRun();
    ToTreeGuard guard;
    if (!platformGuardTree(to.buffer)) {
        return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
    }
    writeLogLine(WideString(L"Start to copy [") + from + L"] -> [" + to + L"]...");
    writeEmptyLine();

    runContext.updatedCount = 0;
    DirectoryWalker walker = makeWalker(copyFileHandler, nullptr);
    walker.loopHandler = reportLinkLoop;
    walker.foldNames = true;
    SurplusMarks marks;
    if (synchronous && !runContext.ruleActive) {
        markSurplusInCopyWalk(true);
        walker.afterDirectoryHandler = markSurplusHandler;
        walker.keepNames = true;
    }
    // The To Folder reached inside the From Folder under another spelling is
    // not copied into itself.
    walker.avoidIdentity = platformDirectoryIdentity(to.buffer, &walker.avoided);
    if (runContext.sweepTemporaries) removeDeadTemporaries(to, from);
    int result = runWalk(&walker, from, to);
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    if (result != WALK_OK) return endWalk(walker, result);
    int directoryTotal = walker.directoryCount;
    int fileTotal = walker.fileCount;

    if (synchronous) {
        walker.entryHandler = deleteFileHandler;
        walker.afterDirectoryHandler = removeDirectoryHandler;
        walker.enterLinks = false;
        walker.keepNames = false;
        walker.foldNames = false;
        walker.avoidIdentity = platformDirectoryIdentity(from.buffer, &walker.avoided);
        forgetCounterpartNames();
        startCleanupScopes();
        result = runWalk(&walker, to, from);
        forgetCounterpartNames();
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
    writeErrorLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.updatedCount) + L" dirs and files]. ");
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}

// Under an active rule an entry whose path the rule cannot judge is neither
// copied nor deleted: it is reported once, and what lies below it is left as
// it is (its paths cannot be judged either).
bool takenByRule(const WideString& entryPath, const WideString& walkRoot, bool countSkip) {
    if (!runContext.ruleActive) return true;  // no subject to build for each entry
    RuleVerdict verdict = ruleVerdict(ruleSubject(entryPath, walkRoot));
    if (verdict == RULE_TAKE) return true;
    if (verdict == RULE_UNMATCHABLE) {
        runContext.messageText =
            WideString(L"! Error => The rule can not judge the path, left as it is: [") + entryPath + L"]";
        reportEntryFailure(entryPath, WideString());
        pumpMessages();
        if (runContext.activeWalker) runContext.activeWalker->skipDescent = true;
    } else if (countSkip) {
        ++runContext.tally.skipped;
    }
    return false;
}

void reportNotPlainFile(const WideString& entryPath) {
    WideString line = WideString(L"  SK: [") + entryPath + L"] (not a regular file)";
    writeLogLine(line);
    reportSkip(line, entryPath);
    pumpMessages();
}

void reportLinkInTheWay(const WideString& target) {
    runContext.messageText = WideString(L"! Error => Destination is a link, not followed: [") + target + L"]";
    reportEntryFailure(target, WideString());
    pumpMessages();
}

void reportNameTaken(const WideString& entryPath, const WideString& taken, bool caseOnly) {
    runContext.messageText = caseOnly ? WideString(L"! Error => Same name but for case as [") + taken +
                                            L"], which the To folder does not tell apart: [" + entryPath + L"]"
                                      : WideString(L"! Error => Name is the short name of [") + taken +
                                            L"] in the To folder: [" + entryPath + L"]";
    reportEntryFailure(entryPath, WideString());
    pumpMessages();
}

bool targetFoldsCase(const WideString& target) {
    return platformFoldsCase(target.Left(target.FindLastSeparator()).buffer);
}

namespace {

// An entry whose name no path reaches, or whose name in To would reach
// another entry, is told and left out with what lies below it; true when
// the entry is left so. Where To tells case apart, names equal but for case
// are copied as any.
bool leftOutForItsName(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                       const WideString& otherRoot) {
    if (walker->currentName == NAME_HOLDS_SEPARATOR) {
        runContext.messageText =
            WideString(L"! Error => Name holds a path separator, not copied: [") + entryPath + L"]";
        reportEntryFailure(entryPath, WideString());
        pumpMessages();
        return true;
    }
    if (walker->currentName != NAME_FOLDS || !targetFoldsCase(counterpartPath(entryPath, walkRoot, otherRoot))) {
        return false;
    }
    reportNameTaken(entryPath, WideString(walker->currentFoldsOnto.c_str()), true);
    walker->skipDescent = true;
    return true;
}

}  // namespace

bool copyFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString&, const WideString&,
                     const WideString& otherRoot) {
    noteEntryDone(entriesExamined());
    DirectoryWalker* walker = runContext.activeWalker;
    // A link copied as a link is an entry of its own, whatever it names.
    bool linkAsItself = runContext.copyLinks && walker && walker->currentIsLink;
    bool isDirectory = walker && walker->currentIsDirectory && !linkAsItself;
    if (isDirectory) {
        ++runContext.tally.directories;
    } else {
        ++runContext.tally.files;
    }
    if (!takenByRule(entryPath, walkRoot, true)) {
        if (walker) walker->takeName = false;
        return true;
    }
    if (walker && leftOutForItsName(walker, entryPath, walkRoot, otherRoot)) return true;
    bool ok = copyIfUpdated(walkRoot, otherRoot, entryPath);
    if (runContext.linkCopied && walker) runContext.activeWalker->skipDescent = true;  // not entered
    if (runStopRequested()) return true;  // the walk stops before its next entry
    if (runContext.notPlainFile) {
        reportNotPlainFile(entryPath);
        return true;
    }
    if (ok) {
        // A directory the run has just made holds no one's temporaries.
        if (runContext.sweepTemporaries && isDirectory && !runContext.madeDirectory) {
            removeDeadTemporaries(counterpartPath(entryPath, walkRoot, otherRoot), entryPath);
        }
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (runContext.changeAttempted) {
            WideString target = counterpartPath(entryPath, walkRoot, otherRoot);
            WideString line = WideString(L"  CP: [") + entryPath + L"] -> [" + target + L"]";
            if (runContext.showCopyFile) writeLogLine(line);
            reportChange(changeKind(isDirectory), line, entryPath, runContext.lastCopiedBytes);
        }
    } else if (runContext.nameTakenBy.length > 0) {
        reportNameTaken(entryPath, runContext.nameTakenBy, false);
        if (walker) walker->skipDescent = true;
    } else if (runContext.linkInTheWay) {
        reportLinkInTheWay(counterpartPath(entryPath, walkRoot, otherRoot));
        // What lies below the link is left as it is, not copied entry by entry.
        if (runContext.activeWalker) runContext.activeWalker->skipDescent = true;
    } else if (runContext.changeAttempted) {
        reportCopyFailure(entryPath, counterpartPath(entryPath, walkRoot, otherRoot));
    }
    return true;
}
