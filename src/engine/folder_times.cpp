#include "engine/folder_times.h"

#include "engine/entry_reports.h"
#include "engine/run_log.h"
#include "fs/changes.h"
#include "fs/time_step.h"
#include "platform/platform.h"

long long runActivity(const RunState* run) { return runContext.updatedCount + run->tally.failed; }

bool folderTimeDiffers(const RunOptions& options, const WideString& folder, int64_t fromSeconds, int64_t toSeconds) {
    int64_t apart = fromSeconds > toSeconds ? fromSeconds - toSeconds : toSeconds - fromSeconds;
    if (apart <= options.modifyWindow) return false;
    if (!timesMatchOnStep(fromSeconds, toSeconds, COARSE_TIME_STEP)) return true;
    return !timesMatchOnStep(fromSeconds, toSeconds, volumeTimeStep(folder));
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
    root->due = folderTimeDiffers(run->options, to, source.modifiedSeconds, target.modifiedSeconds);
}

FolderTimeFrame* folderFrame(FolderTimes* times, size_t depth, const RunState* run) {
    if (times->frames.size() <= depth) times->frames.resize(depth + 1);
    FolderTimeFrame& frame = times->frames[depth];
    frame = FolderTimeFrame{false, false, false, false, false, 0, 0, runActivity(run)};
    return &frame;
}

// Nothing is asked of the system for a folder in which nothing happened.
void finishFolder(RunState* run, FolderTimes* times, size_t depth, const WideString& fromFolder,
                  const WideString& toFolder) {
    if (!times->on || depth >= times->frames.size()) return;
    FolderTimeFrame frame = times->frames[depth];
    times->frames[depth].taken = false;
    bool recheck = frame.touched || runActivity(run) != frame.activity;
    if (!frame.taken || (!recheck && !frame.due)) return;
    if (changeTookAway(toFolder.buffer)) return;
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
        if (!platformQueryEntry(toFolder.buffer, &target) || !target.isDirectory) return;
        if (target.modifiedSeconds == frame.fromSeconds && target.modifiedNanoseconds == frame.fromNanoseconds) {
            return;
        }
    }
    SystemResult set = changeWriteModifiedTime(toFolder.buffer, frame.fromSeconds, frame.fromNanoseconds);
    if (!set) {
        reportCopyFailure(run, fromFolder, toFolder, WideString(platformReasonText(set.reason).c_str()));
        return;
    }
    if (recheck || frame.changed) return;  // the time goes with the change that moved it
    ++runContext.updatedCount;
    WideString line = WideString(L"  MD: [") + fromFolder + L"] -> [" + toFolder + L"]";
    if (runContext.showCopyFile) writeLogLine(line);
    reportChange(run, REPORT_UPDATED, line, fromFolder, 0);
}
