// The folder-time step: frames per folder of a walk, and a folder's time set once its contents are done.
#include "engine/folder_times.h"

#include <memory>

#include "base/separator.h"

#include "engine/entry_reports.h"
#include "engine/run_log.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"
#include "platform/platform.h"

namespace {

// The key of a To folder among the deferred: its path without trailing separators.
std::wstring deferredKey(const WideString& folder) {
    std::wstring key(folder.buffer, static_cast<size_t>(folder.length));
    while (key.size() > 1 && isComponentSeparator(key.back())) key.pop_back();
    return key;
}

}  // namespace

// Metadata mended in place (MD lines) moves no folder's time.
long long runActivity(const RunState* run) {
    const RunTally& tally = run->tally;
    // A replacement that waits is a copy to come, whose folder takes its time with it.
    return tally.copied + tally.created + tally.deleted + tally.failed + tally.moved +
           static_cast<long long>(run->heldReplacements.size());
}

bool folderTimeDiffers(const RunState& run, const WideString& folder, FolderTime from, FolderTime to) {
    return !sameModifiedTime(StampTime{from.seconds, from.nanoseconds}, StampTime{to.seconds, to.nanoseconds},
                             run.options.modifyWindow, folder, run.steps);
}

void beginFolderTimes(FolderTimes* times, bool on, const RunState* run, const WideString& from, const WideString& to,
                      bool askDue) {
    times->on = on;
    times->frames.clear();
    if (!on) return;
    FolderTimeFrame* root = folderFrame(times, 0, run);
    root->taken = true;
    if (!askDue) return;
    EntryStatus source;
    EntryStatus target;
    if (!platformQueryEntry(from.buffer, &source) || !platformQueryEntry(to.buffer, &target)) return;
    root->fromKnown = true;
    root->fromSeconds = source.modifiedSeconds;
    root->fromNanoseconds = source.modifiedNanoseconds;
    root->due = folderTimeDiffers(*run, to, FolderTime{source.modifiedSeconds, source.modifiedNanoseconds},
                                  FolderTime{target.modifiedSeconds, target.modifiedNanoseconds});
}

FolderTimeFrame* folderFrame(FolderTimes* times, size_t depth, const RunState* run) {
    if (times->frames.size() <= depth) times->frames.resize(depth + 1);
    times->frames[depth] =
        std::make_shared<FolderTimeFrame>(FolderTimeFrame{false, false, false, false, false, 0, 0, runActivity(run)});
    return times->frames[depth].get();
}

void takeTimeForBelow(FolderTimeFrame* frame, const RunState* run) {
    if (!frame) return;
    *frame = FolderTimeFrame{true, false, false, false, false, 0, 0, runActivity(run)};
}

std::shared_ptr<FolderTimeFrame> frameAt(const FolderTimes& times, size_t depth) {
    return times.on && depth < times.frames.size() ? times.frames[depth] : nullptr;
}

// Nothing is asked of the system for a folder in which nothing happened.
void finishFolder(RunState* run, FolderTimes* times, FolderTimeFrame* taken, const WideString& fromFolder,
                  const WideString& toFolder, bool cleanupEnters) {
    checkOnRunThread(*run);
    if (!times->on || !taken) return;
    FolderTimeFrame frame = *taken;
    taken->taken = false;
    if (!times->deferred.empty() && times->deferred.erase(deferredKey(toFolder)) > 0) frame.due = true;
    bool recheck = frame.touched || runActivity(run) != frame.activity;
    if (!frame.taken || (!recheck && !frame.due)) return;
    if (cleanupEnters && !recheck && !frame.changed) {
        times->deferred.insert(deferredKey(toFolder));
        return;
    }
    if (changeTookAway(*run->changes, toFolder.buffer)) return;
    if (!frame.fromKnown) {
        EntryStatus source;
        if (!platformQueryEntry(fromFolder.buffer, &source) || !source.isDirectory) return;
        frame.fromSeconds = source.modifiedSeconds;
        frame.fromNanoseconds = source.modifiedNanoseconds;
    }
    if (recheck) {
        // What changed below may have left this folder as it was; one that
        // went (the clean-up removed it) is not asked about again.
        EntryStatus target;
        if (!platformQueryFolder(toFolder.buffer, &target)) return;
        if (!folderTimeDiffers(*run, toFolder, FolderTime{frame.fromSeconds, frame.fromNanoseconds},
                               FolderTime{target.modifiedSeconds, target.modifiedNanoseconds})) {
            return;
        }
    }
    SystemResult set = changeWriteModifiedTime(run->changes, toFolder.buffer, frame.fromSeconds, frame.fromNanoseconds);
    if (!set) {
        reportCopyFailure(run, fromFolder, toFolder, WideString(platformReasonText(set.reason).c_str()));
        return;
    }
    if (recheck || frame.changed) return;  // the time goes with the change that moved it
    ++runContext.updatedCount;
    WideString line = WideString(L"  MD: [") + pathPair(fromFolder, toFolder) + L"]";
    if (runContext.showCopyFile) writeLogLine(line);
    reportChange(run, REPORT_UPDATED, line, fromFolder, 0);
}

bool matchFolderTime(RunState* run, const WideString& fromFolder, const WideString& toFolder, const EntryStatus& source,
                     const EntryStatus& target) {
    if (!folderTimeDiffers(*run, toFolder, FolderTime{source.modifiedSeconds, source.modifiedNanoseconds},
                           FolderTime{target.modifiedSeconds, target.modifiedNanoseconds})) {
        return false;
    }
    SystemResult set =
        changeWriteModifiedTime(run->changes, toFolder.buffer, source.modifiedSeconds, source.modifiedNanoseconds);
    if (set) return true;
    reportCopyFailure(run, fromFolder, toFolder, WideString(platformReasonText(set.reason).c_str()));
    return false;
}

void refinishFolder(RunState* run, FolderTimes* times, const WideString& fromFolder, const WideString& toFolder) {
    FolderTimeFrame frame{true, false, false, true, false, 0, 0, runActivity(run)};
    finishFolder(run, times, &frame, fromFolder, toFolder, false);
}

bool readyRetime(RunState* run, FolderTimes* times, const WideString& toFolder) {
    if (!times->on) return false;
    times->deferred.erase(deferredKey(toFolder));  // a retime now does what was left for later
    return !changeTookAway(*run->changes, toFolder.buffer);
}

// The deferred are taken in the order of their paths.
void finishDeferred(RunState* run, FolderTimes* times, const WideString& from, const WideString& to) {
    std::set<std::wstring> deferred = times->deferred;
    for (const std::wstring& key : deferred) {
        if (runStopRequested()) return;
        WideString toFolder(key.c_str());
        FolderTimeFrame frame{true, false, false, false, false, 0, 0, runActivity(run)};
        finishFolder(run, times, &frame, counterpartPath(toFolder, to, from), toFolder, false);
    }
}
