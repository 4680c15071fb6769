// Versions looked at and put back: the run folders' records name the job,
// the run folders hold the versions, a restore run copies them back.
#include "engine/restore.h"

#include <algorithm>
#include <cwchar>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/separator.h"
#include "engine/entry_reports.h"
#include "engine/run_checks.h"
#include "engine/run_log.h"
#include "engine/run_scaffold.h"
#include "engine/update_copy.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/paths.h"

namespace {

// path as a whole path: a relative one joined to the current directory.
WideString wholePath(const WideString& path) {
    WideString whole = dropTrailingSeparator(path);
    if (isRootedPath(whole.buffer)) return whole;
    wchar_t current[4096];
    size_t length = platformCurrentDirectory(current, sizeof current / sizeof current[0]);
    if (length == 0) return whole;
    WideString here(current);
    if (!endsWithSeparator(here)) here.AppendSeparator();
    return here + whole;
}

// The names of a path, "." left out and ".." taking the one before it away.
std::vector<std::wstring> namesOf(const WideString& path) {
    std::vector<std::wstring> names;
    int32_t start = 0;
    for (int32_t i = 0; i <= path.length; ++i) {
        if (i < path.length && !isComponentSeparator(path.buffer[i])) continue;
        std::wstring name(path.buffer + start, static_cast<size_t>(i - start));
        start = i + 1;
        if (name.empty() || name == L".") continue;
        if (name == L"..") {
            if (!names.empty()) names.pop_back();
            continue;
        }
        names.push_back(name);
    }
    return names;
}

// The names joined by the system's separator.
WideString joinedNames(const std::vector<std::wstring>& names, size_t from) {
    std::wstring text;
    for (size_t i = from; i < names.size(); ++i) {
        if (!text.empty()) text.push_back(PATH_SEPARATOR);
        text += names[i];
    }
    return WideString(text.c_str());
}

// One level of a path, from its root down, and its identity where it stands.
struct PathLevel {
    WideString path;             // the level as the path spells it
    DirectoryIdentity identity;  // its identity
    bool stands;                 // identity holds it: the level is a folder that stands
};

// The levels of the path of names below its root, the root first.
std::vector<PathLevel> levelsOf(const std::vector<std::wstring>& names, const WideString& whole) {
    std::vector<PathLevel> levels;
    WideString level = whole.Left(rootLevelLength(whole.buffer, whole.length));
    if (level.length == 0) level = WideString(L"/");
    for (size_t count = 0; count <= names.size(); ++count) {
        if (count > 0) {
            if (!endsWithSeparator(level)) level.AppendSeparator();
            level += names[count - 1].c_str();
        }
        PathLevel known{level, DirectoryIdentity{0, 0}, false};
        known.stands = platformDirectoryIdentity(level.buffer, &known.identity);
        levels.push_back(known);
    }
    return levels;
}

// The path of names below the To Folder of record, in *relative, and To as
// the path spells it in *to; false when the path lies outside it. By
// identity first: the deepest level that stands and is To under any
// spelling; then by the text of To's whole path.
bool belowTo(const RunRecord& record, const std::vector<std::wstring>& names, const std::vector<PathLevel>& levels,
             WideString* relative, WideString* to) {
    for (size_t count = levels.size(); count-- > 0;) {
        if (!levels[count].stands || !sameIdentity(levels[count].identity, record.to)) continue;
        *relative = joinedNames(names, count);
        *to = levels[count].path;
        return true;
    }
    std::vector<std::wstring> toNames = namesOf(WideString(record.toPath.c_str()));
    if (toNames.size() > names.size()) return false;
    for (size_t i = 0; i < toNames.size(); ++i) {
        if (toNames[i] != names[i]) return false;
    }
    *relative = joinedNames(names, toNames.size());
    *to = WideString(record.toPath.c_str());
    return true;
}

// The run folders of the versions folder with a record the program wrote, by name.
std::vector<std::pair<WideString, RunRecord>> recordedRunFolders(const WideString& versionsFolder) {
    std::vector<std::pair<WideString, RunRecord>> folders;
    WideString base = versionsFolder;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return folders;
    std::vector<WideString> names;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && !entry.isLink && isRunFolderName(entry.name)) names.push_back(base + entry.name);
    }
    platformCloseListing(listing);
    for (const WideString& folder : names) {
        RunRecord record;
        if (readRunRecord(folder, &record)) folders.emplace_back(folder, record);
    }
    return folders;
}

// Counts what the folder version at path holds: entries and their bytes, links not followed.
void countHeld(const WideString& path, EntryVersion* version) {
    std::vector<WideString> folders{path};
    while (!folders.empty()) {
        WideString base = folders.back();
        folders.pop_back();
        if (!endsWithSeparator(base)) base.AppendSeparator();
        int reason = 0;
        DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
        if (!listing) continue;
        DirectoryEntry entry;
        while (platformNextEntry(listing, &entry)) {
            if (isDotEntry(entry.name) || isProgramsOwnName(entry.name)) continue;
            ++version->entries;
            WideString below = base + entry.name;
            if (entry.isDirectory && !entry.isLink) {
                folders.push_back(below);
                continue;
            }
            EntryStatus status;
            if (!entry.isLink && platformQueryEntry(below.buffer, &status)) version->size += status.size;
        }
        platformCloseListing(listing);
    }
}

bool newestFirst(const EntryVersion& a, const EntryVersion& b) {
    if (a.record.order != b.record.order) return a.record.order > b.record.order;
    if (a.record.started != b.record.started) return a.record.started > b.record.started;
    return std::wcscmp(a.runFolder.buffer, b.runFolder.buffer) > 0;
}

}  // namespace

// The jobs are told apart by the records alone: a folder of no job is none of them.
bool findVersions(const WideString& versionsFolder, const WideString& path, VersionedPath* found, WideString* why) {
    *found = VersionedPath();
    WideString whole = wholePath(path);
    std::vector<std::wstring> names = namesOf(whole);
    WideString folder = wholePath(versionsFolder);
    std::vector<std::wstring> folderNames = namesOf(folder);
    if (folderNames.size() <= names.size() && std::equal(folderNames.begin(), folderNames.end(), names.begin())) {
        *why = WideString(L"[") + path + L"] lies in the versions folder [" + versionsFolder + L"]";
        return false;
    }
    std::vector<std::pair<WideString, RunRecord>> folders = recordedRunFolders(versionsFolder);
    std::vector<PathLevel> levels = levelsOf(names, whole);
    // The job: the deepest To Folder that holds the path.
    const RunRecord* job = nullptr;
    size_t jobDepth = 0;
    WideString relative;
    WideString to;
    for (const auto& folderAndRecord : folders) {
        const RunRecord& record = folderAndRecord.second;
        if (job && sameJob(*job, record)) continue;
        WideString below;
        WideString spelt;
        if (!belowTo(record, names, levels, &below, &spelt)) continue;
        size_t depth = names.size() - namesOf(below).size();
        if (job && depth <= jobDepth) continue;
        job = &record;
        jobDepth = depth;
        relative = below;
        to = spelt;
    }
    if (!job) {
        *why = folders.empty()
                   ? WideString(L"the versions folder [") + versionsFolder + L"] holds no run folder of a run"
                   : WideString(L"no run folder of [") + versionsFolder + L"] is of a To Folder that holds [" + path +
                         L"]";
        return false;
    }
    found->to = to;
    found->relative = relative;
    for (const auto& folderAndRecord : folders) {
        if (!sameJob(*job, folderAndRecord.second)) continue;
        EntryVersion version;
        version.runFolder = folderAndRecord.first;
        version.record = folderAndRecord.second;
        version.path = version.runFolder;
        if (relative.length > 0) {
            version.path.AppendSeparator();
            version.path += relative;
        }
        EntryPresence presence = platformEntryPresence(version.path.buffer);
        if (presence == ENTRY_ABSENT || presence == ENTRY_UNKNOWN) continue;
        version.isLink = presence == ENTRY_LINK;
        EntryStatus status;
        if (!version.isLink && platformQueryEntry(version.path.buffer, &status)) {
            version.isDirectory = status.isDirectory;
            version.size = status.isDirectory ? 0 : status.size;
        }
        if (version.isDirectory) countHeld(version.path, &version);
        found->versions.push_back(version);
    }
    std::sort(found->versions.begin(), found->versions.end(), newestFirst);
    return true;
}

bool keptSince(const EntryVersion& version, const CalendarTime& asOf) {
    CalendarTime started{};
    if (!platformLocalCalendar(version.record.started, &started)) return true;
    const int run[] = {started.year, started.month, started.day, started.hour, started.minute, started.second};
    const int given[] = {asOf.year, asOf.month, asOf.day, asOf.hour, asOf.minute, asOf.second};
    return !std::lexicographical_compare(run, run + 6, given, given + 6);
}

namespace {

// One entry to put back: its path below the run folder and where it comes from.
struct RestoredEntry {
    WideString relative;  // below the run folder: the path below To
    size_t source;        // the version (index into the run's chosen versions) that holds it
    bool isDirectory;     // a folder: made where it is missing, never replaced
};

// Notes every entry of the version at index, a pre-order walk of its
// folder, its names sorted; a file or link already taken from a run that
// came before stays that run's.
void collectEntries(const EntryVersion& version, size_t index, const WideString& relative,
                    std::vector<RestoredEntry>* entries, std::set<std::wstring>* taken) {
    auto note = [&](const WideString& below, bool isDirectory) {
        std::wstring key(below.buffer, static_cast<size_t>(below.length));
        if (!isDirectory && !taken->insert(key).second) return;
        entries->push_back(RestoredEntry{below, index, isDirectory});
    };
    if (!version.isDirectory) {
        note(relative, false);
        return;
    }
    std::vector<WideString> folders{relative};
    while (!folders.empty()) {
        WideString folder = folders.back();
        folders.pop_back();
        note(folder, true);
        WideString base = version.runFolder;
        if (folder.length > 0) {
            base.AppendSeparator();
            base += folder;
        }
        base.AppendSeparator();
        int reason = 0;
        DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
        if (!listing) continue;
        std::vector<std::pair<std::wstring, bool>> names;
        DirectoryEntry entry;
        while (platformNextEntry(listing, &entry)) {
            if (isDotEntry(entry.name) || isProgramsOwnName(entry.name)) continue;
            names.emplace_back(entry.name, entry.isDirectory && !entry.isLink);
        }
        platformCloseListing(listing);
        std::sort(names.begin(), names.end());
        std::vector<WideString> below;
        for (const auto& name : names) {
            WideString path = folder;
            if (path.length > 0) path.AppendSeparator();
            path += name.first.c_str();
            if (name.second) {
                below.push_back(path);
            } else {
                note(path, false);
            }
        }
        for (size_t i = below.size(); i-- > 0;) folders.push_back(below[i]);
    }
}

// Tells what putting back one entry found and did, as a list run tells a listed entry.
void tellRestored(RunState* run, const WideString& source, const WideString& target, const UpdateOutcome& outcome) {
    KeepResult kept = outcome.kept.result;
    if (kept == KEEP_MOVED || kept == KEEP_BESIDE) reportKept(run, target);
    if (kept == KEEP_FAILED) {
        reportVersionFailure(run, target, outcome.kept);
    } else if (outcome.notPlainFile) {
        reportNotPlainFile(run, source);
    } else if (outcome.nameTakenBy.length > 0) {
        reportNameTaken(run, source, outcome.nameTakenBy, false);
    } else if (!outcome.changeAttempted) {
        return;
    } else if (outcome.upToDate) {
        int kind = outcome.updatedInPlace ? REPORT_UPDATED : outcome.isDirectory ? REPORT_CREATED : REPORT_COPIED;
        WideString line =
            WideString(outcome.updatedInPlace ? L"  MD: [" : L"  CP: [") + pathPair(source, target) + L"]";
        if (runContext.showCopyFile) writeLogLine(line);
        reportChange(run, kind, line, source, outcome.copiedBytes);
    } else {
        reportEntryFailure(run, WideString(L"! Error => Copy failure: [") + pathPair(source, target) + L"]", source,
                           outcome.reason, target);
    }
}

// True when a folder, not a link to one, stands at path.
bool standsAsFolder(const WideString& path) {
    EntryState state = queryEntryState(path);
    return state.queried && state.isDirectory && !state.status.isLink;
}

// The versions a restore as of asOf takes, oldest first: those kept since
// asOf, or since the newest run that kept one.
std::vector<EntryVersion> chosenVersions(const VersionedPath& found, const CalendarTime* asOf) {
    std::vector<EntryVersion> chosen;
    if (found.versions.empty()) return chosen;
    for (const EntryVersion& version : found.versions) {
        if (asOf ? keptSince(version, *asOf) : &version == &found.versions.front()) chosen.push_back(version);
    }
    std::reverse(chosen.begin(), chosen.end());
    return chosen;
}

}  // namespace

// The run folders are read as a run reads From, one after the other; To
// (or the folder given) is held, locked and changed as a list run changes
// it, each entry brought up to date from its version, what it replaces
// kept first. Nothing is deleted but what stands in the way of an entry of
// another kind, and that is kept as a version too.
int RestoreRun(const RunOptions& options, RunTally* tally, bool showCopyFile, const VersionedPath& found,
               const WideString& target, const CalendarTime* asOf) {
    std::vector<EntryVersion> chosen = chosenVersions(found, asOf);
    if (chosen.empty()) {
        WideString place = found.relative.length > 0 ? found.relative : WideString(L".");
        return refuse(RUN_NO_VERSION, WideString(L"! Error => No version of [") + place + L"] below [" + found.to +
                                          L"] was kept by a run" +
                                          (asOf ? L" that started at that time or later" : L"") + L".");
    }
    RunScaffold scaffold(options, tally);
    RunState& run = scaffold.run;
    beginRun(&run);
    run.replaceLinks = true;  // an entry of another kind in the way goes, kept as a version first
    runContext.showCopyFile = showCopyFile;
    runContext.updatedCount = 0;
    int refused = checkRunFolders(chosen.front().runFolder, target, false);
    if (refused != RUN_OK) return refused;
    refused = prepareRunStores(&scaffold, chosen.front().runFolder, target, false);
    if (refused != RUN_OK) return refused;
    if (runStopRequested() || !platformGuardTree(target.buffer)) {
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    refused = lockDestination(target, options, &scaffold.lock);
    if (refused != RUN_OK) return refused;
    holdVersions(&scaffold.versions, *run.changes);

    std::vector<RestoredEntry> entries;
    std::set<std::wstring> taken;
    for (size_t i = 0; i < chosen.size(); ++i) collectEntries(chosen[i], i, found.relative, &entries, &taken);
    // The entries of one run folder go together, the oldest run's first; a
    // folder comes before what it holds.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const RestoredEntry& a, const RestoredEntry& b) { return a.source < b.source; });
    size_t held = 0;
    for (const RestoredEntry& entry : entries) {
        if (runStopRequested()) break;
        const WideString& runFolder = chosen[entry.source].runFolder;
        if (entry.source != held) {
            platformReleaseReadTree();
            refused = holdSource(runFolder);
            if (refused != RUN_OK) break;
            held = entry.source;
        }
        WideString source = runFolder;
        WideString place = target;
        if (entry.relative.length > 0) {
            source.AppendSeparator();
            source += entry.relative;
            place.AppendSeparator();
            place += entry.relative;
        }
        // A folder that stands is left as it is: only what it held comes back.
        // Anything else in its place (a link, a file) goes, kept as a version.
        if (entry.isDirectory && (entry.relative.length == 0 || standsAsFolder(place))) continue;
        ++(entry.isDirectory ? tally->directories : tally->files);
        noteEntryDone(&run, tally->directories + tally->files);
        noteEntryAt(run, source);
        UpdateOutcome outcome = updateEntryNoted(&run, runFolder, target, source, nullptr);
        tellRestored(&run, source, place, outcome);
    }
    if (refused != RUN_OK) return refused;
    if (runStopRequested()) {
        reportWalkResult(WALK_BROKEN);
        return WALK_BROKEN;
    }
    return runContext.hadErrors ? RUN_HAD_ERRORS : RUN_OK;
}
