#include "engine/cleanup.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/folder_run.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/temporary_name.h"
#include "platform/platform.h"

namespace {

// Reports the outcome of one clean-up operation: progress and its line when it
// changed something and "Show Copy File" is on, the error line when it failed;
// the front end is told of each change and failure.
void reportCleanup(bool ok, const WideString& entryPath, int kind, const wchar_t* doneLine, const wchar_t* errorLine) {
    if (ok) {
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (!runContext.changeAttempted) return;
        WideString line = WideString(doneLine) + entryPath + L"]";
        if (runContext.showCopyFile) writeLogLine(line);
        reportChange(kind, line, entryPath, 0);
        return;
    }
    if (!runContext.changeAttempted) return;
    WideString reason = failureReason();
    runContext.messageText = WideString(errorLine) + entryPath + L"]";
    reportEntryFailure(entryPath, reason);
    pumpMessages();
}

bool underRoot(const WideString& root, const WideString& otherRoot, const WideString& path) {
    return root.length > 0 && otherRoot.length > 0 && path.length > 0 && StartsWith(path, root);
}

// What the clean-up may delete of an entry.
enum DeletableKind {
    NOT_DELETABLE,   // a directory (its own handler removes it) or nothing at all
    DELETABLE_FILE,  // any entry that is neither a directory nor a link
    LINK             // a link to anything or to nothing: removed as a link
};

// The names of the From directory facing one To directory of the clean-up
// walk, read with one listing instead of one query per To entry. A name
// listed there stands in From (as a link or not); a name not listed, or a
// listing cut short, proves nothing: that entry is asked about by name.
struct CounterpartNames {
    std::wstring toDirectory;                          // the To directory whose entries are looked up
    std::vector<std::pair<std::wstring, bool>> names;  // the From names, sorted, each with: a link itself
};

// One level per directory on the clean-up walk's descent path, root first.
std::vector<CounterpartNames> counterpartLevels;

// Where the copy walk of a mirror saw that To may hold surplus, so that the
// clean-up walk lists only there. Right after the copy walk was through a
// From directory, the To directory facing it is listed: a name From did not
// list marks that directory (a level to check), and a To directory whose
// counterpart the copy walk did not go through marks a tree to walk whole,
// as without marks. Only marks are kept: a To tree without surplus costs no
// memory. A To directory unmarked, with nothing marked below it, had no
// surplus when the copy walk looked, and is not listed again. Directories
// are named below the To Folder, "" for the To Folder itself.
struct Pruning {
    bool active = false;            // the clean-up walk may trust the marks
    std::set<std::wstring> levels;  // To directories holding a name From lacked
    std::set<std::wstring> trees;   // To directories to walk whole, as without marks
};

Pruning pruning;

// How the clean-up walk treats a directory of To it lists.
enum CleanupScope {
    SCOPE_WHOLE,  // every entry is asked about, every directory with a counterpart entered
    SCOPE_LEVEL,  // every entry is asked about; only marked directories (or surplus ones) entered
    SCOPE_PASS,   // no entry is surplus: only marked directories, or those above them, entered
    SCOPE_NONE    // nothing below is surplus: not entered
};

// The scope of each directory on the clean-up walk's descent path, root first.
std::vector<CleanupScope> scopes;

// The name of path below root, without leading separators ("" for root itself).
std::wstring relativeKey(const WideString& path, const WideString& root) {
    int32_t at = root.length;
    if (path.length <= at) return std::wstring();
    while (at < path.length && path.buffer[at] == PATH_SEPARATOR) ++at;
    return std::wstring(path.buffer + at, static_cast<size_t>(path.length - at));
}

// True when marks holds a directory below key.
bool marksBelow(const std::set<std::wstring>& marks, const std::wstring& key) {
    if (key.empty()) return !marks.empty();
    std::wstring below = key + PATH_SEPARATOR;
    auto at = marks.lower_bound(below);
    return at != marks.end() && at->compare(0, below.size(), below) == 0;
}

// The scope of a To directory at path: below a directory walked whole, or
// without counterpart (all below is surplus), whole; otherwise as marked.
CleanupScope scopeOf(CleanupScope parent, EntryPresence presence, const WideString& path, const WideString& root) {
    if (!pruning.active || parent == SCOPE_WHOLE || presence == ENTRY_ABSENT) return SCOPE_WHOLE;
    std::wstring key = relativeKey(path, root);
    if (pruning.trees.count(key) > 0) return SCOPE_WHOLE;
    if (pruning.levels.count(key) > 0) return SCOPE_LEVEL;
    if (marksBelow(pruning.levels, key) || marksBelow(pruning.trees, key)) return SCOPE_PASS;
    return SCOPE_NONE;
}

// The scope of the directory being listed at depth (past the descent path: whole).
CleanupScope scopeAt(size_t depth) { return pruning.active && depth < scopes.size() ? scopes[depth] : SCOPE_WHOLE; }

// Reads the names of counterpart (a directory of From) into level, sorted.
void listCounterpart(const WideString& counterpart, CounterpartNames* level) {
    level->names.clear();
    WideString base = counterpart;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(base.buffer);
    if (!listing) return;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) level->names.emplace_back(entry.name, entry.isLink);
    platformCloseListing(listing);
    std::sort(level->names.begin(), level->names.end());
}

// What the listing of From tells of the counterpart of path, an entry of
// the directory being listed at depth (0: the walk's root); ENTRY_UNKNOWN
// when it cannot tell: not listed there, or no walk in progress.
EntryPresence listedPresence(const WideString& root, const WideString& otherRoot, const WideString& path,
                             size_t depth) {
    const DirectoryWalker* walker = runContext.activeWalker;
    if (!walker || depth >= walker->descent.size()) return ENTRY_UNKNOWN;
    const WideString& directory = *walker->descent[depth].directory;
    if (path.length <= directory.length || !StartsWith(path, directory)) return ENTRY_UNKNOWN;
    counterpartLevels.resize(depth + 1);  // the deeper levels are done with
    CounterpartNames& level = counterpartLevels[depth];
    if (level.toDirectory.size() != static_cast<size_t>(directory.length) ||
        level.toDirectory.compare(0, level.toDirectory.size(), directory.buffer,
                                  static_cast<size_t>(directory.length)) != 0) {
        level.toDirectory.assign(directory.buffer, static_cast<size_t>(directory.length));
        listCounterpart(counterpartPath(directory, root, otherRoot), &level);
    }
    int32_t cut = path.FindLastSeparator();
    std::wstring_view name(path.buffer + cut + 1, static_cast<size_t>(path.length - cut - 1));
    auto at = std::lower_bound(level.names.begin(), level.names.end(), name,
                               [](const std::pair<std::wstring, bool>& listed, std::wstring_view sought) {
                                   return std::wstring_view(listed.first) < sought;
                               });
    if (at == level.names.end() || std::wstring_view(at->first) != name) return ENTRY_UNKNOWN;
    return at->second ? ENTRY_LINK : ENTRY_PRESENT;
}

// True when counterpart, looked up by the name of path, reaches an entry of
// From under another name (a case, a short name) that To holds too, beside
// path: that entry has its own counterpart, and path has none. Where To holds
// no entry of that name, path is the one a look-up from From reaches.
bool reachedUnderOtherName(const WideString& path, const WideString& counterpart) {
    std::wstring reached;
    if (!platformEntryName(counterpart.buffer, &reached)) return false;
    int32_t cut = path.FindLastSeparator();
    if (reached == path.buffer + cut + 1) return false;
    std::wstring beside;
    return platformEntryName((path.Left(cut + 1) + reached.c_str()).buffer, &beside) && beside == reached;
}

// Whether From holds the counterpart of path: from the listing where it
// names it, otherwise by an unfollowed look at that name, which must reach
// the entry under that name or one To lacks.
EntryPresence counterpartPresence(const WideString& root, const WideString& otherRoot, const WideString& path,
                                  size_t depth) {
    EntryPresence listed = listedPresence(root, otherRoot, path, depth);
    if (listed != ENTRY_UNKNOWN) return listed;
    WideString counterpart = counterpartPath(path, root, otherRoot);
    EntryPresence presence = platformEntryPresence(counterpart.buffer);
    if (presence != ENTRY_PRESENT && presence != ENTRY_LINK) return presence;
    if (path.length <= root.length) return presence;  // the roots' names differ as they may
    return reachedUnderOtherName(path, counterpart) ? ENTRY_ABSENT : presence;
}

// The depth of the directory holding the entry being handed over, or past
// the descent path when no walk is in progress.
size_t entryDepth() {
    const DirectoryWalker* walker = runContext.activeWalker;
    return walker && !walker->descent.empty() ? walker->descent.size() - 1 : SIZE_MAX;
}

// Only what the From Folder plainly lacks is surplus: a counterpart of any
// kind keeps the entry, followable or not, and so does one that cannot be told.
bool counterpartMayStand(const WideString& root, const WideString& otherRoot, const WideString& path, size_t depth) {
    return counterpartPresence(root, otherRoot, path, depth) != ENTRY_ABSENT;
}

// The open run log, and the folders that hold it, are never the clean-up's to take.
bool holdsRunLog(const WideString& path) {
    if (!runContext.logIdentityKnown) return false;
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(path.buffer, &identity)) return false;
    for (const DirectoryIdentity& folder : runContext.logFolders) {
        if (sameIdentity(folder, identity)) return true;
    }
    return false;
}

// Deletes path when otherRoot holds no counterpart, its kind already known.
// A link is removed as a link, never followed: what it points to, inside or
// outside the To Folder, is left as it is.
bool deleteWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path,
                              DeletableKind kind) {
    runContext.changeAttempted = false;
    changeClearFailure();
    if (!underRoot(root, otherRoot, path) || kind == NOT_DELETABLE) return false;
    if (counterpartMayStand(root, otherRoot, path, entryDepth())) return true;
    if (isOpenRunLog(path) || isLiveTemporary(path)) return true;
    if (kind == DELETABLE_FILE && isDeadTemporary(path)) {
        changeDeleteFile(path.buffer);
        return true;
    }

    runContext.changeAttempted = true;
    bool deleted = kind == LINK ? changeRemoveLink(path.buffer)
                                : changeClearProtection(path.buffer) && changeDeleteFile(path.buffer);
    if (deleted) ++runContext.updatedCount;
    return deleted;
}

// The kind of the entry the clean-up walk is handing over: the listing told it.
DeletableKind kindFromListing(const DirectoryWalker& walker) {
    if (walker.currentIsLink) return LINK;
    return walker.currentIsDirectory ? NOT_DELETABLE : DELETABLE_FILE;
}

// A To directory is entered when From plainly lacks its counterpart (all
// below is surplus) or has it as something that can be followed. A
// counterpart that cannot be followed or read (a dangling link, a directory
// without permission) says nothing of what lies below: nothing there is touched.
bool counterpartMayBeEntered(const WideString& root, const WideString& otherRoot, const WideString& path) {
    EntryPresence presence = counterpartPresence(root, otherRoot, path, entryDepth());
    if (presence == ENTRY_ABSENT || presence == ENTRY_PRESENT) return true;
    EntryStatus status;
    return presence == ENTRY_LINK && platformQueryEntry(counterpartPath(path, root, otherRoot).buffer, &status);
}

// The process number of a temporary of another run, or 0.
long otherRunOf(const WideString& path) {
    int32_t cut = path.FindLastSeparator();
    long owner = temporaryOwner(path.buffer + cut + 1);
    return owner == platformProcessId() ? 0 : owner;
}

}  // namespace

bool isLiveTemporary(const WideString& path) {
    long owner = otherRunOf(path);
    return owner > 0 && !platformProcessIsGone(owner);
}

// A temporary is always a plain file; anything else of that name is a user's.
bool isDeadTemporary(const WideString& path) {
    long owner = otherRunOf(path);
    EntryStatus status;
    return owner > 0 && platformProcessIsGone(owner) && platformQueryEntry(path.buffer, &status) && status.isRegular &&
           !status.isLink;
}

void removeDeadTemporaries(const WideString& directory, const WideString& counterpart) {
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    WideString otherBase = counterpart;
    if (!endsWithSeparator(otherBase)) otherBase.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(base.buffer);
    if (!listing) return;
    std::vector<WideString> dead;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory || entry.isLink || temporaryOwner(entry.name) == 0) continue;
        WideString path = base + entry.name;
        // A name From has is From's file, whatever it looks like.
        if (platformEntryPresence((otherBase + entry.name).buffer) != ENTRY_ABSENT) continue;
        if (isDeadTemporary(path)) dead.push_back(path);
    }
    platformCloseListing(listing);
    for (const WideString& path : dead) changeDeleteFile(path.buffer);
}

bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path) {
    DeletableKind kind = NOT_DELETABLE;
    if (underRoot(root, otherRoot, path)) {
        if (platformIsLink(path.buffer)) {
            kind = LINK;
        } else if (fileExists(path)) {
            kind = DELETABLE_FILE;
        }
    }
    return deleteWithoutCounterpart(root, otherRoot, path, kind);
}

namespace {

// Removes path, a directory under root, when otherRoot holds no counterpart;
// listed: the walk has just listed it as a directory, so it is not asked again.
bool removeDirectoryIfSurplus(const WideString& root, const WideString& otherRoot, const WideString& path,
                              bool listed) {
    runContext.changeAttempted = false;
    changeClearFailure();
    if (!underRoot(root, otherRoot, path)) return false;
    if (!listed && !directoryExists(path)) return false;
    // After its walk step the directory's parent is the last on the descent path.
    const DirectoryWalker* walker = runContext.activeWalker;
    size_t depth = walker && !walker->descent.empty() ? walker->descent.size() - 1 : SIZE_MAX;
    if (counterpartMayStand(root, otherRoot, path, depth)) return true;
    if (holdsRunLog(path)) return true;

    runContext.changeAttempted = true;
    if (!changeRemoveDirectory(path.buffer)) return false;
    ++runContext.updatedCount;
    return true;
}

}  // namespace

bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path) {
    return removeDirectoryIfSurplus(root, otherRoot, path, false);
}

bool deleteFileHandler(const WideString& entryPath, const WideString& walkRoot, const WideString&, const WideString&,
                       const WideString& otherRoot) {
    noteEntryDone(entriesExamined());
    if (!takenByRule(entryPath, walkRoot, false)) return true;
    // In a walk, the listing has told what the entry is; no need to ask again.
    DirectoryWalker* walker = runContext.activeWalker;
    if (walker && walker->currentName == NAME_HOLDS_SEPARATOR) {
        runContext.messageText =
            WideString(L"! Error => Name holds a path separator, left as it is: [") + entryPath + L"]";
        reportEntryFailure(entryPath, WideString());
        pumpMessages();
        return true;
    }
    size_t depth = entryDepth();
    CleanupScope scope = scopeAt(depth);
    bool enterable = walker && walker->currentIsDirectory && !walker->currentIsLink;
    if (scope == SCOPE_PASS) {
        // The copy walk found every name of this directory in From.
        if (enterable) {
            // A counterpart that cannot be followed says nothing of what lies below it.
            CleanupScope child = scopeOf(scope, ENTRY_PRESENT, entryPath, walkRoot);
            walker->skipDescent = child == SCOPE_NONE || !counterpartMayBeEntered(walkRoot, otherRoot, entryPath);
            if (!walker->skipDescent) {
                scopes.resize(depth + 2);
                scopes[depth + 1] = child;
            }
        }
        runContext.changeAttempted = false;
        reportCleanup(true, entryPath, REPORT_DELETED, L"  DF: [", L"! Error => Delete file: [");
        return true;
    }
    if (enterable && !counterpartMayBeEntered(walkRoot, otherRoot, entryPath)) {
        walker->skipDescent = true;
    }
    if (enterable && !walker->skipDescent && pruning.active) {
        CleanupScope child = SCOPE_WHOLE;
        if (scope != SCOPE_WHOLE) {
            child = scopeOf(scope, counterpartPresence(walkRoot, otherRoot, entryPath, depth), entryPath, walkRoot);
        }
        walker->skipDescent = child == SCOPE_NONE;
        scopes.resize(depth + 2);
        scopes[depth + 1] = child;
    }
    bool ok = walker ? deleteWithoutCounterpart(walkRoot, otherRoot, entryPath, kindFromListing(*walker))
                     : deleteFileWithoutCounterpart(walkRoot, otherRoot, entryPath);
    reportCleanup(ok, entryPath, REPORT_DELETED, L"  DF: [", L"! Error => Delete file: [");
    return true;
}

bool removeDirectoryHandler(const WideString& entryPath, const WideString& walkRoot, const WideString&,
                            const WideString&, const WideString& otherRoot) {
    // Told of, if need be, when it was met.
    if (runContext.ruleActive && ruleVerdict(ruleSubject(entryPath, walkRoot)) != RULE_TAKE) return true;
    // Below the root, the directory's parent is the last on the descent path.
    const DirectoryWalker* walker = runContext.activeWalker;
    if (walker && !walker->descent.empty() && scopeAt(walker->descent.size() - 1) == SCOPE_PASS) {
        runContext.changeAttempted = false;  // the copy walk found its name in From
        reportCleanup(true, entryPath, REPORT_REMOVED, L"  RD: [", L"! Error => Remove dir: [");
        return true;
    }
    // In a walk, the directory has just been listed; no need to ask again.
    bool ok = runContext.activeWalker ? removeDirectoryIfSurplus(walkRoot, otherRoot, entryPath, true)
                                      : removeDirectoryWithoutCounterpart(walkRoot, otherRoot, entryPath);
    reportCleanup(ok, entryPath, REPORT_REMOVED, L"  RD: [", L"! Error => Remove dir: [");
    return true;
}

void forgetCounterpartNames() {
    counterpartLevels.clear();
    scopes.clear();
}

void markSurplusInCopyWalk(bool on) {
    pruning.active = on;
    pruning.levels.clear();
    pruning.trees.clear();
    scopes.clear();
}

void startCleanupScopes() {
    scopes.assign(1, SCOPE_WHOLE);
    if (!pruning.active) return;
    // The root is entered by any walk: marked or not, it has its scope.
    scopes[0] = pruning.trees.count(std::wstring()) > 0    ? SCOPE_WHOLE
                : pruning.levels.count(std::wstring()) > 0 ? SCOPE_LEVEL
                                                           : SCOPE_PASS;
}

bool markSurplusHandler(const WideString& directory, const WideString& walkRoot, const WideString&, const WideString&,
                        const WideString& otherRoot) {
    DirectoryWalker* walker = runContext.activeWalker;
    if (!pruning.active || !walker) return true;
    std::wstring key = relativeKey(directory, walkRoot);
    std::vector<ListedName>& names = walker->completedNames;
    std::sort(names.begin(), names.end(), [](const ListedName& a, const ListedName& b) { return a.name < b.name; });
    WideString base = counterpartPath(directory, walkRoot, otherRoot);
    if (!endsWithSeparator(base)) base.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(base.buffer);
    if (!listing) {
        pruning.trees.insert(key);  // the clean-up walk tells why, if it meets it
        return true;
    }
    bool surplus = false;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        std::wstring_view name(entry.name);
        auto at = std::lower_bound(
            names.begin(), names.end(), name,
            [](const ListedName& listed, std::wstring_view sought) { return std::wstring_view(listed.name) < sought; });
        if (at == names.end() || std::wstring_view(at->name) != name) {
            surplus = true;
        } else if (entry.isDirectory && !entry.isLink && !at->entered) {
            pruning.trees.insert(key.empty() ? std::wstring(name) : key + PATH_SEPARATOR + std::wstring(name));
        }
    }
    // A listing cut short has not shown every name: the clean-up walks it whole.
    if (!platformCloseListing(listing)) pruning.trees.insert(key);
    if (surplus) pruning.levels.insert(key);
    return true;
}
