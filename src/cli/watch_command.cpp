// The front end's watch: TO locked, FROM watched, a whole pass, then a run per batch of changes.
#include "cli/watch_command.h"

#include <string>

#include "base/separator.h"
#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "engine/folder_run.h"
#include "engine/run_checks.h"
#include "engine/run_log.h"
#include "engine/watch.h"
#include "platform/platform.h"

namespace {

std::wstring text(const WideString& value) { return std::wstring(value.buffer, static_cast<size_t>(value.length)); }

// A line for the terminal's change stream, unless -q, and for both logs.
void tell(Terminal* terminal, const CliOptions& options, const std::wstring& line) {
    if (!options.quiet) writeLine(terminal, terminal->listStream, line);
    writeLogLine(WideString(line.c_str()));
    if (terminal->logFile) writeLogFileLine(terminal->logFile, line);
}

// A line for standard error whatever -q says, and for both logs.
void warn(Terminal* terminal, const std::wstring& line) {
    writeErrorText(terminal, line);
    writeLogLine(WideString(line.c_str()));
    if (terminal->logFile) writeLogFileLine(terminal->logFile, line);
}

// The folder a notice names, as a line writes it.
std::wstring folderText(const WideString& from, const std::wstring& relative) {
    std::wstring path = text(from);
    if (relative.empty()) return path;
    if (!path.empty() && path.back() != PATH_SEPARATOR) path += PATH_SEPARATOR;
    return path + relative;
}

// Tells the folders whose changes the system may have lost, which the batch walks whole.
void tellLost(Terminal* terminal, const WatchState& state, const WatchBatch& batch) {
    for (const std::wstring& folder : batch.lost) {
        bool unwatched = state.unwatched.count(folder) > 0;
        if (unwatched) {
            warn(terminal, L"korvane: watch: the system's watch limit is reached at [" +
                               folderText(state.from, folder) + L"]: it is walked whole every " +
                               std::to_wstring(state.settings.unwatchedMilliseconds / 1000) +
                               L" s instead; raise fs.inotify.max_user_watches to watch it.");
        } else {
            warn(terminal, L"korvane: watch: changes in [" + folderText(state.from, folder) +
                               L"] may have been lost (the system's queue overflowed, or a volume went): walked "
                               L"whole.");
        }
    }
}

// What a batch's run is, in its line.
std::wstring batchWords(const WatchBatch& batch) {
    switch (batch.reason) {
        case BATCH_LOST: return L"changes that may have been lost";
        case BATCH_RESCAN: return batch.scope.whole ? L"a rescan of the whole tree" : L"a rescan of unwatched folders";
        case BATCH_ROOT_BACK: return L"FROM standing again";
        case BATCH_RETRY: return L"a retry of what failed";
        default: return std::to_wstring(batch.notices) + (batch.notices == 1 ? L" change" : L" changes");
    }
}

// What a pass of the watch ended with.
struct PassEnd {
    int result;             // its RUN_ or WALK_ code
    long long updated;      // the dirs and files it updated
    long long failed;       // the entries that failed in it
    long long filesLooked;  // the files it looked at
};

// Runs one pass over scope (null: the whole tree).
PassEnd runPass(Terminal* terminal, const CliOptions& options, RunOptions runOptions, WatchScope* scope) {
    runOptions.scope = scope;
    runContext.hadErrors = false;
    long long failedBefore = terminal->tally.failed;
    long long filesBefore = terminal->tally.files;
    int result =
        folderRunWithOptions(runOptions, &terminal->tally, options.folders[0], options.folders[1], options.rules);
    clearProgress(terminal);
    return PassEnd{result, runContext.updatedCount, terminal->tally.failed - failedBefore,
                   terminal->tally.files - filesBefore};
}

// The end of a pass, as its line tells it; true when it went through whole.
// A failure told already (repeated) is not told again.
bool tellPass(Terminal* terminal, const CliOptions& options, const std::wstring& what, const PassEnd& end,
              bool quietWhenNothing, bool repeated) {
    if (repeated && end.result != RUN_OK && end.result != WALK_BROKEN) return false;
    std::wstring updated = std::to_wstring(end.updated) + L" dirs and files updated";
    switch (end.result) {
        case RUN_OK:
            // The first pass's line names the program, as a run's first line would.
            if (!quietWhenNothing || end.updated > 0 || options.show) {
                tell(terminal, options, (quietWhenNothing ? L"" : L"korvane: ") + what + L": " + updated + L".");
            }
            return true;
        case RUN_HAD_ERRORS:
            warn(terminal, L"korvane: " + what + L": " + updated + L"; " + std::to_wstring(end.failed) +
                               L" entries failed (reasons above); tried again later.");
            return false;
        case RUN_DELETES_HELD:
        case RUN_REPLACES_HELD:
            warn(terminal, L"korvane: " + what + L": " + updated + L"; a guard held changes back (" +
                               std::to_wstring(end.result) + L"); tried again later.");
            return false;
        case RUN_EMPTY_SOURCE:
            warn(terminal, L"korvane: " + what + L": refused (" + std::to_wstring(end.result) +
                               L"): FROM holds no file, or next to none; nothing was deleted; tried again later.");
            return false;
        case WALK_BROKEN: return false;
        default:
            warn(terminal,
                 L"korvane: watch: " + what + L": " +
                     std::wstring(end.result < 0 && end.result >= WALK_CLOSE_ERROR ? L"the walk stopped early ("
                                                                                   : L"refused (") +
                     std::to_wstring(end.result) + L"); tried again later.");
            return false;
    }
}

}  // namespace

int watchFolders(Terminal* terminal, const CliOptions& options, const RunOptions& given, int* result) {
    const WideString& from = options.folders[0];
    const WideString& to = options.folders[1];
    RunOptions runOptions = given;
    // TO is held for the whole watch: no other run mixes in it between batches.
    DestinationLock lock;
    int locked = lockDestinationForWatch(to, runOptions, &lock);
    if (locked != RUN_OK) {
        *result = locked;
        writeErrorText(terminal, std::wstring(L"korvane: the watch was ") +
                                     (locked == WALK_BROKEN ? L"stopped before it began (" : L"refused (") +
                                     std::to_wstring(locked) + L").");
        return exitStatusOf(locked);
    }
    runOptions.lockHeld = true;

    WatchState state;
    state.from = from;
    state.settings.delayMilliseconds = options.watchDelayMilliseconds;
    state.settings.rescanMilliseconds = options.watchRescanMilliseconds;
    // Folders the system will not watch are walked every minute, or at each rescan when that comes sooner.
    if (options.watchRescanMilliseconds > 0 && options.watchRescanMilliseconds < state.settings.unwatchedMilliseconds) {
        state.settings.unwatchedMilliseconds = options.watchRescanMilliseconds;
    }
    state.settings.endMilliseconds = options.watchForGiven ? options.watchForMilliseconds : -1;
    // Armed before the first pass: what changes during it is told after it.
    if (!armWatch(&state)) {
        writeErrorText(terminal,
                       L"korvane: FROM [" + text(from) + L"] cannot be watched: " + platformReasonText(state.reason));
        *result = RUN_NO_SOURCE;
        return EXIT_REFUSED;
    }
    PassEnd first = runPass(terminal, options, runOptions, nullptr);
    *result = first.result;
    if (first.result == WALK_BROKEN) {
        endWatch(&state);
        writeErrorText(terminal, L"korvane: the watch was stopped during its first pass (-1).");
        return EXIT_WALK_STOPPED;
    }
    // A first pass refused before any change ends the watch: nothing is known to be kept current.
    if (first.result != RUN_OK && first.result != RUN_HAD_ERRORS && first.result != RUN_DELETES_HELD &&
        first.result != RUN_REPLACES_HELD && !(first.result < 0 && first.result >= WALK_CLOSE_ERROR)) {
        endWatch(&state);
        writeErrorText(terminal, L"korvane: the watch was refused (" + std::to_wstring(first.result) + L").");
        return exitStatusOf(first.result);
    }
    // The Synchronous question was answered for the whole watch.
    terminal->yes = true;
    // A batch's replacement guard counts its share of all To's files, not of the few it looks at.
    runOptions.guardBase = first.filesLooked;
    if (!tellPass(terminal, options, L"watching [" + text(from) + L"]; the first pass", first, false, false)) {
        noteBatchFailed(&state, wholeTree(), first.result == RUN_HAD_ERRORS);
    }
    int lastFailure = first.result;
    bool broken = false;
    for (;;) {
        WatchBatch batch;
        int step = nextWatchBatch(&state, &batch);
        if (step == WATCH_STEP_STOP || step == WATCH_STEP_END) {
            // A stop leaves unmirrored what was gathered, and what waits to be tried again.
            broken = step == WATCH_STEP_STOP && (state.gatheredNotices > 0 || !state.lost.empty() || state.anyFailed);
            break;
        }
        if (step == WATCH_STEP_FAILED) {
            warn(terminal, L"korvane: watch: the watch of FROM failed: " + platformReasonText(state.reason) + L".");
            endWatch(&state);
            *result = RUN_HAD_ERRORS;
            return EXIT_HAD_ERRORS;
        }
        if (step == WATCH_STEP_GONE) {
            warn(terminal, L"korvane: watch: FROM [" + text(from) +
                               L"] went (removed, moved or unmounted); nothing is deleted for it; watching for it to "
                               L"stand again.");
            continue;
        }
        tellLost(terminal, state, batch);
        writeLogLine(WideString((L"Watch batch: " + batchWords(batch) + L".").c_str()));
        for (const std::wstring& folder : batch.unmounted) {
            warn(terminal, L"korvane: watch: the volume on [" + folderText(from, folder) +
                               L"] went: nothing that was on it is copied or deleted until it is back.");
        }
        WatchScope* scope = batch.scope.whole && batch.scope.leftAlone.empty() ? nullptr : &batch.scope;
        WatchScope asked = batch.scope;  // what a retry takes again, before the run adds to it
        long long severalNames = terminal->tally.severalNamesChanged;
        PassEnd end = runPass(terminal, options, runOptions, scope);
        // A file of several names changed: its other names, wherever they are, are brought over too.
        if (terminal->tally.severalNamesChanged > severalNames) askWholePass(&state);
        if (end.result == WALK_BROKEN) {
            broken = true;
            break;
        }
        if (batch.scope.whole && end.result == RUN_OK) runOptions.guardBase = end.filesLooked;
        // A retry that fails as the last failure did says nothing new.
        bool repeated = batch.reason == BATCH_RETRY && end.result == lastFailure;
        if (!tellPass(terminal, options, L"watch: " + batchWords(batch), end, true, repeated)) {
            noteBatchFailed(&state, asked, end.result == RUN_HAD_ERRORS);
            lastFailure = end.result;
        } else {
            noteBatchDone(&state, asked);
        }
    }
    endWatch(&state);
    if (broken) {
        *result = WALK_BROKEN;
        tell(terminal, options, L"korvane: the watch was stopped before the last changes it saw were in TO.");
        return EXIT_WALK_STOPPED;
    }
    if (state.anyFailed) {
        *result = lastFailure == RUN_OK ? RUN_HAD_ERRORS : lastFailure;
        warn(terminal, L"korvane: the watch ended with changes not in TO (reasons above).");
        return exitStatusOf(*result);
    }
    *result = RUN_OK;
    tell(terminal, options, L"korvane: the watch ended; everything it saw is in TO.");
    return EXIT_DONE;
}
