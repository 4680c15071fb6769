#include "engine/folder_run.h"

#include "engine/cleanup.h"
#include "engine/copy_queue.h"
#include "engine/rule.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"

namespace {

int refuse(int code, const WideString& message) {
    runContext.messageText = message;
    reportError();
    return code;
}

// A From Folder inside the To Folder would be emptied by the clean-up.
bool sourceInsideDestination(const WideString& fromFolder, const WideString& toFolder) {
    WideString prefix = dropTrailingSeparator(toFolder).ToLower();
    prefix.AppendSeparator();
    return StartsWith(fromFolder.ToLower(), prefix);
}

void reportLinkLoop(const WideString& directoryPath) {
    finishQueuedCopies();
    runContext.hadErrors = true;
    runContext.messageText =
        WideString(L"! Error => Link loop is not entered [") + directoryPath + L"].";
    reportError();
    pumpMessages();
}

// Runs one walk of the run with the walker visible to requestRunStop.
int runWalk(DirectoryWalker* walker, const WideString& root, const WideString& otherRoot) {
    runContext.activeWalker = walker;
    int result = walk(walker, root, otherRoot, WideString(), WideString());
    runContext.activeWalker = nullptr;
    return result;
}

void reportCopyFailure(const WideString& source, const WideString& target) {
    runContext.hadErrors = true;
    runContext.messageText = WideString(L"! Error => Copy failure: [") + source + L"] -> [" + target + L"]";
    reportError();
    pumpMessages();
}

// The outcome of a file copy that ran beside the walk, told in walk order.
void reportQueuedCopy(const WideString& source, const WideString& target, bool copied) {
    if (copied) {
        ++runContext.updatedCount;
    } else {
        reportCopyFailure(source, target);
    }
}

// The copy walk. Without "Show Copy File", which reports every entry as it
// goes, and unless the run only pretends, file copies run beside the walk;
// each is reported in walk order before anything the walk reports after it,
// and all are finished before the walk's result counts.
int runCopyWalk(DirectoryWalker* walker, const WideString& from, const WideString& to) {
    bool beside = !runContext.showCopyFile && !isDryRun();
    if (beside) startCopyQueue(reportQueuedCopy);
    int result = runWalk(walker, from, to);
    stopCopyQueue();
    return result;
}

}  // namespace

void reportError() {
    writeErrorLine();
    showStatus(STATUS_ERROR, runContext.messageText);
}

int validateFolders(const WideString& from, const WideString& to) {
    if (!directoryExists(from)) {
        return refuse(RUN_NO_SOURCE, WideString(L"! Error => Source dir [") + from + L"] is not exist.");
    }
    if (isDriveRoot(to)) {
        return refuse(RUN_DEST_IS_DRIVE,
                      WideString(L"! Error => Destination dir must be the subdir of  [") + to + L"].");
    }
    if (!directoryExists(to)) {
        return refuse(RUN_NO_DEST, WideString(L"! Error => Destination dir [") + to + L"] is not exist.");
    }
    WideString lowerFrom = from.ToLower();
    if (to.ToLower() == lowerFrom) {
        return refuse(RUN_SAME_FOLDERS,
                      WideString(L"! Error => Source dir and destination dir is same [") + from + L"].");
    }
    if (to.Left(from.length).ToLower() == lowerFrom) {
        return refuse(RUN_DEST_INSIDE_SOURCE,
                      WideString(L"! Error => Destination dir can be the subdir of [") + from + L"].");
    }
    return RUN_OK;
}

// Banner, the Synchronous question, the folder checks, the rule, then the
// copy walk and (Synchronous) the clean-up walk, then the closing lines. A
// walk that stops early ends the run with its code after its line; nothing
// done before is rolled back.
int FolderCopyRun(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& from,
                  const WideString& to, const WideString& ruleText) {
    std::vector<WideString> ruleTexts;
    if (ruleText.length > 0) ruleTexts.push_back(ruleText);
    return FolderCopyRunRules(synchronous, ruleExcludes, showCopyFile, from, to, ruleTexts);
}

int FolderCopyRunRules(bool synchronous, bool ruleExcludes, bool showCopyFile, const WideString& from,
                       const WideString& to, const std::vector<WideString>& ruleTexts) {
    writeBanner();
    if (synchronous) {
        showStatus(STATUS_NOTICE,
                   WideString(L"[Synchronous] will delete the dirs and files from [To Folder] which "
                              L"is not exist in [From Folder]."));
        if (!askYesNo(WideString(L"[Synchronous] will delete the dirs and files from [To Folder]\n"
                                 L"which is not exist in [From Folder].\n\nDo you want to continue?"))) {
            return RUN_DECLINED;
        }
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
            const WideString& refused = ruleTexts[refusedAt];
            refuse(RUN_BAD_RULE, WideString(L"! Error => Regular expression is not valid [") + refused + L"].");
            WideString reason = ruleRefusalLine(why, refused);
            if (reason.length > 0) refuse(RUN_BAD_RULE, reason);
            return RUN_BAD_RULE;
        }
        runContext.ruleExcludes = ruleExcludes;
    }
    runContext.showCopyFile = showCopyFile;
    writeLogLine(WideString(L"Start to copy [") + from + L"] -> [" + to + L"]...");
    writeEmptyLine();

    runContext.updatedCount = 0;
    DirectoryWalker walker = makeWalker(copyFileHandler, nullptr);
    walker.loopHandler = reportLinkLoop;
    // The To Folder reached inside the From Folder under another spelling is
    // not copied into itself.
    walker.avoidIdentity = platformDirectoryIdentity(to.buffer, &walker.avoided);
    int result = runCopyWalk(&walker, from, to);
    if (result != WALK_OK) {
        reportWalkResult(result);
        return result;
    }
    int directoryTotal = walker.directoryCount;
    int fileTotal = walker.fileCount;

    if (synchronous) {
        walker.entryHandler = deleteFileHandler;
        walker.afterDirectoryHandler = removeDirectoryHandler;
        walker.enterLinks = false;
        walker.avoidIdentity = platformDirectoryIdentity(from.buffer, &walker.avoided);
        result = runWalk(&walker, to, from);
        if (result != WALK_OK) {
            reportWalkResult(result);
            return result;
        }
    }

    if (runContext.hadErrors || (runContext.showCopyFile && runContext.updatedCount > 0)) {
        writeEmptyLine();
    }
    writeLogLine(WideString(L"End of copy [") + from + L"] -> [" + to + L"].");
    writeEmptyLine();
    runContext.messageText = WideString(L"Total: [") + WideString(directoryTotal) + L" dirs] and [" +
                             WideString(fileTotal) + L" files].";
    writeErrorLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.updatedCount) +
                 L" dirs and files]. ");
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}

bool copyFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString&,
                     const WideString&, const WideString& otherRoot) {
    noteEntryDone();
    reportFinishedCopies();
    if (isFilteredOut(entryPath)) return true;
    bool ok = copyIfUpdated(walkRoot, otherRoot, entryPath);
    if (ok) {
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
            if (runContext.changeAttempted) {
                WideString target = counterpartPath(entryPath, walkRoot, otherRoot);
                writeLogLine(WideString(L"  CP: [") + entryPath + L"] -> [" + target + L"]");
            }
        }
    } else if (runContext.changeAttempted) {
        finishQueuedCopies();
        reportCopyFailure(entryPath, counterpartPath(entryPath, walkRoot, otherRoot));
    }
    return true;
}
