// The folder run's steps: its checks, the copy walk, the guards' counts and the clean-up walk.
#include "engine/folder_run.h"

#include <set>
#include <string>

#include "engine/cleanup.h"
#include "engine/in_the_way.h"
#include "engine/temporaries.h"
#include "engine/entry_reports.h"
#include "engine/folder_times.h"
#include "engine/guards.h"
#include "engine/jobs.h"
#include "engine/moves.h"
#include "engine/read_ahead.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/run_scaffold.h"
#include "engine/update_copy.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "engine/watch.h"
#include "fs/changes.h"
#include "fs/paths.h"

namespace {

// A worker's retime of a folder in which an entry changed after its step:
// both folders asked, the time set where it differs. Nothing is attempted
// where either is no longer a folder.
JobResult retimeOnWorker(const RunState& run, const JobEntry& entry) {
    JobResult result;
    EntryStatus source;
    EntryStatus target;
    if (!platformQueryEntry(entry.entryPath.buffer, &source) || !source.isDirectory) return result;
    if (!platformQueryEntry(entry.target.buffer, &target) || !target.isDirectory) return result;
    if (!folderTimeDiffers(run, entry.target, FolderTime{source.modifiedSeconds, source.modifiedNanoseconds},
                           FolderTime{target.modifiedSeconds, target.modifiedNanoseconds})) {
        return result;
    }
    result.attempted = true;
    result.result =
        changeWriteModifiedTime(run.changes, entry.target.buffer, source.modifiedSeconds, source.modifiedNanoseconds);
    return result;
}

void tellRetime(RunState* run, EntryJob* job) {
    if (!job->result.attempted || job->result.result) return;
    reportCopyFailure(run, job->entry.entryPath, job->entry.target,
                      WideString(platformReasonText(job->result.result.reason).c_str()));
}

// The after-folder step once more for each of the To folders in toFolders
// (From: their counterparts in fromFolders), once each, after everything
// handed over before is told: the folders are looked at and retimed side
// by side on the run's workers, each failure told in the order given.
void refinishFolders(RunState* run, FolderTimes* times, const std::vector<WideString>& fromFolders,
                     const std::vector<WideString>& toFolders) {
    settleJobs(run);
    std::set<std::wstring> done;
    for (size_t at = 0; at < toFolders.size() && at < fromFolders.size(); ++at) {
        if (runStopRequested()) break;
        const WideString& toFolder = toFolders[at];
        if (!done.insert(std::wstring(toFolder.buffer, static_cast<size_t>(toFolder.length))).second) continue;
        if (!readyRetime(run, times, toFolder)) continue;
        EntryJob job;
        job.work = retimeOnWorker;
        job.tell = tellRetime;
        job.entry.entryPath = fromFolders[at];
        job.entry.target = toFolder;
        job.group = folderGroup(toFolder);
        handOver(run, &job);
    }
    settleJobs(run);
}

// A link loop the walk refused is told after what the workers did before.
void reportLinkLoop(DirectoryWalker* walker, const WideString& directoryPath) {
    RunState* run = static_cast<FolderWalk*>(walker->data)->run;
    settleJobs(run);
    reportLinkLoop(run, directoryPath);
}

// A walk that stops early is told with the directory it could not read,
// after what its workers did before.
int endWalk(RunState* run, const DirectoryWalker& walker, int result) {
    settleJobs(run);
    reportWalkStop(run, result, walker.failedDirectory, walker.failureReason);
    return result;
}

int stopRun() {
    reportWalkResult(WALK_BROKEN);
    return WALK_BROKEN;
}

// The kind of change an update made of an entry.
int changeKind(const UpdateOutcome& outcome, bool isDirectory) {
    if (outcome.updatedInPlace) return REPORT_UPDATED;
    return isDirectory ? REPORT_CREATED : REPORT_COPIED;
}

// Tells the end of a folder of the copy walk: its time, once everything
// handed over below it is told (a mirror's marks of it among them).
void tellFolderEnd(RunState* run, EntryJob* job) {
    if (runStopRequested()) return;
    auto* folderWalk = static_cast<FolderWalk*>(job->data);
    bool cleanupFollows = run->replaceLinks;  // a mirror: the clean-up walk comes next
    bool deferred = cleanupFollows && cleanupEnters(*folderWalk->cleanup, job->entry.entryPath, *job->entry.walkRoot);
    finishFolder(run, &folderWalk->times, job->folderTime.get(), job->entry.entryPath, job->entry.target, deferred);
}

// A worker's listing of the To directory facing a folder the copy walk went through.
JobResult listForMarksOnWorker(const RunState&, const JobEntry& entry) {
    JobResult result;
    listForMarks(entry.target, &result.listed, &result.listOpened, &result.listWhole);
    return result;
}

// Marks, in turn, what the clean-up walk must look at in that directory.
void tellMarks(RunState*, EntryJob* job) {
    auto* folderWalk = static_cast<FolderWalk*>(job->data);
    markFromListing(folderWalk->cleanup, job->entry.entryPath, *job->entry.walkRoot, &job->names, job->result.listed,
                    job->result.listOpened, job->result.listWhole);
}

// After-directory handler of the copy walk: a mirror's marks of where To
// may hold surplus, To's directory listed on a worker, the walk going on
// meanwhile; then the folder's time; each handed over to be told in turn.
bool afterCopiedFolder(DirectoryWalker* walker, const WideString& directory, const WideString& walkRoot,
                       const WideString& otherRoot) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    if (folderWalk->cleanup->pruning && !markFromTakenListing(walker, directory, walkRoot, otherRoot)) {
        EntryJob marks;
        // Listed by a reader while the walk went through the folder, or listed now on a worker.
        CounterpartListing& ahead = walker->aheadCounterpart;
        if (ahead.known) {
            marks.result.listed.swap(ahead.names);
            marks.result.listOpened = true;
            marks.result.listWhole = ahead.whole;
            ahead = CounterpartListing();
        } else {
            marks.work = listForMarksOnWorker;
        }
        marks.tell = tellMarks;
        marks.entry.entryPath = directory;
        marks.entry.walkRoot = &walkRoot;
        marks.entry.otherRoot = &otherRoot;
        marks.entry.target = counterpartPath(directory, walkRoot, otherRoot);
        if (!endsWithSeparator(marks.entry.target)) marks.entry.target.AppendSeparator();
        marks.names.swap(walker->completedNames);
        marks.data = folderWalk;
        marks.group = folderGroup(marks.entry.target);
        handOver(folderWalk->run, &marks);
    }
    std::shared_ptr<FolderTimeFrame> frame = frameAt(folderWalk->times, walker->descent.size());
    if (!frame) return true;
    EntryJob job;
    job.tell = tellFolderEnd;
    job.entry.entryPath = directory;
    job.entry.walkRoot = &walkRoot;
    job.entry.target = counterpartPath(directory, walkRoot, otherRoot);
    job.data = folderWalk;
    job.folderTime = frame;
    handOver(folderWalk->run, &job);
    return true;
}

// Brings one entry of the copy walk up to date and tells it in turn;
// counted: the entry is counted among those examined.
void updateWalkEntry(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot, bool counted);

// The clean-up walk of a mirror: through To, deleting what From lacks,
// everything it handed over told when it ends.
int cleanupWalk(RunState* run, DirectoryWalker* sweeper, CleanupState* cleanup, const WideString& from,
                const WideString& to) {
    sweeper->enterLinks = false;
    sweeper->avoidIdentity = platformDirectoryIdentity(from.buffer, &sweeper->avoided);
    sweeper->passesBy = cleanupPassesBy;
    // Its listings are read ahead where the marks lead it, its entries asked as they come.
    if (!run->options.scope && !runContext.ruleActive) {
        sweeper->readAhead = AheadSettings{readersFor(run->options.jobs, from, to), false, cleanupMayEnter, cleanup};
    }
    startCleanupScopes(cleanup);
    int result = walk(sweeper, to, from);
    settleJobs(run);
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    return result;
}

// What a mirror would delete, counted before it deletes anything: the To
// entries of another kind held back, then the clean-up walk, on the run's
// thread alone, by a run of the count's own: its changes simulated on top
// of what the run has done so far, telling no one, keeping no version and
// leaving folder times to the real clean-up walk, which finds them as they
// are. sweeper walks for it, its data the count's own until the count
// ends. The walk's result; the count in *count. No worker has work meanwhile.
int countDeletions(const RunState& run, DirectoryWalker* sweeper, CleanupState* cleanup, const WideString& from,
                   const WideString& to, long long* count) {
    RunTally tally;
    Changes changes;
    simulateOnTop(&changes, *run.changes);
    RunState counting{run.options, tally};
    counting.changes = &changes;
    counting.steps = run.steps;
    counting.links = run.links;
    counting.versions = run.versions;  // what is the versions folder is no entry to count
    counting.replaceLinks = run.replaceLinks;
    counting.patterns = run.patterns;
    counting.moves = run.moves;  // what a move takes is no deletion
    counting.thread = run.thread;
    counting.counting = true;
    for (const WideString& entry : run.heldKindChanges) {
        WideString target = counterpartPath(entry, from, to);
        EntryState existing = queryEntryState(target);
        if (!existing.queried) continue;
        WideString why;
        if (existing.isDirectory && !existing.status.isLink) {
            removeTreeInTheWay(&counting, to, target, &why);
        } else {
            deleteFileInTheWay(&counting, target, existing.status.isLink, &why);
        }
    }
    FolderWalk walk{&counting, cleanup, {}, {}, {}};
    sweeper->data = &walk;
    int result = cleanupWalk(&counting, sweeper, cleanup, from, to);
    sweeper->data = nullptr;
    *count = counting.counted;
    return result;
}

// Brings up to date the From entries whose To entry of another kind waited
// for the deletion guard, a directory with everything below it, each told
// in turn; the folder holding each takes its From time again once it is
// done, as its own step came before.
int replayHeldBack(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to) {
    FolderTimes& times = static_cast<FolderWalk*>(walker->data)->times;
    std::vector<WideString> held;
    held.swap(run->heldKindChanges);
    for (const WideString& entry : held) {
        if (runStopRequested()) return WALK_BROKEN;
        EntryStatus status{};
        bool isLink = platformIsLink(entry.buffer);
        walker->current =
            ListedEntry{platformQueryEntry(entry.buffer, &status) && status.isDirectory, isLink, false, EntryStatus{}};
        walker->currentName = NAME_PLAIN;  // its name was looked at when the walk met it
        walker->skipDescent = false;
        updateWalkEntry(walker, entry, from, to, false);
        if (walker->current.isDirectory && !walker->skipDescent && !(isLink && run->options.copyLinks)) {
            int result = walkDirectory(walker, entry, from, to);
            if (result != WALK_OK) return result;
        }
        if (!times.on) continue;
        settleJobs(run);
        if (runStopRequested()) return WALK_BROKEN;
        int32_t cut = entry.FindLastSeparator();
        WideString fromFolder = cut < from.length ? from : entry.Left(cut);
        refinishFolder(run, &times, fromFolder, counterpartPath(fromFolder, from, to));
    }
    return runStopRequested() ? WALK_BROKEN : WALK_OK;
}

// Brings up to date the new From entries that waited for the moves, in
// the walk's order, as many side by side as the run has workers: one a
// move put in place is found up to date (or mended), the rest copied; then
// the folders holding them take their From times again, each once, as
// their steps came before. A folder that cannot be read does not end it:
// the entries after it are brought up to date all the same, and the first
// such stop is returned at the end, the walker holding what it tells.
int replayNewEntries(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to) {
    if (!run->moves) return WALK_OK;
    run->moves->holding = false;
    std::vector<HeldEntry> held = heldNewEntries(*run->moves);
    int stopped = WALK_OK;
    WideString failedDirectory;
    WideString failureReason;
    for (const HeldEntry& entry : held) {
        if (runStopRequested()) return WALK_BROKEN;
        walker->current = ListedEntry{entry.isDirectory, entry.isLink, false, EntryStatus{}};
        walker->currentName = NAME_PLAIN;  // its name was looked at when the walk met it
        walker->skipDescent = false;
        updateWalkEntry(walker, entry.path, from, to, false);
        if (!walker->current.isDirectory || walker->skipDescent || (entry.isLink && run->options.copyLinks)) continue;
        int result = walkDirectory(walker, entry.path, from, to);
        if (result == WALK_BROKEN) return result;
        if (result != WALK_OK && stopped == WALK_OK) {
            stopped = result;
            failedDirectory = walker->failedDirectory;
            failureReason = walker->failureReason;
        }
    }
    std::vector<WideString> fromFolders;
    std::vector<WideString> toFolders;
    for (const HeldEntry& entry : held) {
        int32_t cut = entry.path.FindLastSeparator();
        fromFolders.push_back(cut < from.length ? from : entry.path.Left(cut));
        toFolders.push_back(counterpartPath(fromFolders.back(), from, to));
    }
    refinishFolders(run, &static_cast<FolderWalk*>(walker->data)->times, fromFolders, toFolders);
    if (runStopRequested()) return WALK_BROKEN;
    walker->failedDirectory = failedDirectory;
    walker->failureReason = failureReason;
    return stopped;
}

// Where no move comes (a walk that stopped early, a guard that held the
// clean-up back), copies what waited for moves as without them.
int copyWhatWaited(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to) {
    if (!run->moves) return WALK_OK;
    endMoveCount(run->moves);
    int result = replayNewEntries(run, walker, from, to);
    settleJobs(run);
    return result;
}

// Tells each From entry whose To entry of another kind was left waiting, and which guard held it.
void reportHeldKindChanges(RunState* run, const WideString& from, const WideString& to, const wchar_t* why) {
    for (const WideString& entry : run->heldKindChanges) {
        reportEntryFailure(
            run, WideString(L"! Error => Copy failure: [") + pathPair(entry, counterpartPath(entry, from, to)) + L"]",
            entry, WideString(why), counterpartPath(entry, from, to));
    }
    run->heldKindChanges.clear();
}

// Brings up to date the From files whose To file waited for the
// replacement guard, each told in turn, as many side by side as the run
// has workers; then the folders holding them take their From times again,
// as their steps came before.
int replayReplacements(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to) {
    std::vector<WideString> held;
    held.swap(run->heldReplacements);
    run->replaying = true;
    for (const WideString& entry : held) {
        if (runStopRequested()) break;
        walker->current = ListedEntry{false, platformIsLink(entry.buffer), false, EntryStatus{}};
        walker->currentName = NAME_PLAIN;  // its name was looked at when the walk met it
        walker->skipDescent = false;
        updateWalkEntry(walker, entry, from, to, false);
    }
    settleJobs(run);
    run->replaying = false;
    std::vector<WideString> fromFolders;
    std::vector<WideString> toFolders;
    for (const WideString& entry : held) {
        WideString folder = entry.Left(entry.FindLastSeparator());
        fromFolders.push_back(folder.length < from.length ? from : folder);
        toFolders.push_back(counterpartPath(fromFolders.back(), from, to));
    }
    refinishFolders(run, &static_cast<FolderWalk*>(walker->data)->times, fromFolders, toFolders);
    return runStopRequested() ? WALK_BROKEN : WALK_OK;
}

// The replacement guard's step, once the copy walk is through: the waiting
// replacements go, each told in turn, or they are held back with whatever
// a mirror would delete (synchronous), or the front end was asked and said
// No. RUN_OK, RUN_REPLACES_HELD, RUN_DECLINED, or WALK_BROKEN for a stop.
int settleReplacements(RunState* run, DirectoryWalker* walker, const WideString& from, const WideString& to,
                       bool synchronous) {
    run->holdReplacements = false;
    int judged = judgeReplacements(run, to, synchronous);
    if (runStopRequested()) return WALK_BROKEN;
    if (judged == RUN_OK) return replayReplacements(run, walker, from, to);
    if (judged == RUN_REPLACES_HELD) {
        // A mirror's clean-up does not come.
        if (synchronous) finishDeferred(run, &static_cast<FolderWalk*>(walker->data)->times, from, to);
        reportHeldKindChanges(run, from, to, L"held back by the replacement guard");
    }
    return judged;
}

// Tells that the deletion guard held a mirror's deletions back: each entry
// of another kind left waiting, then the count and the limit.
void reportHeldBack(RunState* run, const WideString& from, const WideString& to, long long count) {
    reportHeldKindChanges(run, from, to, L"held back by the deletion guard");
    run->tally.heldBack = count;
    refuse(RUN_DELETES_HELD, WideString(L"! Error => Deletion guard: the mirror would delete [") + decimalText(count) +
                                 L"] entries, more than the limit [" + decimalText(run->options.maxDelete) +
                                 L"]; nothing was deleted.");
}

// Makes ruleTexts, which name what is left out when excludes, and the
// options' shell patterns the rules of scaffold's run (none: every entry is
// taken); RUN_BAD_RULE, with its lines written and shown, when one cannot
// be compiled, and no rule is active then.
int takeRules(RunScaffold* scaffold, const std::vector<WideString>& ruleTexts, bool excludes) {
    const std::vector<PathPattern>& patterns = scaffold->run.options.patterns;
    runContext.ruleActive = !ruleTexts.empty() || !patterns.empty();
    if (!runContext.ruleActive) return RUN_OK;
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
    runContext.ruleExcludes = excludes;
    scaffold->patterns = PatternRules{patterns, {}, {}, {}};
    scaffold->run.patterns = &scaffold->patterns;
    return RUN_OK;
}

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
    // The window's user has no option to give: its guards refuse, or ask.
    RunOptions options;
    options.synchronous = synchronous;
    options.ruleExcludes = ruleExcludes;
    options.showCopyFile = showCopyFile;
    options.refuseEmptySource = true;
    options.replaceGuard = REPLACE_GUARD_ASK;
    RunTally tally;
    return folderRunWithOptions(options, &tally, from, to, ruleTexts);
}

int folderRunWithOptions(const RunOptions& options, RunTally* tally, const WideString& from, const WideString& to,
                         const std::vector<WideString>& ruleTexts) {
    bool synchronous = options.synchronous;
    RunScaffold scaffold(options, tally);
    RunState& run = scaffold.run;
    openRun(&scaffold);
    if (synchronous) {
        // The question keeps the program's own words ("is not exist"), on purpose.
        showStatus(STATUS_NOTICE, WideString(L"[Synchronous] will delete the dirs and files from [To Folder] which "
                                             L"is not exist in [From Folder]."));
        bool yes =
            askYesNo(WideString(L"[Synchronous] will delete the dirs and files from [To Folder]\n"
                                L"which is not exist in [From Folder].\n\nDo you want to continue?"));
        if (runStopRequested()) return stopRun();
        if (!yes) return RUN_DECLINED;
    }
    // A dry run of a To Folder yet to be made finds it empty: nothing to lock, guard or clean up.
    bool toMissing = options.dryRun && options.toToBeMade;
    int refused = checkRunFolders(from, to, toMissing);
    if (refused != RUN_OK) return refused;
    if (sourceInsideDestination(from, to)) {
        return refuse(RUN_SOURCE_INSIDE_DEST,
                      WideString(L"! Error => Source dir can not be the subdir of [") + to + L"].");
    }
    refused = toMissing ? RUN_OK : checkMountsInDestination(from, to);
    if (refused != RUN_OK) return refused;

    refused = takeRules(&scaffold, ruleTexts, options.ruleExcludes);
    if (refused != RUN_OK) return refused;
    // A rule judges each entry on its own, and takes folders only on the way
    // to what it takes: a mirror under a rule copies and deletes as before.
    MoveIndex moves;
    if (synchronous && options.moves && !toMissing && !runContext.ruleActive) {
        startMoves(&moves, true, true);
        run.moves = &moves;
        run.holdingNew = &moves.holding;
    }
    // A To Folder yet to be made holds nothing to keep, and nothing a mirror would take.
    refused = prepareRunStores(&scaffold, from, to, toMissing);
    if (refused != RUN_OK) return refused;
    if (synchronous && !toMissing && options.refuseEmptySource) {
        refused = guardEmptySource(&run, from, to);
        if (refused != RUN_OK) return refused;
    }
    runContext.showCopyFile = options.showCopyFile;
    run.replaceLinks = synchronous;
    run.sweepTemporaries = !synchronous;  // a mirror's clean-up meets them anyway
    if (runStopRequested()) return stopRun();
    if (!toMissing) {
        refused = guardDestination(to);
        if (refused != RUN_OK) return refused;
    }
    refused = startRunWork(&scaffold, from, to);
    if (refused != RUN_OK) return refused;

    runContext.updatedCount = 0;
    CleanupState cleanup;
    FolderWalk folderWalk{&run, &cleanup, {}, {}, {}};
    DirectoryWalker walker = makeWalker(copyFileHandler, nullptr);
    walker.data = &folderWalk;
    walker.loopHandler = reportLinkLoop;
    walker.foldNames = true;
    if (synchronous && !runContext.ruleActive && !toMissing) {
        markSurplusInCopyWalk(&cleanup, true, platformFoldsCase(to.buffer));
        walker.afterDirectoryHandler = afterCopiedFolder;
        walker.keepNames = true;
    }
    // A To Folder a dry run would make first has no folder times to keep.
    bool folderTimes = options.folderTimes && !toMissing;
    if (folderTimes) walker.afterDirectoryHandler = afterCopiedFolder;
    // Under a rule the To Folder is one the rule does not take: its time follows what changed in it.
    beginFolderTimes(&folderWalk.times, folderTimes, &run, from, to, !runContext.ruleActive);
    // The To Folder reached inside the From Folder under another spelling is
    // not copied into itself.
    walker.avoidIdentity = platformDirectoryIdentity(to.buffer, &walker.avoided);
    // A watch's batch enters few of the folders it passes, and rules may
    // leave out what should not even be listed: nothing is read ahead there.
    if (!options.scope && !runContext.ruleActive) walker.readAhead.readers = readersFor(options.jobs, from, to);
    // To's folders for the marks: listed by the readers where no worker
    // lists them beside the walk, or where requests do not wait (a local
    // volume, where a worker would only take a core from the walk).
    bool requestsWait = platformRequestsWait(to.buffer) || platformRequestsWait(from.buffer);
    walker.readAhead.listsCounterparts = cleanup.pruning && (scaffold.jobs.workers <= 1 || !requestsWait);
    if (run.sweepTemporaries && removeDeadTemporaries(run.changes, to, from) && folderTimes)
        folderWalk.times.frames[0]->touched = true;
    // The deletion guard counts first: a To entry of another kind waits for its count.
    run.holdKindChanges = synchronous && !toMissing && options.maxDelete >= 0;
    // So does the replacement guard: a To file a copy would replace waits for its count.
    run.holdReplacements = !toMissing && options.replaceGuard != REPLACE_GUARD_OFF;
    int result = walk(&walker, from, to);
    settleJobs(&run);
    moves.holding = false;
    if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
    // A walk that could not read a folder still makes the replacements it
    // found before, as far as the guard lets them go; a stop starts nothing more.
    if (result != WALK_OK && result != WALK_BROKEN && run.holdReplacements) {
        settleReplacements(&run, &walker, from, to, false);
    }
    // Nothing is deleted after such a walk, so nothing moves: what waited is copied.
    if (result != WALK_OK && result != WALK_BROKEN) copyWhatWaited(&run, &walker, from, to);
    if (result != WALK_OK) return endWalk(&run, walker, result);

    bool replacesHeld = false;
    if (run.holdReplacements) {
        int settled = settleReplacements(&run, &walker, from, to, synchronous);
        if (settled == WALK_BROKEN) return endWalk(&run, walker, settled);
        if (settled == RUN_DECLINED) {
            copyWhatWaited(&run, &walker, from, to);
            return settled;
        }
        replacesHeld = settled == RUN_REPLACES_HELD;
    }

    bool heldBack = false;
    bool newEntriesDone = false;  // what waited for moves is copied
    if (synchronous && !toMissing && !replacesHeld) {
        DirectoryWalker sweeper = makeWalker(deleteFileHandler, removeDirectoryHandler);
        sweeper.loopHandler = reportLinkLoop;
        // Moves are planned by the count: where the copy walk saw no surplus in To, none can be.
        bool guardCounts = run.holdKindChanges;
        bool planMoves = !moves.candidates.empty() && mayHoldSurplus(cleanup);
        if (guardCounts || planMoves) {
            long long count = 0;
            result = countDeletions(run, &sweeper, &cleanup, from, to, &count);
            if (result != WALK_OK) {
                copyWhatWaited(&run, &walker, from, to);
                return endWalk(&run, sweeper, result);
            }
            run.holdKindChanges = false;
            // Moves go first: one that cannot be made is a deletion after all, which the guard counts.
            if (run.moves && !(guardCounts && count > options.maxDelete)) {
                MovesMade made = makePlannedMoves(&run, from, to);
                count += made.fellBack;
                // A folder a move took an entry out of takes its From time again.
                std::vector<WideString> fromFolders;
                for (const WideString& toFolder : made.left) fromFolders.push_back(counterpartPath(toFolder, to, from));
                refinishFolders(&run, &folderWalk.times, fromFolders, made.left);
            }
            heldBack = guardCounts && count > options.maxDelete;
            if (heldBack) {
                finishDeferred(&run, &folderWalk.times, from, to);
                reportHeldBack(&run, from, to, count);
            }
        }
        if (!heldBack) {
            result = replayHeldBack(&run, &walker, from, to);
            settleJobs(&run);
            // What moves did not bring is copied before anything is deleted: a
            // folder that cannot be read stops the run before its clean-up.
            if (result == WALK_OK) result = replayNewEntries(&run, &walker, from, to);
            settleJobs(&run);
            newEntriesDone = true;
            run.moves = nullptr;
            if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
            if (result != WALK_OK) return endWalk(&run, walker, result);
            // Where the marks prove To holds nothing From lacks, the clean-up
            // would list To's root and pass every name by: nothing to walk.
            if (mayHoldSurplus(cleanup)) {
                beginFolderTimes(&folderWalk.times, folderTimes, &run, from, to, false);
                sweeper.data = &folderWalk;
                result = cleanupWalk(&run, &sweeper, &cleanup, from, to);
                if (result != WALK_OK) return endWalk(&run, sweeper, result);
            }
        }
    }
    if (!newEntriesDone) {
        result = copyWhatWaited(&run, &walker, from, to);
        if (result == WALK_OK && runStopRequested()) result = WALK_BROKEN;
        if (result != WALK_OK) return endWalk(&run, walker, result);
    }
    // A versions folder the run made inside To moved the time of the folder holding it.
    if (folderTimes && scaffold.versions.madeIn.length > 0 && !runStopRequested()) {
        refinishFolder(&run, &folderWalk.times, counterpartPath(scaffold.versions.madeIn, to, from),
                       scaffold.versions.madeIn);
    }
    int directoryTotal = walker.directoryCount;
    int fileTotal = walker.fileCount;
    endJobs(&run);  // expiry removes run folders on the run's thread alone
    expireVersions(&run, from, to);

    if (runContext.hadErrors || (runContext.showCopyFile && runContext.updatedCount > 0)) {
        writeEmptyLine();
    }
    writeLogLine(WideString(L"End of copy [") + pathPair(from, to) + L"].");
    writeEmptyLine();
    runContext.messageText =
        WideString(L"Total: [") + WideString(directoryTotal) + L" dirs] and [" + WideString(fileTotal) + L" files].";
    writeMessageLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.updatedCount) + L" dirs and files]. ");
    if (replacesHeld) return RUN_REPLACES_HELD;
    if (heldBack) return RUN_DELETES_HELD;
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}

namespace {

// An entry whose name no path reaches, or whose name in To would reach
// another entry, is told (after what the workers did before) and left out
// with what lies below it; true when
// the entry is left so. Where To tells case apart, names equal but for case
// are copied as any.
bool leftOutForItsName(RunState* run, DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                       const WideString& otherRoot) {
    if (walker->currentName == NAME_HOLDS_SEPARATOR) {
        settleJobs(run);
        reportEntryFailure(run, WideString(L"! Error => Name holds a path separator, not copied: [") + entryPath + L"]",
                           entryPath, WideString());
        pumpMessages();
        return true;
    }
    if (walker->currentName != NAME_FOLDS || !targetFoldsCase(counterpartPath(entryPath, walkRoot, otherRoot))) {
        return false;
    }
    settleJobs(run);
    reportNameTaken(run, entryPath, WideString(walker->currentFoldsOnto.c_str()), true);
    walker->skipDescent = true;
    return true;
}

}  // namespace

namespace {

// Tells what the update of one entry of the copy walk found and did. The
// step of its plan that a worker left for the run's thread (removing what
// stands in the way) is done here first, in turn.
JobResult updateOnWorker(const RunState& run, const JobEntry& entry);

void tellUpdate(RunState* run, EntryJob* job) {
    if (job->result.update.waitsForRunThread) finishOnRunThread(run, &job->result.update);
    // A new entry waits for the moves, as long as they take one more; past
    // their bound it is brought up to date now, in turn, as one worker would.
    if (job->result.update.outcome.heldNew) {
        const EntryState& source = job->result.update.facts.source.state;
        if (holdNewEntry(run->moves, job->entry.entryPath, source.status, source.isDirectory,
                         job->entry.listed.isLink)) {
            return;
        }
        job->result = updateOnWorker(*run, job->entry);
        if (job->result.update.waitsForRunThread) finishOnRunThread(run, &job->result.update);
    }
    const UpdateOutcome& outcome = job->result.update.outcome;
    noteOutcome(run, outcome);
    if (outcome.facedFile) ++run->comparedFiles;
    // What waits for a guard's count is noted in the walk's order, whatever
    // worker found it due.
    if (outcome.heldBack) {
        run->heldKindChanges.push_back(job->entry.entryPath);
        return;
    }
    if (outcome.replaceHeld) {
        run->heldReplacements.push_back(job->entry.entryPath);
        return;
    }
    if (runStopRequested() && !outcome.upToDate) return;  // cut short by the stop: nothing to tell
    const WideString& entryPath = job->entry.entryPath;
    if (!job->spelling.empty() && outcome.upToDate) {
        respellInTo(run, counterpartPath(entryPath, *job->entry.walkRoot, *job->entry.otherRoot), job->spelling);
    }
    auto target = [job] { return counterpartPath(job->entry.entryPath, *job->entry.walkRoot, *job->entry.otherRoot); };
    // The version of what the update replaced comes first, as it was kept first.
    KeepResult kept = outcome.kept.result;
    if (kept == KEEP_MOVED || kept == KEEP_BESIDE) reportKept(run, target());
    if (kept == KEEP_FAILED) {
        reportVersionFailure(run, target(), outcome.kept);
    } else if (outcome.versionsInTheWay) {
        reportEntryFailure(run, WideString(L"! Error => Copy failure: [") + pathPair(entryPath, target()) + L"]",
                           entryPath, outcome.reason, target());
        pumpMessages();
    } else if (outcome.programsOwnName) {
        reportProgramsOwnName(run, entryPath);
    } else if (outcome.notPlainFile) {
        reportNotPlainFile(run, entryPath);
    } else if (outcome.sourceDamaged && !outcome.upToDate) {
        reportSourceDamaged(run, outcome, entryPath, target());
    } else if (outcome.upToDate) {
        if (runContext.showCopyFile) {
            showStatus(STATUS_INFO, entryPath);
            pumpMessages();
        }
        if (outcome.changeAttempted) {
            reportContentsFound(run, outcome, pathPair(entryPath, target()));
            WideString line =
                WideString(outcome.updatedInPlace ? L"  MD: [" : L"  CP: [") + pathPair(entryPath, target()) + L"]";
            if (runContext.showCopyFile) writeLogLine(line);
            reportChange(run, changeKind(outcome, job->isDirectory), line, entryPath, outcome.copiedBytes);
            // Its other names lie in folders a watch's batch may not look at.
            if (outcome.severalNames && run->options.scope) ++run->tally.severalNamesChanged;
        }
        // What is told after this, up to the folder's end, is what happened in it.
        if (job->folderTime) job->folderTime->activity = runActivity(run);
    } else if (outcome.nameTakenBy.length > 0) {
        reportNameTaken(run, entryPath, outcome.nameTakenBy, false);
    } else if (outcome.linkInTheWay) {
        reportLinkInTheWay(run, target());
    } else if (outcome.changeAttempted) {
        reportCopyFailure(run, entryPath, target(), outcome.reason);
    }
}

// A worker's part of an update: its plan, carried out up to what would
// remove an entry in the way.
JobResult updateOnWorker(const RunState& run, const JobEntry& entry) {
    UpdateAsk ask;
    ask.listed = &entry.listed;
    ask.targetMissing = entry.targetMissing;
    ask.targetListed = entry.targetListed ? &entry.targetStatus : nullptr;
    JobResult result;
    result.update = planUpdate(run, *entry.walkRoot, *entry.otherRoot, entry.entryPath, ask);
    carryOutPlan(run, &result.update);
    return result;
}

// The name To holds target under, from the listing of its folder at depth
// (listedTarget's), where it differs from target's in case alone; empty
// when it does not, or the listing cannot tell.
std::wstring spelledOtherwise(FolderWalk* walk, size_t depth, const WideString& target) {
    if (walk->targetLevels.size() <= depth) return std::wstring();
    TargetListing& level = walk->targetLevels[depth];
    int32_t cut = target.FindLastSeparator();
    if (!level.whole || !(level.directory == target.Left(cut + 1))) return std::wstring();
    std::wstring name(target.buffer + cut + 1, static_cast<size_t>(target.length - cut - 1));
    if (level.folded.empty()) {
        for (const TargetName& listed : level.names) {
            std::wstring key;
            platformFoldName(listed.name.c_str(), &key);
            level.folded.emplace(key, listed.name);
        }
    }
    std::wstring key;
    platformFoldName(name.c_str(), &key);
    auto at = level.folded.find(key);
    return at == level.folded.end() || at->second == name ? std::wstring() : at->second;
}

// Whether the run made the To directory listed at depth just now.
bool madeAt(const FolderWalk& walk, size_t depth) { return depth < walk.madeLevels.size() && walk.madeLevels[depth]; }

void setMadeAt(FolderWalk* walk, size_t depth, bool made) {
    if (walk->madeLevels.size() <= depth) walk->madeLevels.resize(depth + 1, 0);
    walk->madeLevels[depth] = made ? 1 : 0;
}

// The status the listing of target's To directory (at depth) gave of
// target, or null: it is then asked as usual. The directory is listed once,
// when its first entry comes, as the walk's From listing came; only where
// listings tell statuses (the entry's own listing did) is it worth it, one
// request for the folder instead of one for each entry. A link, an entry
// the listing could not tell, a name spelt otherwise in To and a To
// directory that cannot be listed all leave the entry to be asked.
const EntryStatus* listedTarget(FolderWalk* walk, size_t depth, const WideString& target) {
    if (walk->targetLevels.size() <= depth) walk->targetLevels.resize(depth + 1);
    TargetListing& level = walk->targetLevels[depth];
    int32_t cut = target.FindLastSeparator();
    WideString directory = target.Left(cut + 1);
    if (!(level.directory == directory)) {
        level.directory = directory;
        level.status.clear();
        level.names.clear();
        level.folded.clear();
        int reason = 0;
        DirectoryListing* listing = platformOpenListing(directory.buffer, &reason);
        DirectoryEntry entry;
        while (listing && platformNextEntry(listing, &entry)) {
            if (isDotEntry(entry.name)) continue;
            level.names.push_back(TargetName{entry.name, entry.isDirectory, entry.isLink});
            if (entry.statusKnown && !entry.isLink) level.status[entry.name] = entry.status;
        }
        // A listing cut short may have told of entries it did not reach: none is trusted.
        level.whole = listing && platformCloseListing(listing);
        if (!level.whole) level.status.clear();
    }
    auto at = level.status.find(std::wstring(target.buffer + cut + 1, static_cast<size_t>(target.length - cut - 1)));
    return at == level.status.end() ? nullptr : &at->second;
}

}  // namespace

bool copyFileHandler(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot) {
    updateWalkEntry(walker, entryPath, walkRoot, otherRoot, true);
    return true;
}

namespace {

// A file goes to the run's workers; a directory (or a link to one) is
// brought up to date here, as the walk needs to know whether to enter it,
// and so is a name that may be another's short name, once every earlier
// copy is in place. Either way it is told in turn.
void updateWalkEntry(DirectoryWalker* walker, const WideString& entryPath, const WideString& walkRoot,
                     const WideString& otherRoot, bool counted) {
    auto* folderWalk = static_cast<FolderWalk*>(walker->data);
    RunState* run = folderWalk->run;
    noteEntryDone(run, entriesHandedOver(*walker));
    noteEntryAt(*run, entryPath);
    size_t depth = listingDepth(*walker);
    // Outside a walk (an entry held back by the deletion guard) a directory's own walk starts at 0.
    size_t below = depth == SIZE_MAX ? 0 : depth + 1;
    // Until it is known to be made, what lies below a directory is looked at.
    if (walker->current.isDirectory) setMadeAt(folderWalk, below, false);
    // A link copied as a link is an entry of its own, whatever it names.
    bool linkAsItself = run->options.copyLinks && walker->current.isLink;
    bool isDirectory = walker->current.isDirectory && !linkAsItself;
    // A watch's batch looks at the folders that changed alone, entering others only on the way to them.
    bool scopeEnters = true;
    if (!scopeTakes(run->options.scope, entryPath, walkRoot, isDirectory, &scopeEnters)) {
        walker->skipDescent = true;
        walker->leftBelow = true;
        return;
    }
    if (counted) ++(isDirectory ? run->tally.directories : run->tally.files);
    bool framed = isDirectory && folderWalk->times.on;
    if (framed) folderFrame(&folderWalk->times, below, run);
    // The rules decide first, before anything is learned of the entry.
    int rule = judgeByRules(*run, entryPath, walkRoot, isDirectory);
    int ruled = rule == RULE_TAKE ? PLAN_ASK : planByRules(*run, rule);
    if (ruled == PLAN_RULE_LEAVES || ruled == PLAN_RULE_UNJUDGED) {
        if (ruled == PLAN_RULE_UNJUDGED) settleJobs(run);         // told after what the workers did before
        if (rule == RULE_SKIP_BELOW) walker->skipDescent = true;  // all below it is left out too
        leaveByRule(run, walker, entryPath, ruled == PLAN_RULE_UNJUDGED, counted);
        walker->takeName = false;
        if (framed && !walker->skipDescent) takeTimeForBelow(frameAt(folderWalk->times, below).get(), run);
        return;
    }
    if (leftOutForItsName(run, walker, entryPath, walkRoot, otherRoot)) return;
    // A dry run's move has told of the entry already.
    int placed = placedByMove(*run, entryPath);
    if (placed == PLACED_MOVED) walker->skipDescent = true;
    if (placed != PLACED_NONE && run->changes->simulated) return;
    EntryJob job;
    job.tell = tellUpdate;
    job.isDirectory = isDirectory;
    JobEntry& entry = job.entry;
    entry.entryPath = entryPath;
    entry.walkRoot = &walkRoot;
    entry.otherRoot = &otherRoot;
    entry.listed = walker->current;
    entry.targetMissing = madeAt(*folderWalk, depth);
    int32_t cut = entryPath.FindLastSeparator();
    bool mayAlias = platformNameMayAlias(entryPath.buffer + cut + 1, static_cast<size_t>(entryPath.length - cut - 1));
    if (!entry.targetMissing && !mayAlias && walker->current.statusKnown) {
        WideString target = counterpartPath(entryPath, walkRoot, otherRoot);
        const EntryStatus* listed = listedTarget(folderWalk, depth, target);
        entry.targetListed = listed != nullptr;
        if (listed) entry.targetStatus = *listed;
        // A mirror gives a name To spells in another case From's spelling;
        // the volume is asked only for a name the listing spells so.
        if (!listed && run->moves) job.spelling = spelledOtherwise(folderWalk, depth, target);
        if (!job.spelling.empty() && !targetFoldsCase(target)) job.spelling.clear();
    }
    // Names of one file (-H) are followed on the run's thread, each file of
    // several names met in the walk's order.
    bool linked = run->options.hardLinks && (!walker->current.statusKnown || walker->current.status.linkCount > 1);
    // Statuses asked ahead by the walk's readers stand for the plan's own queries.
    const AheadStatuses& found = walker->aheadFound;
    if (found.sourceKnown && !mayAlias && !(linked && !walker->current.isDirectory) && !entry.listed.statusKnown) {
        entry.listed.statusKnown = true;
        entry.listed.status = found.source;
        if (found.targetKnown && !entry.targetMissing && !entry.targetListed) {
            entry.targetListed = true;
            entry.targetStatus = found.target;
        }
    }
    if (!walker->current.isDirectory && !mayAlias && !linked) {
        job.work = updateOnWorker;
        job.group = folderGroup(entryPath);
        handOver(run, &job);
        return;
    }
    if (mayAlias) settleJobs(run);
    // What the run's thread asks of To may wait: the workers go on meanwhile.
    startHeldJobs(run);
    UpdateAsk ask;
    ask.listed = &entry.listed;
    ask.targetMissing = entry.targetMissing;
    ask.targetListed = entry.targetListed ? &entry.targetStatus : nullptr;
    EntryUpdate& update = job.result.update;
    update = planUpdate(*run, walkRoot, otherRoot, entryPath, ask);
    carryOutPlan(*run, &update);
    // Whether the moves take one more is known once all before it is told.
    if (update.outcome.heldNew) {
        settleJobs(run);
        if (!run->moves->holding) {
            update = planUpdate(*run, walkRoot, otherRoot, entryPath, ask);
            carryOutPlan(*run, &update);
        }
    }
    // Removing what stands in the way is told now, after what the workers did before.
    if (update.waitsForRunThread) {
        settleJobs(run);
        finishOnRunThread(run, &update);
    }
    const UpdateOutcome& outcome = update.outcome;
    if (!job.spelling.empty() && outcome.upToDate) {
        settleJobs(run);
        respellInTo(run, counterpartPath(entryPath, walkRoot, otherRoot), job.spelling);
        job.spelling.clear();
    }
    // What lies below a link copied as a link, or below a name or a link in
    // To that the entry could not take, or a folder of another user's that
    // could not be made anew, is left as it is; below an entry held back by
    // the deletion guard, until the guard has counted.
    if (outcome.linkCopied || outcome.nameTakenBy.length > 0 || outcome.linkInTheWay || outcome.heldBack ||
        outcome.heldNew || outcome.versionsInTheWay || outcome.programsOwnName || outcome.kept.result == KEEP_FAILED ||
        outcome.othersFolder) {
        walker->skipDescent = true;
    }
    // A folder To lacked, which no change told of, is looked at whole all the same.
    if (!scopeEnters && isDirectory && outcome.madeDirectory && outcome.upToDate) {
        addToScope(run->options.scope, WatchNotice{WATCH_FOLDER_IN, relativeTo(entryPath, walkRoot), false});
        scopeEnters = true;
    }
    if (!scopeEnters && !walker->skipDescent) {
        walker->skipDescent = true;
        walker->leftBelow = true;
    }
    if (isDirectory) setMadeAt(folderWalk, below, outcome.madeDirectory && outcome.upToDate);
    // A directory the run has just made holds no one's temporaries.
    bool touched = !runStopRequested() && outcome.upToDate && run->sweepTemporaries && isDirectory &&
                   !outcome.madeDirectory &&
                   removeDeadTemporaries(run->changes, counterpartPath(entryPath, walkRoot, otherRoot), entryPath);
    // A folder the walk enters takes its time only when its update went through.
    if (framed && outcome.upToDate && scopeEnters) {
        job.folderTime = frameAt(folderWalk->times, below);
        // A folder a move made takes its time as one made now does, untold.
        bool changed = outcome.changeAttempted || placed == PLACED_MADE;
        *job.folderTime = FolderTimeFrame{
            true, outcome.folderTimeDue, changed, touched, true, outcome.sourceSeconds, outcome.sourceNanoseconds, 0};
    }
    handOver(run, &job);
}

}  // namespace
