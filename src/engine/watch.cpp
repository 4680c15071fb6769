// The watch of a From Folder: changes gathered into scopes, batches timed.
#include "engine/watch.h"

#include <algorithm>

#include "base/separator.h"

namespace {

// The folder holding relative ("" holds the top's entries).
std::wstring parentOf(const std::wstring& relative) {
    size_t cut = relative.rfind(PATH_SEPARATOR);
    return cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
}

// True when relative is one of folders, or lies below one.
bool underOneOf(const std::unordered_set<std::wstring>& folders, const std::wstring& relative) {
    if (folders.empty()) return false;
    if (folders.count(std::wstring())) return true;
    for (size_t at = 0; at <= relative.size(); ++at) {
        if (at < relative.size() && relative[at] != PATH_SEPARATOR) continue;
        if (folders.count(relative.substr(0, at))) return true;
    }
    return false;
}

// True when relative lies in (or is) a folder scope looks at whole.
bool underTree(const WatchScope& scope, const std::wstring& relative) { return underOneOf(scope.trees, relative); }

// Notes every folder above relative as one on the way.
void addWay(WatchScope* scope, const std::wstring& relative) {
    std::wstring above = relative;
    while (!above.empty()) {
        above = parentOf(above);
        if (!scope->onTheWay.insert(above).second) break;  // and all above it, noted before
    }
}

// Makes scope the whole tree once it names too many folders.
void boundScope(WatchScope* scope) {
    if (scope->levels.size() + scope->trees.size() + scope->onTheWay.size() <= kMostWatchedFolders) return;
    *scope = wholeTree();
}

void addLevel(WatchScope* scope, const std::wstring& folder) {
    if (scope->whole) return;
    if (scope->levels.insert(folder).second) addWay(scope, folder);
    boundScope(scope);
}

void addTree(WatchScope* scope, const std::wstring& folder) {
    if (scope->whole) return;
    if (folder.empty()) {
        *scope = wholeTree();
        return;
    }
    if (scope->trees.insert(folder).second) addWay(scope, folder);
    boundScope(scope);
}

// How often a From Folder that went, or stands in place of the first, is looked for.
const int64_t kLookAgain = 2000;

// A batch waits at most this long after the first change it gathers, however busy From stays.
int64_t mostBatchWait(const WatchSettings& settings) {
    return std::max<int64_t>(10000, settings.delayMilliseconds * 10);
}

// The earlier of two moments, where 0 is none.
int64_t earlier(int64_t a, int64_t b) {
    if (a == 0) return b;
    if (b == 0) return a;
    return std::min(a, b);
}

// Takes what the system told into state's gathered scope.
void gather(WatchState* state, const std::vector<WatchNotice>& notices, int64_t now) {
    for (const WatchNotice& notice : notices) {
        if (notice.kind == WATCH_ROOT_GONE || notice.kind == WATCH_MOUNTS) continue;
        if (state->gatheredNotices == 0 && state->lost.empty()) state->firstNoticeAt = now;
        if (notice.kind == WATCH_UNMOUNTED && state->unmounted.insert(notice.path).second) {
            state->newlyUnmounted.push_back(notice.path);
        }
        if (notice.kind == WATCH_FOLDER_IN) state->unmounted.erase(notice.path);  // a volume came back
        if (notice.kind == WATCH_LOST) {
            bool told = std::find(state->lost.begin(), state->lost.end(), notice.path) != state->lost.end();
            if (!told && state->lost.size() < 100) state->lost.push_back(notice.path);
            if (notice.unwatched && state->unwatched.size() < kMostWatchedFolders) {
                state->unwatched.insert(notice.path);
            }
        }
        addToScope(&state->gathered, notice);
        ++state->gatheredNotices;
        state->lastNoticeAt = now;
    }
}

// Returns WATCH_STEP_BATCH for batch, which leaves what lay on a volume that went alone.
int leaveUnmounted(const WatchState* state, WatchBatch* batch) {
    batch->scope.leftAlone = state->unmounted;
    return WATCH_STEP_BATCH;
}

// Starts gathering afresh (what waits to be told, as volumes that went, stays).
void clearGathered(WatchState* state) {
    state->gathered = WatchScope();
    state->gatheredNotices = 0;
    state->lost.clear();
    state->firstNoticeAt = 0;
}

// Hands what was gathered over as a batch, with what earlier batches could
// not bring over (tried again at once), and starts gathering afresh.
void takeGathered(WatchState* state, WatchBatch* batch, int reason) {
    if (state->anyFailed && state->failedWithNext) {
        mergeScope(&state->gathered, state->failed);
        state->failed = WatchScope();
        state->anyFailed = false;
    }
    batch->scope = std::move(state->gathered);
    batch->reason = state->lost.empty() ? reason : BATCH_LOST;
    batch->notices = state->gatheredNotices;
    batch->lost = std::move(state->lost);
    batch->unmounted = std::move(state->newlyUnmounted);
    state->newlyUnmounted.clear();
    clearGathered(state);
}

}  // namespace

void addToScope(WatchScope* scope, const WatchNotice& notice) {
    if (scope->whole) return;
    switch (notice.kind) {
        case WATCH_CHANGED:
            // The root's own change ("") is a change of its own entries.
            addLevel(scope, parentOf(notice.path));
            break;
        case WATCH_FOLDER_IN:
            addLevel(scope, parentOf(notice.path));
            addTree(scope, notice.path);
            break;
        case WATCH_LOST:
            if (!notice.path.empty()) addLevel(scope, parentOf(notice.path));
            addTree(scope, notice.path);
            break;
        default: break;
    }
}

WatchScope wholeTree() {
    WatchScope scope;
    scope.whole = true;
    return scope;
}

void mergeScope(WatchScope* scope, const WatchScope& more) {
    if (more.whole) {
        *scope = wholeTree();
        return;
    }
    for (const std::wstring& folder : more.levels) addLevel(scope, folder);
    for (const std::wstring& folder : more.trees) addTree(scope, folder);
}

bool scopeLooksAt(const WatchScope& scope, const std::wstring& relative) {
    return scope.whole || scope.levels.count(relative) > 0 || underTree(scope, relative);
}

bool scopeEnters(const WatchScope& scope, const std::wstring& relative) {
    return scope.whole || scope.levels.count(relative) > 0 || scope.onTheWay.count(relative) > 0 ||
           underTree(scope, relative);
}

std::wstring relativeTo(const WideString& entryPath, const WideString& root) {
    int32_t cut = root.length;
    while (cut < entryPath.length && entryPath.buffer[cut] == PATH_SEPARATOR) ++cut;
    if (cut >= entryPath.length) return std::wstring();
    return std::wstring(entryPath.buffer + cut, static_cast<size_t>(entryPath.length - cut));
}

bool scopeTakes(const WatchScope* scope, const WideString& entryPath, const WideString& root, bool isDirectory,
                bool* enters) {
    *enters = true;
    if (!scope || (scope->whole && scope->leftAlone.empty())) return true;
    std::wstring relative = relativeTo(entryPath, root);
    // What lay on a volume that went is neither copied nor deleted until it comes back.
    if (!scope->leftAlone.empty()) {
        if (underOneOf(scope->leftAlone, parentOf(relative))) return false;
        if (isDirectory && underOneOf(scope->leftAlone, relative)) *enters = false;
        if (scope->whole) return true;
    }
    if (isDirectory) *enters = scopeEnters(*scope, relative);
    return scopeLooksAt(*scope, parentOf(relative)) || (isDirectory && *enters);
}

bool scopeLeavesAlone(const WatchScope* scope, const WideString& entryPath, const WideString& root) {
    return scope && underOneOf(scope->leftAlone, relativeTo(entryPath, root));
}

bool scopeHoldsLeftAlone(const WatchScope* scope, const WideString& entryPath, const WideString& root) {
    if (!scope || scope->leftAlone.empty()) return false;
    std::wstring relative = relativeTo(entryPath, root);
    for (const std::wstring& folder : scope->leftAlone) {
        if (relative.empty() || folder == relative ||
            (folder.size() > relative.size() && folder.compare(0, relative.size(), relative) == 0 &&
             folder[relative.size()] == PATH_SEPARATOR)) {
            return true;
        }
    }
    return false;
}

bool armWatch(WatchState* state) {
    state->watch = platformOpenWatch(state->from.buffer, &state->reason);
    if (!state->watch) return false;
    int64_t now = platformMilliseconds();
    DirectoryIdentity identity{0, 0};
    bool known = platformDirectoryIdentity(state->from.buffer, &identity);
    if (state->startedAt == 0) {
        state->startedAt = now;
        state->armedAs = identity;
    }
    state->watchedAs = identity;
    // A folder that stands in place of the first (an unmounted disk's empty
    // mount point) is watched, and the first looked for now and then.
    state->replaced = !known || !sameIdentity(identity, state->armedAs);
    state->gone = false;
    if (state->settings.rescanMilliseconds > 0) state->nextRescanAt = now + state->settings.rescanMilliseconds;
    return true;
}

void noteBatchFailed(WatchState* state, const WatchScope& scope, bool mayPass) {
    bool failing = state->anyFailed;
    mergeScope(&state->failed, scope);
    // A whole pass with every batch would cost too much.
    bool withNext = mayPass && !state->failed.whole;
    const WatchSettings& settings = state->settings;
    int64_t most = settings.rescanMilliseconds > 0 ? settings.rescanMilliseconds : 3600000;
    int64_t first = mayPass ? settings.soonMilliseconds : settings.retryMilliseconds;
    state->retryWait = state->retryWait > 0 ? std::min(most, std::max(first, state->retryWait * 2)) : first;
    state->nextRetryAt = platformMilliseconds() + state->retryWait;
    state->failedWithNext = withNext && (!failing || state->failedWithNext);
    state->anyFailed = true;
}

void askWholePass(WatchState* state) {
    int64_t now = platformMilliseconds();
    if (state->gatheredNotices == 0 && state->lost.empty()) state->firstNoticeAt = now;
    mergeScope(&state->gathered, wholeTree());
    ++state->gatheredNotices;
    state->lastNoticeAt = now;
}

void noteBatchDone(WatchState* state, const WatchScope& scope) {
    // A whole pass that went through brought everything over, what failed before too.
    if (scope.whole && scope.leftAlone.empty()) {
        state->failed = WatchScope();
        state->anyFailed = false;
    }
    if (!state->anyFailed) state->retryWait = 0;
}

int nextWatchBatch(WatchState* state, WatchBatch* batch) {
    const WatchSettings& settings = state->settings;
    for (;;) {
        int64_t now = platformMilliseconds();
        bool gathered = state->gatheredNotices > 0 || !state->lost.empty();
        int64_t endAt = settings.endMilliseconds >= 0 ? state->startedAt + settings.endMilliseconds : 0;
        // What was told before the end is still mirrored.
        if (gathered && (now >= state->lastNoticeAt + settings.delayMilliseconds ||
                         now >= state->firstNoticeAt + mostBatchWait(settings) || (endAt != 0 && now >= endAt))) {
            takeGathered(state, batch, BATCH_CHANGES);
            return leaveUnmounted(state, batch);
        }
        if (endAt != 0 && now >= endAt) return WATCH_STEP_END;
        if (state->gone) {
            // Nothing tells when a folder comes back: it is looked for now and then.
            if (armWatch(state)) {
                *batch = WatchBatch();
                batch->scope = wholeTree();
                batch->reason = BATCH_ROOT_BACK;
                return leaveUnmounted(state, batch);
            }
            int64_t look = std::min<int64_t>(kLookAgain, endAt != 0 ? endAt - now : kLookAgain);
            for (int64_t slept = 0; slept < look; slept += 100) {
                if (platformStopRequested()) return WATCH_STEP_STOP;
                platformSleep(100);
            }
            continue;
        }
        if (state->nextRescanAt != 0 && now >= state->nextRescanAt) {
            takeGathered(state, batch, BATCH_RESCAN);
            batch->scope = wholeTree();
            batch->reason = BATCH_RESCAN;
            state->nextRescanAt = now + settings.rescanMilliseconds;
            return leaveUnmounted(state, batch);
        }
        if (state->anyFailed && now >= state->nextRetryAt) {
            *batch = WatchBatch();
            batch->scope = std::move(state->failed);
            batch->reason = BATCH_RETRY;
            state->failed = WatchScope();
            state->anyFailed = false;
            return leaveUnmounted(state, batch);
        }
        if (!state->unwatched.empty() && now >= state->nextUnwatchedAt && state->nextUnwatchedAt != 0) {
            *batch = WatchBatch();
            // The system may watch them now (its limit raised, others' watches gone).
            for (auto folder = state->unwatched.begin(); folder != state->unwatched.end();) {
                addTree(&batch->scope, *folder);
                folder = platformWatchAgain(state->watch, folder->c_str()) ? state->unwatched.erase(folder)
                                                                           : std::next(folder);
            }
            batch->reason = BATCH_RESCAN;
            state->nextUnwatchedAt = now + settings.unwatchedMilliseconds;
            return leaveUnmounted(state, batch);
        }
        if (!state->unwatched.empty() && state->nextUnwatchedAt == 0) {
            state->nextUnwatchedAt = now + settings.unwatchedMilliseconds;
        }
        int64_t wakeAt = endAt;
        if (gathered) {
            wakeAt = earlier(wakeAt, std::min(state->lastNoticeAt + settings.delayMilliseconds,
                                              state->firstNoticeAt + mostBatchWait(settings)));
        }
        wakeAt = earlier(wakeAt, state->nextRescanAt);
        if (state->anyFailed) wakeAt = earlier(wakeAt, state->nextRetryAt);
        if (!state->unwatched.empty()) wakeAt = earlier(wakeAt, state->nextUnwatchedAt);
        if (state->replaced) wakeAt = earlier(wakeAt, now + kLookAgain);
        int64_t wait = wakeAt == 0 ? -1 : std::max<int64_t>(0, wakeAt - now);
        state->notices.clear();
        WatchWait waited = platformWaitWatch(state->watch, wait, &state->notices, &state->reason);
        if (waited == WATCH_WAIT_STOPPED) return WATCH_STEP_STOP;
        if (waited == WATCH_WAIT_FAILED) return WATCH_STEP_FAILED;
        if (waited != WATCH_WAIT_NOTICES && !state->replaced) continue;
        gather(state, state->notices, platformMilliseconds());
        bool rootGone = false;
        bool mounts = false;
        for (const WatchNotice& notice : state->notices) {
            rootGone = rootGone || notice.kind == WATCH_ROOT_GONE;
            mounts = mounts || notice.kind == WATCH_MOUNTS;
        }
        // A disk mounted on the folder, or taken off it, or the folder
        // renamed away (Windows tells of no such thing), leaves the watch on a
        // folder that is no longer the one its path names: looked at when the
        // mounts change, and at most once a second while changes come.
        int64_t lookedAt = platformMilliseconds();
        bool lookAgain = waited == WATCH_WAIT_NOTICES && lookedAt - state->identityLookedAt >= 1000;
        if (!rootGone && (mounts || state->replaced || lookAgain)) {
            state->identityLookedAt = lookedAt;
            DirectoryIdentity identity{0, 0};
            rootGone =
                !platformDirectoryIdentity(state->from.buffer, &identity) || !sameIdentity(identity, state->watchedAs);
        }
        state->notices.clear();
        if (rootGone) {
            platformCloseWatch(state->watch);
            state->watch = nullptr;
            state->gone = true;
            // What was gathered waits for the whole pass once the folder stands again.
            if (state->gatheredNotices > 0 || !state->lost.empty()) noteBatchFailed(state, wholeTree(), false);
            clearGathered(state);
            *batch = WatchBatch();
            return WATCH_STEP_GONE;
        }
    }
}

void endWatch(WatchState* state) {
    platformCloseWatch(state->watch);
    state->watch = nullptr;
}
