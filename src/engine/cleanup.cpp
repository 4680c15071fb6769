// The clean-up walk of a mirror: marks of where To may hold surplus, scopes, and deletions handed to workers.
#include "engine/cleanup.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/separator.h"
#include "base/temporary_name.h"
#include "engine/entry_reports.h"
#include "engine/in_the_way.h"
#include "engine/moves.h"
#include "engine/jobs.h"
#include "engine/rule.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/temporaries.h"
#include "engine/versions.h"
#include "engine/watch.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

const SystemResult kDone{true, 0};

bool underRoot(const WideString& root, const WideString& otherRoot, const WideString& path) {
    return root.length > 0 && otherRoot.length > 0 && path.length > 0 && StartsWith(path, root);
}

// The name of path below root, without leading separators ("" for root itself).
std::wstring relativeKey(const WideString& path, const WideString& root) {
    int32_t at = root.length;
    if (path.length <= at) return std::wstring();
    while (at < path.length && path.buffer[at] == PATH_SEPARATOR) ++at;
    return std::wstring(path.buffer + at, static_cast<size_t>(path.length - at));
}

// The key of the marks for path below root: its name below root, folded
// for case where To does not tell case apart, so that From's spelling and
// To's meet.
std::wstring markKey(const CleanupState& state, const WideString& path, const WideString& root) {
    std::wstring key = relativeKey(path, root);
    if (!state.foldCase || key.empty()) return key;
    std::wstring folded;
    platformFoldName(key.c_str(), &folded);
    return folded;
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
CleanupScope scopeOf(const CleanupState& state, CleanupScope parent, EntryPresence presence, const WideString& path,
                     const WideString& root) {
    if (!state.pruning || parent == SCOPE_WHOLE || presence == ENTRY_ABSENT) return SCOPE_WHOLE;
    std::wstring key = markKey(state, path, root);
    if (state.trees.count(key) > 0) return SCOPE_WHOLE;
    if (state.levels.count(key) > 0) return SCOPE_LEVEL;
    if (marksBelow(state.levels, key) || marksBelow(state.trees, key)) return SCOPE_PASS;
    return SCOPE_NONE;
}

// The scope of the directory being listed at depth (past the descent path: whole).
CleanupScope scopeAt(const CleanupState& state, size_t depth) {
    return state.pruning && depth < state.scopes.size() ? state.scopes[depth] : SCOPE_WHOLE;
}

// Reads the names of counterpart (a directory of From) into level, sorted.
void listCounterpart(const WideString& counterpart, CounterpartNames* level) {
    level->names.clear();
    WideString base = counterpart;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) level->names.emplace_back(entry.name, entry.isLink);
    platformCloseListing(listing);
    std::sort(level->names.begin(), level->names.end());
}

// What the listing of From tells of the counterpart of path, an entry of
// the directory being listed at depth (0: the walk's root) by walker;
// ENTRY_UNKNOWN when it cannot tell: not listed there, or no walk.
EntryPresence listedPresence(const DirectoryWalker* walker, const WideString& root, const WideString& otherRoot,
                             const WideString& path, size_t depth) {
    if (!walker || depth >= walker->descent.size()) return ENTRY_UNKNOWN;
    auto* state = static_cast<FolderWalk*>(walker->data)->cleanup;
    const WideString& directory = *walker->descent[depth].directory;
    if (path.length <= directory.length || !StartsWith(path, directory)) return ENTRY_UNKNOWN;
    state->counterparts.resize(depth + 1);  // the deeper levels are done with
    CounterpartNames& level = state->counterparts[depth];
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
EntryPresence counterpartPresence(const DirectoryWalker* walker, const WideString& root, const WideString& otherRoot,
                                  const WideString& path, size_t depth) {
    EntryPresence listed = listedPresence(walker, root, otherRoot, path, depth);
    if (listed != ENTRY_UNKNOWN) return listed;
    WideString counterpart = counterpartPath(path, root, otherRoot);
    EntryPresence presence = platformEntryPresence(counterpart.buffer);
    if (presence != ENTRY_PRESENT && presence != ENTRY_LINK) return presence;
    if (path.length <= root.length) return presence;  // the roots' names differ as they may
    return reachedUnderOtherName(path, counterpart) ? ENTRY_ABSENT : presence;
}

// Only what the From Folder plainly lacks is surplus: a counterpart of any
// kind keeps the entry, followable or not, and so does one that cannot be told.
bool counterpartMayStand(const DirectoryWalker* walker, const WideString& root, const WideString& otherRoot,
                         const WideString& path, size_t depth) {
    return counterpartPresence(walker, root, otherRoot, path, depth) != ENTRY_ABSENT;
}

// True when the To directory at path holds one of folders (met by the clean-up).
bool holdsOneOf(const std::set<std::wstring>& folders, const WideString& path) {
    std::wstring below(path.buffer, static_cast<size_t>(path.length));
    if (below.empty() || below.back() != PATH_SEPARATOR) below += PATH_SEPARATOR;
    auto at = folders.lower_bound(below);
    return at != folders.end() && at->compare(0, below.size(), below) == 0;
}

// Deletes path, a surplus entry of kind, for run (see deleteEntry), unless it is the open run log, a live run's temporary, or a
// dead run's temporary (deleted, but not as a change of the run);
// *attempted tells whether a deletion was due. Safe on a worker: it tells nothing.
SystemResult deleteSurplus(const RunState& run, const WideString& path, DeletableKind kind, bool* attempted,
                           KeptVersion* kept) {
    *attempted = false;
    if (isOpenRunLog(path) || isLiveTemporary(path)) return kDone;
    if (kind != NOT_DELETABLE && isDeadTemporary(path)) {
        changeDeleteFile(run.changes, path.buffer);
        return kDone;
    }
    *attempted = true;
    return deleteEntry(run, path, kind, kept);
}

// Whether path (under root, of kind) is surplus: {false, 0} when it is no
// entry the clean-up takes, kDone when its counterpart may stand; walker,
// when not null, is the clean-up walk listing its directory.
bool surplusEntry(const DirectoryWalker* walker, const WideString& root, const WideString& otherRoot,
                  const WideString& path, DeletableKind kind, SystemResult* kept) {
    if (!underRoot(root, otherRoot, path) || kind == NOT_DELETABLE) {
        *kept = SystemResult{false, 0};
        return false;
    }
    size_t depth = walker ? listingDepth(*walker) : SIZE_MAX;
    *kept = kDone;
    return !counterpartMayStand(walker, root, otherRoot, path, depth);
}

// Deletes path when otherRoot holds no counterpart, its kind already known,
// for run. A link is removed as a link, never followed: what it points to,
// inside or outside the To Folder, is left as it is. Sets changeAttempted.
SystemResult deleteWithoutCounterpart(RunState* run, const WideString& root, const WideString& otherRoot,
                                      const WideString& path, DeletableKind kind) {
    SystemResult kept{false, 0};
    if (!surplusEntry(nullptr, root, otherRoot, path, kind, &kept)) {
        noteCleanup(run, false, false);
        return kept;
    }
    bool attempted = false;
    KeptVersion version;
    SystemResult deleted = deleteSurplus(*run, path, kind, &attempted, &version);
    noteCleanup(run, attempted, deleted && attempted);
    return deleted;
}

// A deletion of the clean-up walk, its version kept first, on a worker.
JobResult deleteOnWorker(const RunState& run, const JobEntry& entry) {
    JobResult done;
    done.result =
        deleteSurplus(run, entry.entryPath, static_cast<DeletableKind>(entry.step), &done.attempted, &done.kept);
    return done;
}

// Tells what the clean-up walk did with one entry, or found to leave, as a
// REPORT_DELETED kind: its version first, or the failure to keep one.
void tellDeletion(RunState* run, EntryJob* job) {
    const JobResult& done = job->result;
    const WideString& path = job->entry.entryPath;
    bool versionFailed = done.kept.result == KEEP_FAILED;
    noteCleanup(run, done.attempted && !versionFailed, done.result && done.attempted);
    if (runStopRequested() && !done.result) return;  // cut short by the stop: nothing to tell
    if (done.attempted && tellKept(run, path, done.kept)) return;
    reportCleanup(run, done.result, done.attempted, path, REPORT_DELETED, L"  DF: [", L"! Error => Delete file: [");
}

// Hands the clean-up's telling of path over, to be told in turn: result,
// attempted, or the deletion of kind still to be done (step) on a worker.
void handOverDeletion(RunState* run, const WideString& path, SystemResult result, bool attempted, int step) {
    EntryJob job;
    job.tell = tellDeletion;
    job.entry.entryPath = path;
    job.entry.step = step;
    job.result.result = result;
    job.result.attempted = attempted;
    if (step != NOT_DELETABLE) {
        job.work = deleteOnWorker;
        job.group = folderGroup(path);
    }
    handOver(run, &job);
}

// The kind of the entry the clean-up walk is handing over: the listing told it.
DeletableKind kindFromListing(const DirectoryWalker& walker) {
    if (walker.current.isLink) return LINK;
    return walker.current.isDirectory ? NOT_DELETABLE : DELETABLE_FILE;
}

// A To directory is entered when From plainly lacks its counterpart (all
// below is surplus) or has it as something that can be followed. A
// counterpart that cannot be followed or read (a dangling link, a directory
// without permission) says nothing of what lies below: nothing there is touched.
bool counterpartMayBeEntered(const DirectoryWalker* walker, const WideString& root, const WideString& otherRoot,
                             const WideString& path) {
    EntryPresence presence = counterpartPresence(walker, root, otherRoot, path, listingDepth(*walker));
    if (presence == ENTRY_ABSENT) return true;
    // Facing a file, the directory was the copy walk's to replace, and what
    // it could not remove there was told then.
    EntryStatus status;
    bool queried = platformQueryEntry(counterpartPath(path, root, otherRoot).buffer, &status);
    if (presence == ENTRY_PRESENT) return !queried || status.isDirectory;
    return presence == ENTRY_LINK && queried && status.isDirectory;
}

}  // namespace

// cppcheck-suppress unusedFunction ; the engine's own interface, which its tests call
bool deleteFileWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path) {
    DeletableKind kind = NOT_DELETABLE;
    if (underRoot(root, otherRoot, path)) {
        if (platformIsLink(path.buffer)) {
            kind = LINK;
        } else if (fileExists(path)) {
            kind = DELETABLE_FILE;
        }
    }
    DefaultRun lone;
    return static_cast<bool>(deleteWithoutCounterpart(&lone.run, root, otherRoot, path, kind));
}

namespace {

// Removes path, a directory under root, when otherRoot holds no counterpart,
// for run; walker, when not null, is the clean-up walk that has just listed
// it as a directory, so it is not asked again. *attempted tells whether a
// removal was due and tried (a version that could not be kept is told here,
// as the entry's failure, and is no attempt).
SystemResult removeDirectoryIfSurplus(const DirectoryWalker* walker, RunState* run, const WideString& root,
                                      const WideString& otherRoot, const WideString& path, bool* attempted) {
    *attempted = false;
    if (!underRoot(root, otherRoot, path)) return SystemResult{false, 0};
    if (!walker && !directoryExists(path)) return SystemResult{false, 0};
    // After its walk step the directory's parent is the last on the descent path.
    size_t depth = walker ? listingDepth(*walker) : SIZE_MAX;
    if (counterpartMayStand(walker, root, otherRoot, path, depth)) return kDone;
    if (holdsRunLog(path)) return kDone;
    if (holdsVersions(run, path)) return kDone;
    if (walker) {
        const CleanupState& state = *static_cast<FolderWalk*>(walker->data)->cleanup;
        if (holdsOneOf(state.versionsFolders, path) || holdsOneOf(state.mountsLeft, path)) return kDone;
    }
    KeptVersion kept;
    KeepResult keeping = keepBeforeRemovingDirectory(*run, path, &kept);
    if (keeping == KEEP_FAILED) {
        reportVersionFailure(run, path, kept);
        return SystemResult{false, kept.reason};
    }
    *attempted = true;
    SystemResult removed = changeRemoveDirectory(run->changes, path.buffer);
    if (removed && keeping != KEEP_NOT_ASKED) reportKept(run, path);
    return removed;
}

}  // namespace

// cppcheck-suppress unusedFunction ; the engine's own interface, which its tests call
bool removeDirectoryWithoutCounterpart(const WideString& root, const WideString& otherRoot, const WideString& path) {
    DefaultRun lone;
    bool attempted = false;
    SystemResult removed = removeDirectoryIfSurplus(nullptr, &lone.run, root, otherRoot, path, &attempted);
    noteCleanup(&lone.run, attempted, removed.done);
    return removed.done;
}

namespace {

// A versions folder met in To (a directory holding the mark) is noted, so
// that nothing holding it goes, and neither entered nor told: true then.
bool leftAsVersionsFolder(CleanupState* state, DirectoryWalker* walker, const WideString& entryPath) {
    if (!walker->current.isDirectory || walker->current.isLink || !isMarkedVersionsFolder(entryPath)) return false;
    state->versionsFolders.insert(std::wstring(entryPath.buffer, static_cast<size_t>(entryPath.length)));
    walker->skipDescent = true;
    return true;
}

}  // namespace

bool cleanupPassesBy(const DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot) {
    const auto* folderWalk = static_cast<const FolderWalk*>(walker->data);
    const CleanupState& state = *folderWalk->cleanup;
    // A watch's batch and a rule decide on their own which folders are entered.
    if (!state.pruning || folderWalk->run->options.scope || runContext.ruleActive) return false;
    size_t depth = listingDepth(*walker);
    CleanupScope scope = scopeAt(state, depth);
    if (scope != SCOPE_PASS && scope != SCOPE_LEVEL) return false;
    // Where each name is asked, only a counterpart From's listing names keeps the folder.
    EntryPresence presence =
        scope == SCOPE_PASS ? ENTRY_PRESENT : listedPresence(walker, walkRoot, otherRoot, entryPath, depth);
    if (presence != ENTRY_PRESENT && presence != ENTRY_LINK) return false;
    return scopeOf(state, scope, presence, entryPath, walkRoot) == SCOPE_NONE;
}

bool deleteFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                       const WideString& otherRoot) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    RunState* run = folderWalk->run;
    CleanupState& state = *folderWalk->cleanup;
    // The job's own versions folder is no content of To: neither entered nor
    // told. Nor is any versions folder a run forgot to name, nor what holds it.
    if (isVersionsPlace(run, entryPath)) {
        walker->skipDescent = true;
        return true;
    }
    size_t depth = listingDepth(*walker);
    // In a directory whose every name From holds a directory is entered or
    // left, never removed: whether it is a versions folder is asked once it
    // is to be entered, on a network one request less for each left.
    CleanupScope scope = scopeAt(state, depth);
    bool enterable = walker->current.isDirectory && !walker->current.isLink;
    // Nor is one the walk passes by: nothing of it is entered or removed.
    if (scope != SCOPE_PASS && !(enterable && cleanupPassesBy(walker, entryPath, walkRoot, otherRoot)) &&
        leftAsVersionsFolder(&state, walker, entryPath)) {
        return true;
    }
    noteEntryDone(run, entriesHandedOver(*walker));
    // A watch's batch looks at the folders that changed alone: a folder
    // From holds too is entered only where the batch reaches.
    bool scopeEnters = true;
    if (!scopeTakes(run->options.scope, entryPath, walkRoot, enterable, &scopeEnters) ||
        (enterable && scopeHoldsLeftAlone(run->options.scope, entryPath, walkRoot))) {
        walker->skipDescent = true;
        return true;
    }
    EntryPresence scoped =
        enterable && !scopeEnters ? counterpartPresence(walker, walkRoot, otherRoot, entryPath, depth) : ENTRY_PRESENT;
    // A folder From lacks goes whole, however little below it the batch was told of.
    if (scoped == ENTRY_ABSENT && !scopeLeavesAlone(run->options.scope, entryPath, walkRoot)) {
        addToScope(run->options.scope, WatchNotice{WATCH_FOLDER_IN, relativeTo(entryPath, walkRoot), false});
        scopeEnters = true;
    }
    bool scopeStops = enterable && !scopeEnters;
    // A folder's activity counts from what was told before it.
    bool framed = enterable && folderWalk->times.on;
    if (framed) settleJobs(run);
    FolderTimeFrame* frame = framed ? folderFrame(&folderWalk->times, depth + 1, run) : nullptr;
    RuleVerdict verdict = judgeByRules(*run, entryPath, walkRoot, enterable);
    if (verdict != RULE_TAKE) {
        if (verdict == RULE_UNMATCHABLE) settleJobs(run);            // told after what the workers did before
        if (verdict == RULE_SKIP_BELOW) walker->skipDescent = true;  // all below it is left alone too
        leaveByRule(run, walker, entryPath, verdict == RULE_UNMATCHABLE, false);
        if (!walker->skipDescent) takeTimeForBelow(frame, run);
        return true;
    }
    if (frame) frame->taken = true;
    if (walker->currentName == NAME_HOLDS_SEPARATOR) {
        settleJobs(run);
        reportEntryFailure(run,
                           WideString(L"! Error => Name holds a path separator, left as it is: [") + entryPath + L"]",
                           entryPath, WideString());
        pumpMessages();
        return true;
    }
    // What the copy walk of a dry run took away to make room is gone already.
    if (changeTookAway(*run->changes, entryPath.buffer)) {
        walker->skipDescent = true;
        return true;
    }
    // The listing has told what the entry is; no need to ask again.
    if (scope == SCOPE_PASS) {
        // The copy walk found every name of this directory in From.
        if (enterable) {
            // A counterpart that cannot be followed says nothing of what lies below it.
            CleanupScope child = scopeOf(state, scope, ENTRY_PRESENT, entryPath, walkRoot);
            walker->skipDescent =
                scopeStops || child == SCOPE_NONE || !counterpartMayBeEntered(walker, walkRoot, otherRoot, entryPath);
            if (!walker->skipDescent && leftAsVersionsFolder(&state, walker, entryPath)) return true;
            if (!walker->skipDescent) {
                state.scopes.resize(depth + 2);
                state.scopes[depth + 1] = child;
            }
        }
        handOverDeletion(run, entryPath, kDone, false, NOT_DELETABLE);
        return true;
    }
    if (enterable && (scopeStops || !counterpartMayBeEntered(walker, walkRoot, otherRoot, entryPath))) {
        walker->skipDescent = true;
    }
    if (enterable && !walker->skipDescent && state.pruning) {
        CleanupScope child = SCOPE_WHOLE;
        if (scope != SCOPE_WHOLE) {
            EntryPresence presence = counterpartPresence(walker, walkRoot, otherRoot, entryPath, depth);
            child = scopeOf(state, scope, presence, entryPath, walkRoot);
        }
        walker->skipDescent = child == SCOPE_NONE;
        state.scopes.resize(depth + 2);
        state.scopes[depth + 1] = child;
    }
    // A folder From plainly lacks, to be entered: asked once for the steps below.
    bool surplusFolder = enterable && !walker->skipDescent &&
                         counterpartPresence(walker, walkRoot, otherRoot, entryPath, depth) == ENTRY_ABSENT;
    // A volume mounted on a surplus folder is none of To's: not entered, told,
    // and it stays with everything above it.
    if (surplusFolder && platformIsMountPoint(entryPath.buffer)) {
        settleJobs(run);
        state.mountsLeft.insert(std::wstring(entryPath.buffer, static_cast<size_t>(entryPath.length)));
        reportMountLeft(run, entryPath);
        walker->skipDescent = true;
        return true;
    }
    // A surplus folder From holds under another name is renamed there whole.
    bool movable = run->moves && !walker->current.isLink;
    if (movable && surplusFolder && moveInsteadOfDeleting(run, otherRoot, walkRoot, entryPath, true, nullptr)) {
        walker->skipDescent = true;
        return true;
    }
    // Without a rule, which judges each entry on its own, a surplus tree goes
    // whole into the run folder, told after what the workers did before.
    if (surplusFolder && run->versions && !runContext.ruleActive) {
        settleJobs(run);
        if (removeTreeWhole(run, entryPath) != TREE_PER_ENTRY) {
            walker->skipDescent = true;
            return true;
        }
    }
    DeletableKind kind = kindFromListing(*walker);
    SystemResult kept{false, 0};
    bool surplus = surplusEntry(walker, walkRoot, otherRoot, entryPath, kind, &kept);
    // A surplus file From holds under another name is renamed there.
    const EntryStatus* listed = walker->current.statusKnown ? &walker->current.status : nullptr;
    if (surplus && movable && !walker->current.isDirectory &&
        moveInsteadOfDeleting(run, otherRoot, walkRoot, entryPath, false, listed)) {
        return true;
    }
    handOverDeletion(run, entryPath, kept, false, surplus ? kind : NOT_DELETABLE);
    return true;
}

namespace {

// Removes the directory the clean-up walk has just gone through when From lacks it.
void removeIfSurplus(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    RunState* run = folderWalk->run;
    settleJobs(run);  // the deletions below it are done, and told, first
    // Told of, if need be, when it was met.
    if (judgeByRules(*run, entryPath, walkRoot, true) != RULE_TAKE) return;
    if (changeTookAway(*run->changes, entryPath.buffer)) return;
    // Below the root, the directory's parent is the last on the descent path.
    if (!walker->descent.empty() && scopeAt(*folderWalk->cleanup, listingDepth(*walker)) == SCOPE_PASS) {
        noteCleanup(run, false, false);  // the copy walk found its name in From
        reportCleanup(run, kDone, false, entryPath, REPORT_REMOVED, L"  RD: [", L"! Error => Remove dir: [");
        return;
    }
    // The directory has just been listed; no need to ask again.
    bool attempted = false;
    SystemResult removed = removeDirectoryIfSurplus(walker, run, walkRoot, otherRoot, entryPath, &attempted);
    noteCleanup(run, attempted, removed.done);
    reportCleanup(run, removed, attempted, entryPath, REPORT_REMOVED, L"  RD: [", L"! Error => Remove dir: [");
}

}  // namespace

// A directory that went takes no time: finishFolder finds it gone.
bool removeDirectoryHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                            const WideString& otherRoot) {
    removeIfSurplus(walker, entryPath, walkRoot, otherRoot);
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    finishFolder(folderWalk->run, &folderWalk->times, frameAt(folderWalk->times, walker->descent.size()).get(),
                 counterpartPath(entryPath, walkRoot, otherRoot), entryPath, false);
    return true;
}

void markSurplusInCopyWalk(CleanupState* cleanup, bool on, bool foldCase) {
    *cleanup = CleanupState();
    cleanup->pruning = on;
    cleanup->foldCase = foldCase;
}

bool mayHoldSurplus(const CleanupState& cleanup) {
    return !cleanup.pruning || !cleanup.levels.empty() || !cleanup.trees.empty();
}

bool cleanupEnters(const CleanupState& cleanup, const WideString& directory, const WideString& root) {
    if (!cleanup.pruning) return true;
    std::wstring key = markKey(cleanup, directory, root);
    return cleanup.levels.count(key) > 0 || cleanup.trees.count(key) > 0;
}

bool cleanupMayEnter(const void* state, const WideString& path, const WideString& root) {
    const auto& cleanup = *static_cast<const CleanupState*>(state);
    if (!cleanup.pruning) return true;
    std::wstring key = markKey(cleanup, dropTrailingSeparator(path), root);
    if (cleanup.levels.count(key) > 0 || cleanup.trees.count(key) > 0) return true;
    if (marksBelow(cleanup.levels, key) || marksBelow(cleanup.trees, key)) return true;
    for (size_t at = key.find(PATH_SEPARATOR); at != std::wstring::npos; at = key.find(PATH_SEPARATOR, at + 1)) {
        if (cleanup.trees.count(key.substr(0, at)) > 0) return true;
    }
    return false;
}

void startCleanupScopes(CleanupState* cleanup) {
    cleanup->counterparts.clear();
    cleanup->scopes.assign(1, SCOPE_WHOLE);
    if (!cleanup->pruning) return;
    // The root is entered by any walk: marked or not, it has its scope.
    cleanup->scopes[0] = cleanup->trees.count(std::wstring()) > 0    ? SCOPE_WHOLE
                         : cleanup->levels.count(std::wstring()) > 0 ? SCOPE_LEVEL
                                                                     : SCOPE_PASS;
}

namespace {

// A To directory named name in the directory key whose From counterpart
// (listed) the copy walk did not enter marks a tree to walk whole.
void markTree(CleanupState* state, const std::wstring& key, const ListedName& listed, std::wstring_view name,
              bool isDirectory, bool isLink) {
    if (!isDirectory || isLink || listed.entered) return;
    std::wstring tree = key.empty() ? std::wstring(name) : key + PATH_SEPARATOR + std::wstring(name);
    if (state->foldCase) {
        std::wstring folded;
        platformFoldName(tree.c_str(), &folded);
        tree = folded;
    }
    state->trees.insert(tree);
}

// Marks what the clean-up walk must look at for one entry of the To
// directory key, whose From names (sorted) are names: a name From lacks
// makes the directory a level to check (true), a directory whose From
// counterpart the copy walk did not enter a tree to walk whole.
bool markEntry(CleanupState* state, const std::wstring& key, const std::vector<ListedName>& names,
               std::wstring_view name, bool isDirectory, bool isLink) {
    auto at = std::lower_bound(
        names.begin(), names.end(), name,
        [](const ListedName& listed, std::wstring_view sought) { return std::wstring_view(listed.name) < sought; });
    if (at == names.end() || std::wstring_view(at->name) != name) return true;
    markTree(state, key, *at, name, isDirectory, isLink);
    return false;
}

// Where To listed the very names From did, in the same order (a copy made
// on a volume like From's, in the order From lists), nothing there is
// surplus: marks the trees among them, without sorting, and true. False,
// marking nothing, at the first name that differs.
bool markInOrder(CleanupState* state, const std::wstring& key, const std::vector<ListedName>& fromNames,
                 const std::vector<TargetName>& names) {
    if (names.size() != fromNames.size()) return false;
    for (size_t at = 0; at < names.size(); ++at) {
        if (names[at].name != fromNames[at].name) return false;
    }
    for (size_t at = 0; at < names.size(); ++at) {
        markTree(state, key, fromNames[at], names[at].name, names[at].isDirectory, names[at].isLink);
    }
    return true;
}

// The whole listing the copy walk took of the To directory base (for the
// statuses of its entries), or null. Taken once: a later walk of the same
// directory lists it afresh.
TargetListing* takenListing(FolderWalk* walk, const WideString& base) {
    for (TargetListing& level : walk->targetLevels) {
        if (!level.whole || !(level.directory == base)) continue;
        level.directory = WideString();
        return &level;
    }
    return nullptr;
}

}  // namespace

// The To directory was listed already where the copy walk asked its
// listing for statuses (Windows): that listing, taken before the run's
// copies there, serves. What the run made there since bears From's names
// or is its own (a temporary, the versions folder), which the clean-up
// leaves anyway; what others made since is left for a later run.
bool markFromTakenListing(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                          const WideString& otherRoot) {
    auto* walk = static_cast<FolderWalk*>(walker->data);
    WideString base = counterpartPath(directory, walkRoot, otherRoot);
    if (!endsWithSeparator(base)) base.AppendSeparator();
    const TargetListing* taken = takenListing(walk, base);
    if (!taken) return false;
    markFromListing(walk->cleanup, directory, walkRoot, &walker->completedNames, taken->names, true, true);
    return true;
}

// A To directory that could not be listed is walked whole by the clean-up,
// which tells why, if it meets it; one whose listing was cut short has not
// shown every name, and is walked whole too.
void markFromListing(CleanupState* state, const WideString& directory, const WideString& walkRoot,
                     std::vector<ListedName>* fromNames, const std::vector<TargetName>& names, bool opened,
                     bool whole) {
    if (!state->pruning) return;
    std::wstring key = markKey(*state, directory, walkRoot);
    if (!opened) {
        state->trees.insert(key);
        return;
    }
    if (markInOrder(state, key, *fromNames, names)) {
        if (!whole) state->trees.insert(key);
        return;
    }
    std::sort(fromNames->begin(), fromNames->end(),
              [](const ListedName& a, const ListedName& b) { return a.name < b.name; });
    bool surplus = false;
    long own = platformProcessNumber();
    for (const TargetName& entry : names) {
        // A copy of this run's still in flight there (a worker listed beside it) is no surplus.
        if (!entry.isDirectory && temporaryOwner(entry.name.c_str()) == own) continue;
        surplus = markEntry(state, key, *fromNames, entry.name, entry.isDirectory, entry.isLink) || surplus;
    }
    if (!whole) state->trees.insert(key);
    if (surplus) state->levels.insert(key);
}
