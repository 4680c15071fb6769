// The list run: the list file read line by line, each entry brought up to date, its folders finished.
#include "engine/list_run.h"

#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "base/separator.h"
#include "engine/entry_reports.h"
#include "engine/folder_times.h"
#include "engine/guards.h"
#include "engine/jobs.h"
#include "engine/list_index.h"
#include "engine/metadata.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/run_scaffold.h"
#include "engine/update_copy.h"
#include "engine/versions.h"
#include "fs/changes.h"
#include "fs/line_reader.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

// What is shown of a line that gives no entry: its bytes, undecodable ones
// escaped, cut short when the line is longer than any path.
const int32_t SHOWN_UNITS_MAX = 200;

// What reading a list gathers besides runContext.listEntries.
struct ListReading {
    int count;                           // the entries stored
    std::vector<ListLineFault>* faults;  // the lines that gave no entry
};

void noteFault(std::vector<ListLineFault>* faults, const ReadLine& line, bool tooLong) {
    WideString shown = DecodeNarrowEscaped(line.bytes.data(), line.bytes.size());
    if (tooLong || shown.length > SHOWN_UNITS_MAX) shown = shown.Left(SHOWN_UNITS_MAX) + L"...";
    faults->push_back(ListLineFault{line.number, runContext.listEntries.count, tooLong, shown});
}

// A line becomes an entry only when all of its bytes decode: a line the code
// page rejects, or holding a NUL, is never kept cut short or empty.
bool storeLine(void* data, ReadLine* read) {
    auto* reading = static_cast<ListReading*>(data);
    ReadLine& line = *read;
    std::string& bytes = line.bytes;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    if (bytes.empty() && !line.overflowed) return true;
    WideString entry;
    bool tooLong = line.overflowed || bytes.size() > LIST_LINE_MAX_BYTES - 4;
    bool decoded = !tooLong && DecodeNarrow(bytes.data(), bytes.size(), &entry);
    if (decoded && static_cast<size_t>(entry.length) > LIST_LINE_MAX_UNITS) tooLong = true;
    if (tooLong || !decoded) {
        noteFault(reading->faults, line, tooLong);
        return true;
    }
    AppendPacked(&runContext.listEntries, entry.buffer, static_cast<size_t>(entry.length));
    ++reading->count;
    return true;
}

// Where the system takes another separator as well (Windows: "/"), an entry
// is written with the platform's own, so that its levels are found and made.
WideString joined(const WideString& folder, const WideString& entry) {
    WideString path = folder;
    path.AppendSeparator();
    WideString tail = entry;
    for (int32_t i = 0; i < tail.length; ++i) {
        if (isComponentSeparator(tail.buffer[i])) tail.buffer[i] = PATH_SEPARATOR;
    }
    return path + tail;
}

}  // namespace

// Lines end in LF, a CR before it is dropped; a byte-order mark at the start
// of any line is dropped; empty lines are skipped. A file that exists but
// cannot be opened or read is an error, not an empty list. Memory grows with
// the entries kept, never with one line beyond LIST_LINE_MAX_BYTES.
int readListFile(const WideString& listFile, std::vector<ListLineFault>* faults, int* reason) {
    if (!platformEntryExists(listFile.buffer)) return -1;
    runContext.listEntries = PackedTexts();
    faults->clear();
    ListReading reading{0, faults};
    if (!readLines(listFile.buffer, LIST_LINE_MAX_BYTES, storeLine, &reading, reason)) return -1;
    return reading.count;
}

bool listEntryLeavesFolder(const WideString& entry) {
    if (isRootedPath(entry.buffer)) return true;
    int32_t start = 0;
    for (int32_t i = 0; i <= entry.length; ++i) {
        if (i < entry.length && !isComponentSeparator(entry.buffer[i])) continue;
        // "." stays where it is; ".." (and on Windows "...", ".. ", read as it) climbs out.
        size_t length = static_cast<size_t>(i - start);
        if (length >= 2 && isDotName(entry.buffer + start, length)) return true;
        start = i + 1;
    }
    return false;
}

namespace {

// Reports, as errors, the lines of faults that gave no entry and stood
// before entry index; gives how many it reported.
int reportLineFaults(RunState* run, const std::vector<ListLineFault>& faults, size_t index, size_t* reported) {
    int count = 0;
    while (*reported < faults.size() && faults[*reported].beforeEntry <= index) {
        if (count == 0) settleJobs(run);  // told after what the workers did before
        const ListLineFault& fault = faults[(*reported)++];
        WideString lineNumber = decimalText(fault.line);
        WideString message = fault.tooLong ? WideString(L"! Error => List entry is longer than any path [") +
                                                 fault.shown + L"] on line [" + lineNumber + L"]."
                                           : WideString(L"! Error => List entry is not valid text in the code page [") +
                                                 fault.shown + L"] on line [" + lineNumber + L"].";
        reportEntryFailure(run, message, fault.shown, WideString());
        ++count;
    }
    return count;
}

}  // namespace

// The folder checks, the list file's checks, then each entry in file order:
// joined to both folders with one separator and brought up to date. No rule,
// no clean-up, no pumping. An entry that would leave the folders is refused.
int ListCopyRun(bool showCopyFile, const WideString& from, const WideString& to, const WideString& listFile) {
    RunOptions options;
    options.showCopyFile = showCopyFile;
    options.replaceGuard = REPLACE_GUARD_ASK;  // the window's user has no option to give: it asks
    RunTally tally;
    return listRunWithOptions(options, &tally, from, to, listFile);
}

namespace {

// A listed entry whose To file waits for the replacement guard's count:
// its paths are read back from the list when it goes.
struct HeldListed {
    PackedAt at;       // where it lies in the list
    bool onRunThread;  // it was brought up to date on the run's thread, not handed over
};

// What a list run's jobs share with it.
struct ListJobs {
    RunTally* tally = nullptr;        // the run's counters
    std::set<std::wstring> inFlight;  // the folded paths of entries handed over and not yet told
    bool folders = false;             // the run gives the folders on its entries' way their From metadata and times
    int32_t prefix = 0;               // the length of a target's To part, up to its entry
    ListFolders marked;               // the folders of To on the way to the listed entries, and those listed
    std::vector<HeldListed> held;     // the entries waiting for the replacement guard, in the list's order
};

// Tells a change the list run made: its line (tag, then the entry's From
// and To paths) on the screen and in the log, and in the run's tally.
void tellListChange(RunState* run, const wchar_t* tag, const WideString& source, const WideString& target, int kind,
                    long long bytes) {
    checkOnRunThread(*run);
    ++runContext.listUpdatedCount;
    WideString line = WideString(tag) + pathPair(source, target) + L"]";
    if (runContext.showCopyFile) {
        runContext.messageText = line;
        writeMessageLine();
        showStatus(STATUS_INFO, runContext.messageText);
    }
    reportChange(run, kind, line, source, bytes);
}

// Notes what the update of the listed entry at target asks of the folders:
// a listed folder is on the way; one the update made, and every folder
// above a change made, a made level being a change of the one above it,
// had its time moved by the run. What a failure moved is told as a time
// alone.
void noteFolderChanges(ListJobs* list, const WideString& target, const UpdateOutcome& outcome) {
    bool changed = outcome.changeAttempted && outcome.upToDate && !outcome.updatedInPlace;
    if (!list->folders || (!outcome.isDirectory && !changed)) return;
    std::string normal = packedText(normalEntry(WideString(target.buffer + list->prefix)));
    if (outcome.isDirectory) markFolder(&list->marked, normal, FOLDER_ON_THE_WAY);
    if (!changed) return;
    if (outcome.isDirectory) markFolder(&list->marked, normal, FOLDER_CHANGED_IN);
    markLevelsAbove(&list->marked, FOLDER_CHANGED_IN, normal);
}

// Once every entry is done, brings each folder on the way to a listed entry,
// and each listed, the deepest first, to its From folder: its metadata (To
// itself aside, as in a folder run) and its time. A folder whose metadata,
// or whose time alone, was not From's is told with an "  MD: [" line; one
// whose time the run moved gets it back without a line. What a stopped run
// left undone is thus done by the next.
void finishListFolders(RunState* run, ListJobs* list, const WideString& from, const WideString& to) {
    for (const std::string* folder : foldersDeepestFirst(list->marked, FOLDER_ON_THE_WAY | FOLDER_CHANGED_IN)) {
        if (runStopRequested()) return;
        WideString below = unpackedText(*folder);
        WideString toFolder = folder->empty() ? to : joined(to, below);
        WideString fromFolder = folder->empty() ? from : joined(from, below);
        EntryState source = queryEntryState(fromFolder);
        EntryState target = queryEntryState(toFolder);
        if (!source.isDirectory || !target.queried || !target.isDirectory || target.status.isLink) continue;
        if (changeTookAway(*run->changes, toFolder.buffer)) continue;
        bool told = false;
        if (!folder->empty() && run->options.updateMetadata) {
            int reason = 0;
            bool changed = false;
            SystemResult written{true, 0};
            if (metadataMend(*run, fromFolder, toFolder, source, target, &reason) != MEND_NONE) {
                written = changeWriteMetadata(run->changes, fromFolder.buffer, toFolder.buffer,
                                              keptMetadata(run->options), &changed);
            }
            if (reason != 0 || !written) {
                reportCopyFailure(run, fromFolder, toFolder,
                                  WideString(platformReasonText(reason ? reason : written.reason).c_str()));
                continue;
            }
            told = changed;
        }
        // A folder whose replacements were held back keeps its time, as its files do.
        if (!folderMarked(list->marked, *folder, FOLDER_HELD_IN) &&
            matchFolderTime(run, fromFolder, toFolder, source.status, target.status) &&
            !folderMarked(list->marked, *folder, FOLDER_CHANGED_IN)) {
            told = true;
        }
        if (told) tellListChange(run, L"  MD: [", fromFolder, toFolder, REPORT_UPDATED, 0);
    }
}

// Renews each folder of To on the way to the entry normal (a normalEntry, packed)
// that another user holds where the run would give it its From folder's
// owner (MEND_ANEW), before anything of the entry goes into it, each
// level once: the folder made anew takes what the old one held, then its
// From folder's metadata, and is told as made ("  CP: ["). False, with the
// reason told, when a folder on the way is another's and stays so: the
// entry is not copied there.
bool renewForeignLevels(RunState* run, ListJobs* list, const WideString& from, const WideString& to,
                        const std::string& normal) {
    const char separator = static_cast<char>(PATH_SEPARATOR);
    for (size_t cut = normal.find(separator); cut != std::string::npos; cut = normal.find(separator, cut + 1)) {
        std::string level = normal.substr(0, cut);
        uint8_t& marks = list->marked[level];
        if ((marks & FOLDER_UNSAFE) != 0) return false;
        if ((marks & FOLDER_LOOKED) != 0) continue;
        marks = static_cast<uint8_t>(marks | FOLDER_LOOKED);
        WideString below = unpackedText(level);
        WideString toFolder = joined(to, below);
        WideString fromFolder = joined(from, below);
        EntryState source = queryEntryState(fromFolder);
        EntryState target = queryEntryState(toFolder);
        if (!source.isDirectory || !target.isDirectory || target.status.isLink) continue;
        int reason = 0;
        if (metadataMend(*run, fromFolder, toFolder, source, target, &reason) != MEND_ANEW) continue;
        settleJobs(run);
        SystemResult renewed = changeRenewDirectory(run->changes, toFolder.buffer);
        bool changed = false;
        if (renewed) {
            renewed = changeWriteMetadata(run->changes, fromFolder.buffer, toFolder.buffer, keptMetadata(run->options),
                                          &changed);
        }
        if (!renewed) {
            markFolder(&list->marked, level, FOLDER_UNSAFE);
            reportCopyFailure(run, fromFolder, toFolder, WideString(platformReasonText(renewed.reason).c_str()));
            return false;
        }
        markFolder(&list->marked, level, FOLDER_CHANGED_IN);
        tellListChange(run, L"  CP: [", fromFolder, toFolder, REPORT_CREATED, 0);
    }
    return true;
}

// True when key names a path on the way to, below, or at one in flight.
bool meetsInFlight(const ListJobs& list, const std::wstring& key) {
    if (list.inFlight.empty()) return false;
    if (list.inFlight.count(key) > 0) return true;
    for (size_t cut = key.find(PATH_SEPARATOR); cut != std::wstring::npos; cut = key.find(PATH_SEPARATOR, cut + 1)) {
        if (list.inFlight.count(key.substr(0, cut)) > 0) return true;
    }
    std::wstring below = key + PATH_SEPARATOR;
    auto at = list.inFlight.lower_bound(below);
    return at != list.inFlight.end() && at->compare(0, below.size(), below) == 0;
}

// True when a name of entry may be another's short name.
bool mayBeAlias(const WideString& entry) {
    int32_t start = 0;
    for (int32_t i = 0; i <= entry.length; ++i) {
        if (i < entry.length && !isComponentSeparator(entry.buffer[i])) continue;
        if (i > start && platformNameMayAlias(entry.buffer + start, static_cast<size_t>(i - start))) return true;
        start = i + 1;
    }
    return false;
}

// A worker's part of a listed entry's update.
JobResult updateListedOnWorker(const RunState& run, const JobEntry& entry) {
    JobResult result;
    result.update = planUpdate(run, *entry.walkRoot, *entry.otherRoot, entry.entryPath, UpdateAsk());
    carryOutPlan(run, &result.update);
    return result;
}

// Tells what the update of one listed entry found and did.
void tellListed(RunState* run, EntryJob* job) {
    auto* list = static_cast<ListJobs*>(job->data);
    if (!job->key.empty()) list->inFlight.erase(job->key);
    EntryUpdate& update = job->result.update;
    if (update.waitsForRunThread) finishOnRunThread(run, &update);  // a list run is no mirror: never so
    const UpdateOutcome& outcome = update.outcome;
    if (job->work) noteOutcome(run, outcome);
    if (outcome.facedFile) ++run->comparedFiles;
    // A replacement waiting for the guard's count is counted and told once it goes.
    if (outcome.replaceHeld) {
        run->heldReplacements.push_back(job->entry.entryPath);
        list->held.push_back(HeldListed{job->place, job->key.empty()});
        return;
    }
    ++(outcome.isDirectory ? list->tally->directories : list->tally->files);
    noteFolderChanges(list, job->entry.target, outcome);
    if (runStopRequested() && !outcome.upToDate) return;  // cut short by the stop: nothing to tell
    const WideString& source = job->entry.entryPath;
    const WideString& target = job->entry.target;
    // The version of what the update replaced comes first, as it was kept first.
    KeepResult kept = outcome.kept.result;
    if (kept == KEEP_MOVED || kept == KEEP_BESIDE) reportKept(run, target);
    if (kept == KEEP_FAILED) {
        reportVersionFailure(run, target, outcome.kept);
    } else if (outcome.programsOwnName) {
        reportProgramsOwnName(run, source);
    } else if (outcome.notPlainFile) {
        reportNotPlainFile(run, source);
    } else if (outcome.sourceDamaged && !outcome.upToDate) {
        reportSourceDamaged(run, outcome, source, target);
    } else if (outcome.linkInTheWay) {
        reportLinkInTheWay(run, target);
    } else if (outcome.nameTakenBy.length > 0) {
        reportNameTaken(run, source, outcome.nameTakenBy, false);
    } else if (!outcome.changeAttempted) {
        return;
    } else if (outcome.upToDate) {
        bool made = outcome.copiedBytes == 0 && outcome.isDirectory;
        int kind = outcome.updatedInPlace ? REPORT_UPDATED : made ? REPORT_CREATED : REPORT_COPIED;
        reportContentsFound(run, outcome, pathPair(source, target));
        tellListChange(run, outcome.updatedInPlace ? L"  MD: [" : L"  CP: [", source, target, kind,
                       outcome.copiedBytes);
    } else {
        // No pumping in a list run: the failure (a versions folder in the way too) is told as it stands.
        reportEntryFailure(run, WideString(L"! Error => Copy failure: [") + pathPair(source, target) + L"]", source,
                           outcome.reason, target);
    }
}

// Hands the listed entry source (target in To, key its folded path, at
// where it lies in the list) over to a worker, or, with no key, brings it up
// to date on the run's thread, its earlier entries told first.
void handOverListed(RunState* run, ListJobs* list, const WideString& from, const WideString& to,
                    const WideString& source, const WideString& target, std::wstring key, PackedAt at) {
    bool onRunThread = key.empty();
    if (onRunThread || meetsInFlight(*list, key)) settleJobs(run);
    EntryJob job;
    job.work = onRunThread ? nullptr : updateListedOnWorker;
    job.tell = tellListed;
    job.entry.entryPath = source;
    job.entry.walkRoot = &from;
    job.entry.otherRoot = &to;
    job.entry.target = target;
    job.data = list;
    job.place = at;
    job.group = folderGroup(target);
    if (onRunThread) {
        job.result.update.outcome = updateEntryNoted(run, from, to, source, nullptr);
    } else {
        list->inFlight.insert(key);
        job.key = std::move(key);
    }
    handOver(run, &job);
}

// The replacement guard's step, once every entry was handed over and told:
// the waiting replacements go, in the list's order, or they are held back
// (RUN_REPLACES_HELD, its line written and shown), or the front end was
// asked and said No (RUN_DECLINED).
int settleListedReplacements(RunState* run, ListJobs* list, const WideString& from, const WideString& to) {
    run->holdReplacements = false;
    int judged = judgeReplacements(run, to, false);
    std::vector<HeldListed> held;
    held.swap(list->held);
    const PackedTexts& entries = runContext.listEntries;
    if (judged == RUN_REPLACES_HELD && list->folders) {
        for (const HeldListed& entry : held) {
            markLevelsAbove(&list->marked, FOLDER_HELD_IN, packedText(normalEntry(listEntryAt(entries, entry.at))));
        }
    }
    if (judged != RUN_OK) return judged;
    run->replaying = true;
    for (const HeldListed& entry : held) {
        if (runStopRequested()) break;
        WideString listed = listEntryAt(entries, entry.at);
        std::wstring key = entry.onRunThread ? std::wstring() : entryKey(normalEntry(listed));
        handOverListed(run, list, from, to, joined(from, listed), joined(to, listed), std::move(key), entry.at);
    }
    settleJobs(run);
    run->replaying = false;
    return RUN_OK;
}

}  // namespace

namespace {

// Reads listFile into runContext.listEntries, and the lines that give no
// entry into faults; showCopyFile is the run's once the file is found.
// RUN_NO_LIST_FILE or RUN_LIST_READ_ERROR, with its lines written and shown,
// when it cannot be found or read.
int takeList(const WideString& listFile, bool showCopyFile, std::vector<ListLineFault>* faults) {
    if (!fileExists(listFile)) {
        // "is not exist": the program's own wording, kept on purpose.
        runContext.messageText = WideString(L"! Error => List file [") + listFile + L"] is not exist.";
        reportError();
        return RUN_NO_LIST_FILE;
    }
    runContext.showCopyFile = showCopyFile;
    int reason = 0;
    int count = readListFile(listFile, faults, &reason);
    if (count < 0 || static_cast<size_t>(count) != runContext.listEntries.count) {
        WideString why(platformReasonText(reason).c_str());
        runContext.messageText = WideString(L"! Error => Copy list error. [") + listFile + L"]";
        reportError();
        if (why.length > 0)
            refuse(RUN_LIST_READ_ERROR, WideString(L"! Error => The list can not be read: ") + why + L".");
        return RUN_LIST_READ_ERROR;
    }
    return RUN_OK;
}

}  // namespace

int listRunWithOptions(const RunOptions& options, RunTally* tally, const WideString& from, const WideString& to,
                       const WideString& listFile) {
    platformSetUserLocale();
    RunScaffold scaffold(options, tally);
    RunState& run = scaffold.run;
    openRun(&scaffold);
    bool toMissing = options.dryRun && options.toToBeMade;
    int refused = checkRunFolders(from, to, toMissing);
    if (refused != RUN_OK) return refused;
    refused = toMissing ? RUN_OK : checkMountsInDestination(from, to);
    if (refused != RUN_OK) return refused;
    std::vector<ListLineFault> faults;
    refused = takeList(listFile, options.showCopyFile, &faults);
    if (refused != RUN_OK) return refused;
    // A To Folder yet to be made holds nothing to keep.
    refused = prepareRunStores(&scaffold, from, to, toMissing);
    if (refused != RUN_OK) return refused;
    if (runStopRequested()) {
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    if (!toMissing) {
        refused = guardDestination(to);
        if (refused != RUN_OK) return refused;
    }
    refused = startRunWork(&scaffold, from, to);
    if (refused != RUN_OK) return refused;

    runContext.updatedCount = 0;
    runContext.listUpdatedCount = 0;
    int total = 0;
    size_t faultsReported = 0;
    // The first entry of each path, by its folded key: two lines naming
    // paths equal but for case name one entry of a To that does not tell
    // case apart.
    const PackedTexts& entries = runContext.listEntries;
    FirstEntries firstEntries;
    prepareFirstEntries(&firstEntries, entries.count);
    ListJobs listJobs;
    listJobs.tally = tally;
    listJobs.folders = options.folderTimes && !toMissing;
    listJobs.prefix = joined(to, WideString()).length;
    // A To file a copy would replace waits for the replacement guard's count.
    run.holdReplacements = !toMissing && options.replaceGuard != REPLACE_GUARD_OFF;
    PackedAt next = 0;
    std::wstring units;
    for (size_t index = 0; index <= entries.count; ++index) {
        noteEntryDone(&run, total);
        if (runStopRequested()) break;
        total += reportLineFaults(&run, faults, index, &faultsReported);
        if (index == entries.count) break;
        PackedAt at = next;
        NextPacked(entries, &next, &units);
        WideString entry(units.c_str());  // an entry holds no NUL
        ++total;
        if (listEntryLeavesFolder(entry)) {
            ++tally->files;
            settleJobs(&run);
            reportEntryFailure(&run, WideString(L"! Error => List entry is outside the From Folder [") + entry + L"].",
                               entry, WideString());
            continue;
        }
        WideString source = joined(from, entry);
        WideString target = joined(to, entry);
        noteEntryAt(run, source);
        std::wstring normal = normalEntry(entry);
        std::wstring key = entryKey(normal);
        PackedAt first = firstEntryOf(&firstEntries, entries, key, at);
        std::wstring taken;  // the first entry's spelling, where this one's path came before
        if (first != at) taken = normalEntry(listEntryAt(entries, first));
        bool renewing = options.updateMetadata && !toMissing;
        std::string packed = listJobs.folders || renewing ? packedText(normal) : std::string();
        if (listJobs.folders) markLevelsAbove(&listJobs.marked, FOLDER_ON_THE_WAY, packed);
        if (first != at && taken != normal && targetFoldsCase(target)) {
            ++tally->files;
            settleJobs(&run);
            reportNameTaken(&run, source, WideString(taken.c_str()), true);
            continue;
        }
        if (renewing && !renewForeignLevels(&run, &listJobs, from, to, packed)) {
            ++tally->files;
            settleJobs(&run);
            reportEntryFailure(&run, WideString(L"! Error => Copy failure: [") + pathPair(source, target) + L"]",
                               source, WideString(L"a folder on its way is another user's, not renewed"), target);
            continue;
        }
        // An entry on the way to, or below, one still in flight waits for it;
        // so does one that may be reached under another name.
        // Names of one file (-H) are followed on the run's thread alone.
        bool onRunThread = mayBeAlias(entry) || options.hardLinks;
        handOverListed(&run, &listJobs, from, to, source, target, onRunThread ? std::wstring() : std::move(key), at);
    }
    settleJobs(&run);
    int replacing = RUN_OK;
    if (run.holdReplacements && !runStopRequested()) {
        replacing = settleListedReplacements(&run, &listJobs, from, to);
        if (replacing == RUN_DECLINED) return replacing;
    }
    endJobs(&run);
    finishListFolders(&run, &listJobs, from, to);

    if (!runStopRequested()) expireVersions(&run, from, to);
    if (runStopRequested()) {
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    if (runContext.hadErrors || (runContext.showCopyFile && runContext.listUpdatedCount > 0)) {
        writeEmptyLine();
    }
    writeLogLine(WideString(L"End of copy [") + pathPair(from, to) + L"].");
    writeEmptyLine();
    runContext.messageText = WideString(L"Total: [") + WideString(total) + L" files].";
    writeMessageLine();
    showStatus(STATUS_INFO, runContext.messageText);
    writeLogLine(WideString(L"Updated: [") + decimalText(runContext.listUpdatedCount) + L" files]. ");
    if (replacing == RUN_REPLACES_HELD) return replacing;
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}
