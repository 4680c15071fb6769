#include "engine/cleanup.h"

#include "engine/rule.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// Reports the outcome of one clean-up operation: progress and its line when it
// changed something and "Show Copy File" is on, the error line when it failed.
void reportCleanup(bool ok, const WideString& entryPath, const wchar_t* doneLine,
                   const wchar_t* errorLine) {
    if (ok) {
        if (!runContext.showCopyFile) return;
        showStatus(STATUS_INFO, entryPath);
        pumpMessages();
        if (runContext.changeAttempted) writeLogLine(WideString(doneLine) + entryPath + L"]");
        return;
    }
    if (!runContext.changeAttempted) return;
    runContext.hadErrors = true;
    runContext.messageText = WideString(errorLine) + entryPath + L"]";
    writeErrorLine();
    showStatus(STATUS_ERROR, runContext.messageText);
    pumpMessages();
}

bool underRoot(const WideString& root, const WideString& otherRoot, const WideString& path) {
    return root.length > 0 && otherRoot.length > 0 && path.length > 0 && StartsWith(path, root);
}

}  // namespace

// A link is removed as a link, never followed: what it points to, inside or
// outside the To Folder, is left as it is.
bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot,
                                  const WideString& path) {
    runContext.changeAttempted = false;
    if (!underRoot(root, otherRoot, path)) return false;
    EntryState state = queryEntryState(path);
    bool isFile = state.queried && !state.isDirectory;
    if (!isFile && !platformIsLink(path.buffer)) return false;
    if (platformEntryExists(counterpartPath(path, root, otherRoot).buffer)) return true;

    runContext.changeAttempted = true;
    bool deleted;
    if (isFile && !platformIsLink(path.buffer)) {
        deleted = changeClearProtection(path.buffer) && changeDeleteFile(path.buffer);
    } else {
        deleted = changeRemoveLink(path.buffer);
    }
    if (deleted) ++runContext.updatedCount;
    return deleted;
}

bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot,
                                       const WideString& path) {
    runContext.changeAttempted = false;
    if (!underRoot(root, otherRoot, path)) return false;
    if (!directoryExists(path)) return false;
    if (platformEntryExists(counterpartPath(path, root, otherRoot).buffer)) return true;

    runContext.changeAttempted = true;
    if (!changeRemoveDirectory(path.buffer)) return false;
    ++runContext.updatedCount;
    return true;
}

bool deleteFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString&,
                       const WideString&, const WideString& otherRoot) {
    noteEntryDone();
    if (isFilteredOut(entryPath)) return true;
    bool ok = deleteFileWithoutCounterpart(walkRoot, otherRoot, entryPath);
    reportCleanup(ok, entryPath, L"  DF: [", L"! Error => Delete file: [");
    return true;
}

bool removeDirectoryHandler(const WideString& entryPath, const WideString& walkRoot,
                            const WideString&, const WideString&, const WideString& otherRoot) {
    if (isFilteredOut(entryPath)) return true;
    bool ok = removeDirectoryWithoutCounterpart(walkRoot, otherRoot, entryPath);
    reportCleanup(ok, entryPath, L"  RD: [", L"! Error => Remove dir: [");
    return true;
}
