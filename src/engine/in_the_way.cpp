// Removing what stands in the way, entry by entry or a tree whole, and how each removal is told.
#include "engine/in_the_way.h"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "engine/entry_reports.h"
#include "engine/rule.h"
#include "engine/run_log.h"
#include "engine/temporaries.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

const SystemResult kDone{true, 0};

// Deletes a file, its protection taken away first.
SystemResult deleteUnprotected(Changes* changes, const WideString& path) {
    // A simulated deletion asks once whether the entry stands: the clearing would ask the same.
    if (changes->simulated) return changeDeleteFile(changes, path.buffer);
    SystemResult cleared = changeClearProtection(changes, path.buffer);
    return cleared ? changeDeleteFile(changes, path.buffer) : cleared;
}

// One entry of a tree kept whole, as the clean-up tells it.
struct TreeEntry {
    WideString path;
    int kind;  // REPORT_DELETED or REPORT_REMOVED
};

// Lists the tree below directory into entries in the order the clean-up
// walk tells them: a level's files and links in listing order, each
// directory's entries before the directory itself. False when a listing
// fails or the tree holds a live run's temporary, a versions folder or a
// mounted volume (which must not go along into the run folder).
bool listTree(const WideString& directory, std::vector<TreeEntry>* entries) {
    if (platformIsMountPoint(directory.buffer)) return false;
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return false;
    std::vector<std::pair<WideString, bool>> names;  // each with: a directory to enter
    bool marked = false;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        names.emplace_back(base + entry.name, entry.isDirectory && !entry.isLink);
        marked = marked || (!entry.isDirectory && std::wcscmp(entry.name, kVersionsMarkName) == 0);
    }
    if (!platformCloseListing(listing)) return false;
    if (marked && isMarkedVersionsFolder(directory)) return false;
    for (const auto& [path, enter] : names) {
        if (enter && !listTree(path, entries)) return false;
        if (!enter && isLiveTemporary(path)) return false;
        entries->push_back(TreeEntry{path, enter ? REPORT_REMOVED : REPORT_DELETED});
    }
    return true;
}

}  // namespace

void noteCleanup(RunState* run, bool attempted, bool made) {
    checkOnRunThread(*run);
    if (run->counting) return;
    runContext.changeAttempted = attempted;
    if (attempted && made) ++runContext.updatedCount;
}

void reportCleanup(RunState* run, SystemResult result, bool attempted, const WideString& entryPath, int kind,
                   const wchar_t* doneLine, const wchar_t* errorLine) {
    checkOnRunThread(*run);
    if (run->counting) {
        if (result && attempted) ++run->counted;
        return;
    }
    if (result) {
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (!attempted) return;
        WideString line = WideString(doneLine) + entryPath + L"]";
        if (runContext.showCopyFile) writeLogLine(line);
        reportChange(run, kind, line, entryPath, 0);
        return;
    }
    if (!attempted) return;
    reportEntryFailure(run, WideString(errorLine) + entryPath + L"]", entryPath,
                       WideString(platformReasonText(result.reason).c_str()));
    pumpMessages();
}

// Compared by identity, so that another spelling of a folder holding it is no way round.
bool holdsRunLog(const WideString& path) {
    if (!runContext.log.placeKnown) return false;
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(path.buffer, &identity)) return false;
    for (const DirectoryIdentity& folder : runContext.log.folders) {
        if (sameIdentity(folder, identity)) return true;
    }
    return false;
}

SystemResult deleteEntry(const RunState& run, const WideString& path, DeletableKind kind, KeptVersion* kept) {
    KeepResult keeping = keepBeforeDeleting(run, path, kept);
    if (keeping == KEEP_FAILED) return SystemResult{false, kept->reason};
    if (keeping == KEEP_MOVED) return kDone;
    // The count of a mirror's deletions takes a file as its listing or look showed it.
    SystemResult deleted = kind == LINK                             ? changeRemoveLink(run.changes, path.buffer)
                           : run.counting && kind == DELETABLE_FILE ? changeDeleteListedFile(run.changes, path.buffer)
                                                                    : deleteUnprotected(run.changes, path);
    if (!deleted) {
        dropKept(*run.changes, *kept);
        *kept = KeptVersion();
    }
    return deleted;
}

bool tellKept(RunState* run, const WideString& path, const KeptVersion& kept) {
    if (kept.result == KEEP_FAILED) {
        reportVersionFailure(run, path, kept);
        return true;
    }
    if (kept.result == KEEP_MOVED || kept.result == KEEP_BESIDE) reportKept(run, path);
    return false;
}

void reportMountLeft(RunState* run, const WideString& path) {
    reportEntryFailure(run, WideString(L"! Error => Remove dir: [") + path + L"]", path,
                       WideString(L"a volume is mounted there, not entered"));
    pumpMessages();
}

TreeOutcome removeTreeWhole(RunState* run, const WideString& directory) {
    if (!run->versions || run->counting || holdsRunLog(directory) || holdsVersions(run, directory)) {
        return TREE_PER_ENTRY;  // counted entry by entry
    }
    std::vector<TreeEntry> entries;
    if (!listTree(directory, &entries)) return TREE_PER_ENTRY;
    // A dry run's tree still holds what its moves took out of it.
    entries.erase(
        std::remove_if(entries.begin(), entries.end(),
                       [run](const TreeEntry& entry) { return changeTookAway(*run->changes, entry.path.buffer); }),
        entries.end());
    KeptVersion kept;
    KeepResult whole = keepTreeWhole(*run, directory, &kept);
    if (whole == KEEP_PER_ENTRY) return TREE_PER_ENTRY;
    if (whole != KEEP_MOVED) {
        if (!runStopRequested()) reportVersionFailure(run, directory, kept);
        return TREE_FAILED;
    }
    entries.push_back(TreeEntry{directory, REPORT_REMOVED});
    for (const TreeEntry& gone : entries) {
        bool file = gone.kind == REPORT_DELETED;
        noteCleanup(run, true, true);
        reportKept(run, gone.path);
        reportCleanup(run, kDone, true, gone.path, gone.kind, file ? L"  DF: [" : L"  RD: [",
                      file ? L"! Error => Delete file: [" : L"! Error => Remove dir: [");
    }
    return TREE_KEPT;
}

namespace {

// What keeps a file or link of To where it is, whatever a run asks of it.
enum StaysFor {
    STAYS_NOT,            // nothing: it may go
    STAYS_RUN_LOG,        // it is the open run log
    STAYS_LIVE_TEMPORARY  // it is a temporary of a run still going
};

StaysFor staysFor(const WideString& path) {
    if (isLiveTemporary(path)) return STAYS_LIVE_TEMPORARY;
    return isOpenRunLog(path) ? STAYS_RUN_LOG : STAYS_NOT;
}

// Deletes the file or link at path (of kind), in the way of an entry of
// From, its version kept first, and tells it as the clean-up tells a
// deletion; true when it went.
bool deleteOneInTheWay(RunState* run, const WideString& path, DeletableKind kind) {
    KeptVersion kept;
    SystemResult deleted = deleteEntry(*run, path, kind, &kept);
    noteCleanup(run, true, deleted.done);
    if (!tellKept(run, path, kept)) {
        reportCleanup(run, deleted, true, path, REPORT_DELETED, L"  DF: [", L"! Error => Delete file: [");
    }
    return deleted.done;
}

}  // namespace

// Depth first through listings of To, links removed as links and never
// entered; each removal reported as the clean-up reports it. A live run's
// temporary, the run log and the folders holding it, a folder a volume is
// mounted on stay, and so does everything above them.
bool removeTreeInTheWay(RunState* run, const WideString& toRoot, const WideString& directory, WideString* why) {
    if (holdsRunLog(directory)) {
        *why = L"the run's log is in it";
        return false;
    }
    if (holdsVersions(run, directory)) {
        *why = L"the run keeps its versions in it";
        return false;
    }
    if (isMarkedVersionsFolder(directory)) {
        *why = WideString(L"it holds a versions folder [") + directory + L"]";
        return false;
    }
    if (platformIsMountPoint(directory.buffer)) {
        *why = WideString(L"a volume is mounted there, not entered [") + directory + L"]";
        return false;
    }
    // Without a rule, which judges each entry on its own, the tree may go whole into the run folder.
    TreeOutcome whole = runContext.ruleActive ? TREE_PER_ENTRY : removeTreeWhole(run, directory);
    if (whole != TREE_PER_ENTRY) return whole == TREE_KEPT;
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) {
        noteCleanup(run, true, false);
        reportCleanup(run, SystemResult{false, reason}, true, directory, REPORT_REMOVED, L"  RD: [",
                      L"! Error => Remove dir: [");
        return false;
    }
    std::vector<std::pair<WideString, DeletableKind>> entries;
    std::vector<WideString> directories;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        WideString path = base + entry.name;
        if (entry.isDirectory && !entry.isLink) {
            directories.push_back(path);
        } else {
            entries.emplace_back(path, entry.isLink ? LINK : DELETABLE_FILE);
        }
    }
    bool all = static_cast<bool>(platformCloseListing(listing));
    // What the rules leave alone stays, as the clean-up would leave it.
    auto ruleKeeps = [&](const WideString& path, bool isDirectory) {
        if (judgeByRules(*run, path, toRoot, isDirectory) == RULE_TAKE) return false;
        *why = WideString(L"the rule leaves [") + path + L"] as it is";
        return true;
    };
    for (const auto& [path, kind] : entries) {
        if (runStopRequested()) return false;
        StaysFor stays = staysFor(path);
        if (stays == STAYS_RUN_LOG) *why = L"the run's log is in it";
        if (stays == STAYS_LIVE_TEMPORARY) *why = WideString(L"another run's temporary is in it [") + path + L"]";
        if (stays != STAYS_NOT || ruleKeeps(path, false)) {
            all = false;
            continue;
        }
        all = deleteOneInTheWay(run, path, kind) && all;
    }
    for (const WideString& path : directories) {
        if (runStopRequested()) return false;
        if (ruleKeeps(path, true)) {
            all = false;
            continue;
        }
        all = removeTreeInTheWay(run, toRoot, path, why) && all;
    }
    if (!all || runStopRequested()) return false;
    noteCleanup(run, true, false);
    KeptVersion kept;
    if (keepBeforeRemovingDirectory(*run, directory, &kept) == KEEP_FAILED) {
        reportVersionFailure(run, directory, kept);
        return false;
    }
    SystemResult removed = changeRemoveDirectory(run->changes, directory.buffer);
    noteCleanup(run, true, removed.done);
    if (removed && kept.result != KEEP_NOT_ASKED) reportKept(run, directory);
    reportCleanup(run, removed, true, directory, REPORT_REMOVED, L"  RD: [", L"! Error => Remove dir: [");
    return removed.done;
}

bool deleteFileInTheWay(RunState* run, const WideString& path, bool isLink, WideString* why) {
    if (isLink) return deleteOneInTheWay(run, path, LINK);
    StaysFor stays = staysFor(path);
    if (stays == STAYS_RUN_LOG) *why = L"it is the run's log";
    if (stays == STAYS_LIVE_TEMPORARY) *why = WideString(L"another run's temporary is there [") + path + L"]";
    return stays == STAYS_NOT && deleteOneInTheWay(run, path, DELETABLE_FILE);
}
