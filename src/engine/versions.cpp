// The versions store: run folders made and recorded, versions kept, and retention after the run.
#include "engine/versions.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/separator.h"
#include "engine/entry_reports.h"
#include "engine/metadata.h"
#include "engine/run_checks.h"
#include "engine/run_log.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"

const wchar_t* const kVersionsMarkName = L".korvane-versions";
const wchar_t* const kRunRecordName = L".korvane-run";

namespace {

// The names of the files in which a versions folder remembers its jobs' last runs begin so.
const wchar_t* const kJobTimesPrefix = L".korvane-job-";

}  // namespace

namespace {

// A run folder's name: "YYYY-MM-DD HHMMSS", then "-N" for the Nth run of that second.
const int32_t kRunNameLength = 17;

// Run folders of one second a run tries before it gives up.
const int kRunsPerSecond = 1000;

const int64_t kSecondsPerDay = 86400;

const SystemResult kDone{true, 0};

// Tries of the removal of a run folder that a process keeps writing into.
const int kRemovalTries = 3;

WideString twoDigits(int value) {
    wchar_t text[3] = {static_cast<wchar_t>(L'0' + value / 10 % 10), static_cast<wchar_t>(L'0' + value % 10), L'\0'};
    return WideString(text);
}

// The calendar of UTC, for a system that tells no local one.
CalendarTime utcCalendar(int64_t seconds) {
    int64_t days = seconds / kSecondsPerDay;
    int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    // Days to a civil date, counted in eras of 400 years from 0000-03-01.
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return CalendarTime{
        year, month, day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

// The digits of text[from, from + count) as a number; -1 when any is no digit.
long digitsAt(const wchar_t* text, int from, int count) {
    long value = 0;
    for (int i = from; i < from + count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return -1;
        value = value * 10 + (text[i] - L'0');
    }
    return value;
}

// A run folder of the job as retention orders them: by the order its run
// happened in, whatever its name or the clock said.
struct RunFolder {
    std::wstring name;
    RunRecord record;
    bool own = false;       // this run's own folder: it sets no time of the job's tonight
    bool timed = false;     // its time by the job's clock is known (not dated after tonight)
    int64_t effective = 0;  // that time, when timed
};

bool olderFirst(const RunFolder& a, const RunFolder& b) {
    if (a.record.order != b.record.order) return a.record.order < b.record.order;
    if (a.record.started != b.record.started) return a.record.started < b.record.started;
    return a.name < b.name;
}

bool newerFirst(const RunFolder& a, const RunFolder& b) {
    if (a.record.order != b.record.order) return a.record.order > b.record.order;
    if (a.record.started != b.record.started) return a.record.started > b.record.started;
    return a.name > b.name;
}

// What a versions folder's mark says of it.
const char kVersionsMarkText[] = "korvane versions folder\n";

// The first line of a run folder's record.
const char kRunRecordHead[] = "korvane run folder";

// A whole path as one line of a record: printable ASCII as it is, every
// other unit (and "%") as "%", its hex digits and ";".
std::string recordPath(const std::wstring& path) {
    std::string text;
    for (wchar_t unit : path) {
        if (unit > L' ' && unit < 0x7F && unit != L'%') {
            text += static_cast<char>(unit);
            continue;
        }
        static const char kHex[] = "0123456789abcdef";
        std::string digits;
        for (unsigned long value = static_cast<unsigned long>(unit); value > 0 || digits.empty(); value >>= 4) {
            digits.insert(digits.begin(), kHex[value & 15]);
        }
        text += "%" + digits + ";";
    }
    return text;
}

// The value of a small hex digit; -1 for any other character.
int hexDigit(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    return digit >= 'a' && digit <= 'f' ? digit - 'a' + 10 : -1;
}

// The path of a record's line; false when the line is no such text.
bool pathOfRecord(const std::string& text, std::wstring* path) {
    path->clear();
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            path->push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[at])));
            continue;
        }
        unsigned long value = 0;
        size_t end = at + 1;
        for (; end < text.size() && text[end] != ';' && end - at <= 8; ++end) {
            int part = hexDigit(text[end]);
            if (part < 0) return false;
            value = value * 16 + static_cast<unsigned long>(part);
        }
        if (end >= text.size() || end == at + 1 || value > 0x10FFFF) return false;
        path->push_back(static_cast<wchar_t>(value));
        at = end;
    }
    return true;
}

// The number after "key " on line; false when line is no such line.
bool numberAfter(const std::string& line, const char* key, int64_t* value) {
    size_t length = std::strlen(key);
    if (line.compare(0, length, key) != 0 || line.size() <= length + 1 || line[length] != ' ') return false;
    const char* start = line.c_str() + length + 1;
    char* end = nullptr;
    errno = 0;
    long long read = std::strtoll(start, &end, 10);
    if (errno != 0 || end == start || *end != '\0') return false;
    *value = static_cast<int64_t>(read);
    return true;
}

// The path of path's counterpart below the run folder at runFolder.
WideString placeBelow(const VersionStore& store, const WideString& runFolder, const WideString& path) {
    return counterpartPath(path, store.toFolder, runFolder);
}

// A version kept as result.
KeepResult keptAs(KeptVersion* kept, KeepResult result) {
    kept->result = result;
    return result;
}

// A version that could not be kept at version, for reason.
KeepResult notKept(KeptVersion* kept, const WideString& version, int reason) {
    kept->result = KEEP_FAILED;
    kept->version = version;
    kept->reason = reason;
    return KEEP_FAILED;
}

// The level above path, cut at its last separator of either spelling (a
// doubled one is one); empty when path has none, the root when it is at it.
WideString levelAbove(const WideString& path) {
    int32_t cut = path.length - 1;
    while (cut >= 0 && !isComponentSeparator(path.buffer[cut])) --cut;
    while (cut > 0 && isComponentSeparator(path.buffer[cut - 1])) --cut;
    if (cut < 0) return WideString();
    return path.Left(cut == 0 ? 1 : cut);
}

// The longest part of path, level by level, that names a standing
// directory; "." for a relative path of which nothing stands.
WideString standingPart(const WideString& path) {
    WideString level = path;
    while (level.length > 0 && !directoryExists(level)) {
        WideString above = levelAbove(level);
        if (above.length == 0 || above.length == level.length) return WideString(L".");
        level = above;
    }
    return level;
}

// Marks the versions folder as one where it stands for real and holds no
// mark yet; a mark that cannot be written leaves the folder as it was.
void markVersionsFolder(const VersionStore& store, const Changes& changes) {
    if (changes.simulated || isMarkedVersionsFolder(store.root)) return;
    platformWriteMark(store.root.buffer, kVersionsMarkName, kVersionsMarkText);
}

// Makes the levels of the versions folder that do not stand, and holds a
// folder outside To as a tree of its own; false with the level that could
// not be made in *failed and why in *reason. Called with the store's lock held.
bool readyRoot(const RunState& run, WideString* failed, int* reason) {
    VersionStore& store = *run.versions;
    if (store.rootStands) return true;
    std::vector<WideString> missing;
    for (WideString level = store.root; level.length > 0 && !directoryExists(level);) {
        missing.push_back(level);
        WideString above = levelAbove(level);
        if (above.length == level.length) break;  // a root that does not stand
        level = above;
    }
    for (size_t i = missing.size(); i-- > 0;) {
        VersionResult made = changeMakeVersionDirectory(run.changes, missing[i].buffer);
        if (made.outcome == VERSION_FAILED) {
            *failed = missing[i];
            *reason = made.reason;
            return false;
        }
        if (store.insideTo && i + 1 == missing.size()) store.madeIn = levelAbove(missing[i]);
    }
    if (!run.changes->simulated && !store.insideTo) {
        SystemResult held = platformHoldVersionTree(store.root.buffer);
        if (!held) {
            *failed = store.root;
            *reason = held.reason;
            return false;
        }
    }
    store.rootStands = true;
    markVersionsFolder(store, *run.changes);
    return true;
}

// The run folders of job in the versions folder at base (ending in a
// separator): folders named as run folders, no link, whose record names
// the job; oldest first, by the order the runs happened. False when the
// folder cannot be listed.
bool jobFolders(const WideString& base, const RunRecord& job, std::vector<RunFolder>* folders) {
    folders->clear();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return false;
    std::vector<std::wstring> names;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && !entry.isLink && isRunFolderName(entry.name)) names.emplace_back(entry.name);
    }
    platformCloseListing(listing);
    for (const std::wstring& name : names) {
        RunFolder folder{name, RunRecord()};
        if (readRunRecord(base + name.c_str(), &folder.record) && sameJob(folder.record, job)) {
            folders->push_back(folder);
        }
    }
    std::sort(folders->begin(), folders->end(), olderFirst);
    return true;
}

// Runs whose times the job's clock looks back on: its usual interval is
// the middle one of their gaps.
const size_t kRunsRemembered = 9;

// Tonight as the job's own clock tells it.
struct JobClock {
    int64_t now;   // tonight: the system's clock, at most twice the usual interval past the job's last run
    int64_t last;  // the job's last run before tonight, or the clock when none is known
    bool capped;   // the system's clock read later than that
};

// Keeps times (oldest first) from going back: each is at least the one
// before it; one later than clock (dated after tonight) is left out.
std::vector<int64_t> onwardTimes(const std::vector<int64_t>& times, int64_t clock) {
    std::vector<int64_t> onward;
    for (int64_t at : times) {
        if (at > clock) continue;
        onward.push_back(onward.empty() ? at : std::max(at, onward.back()));
    }
    return onward;
}

// Gives each of the job's run folders (oldest first; this run's own left
// out) its time by the job's clock, and tells tonight by it, at the
// system's clock reading clock: a folder's time is the start its record
// holds (aged, else started), but never before an earlier run's; one
// dated after clock has none (its age is not known) and sets no one's.
// remembered: the versions folder's memory of the job's last runs, which
// tells the usual interval on nights that keep nothing too.
JobClock jobClock(std::vector<RunFolder>* folders, const std::vector<int64_t>& remembered, int64_t clock) {
    std::vector<int64_t> times;
    for (RunFolder& folder : *folders) {
        int64_t at = folder.record.aged != 0 ? folder.record.aged : folder.record.started;
        folder.timed = !folder.own && at <= clock;
        if (!folder.timed) continue;
        folder.effective = times.empty() ? at : std::max(at, times.back());
        times.push_back(folder.effective);
    }
    std::vector<int64_t> onward = onwardTimes(remembered, clock);
    times.insert(times.end(), onward.begin(), onward.end());
    JobClock job{clock, clock, false};
    if (times.empty()) return job;
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    if (times.size() > kRunsRemembered) times.erase(times.begin(), times.end() - kRunsRemembered);
    int64_t interval = kSecondsPerDay;
    if (times.size() >= 2) {
        std::vector<int64_t> gaps;
        for (size_t i = 1; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>((gaps.size() - 1) / 2), gaps.end());
        interval = std::max(interval, gaps[(gaps.size() - 1) / 2]);
    }
    job.last = times.back();
    int64_t latest = job.last + 2 * interval;
    job.capped = clock > latest;
    job.now = std::min(clock, latest);
    return job;
}

// Tonight by the job's clock, for a run of store, and the highest order
// among the job's run folders (0 when none) in *lastOrder.
JobClock tonight(const VersionStore& store, int64_t clock, int64_t* lastOrder) {
    WideString base = store.root;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    std::vector<RunFolder> folders;
    jobFolders(base, store.job, &folders);
    *lastOrder = 0;
    for (RunFolder& folder : folders) {
        *lastOrder = std::max(*lastOrder, folder.record.order);
        folder.own = store.runFolder.length > 0 && base + folder.name.c_str() == store.runFolder;
    }
    std::vector<int64_t> remembered;
    readJobTimes(store.root, store.job, &remembered);
    return jobClock(&folders, remembered, clock);
}

// Holds the run folder just made at folder and records the run in it,
// before anything is kept there; a folder that cannot be recorded keeps
// nothing (its run's versions fail), as no retention would know it for the job's.
bool recordRunFolder(VersionStore* store, const Changes& changes, const WideString& folder, int* reason) {
    if (changes.simulated) return true;
    int unheld = 0;
    store->hold = platformHoldRunFolder(folder.buffer, &unheld);  // where none can be had, the record still tells
    RunRecord record = store->job;
    int64_t lastOrder = 0;
    record.aged = tonight(*store, store->job.started, &lastOrder).now;
    record.order = lastOrder + 1;
    SystemResult written = writeRunRecord(folder, record);
    if (written) return true;
    store->recordFailure = written.reason;
    *reason = written.reason;
    return false;
}

// The run's own folder, made at the first version, once, whichever worker
// keeps it: the start time, and a number after it when a run of that second
// has its folder already. It is its owner's alone: what it holds was in
// folders of To that others may not have been allowed to enter, and its
// levels are made anew. False with why in *reason.
bool readyRunFolder(const RunState& run, WideString* folder, int* reason) {
    VersionStore& store = *run.versions;
    std::lock_guard<std::mutex> held(store.lock);
    if (store.runFolder.length > 0) {
        *folder = store.runFolder;
        *reason = store.recordFailure;
        return store.recordFailure == 0;
    }
    if (!readyRoot(run, folder, reason)) return false;
    WideString base = store.root;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    for (int number = 1; number <= kRunsPerSecond; ++number) {
        *folder = base + store.runName + (number > 1 ? WideString(L"-") + decimalText(number) : WideString());
        VersionResult made = changeMakeVersionDirectory(run.changes, folder->buffer, true);
        *reason = made.reason;
        if (made.outcome == VERSION_DONE) {
            store.runFolder = *folder;
            return recordRunFolder(&store, *run.changes, *folder, reason);
        }
        if (made.outcome != VERSION_TAKEN) return false;
    }
    return false;
}

// Makes directory, a folder below the run folder, and the levels above it
// that do not stand yet, each as open as the To folder it stands for, no
// more; false with the level that could not be made in *failed and why in
// *reason. Workers making the same level side by side tolerate each other:
// a level another has just made stands (VERSION_TAKEN).
bool readyLevels(const RunState& run, const WideString& runFolder, const WideString& directory, WideString* failed,
                 int* reason) {
    VersionStore& store = *run.versions;
    std::vector<WideString> missing;
    {
        std::lock_guard<std::mutex> held(store.lock);
        WideString level = directory;
        while (level.length > runFolder.length &&
               store.madeLevels.count(std::wstring(level.buffer, static_cast<size_t>(level.length))) == 0) {
            missing.push_back(level);
            level = level.Left(level.FindLastSeparator());
        }
    }
    for (size_t i = missing.size(); i-- > 0;) {
        WideString standsFor = counterpartPath(missing[i], runFolder, store.toFolder);
        VersionResult made = changeMakeVersionLevel(run.changes, missing[i].buffer, standsFor.buffer);
        if (made.outcome == VERSION_FAILED) {
            *failed = missing[i];
            *reason = made.reason;
            return false;
        }
        std::lock_guard<std::mutex> held(store.lock);
        store.madeLevels.insert(std::wstring(missing[i].buffer, static_cast<size_t>(missing[i].length)));
    }
    return true;
}

// Readies the place of the version of path (its folder made, the name
// free as far as anyone knows) into kept->version; false with the failure
// in *kept (KEEP_FAILED) and the entry to stay.
bool readyVersion(const RunState& run, const WideString& path, bool isDirectory, KeptVersion* kept) {
    WideString runFolder;
    WideString failed;
    int reason = 0;
    if (!readyRunFolder(run, &runFolder, &reason)) {
        notKept(kept, runFolder, reason);
        return false;
    }
    kept->version = placeBelow(*run.versions, runFolder, path);
    WideString folder = isDirectory ? kept->version : kept->version.Left(kept->version.FindLastSeparator());
    if (readyLevels(run, runFolder, folder, &failed, &reason)) return true;
    notKept(kept, failed, reason);
    return false;
}

// True when the first length units of text and prefix are alike, case and
// the spelling of separators aside.
bool sameIgnoringCase(const wchar_t* text, const wchar_t* prefix, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        if (text[i] == prefix[i] || (isComponentSeparator(text[i]) && isComponentSeparator(prefix[i]))) continue;
        if (std::towlower(static_cast<wint_t>(text[i])) != std::towlower(static_cast<wint_t>(prefix[i]))) return false;
    }
    return true;
}

// The path, in to's spelling as given, of the directory chain[0], which
// lies levels levels below to (chain[levels]): each level found by its
// identity among the directories listed, links left aside. Spelt from to as
// it stands, so that the paths of the run's walks begin the same way.
bool spellBelow(const WideString& to, const std::vector<DirectoryIdentity>& chain, size_t levels, WideString* path) {
    WideString at = to;
    for (size_t level = levels; level-- > 0;) {
        WideString base = at;
        if (!endsWithSeparator(base)) base.AppendSeparator();
        int reason = 0;
        DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
        if (!listing) return false;
        bool found = false;
        DirectoryEntry entry;
        while (!found && platformNextEntry(listing, &entry)) {
            if (!entry.isDirectory || entry.isLink || isDotEntry(entry.name)) continue;
            WideString child = base + entry.name;
            DirectoryIdentity identity;
            if (platformDirectoryIdentity(child.buffer, &identity) && sameIdentity(identity, chain[level])) {
                at = child;
                found = true;
            }
        }
        platformCloseListing(listing);
        if (!found) return false;
    }
    *path = at;
    return true;
}

// One entry of a run folder, in the order its removal takes them.
struct Doomed {
    WideString path;
    int kind;  // 0 a file, 1 a link, 2 a directory (after everything in it)
};

// Lists the tree below directory into doomed, depth first, each directory
// after what it holds, never following a link; the record of the run
// folder itself (top) comes last but for the folder, so that a folder cut
// short stays its job's. False when a listing fails (*reason) or a
// directory lies on another mount than mount (*mounted names it).
bool listRunFolder(const WideString& directory, uint64_t mount, bool top, std::vector<Doomed>* doomed,
                   WideString* mounted, int* reason) {
    // A directory that cannot be looked at cannot be listed either: the listing tells why.
    uint64_t here = mount;
    if (platformMountOf(directory.buffer, &here) && here != mount) {
        *mounted = directory;
        return false;
    }
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(base.buffer, reason);
    if (!listing) return false;
    std::vector<WideString> directories;
    bool recorded = false;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotEntry(entry.name)) continue;
        if (top && !entry.isDirectory && std::wcscmp(entry.name, kRunRecordName) == 0) {
            recorded = true;
            continue;
        }
        if (entry.isDirectory && !entry.isLink) {
            directories.push_back(base + entry.name);
        } else {
            doomed->push_back(Doomed{base + entry.name, entry.isLink ? 1 : 0});
        }
    }
    SystemResult closed = platformCloseListing(listing);
    if (!closed) {
        *reason = closed.reason;
        return false;
    }
    for (const WideString& below : directories) {
        if (!listRunFolder(below, mount, false, doomed, mounted, reason)) return false;
    }
    if (recorded) doomed->push_back(Doomed{base + kRunRecordName, 0});
    doomed->push_back(Doomed{directory, 2});
    return true;
}

// True when the directory at path holds an entry (one that cannot be listed holds what it may).
bool holdsAnything(const WideString& path) {
    WideString base = path;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return true;
    bool holds = false;
    DirectoryEntry entry;
    while (!holds && platformNextEntry(listing, &entry)) holds = !(entry.isDirectory && isDotEntry(entry.name));
    platformCloseListing(listing);
    return holds;
}

// How the removal of a run folder went.
enum RemovalOutcome {
    REMOVAL_DONE,      // the folder is gone
    REMOVAL_FAILED,    // something of it stays: *reason tells why
    REMOVAL_REFILLED,  // everything listed went, but new entries came into a folder of it meanwhile
    REMOVAL_MOUNTED    // a volume is mounted in it (*mounted names where): nothing more was removed
};

// Removes the tree of a run folder, as listRunFolder lists it (links as
// links, read-only files too), going on past a failure; the first reason
// of what stays in *reason.
RemovalOutcome removeRunFolder(Changes* changes, const WideString& directory, uint64_t mount, WideString* mounted,
                               int* reason) {
    std::vector<Doomed> doomed;
    if (!listRunFolder(directory, mount, true, &doomed, mounted, reason)) {
        return mounted->length > 0 ? REMOVAL_MOUNTED : REMOVAL_FAILED;
    }
    bool refilled = false;
    bool failed = false;
    for (const Doomed& entry : doomed) {
        if (runStopRequested()) {
            *reason = FAILURE_STOPPED;
            return REMOVAL_FAILED;
        }
        SystemResult gone = kDone;
        if (entry.kind == 2) {
            gone = changeRemoveDirectory(changes, entry.path.buffer);
            // What it held went; what stands in it now came since.
            if (!gone && !failed && holdsAnything(entry.path)) {
                refilled = true;
                continue;
            }
        } else if (entry.kind == 1) {
            gone = changeRemoveLink(changes, entry.path.buffer);
        } else {
            gone = changeClearProtection(changes, entry.path.buffer);
            if (gone) gone = changeDeleteFile(changes, entry.path.buffer);
        }
        if (!gone && !failed) {
            failed = true;
            *reason = gone.reason;
        }
    }
    if (failed) return REMOVAL_FAILED;
    return refilled ? REMOVAL_REFILLED : REMOVAL_DONE;
}

// True when a run folder must stay whatever its name: it is or holds To,
// From or the open run log.
bool heldByTheRun(const WideString& folder, const std::vector<DirectoryIdentity>& kept) {
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(folder.buffer, &identity)) return true;
    for (const DirectoryIdentity& held : kept) {
        if (sameIdentity(held, identity)) return true;
    }
    for (const DirectoryIdentity& held : runContext.log.folders) {
        if (runContext.log.placeKnown && sameIdentity(held, identity)) return true;
    }
    return false;
}

// Tells that the run folder at path stays for why: a line in the log and
// among the run's skipped entries, no failure (no one else's doing makes
// the run fail).
void tellRunFolderLeft(RunState* run, const WideString& path, const wchar_t* why) {
    WideString line = WideString(L"  SK: [") + path + L"] (run folder left as it is: " + why + L")";
    writeLogLine(line);
    reportSkip(run, line, path);
    pumpMessages();
}

// Removes the expired run folder at path of a versions folder on mount,
// unless a run holds it or a volume is mounted in it; a folder that a
// process keeps writing into is tried again, and then left for a later run.
void expireRunFolder(RunState* run, const WideString& path, uint64_t mount) {
    if (platformRunFolderHeld(path.buffer)) {
        tellRunFolderLeft(run, path, L"a running job keeps its versions there");
        return;
    }
    for (int attempt = 1;; ++attempt) {
        WideString mounted;
        int reason = 0;
        RemovalOutcome removal = removeRunFolder(run->changes, path, mount, &mounted, &reason);
        if (runStopRequested()) return;
        if (removal == REMOVAL_DONE) break;
        if (removal == REMOVAL_MOUNTED) {
            tellRunFolderLeft(run, path, (WideString(L"a volume is mounted in it [") + mounted + L"]").buffer);
            return;
        }
        if (removal == REMOVAL_FAILED) {
            reportEntryFailure(run, WideString(L"! Error => Expired versions not removed: [") + path + L"]", path,
                               WideString(platformReasonText(reason).c_str()));
            return;
        }
        if (attempt == kRemovalTries) {
            tellRunFolderLeft(run, path, L"entries keep coming into it; left for a later run");
            return;
        }
    }
    WideString line = WideString(L"  XV: [") + path + L"]";
    if (runContext.showCopyFile) writeLogLine(line);
    reportChange(run, REPORT_EXPIRED, line, path, 0);
}

}  // namespace

WideString runFolderName(int64_t seconds) {
    CalendarTime time{};
    if (!platformLocalCalendar(seconds, &time)) time = utcCalendar(seconds);
    WideString year = decimalText(time.year);
    while (year.length < 4) year = WideString(L"0") + year;
    return year + L"-" + twoDigits(time.month) + L"-" + twoDigits(time.day) + L" " + twoDigits(time.hour) +
           twoDigits(time.minute) + twoDigits(time.second);
}

bool isRunFolderName(const wchar_t* name) {
    int32_t length = 0;
    while (name[length] != L'\0' && length <= kRunNameLength + 10) ++length;
    if (length < kRunNameLength || name[4] != L'-' || name[7] != L'-' || name[10] != L' ') return false;
    long month = digitsAt(name, 5, 2);
    long day = digitsAt(name, 8, 2);
    if (digitsAt(name, 0, 4) < 0 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    if (digitsAt(name, 11, 2) < 0 || digitsAt(name, 11, 2) > 23 || digitsAt(name, 13, 2) < 0 ||
        digitsAt(name, 13, 2) > 59 || digitsAt(name, 15, 2) < 0 || digitsAt(name, 15, 2) > 60) {
        return false;
    }
    if (length == kRunNameLength) return true;
    int32_t digits = length - kRunNameLength - 1;
    return name[kRunNameLength] == L'-' && digits >= 1 && digits <= 9 && name[kRunNameLength + 1] != L'0' &&
           digitsAt(name, kRunNameLength + 1, digits) >= 2;
}

// The text checks first, then on disk: the part of the folder that stands
// decides what it is and where it lies, whatever its spelling; a folder
// inside To is spelt from To down, as the run's walks spell its entries.
int prepareVersions(const RunOptions& options, const WideString& from, const WideString& to, VersionStore* store) {
    if (options.versionsFolder.length == 0) return RUN_OK;
    const WideString& given = options.versionsFolder;
    auto refused = [&given](const WideString& why) {
        return refuse(RUN_BAD_VERSIONS, WideString(L"! Error => Versions dir [") + given + L"] " + why);
    };
    WideString folder = dropTrailingSeparator(given);
    if (isDriveRoot(folder)) return refused(L"is a drive root.");
    WideString lower = folder.ToLower();
    if (lower == dropTrailingSeparator(to).ToLower()) return refused(L"is the To Folder itself.");
    if (lower == dropTrailingSeparator(from).ToLower()) return refused(L"is the From Folder itself.");
    WideString standing = standingPart(folder);
    // A relative folder of which nothing stands lies in the current directory, ".".
    bool below = StartsWith(folder, standing) &&
                 (folder.length == standing.length || isComponentSeparator(folder.buffer[standing.length]) ||
                  endsWithSeparator(standing));
    WideString tail = below ? WideString::Mid(folder, standing.length + 1, folder.length) : folder;
    while (tail.length > 0 && isComponentSeparator(tail.buffer[0])) tail = WideString::Mid(tail, 2, tail.length);
    if (standing.length == 0) return refused(L"can not be reached.");
    if (hasDotLevel(tail)) return refused(L"has a level of dots below the folders that stand.");
    if (tail.length > 0) {
        int32_t cut = 0;
        while (cut < tail.length && !isComponentSeparator(tail.buffer[cut])) ++cut;
        WideString first = dropTrailingSeparator(standing);
        if (!endsWithSeparator(first)) first.AppendSeparator();
        first += tail.Left(cut);
        if (platformEntryPresence(first.buffer) != ENTRY_ABSENT) return refused(L"is not a folder.");
        // Inside To the folder is recognised by its text: one separator throughout.
        for (int32_t i = 0; i < tail.length; ++i) {
            if (isComponentSeparator(tail.buffer[i])) tail.buffer[i] = PATH_SEPARATOR;
        }
    } else if (platformIsTopOfVolume(standing.buffer)) {
        return refused(L"is a drive root.");
    }
    DirectoryIdentity standingIdentity;
    DirectoryIdentity fromIdentity;
    DirectoryIdentity toIdentity;
    std::vector<DirectoryIdentity> chain;
    if (!platformDirectoryIdentity(standing.buffer, &standingIdentity) ||
        !platformDirectoryIdentity(from.buffer, &fromIdentity) || !platformDirectoryIdentity(to.buffer, &toIdentity) ||
        !platformDirectoryChain(standing.buffer, &chain)) {
        return refused(L"can not be reached.");
    }
    if (tail.length == 0 && sameIdentity(standingIdentity, toIdentity)) return refused(L"is the To Folder itself.");
    if (tail.length == 0 && sameIdentity(standingIdentity, fromIdentity)) {
        return refused(L"is the From Folder itself.");
    }
    // A spelling with levels of dots ("from/../to/.v") says nothing by its
    // text of where it lies: the folders that stand decide.
    bool byText = !hasDotLevel(folder) && !hasDotLevel(from);
    if (sameIdentity(standingIdentity, fromIdentity) || directoryBelow(standing, from) ||
        (byText && (sourceInsideDestination(standing, from) || sourceInsideDestination(folder, from)))) {
        return refused(WideString(L"lies inside the From Folder [") + from + L"].");
    }
    // Nor through a mount: a bind mount of From's, at, below or above it.
    std::wstring point = mountOverlappingSource(from, standing, tail.length == 0);
    if (!point.empty()) {
        return refused(WideString(L"overlaps the From Folder [") + from + L"] through the mount on [" +
                       WideString(point.c_str()) + L"].");
    }
    store->toFolder = to;
    store->root = folder;
    store->rootStands = tail.length == 0;
    for (size_t level = 0; level < chain.size(); ++level) {
        if (!sameIdentity(chain[level], toIdentity)) continue;
        WideString spelt;
        if (!spellBelow(to, chain, level, &spelt)) return refused(L"can not be found below the To Folder.");
        if (tail.length > 0) {
            if (!endsWithSeparator(spelt)) spelt.AppendSeparator();
            spelt += tail;
        }
        store->root = spelt;
        store->insideTo = true;
        break;
    }
    store->job.started = platformWallSeconds();
    store->runName = runFolderName(store->job.started);
    if (!jobOfRun(to, &store->job)) return refused(L"can not be reached.");
    return RUN_OK;
}

// A versions folder that stands is marked as one, whether or not the run keeps anything.
void holdVersions(VersionStore* store, const Changes& changes) {
    if (store->rootStands && !store->insideTo && !changes.simulated) {
        // A folder that cannot be held fails each version with the reason.
        store->rootStands = platformHoldVersionTree(store->root.buffer).done;
    }
    if (store->rootStands) markVersionsFolder(*store, changes);
}

bool isVersionsPlace(const RunState* run, const WideString& path) {
    const VersionStore* store = run ? run->versions : nullptr;
    if (!store || !store->insideTo || path.length < store->root.length) return false;
    if (path.length > store->root.length && !isComponentSeparator(path.buffer[store->root.length])) return false;
    return sameIgnoringCase(path.buffer, store->root.buffer, store->root.length);
}

bool holdsVersions(const RunState* run, const WideString& path) {
    const VersionStore* store = run ? run->versions : nullptr;
    if (!store || !store->insideTo) return false;
    WideString directory = dropTrailingSeparator(path);
    return directory.length < store->root.length && isComponentSeparator(store->root.buffer[directory.length]) &&
           sameIgnoringCase(store->root.buffer, directory.buffer, directory.length);
}

namespace {

// The version of path at kept->version, after the one call tried on its
// volume (done: kept as done says); a copy where that call asks for one,
// the entry standing beside it; none of an entry that holds no data.
KeepResult keptAfter(const RunState& run, const WideString& path, KeptVersion* kept, VersionResult tried,
                     KeepResult done) {
    if (tried.outcome == VERSION_DONE) return keptAs(kept, done);
    if (tried.outcome != VERSION_COPY_INSTEAD) return notKept(kept, kept->version, tried.reason);
    CopyResult copied = changeCopyToVersion(run.changes, path.buffer, kept->version.buffer, keptMetadata(run.options));
    if (copied.outcome == COPY_DONE) return keptAs(kept, KEEP_BESIDE);
    // A FIFO, socket or device holds no data to keep: it goes as it would without versions.
    if (copied.outcome == COPY_NOT_REGULAR) return keptAs(kept, KEEP_NOT_ASKED);
    return notKept(kept, kept->version, copied.reason);
}

}  // namespace

// A second name where the volume keeps them; a copy otherwise.
KeepResult keepBeforeReplacing(const RunState& run, const WideString& target, KeptVersion* kept) {
    if (!run.versions || run.counting) return KEEP_NOT_ASKED;
    if (!readyVersion(run, target, false, kept)) return KEEP_FAILED;
    return keptAfter(run, target, kept, changeLinkVersion(run.changes, target.buffer, kept->version.buffer),
                     KEEP_BESIDE);
}

// One rename on the same volume; a copy, the entry left to its deletion, across volumes.
KeepResult keepBeforeDeleting(const RunState& run, const WideString& path, KeptVersion* kept) {
    if (!run.versions || run.counting) return KEEP_NOT_ASKED;
    if (!readyVersion(run, path, false, kept)) return KEEP_FAILED;
    return keptAfter(run, path, kept, changeMoveToVersion(run.changes, path.buffer, kept->version.buffer), KEEP_MOVED);
}

KeepResult keepBeforeRemovingDirectory(const RunState& run, const WideString& path, KeptVersion* kept) {
    if (!run.versions || run.counting) return KEEP_NOT_ASKED;
    return readyVersion(run, path, true, kept) ? keptAs(kept, KEEP_BESIDE) : KEEP_FAILED;
}

KeepResult keepTreeWhole(const RunState& run, const WideString& path, KeptVersion* kept) {
    if (!run.versions || run.counting) return KEEP_NOT_ASKED;
    if (!readyVersion(run, path, false, kept)) return KEEP_FAILED;
    VersionResult moved = changeMoveToVersion(run.changes, path.buffer, kept->version.buffer);
    if (moved.outcome == VERSION_DONE) return keptAs(kept, KEEP_MOVED);
    if (moved.outcome == VERSION_COPY_INSTEAD) return keptAs(kept, KEEP_PER_ENTRY);
    return notKept(kept, kept->version, moved.reason);
}

// A deletion that succeeds leaves the change's own failure as the one to tell.
void dropKept(const Changes& changes, const KeptVersion& kept) {
    if (kept.result == KEEP_BESIDE && kept.version.length > 0) changeDropVersion(changes, kept.version.buffer);
}

void reportKept(RunState* run, const WideString& path) {
    checkOnRunThread(*run);
    if (run->counting || !run->versions) return;
    WideString line =
        WideString(L"  KV: [") + pathPair(path, placeBelow(*run->versions, run->versions->runFolder, path)) + L"]";
    if (runContext.showCopyFile) writeLogLine(line);
    reportChange(run, REPORT_KEPT, line, path, 0);
}

void reportVersionFailure(RunState* run, const WideString& path, const KeptVersion& kept) {
    checkOnRunThread(*run);
    reportEntryFailure(run, WideString(L"! Error => Version not kept: [") + pathPair(path, kept.version) + L"]", path,
                       WideString(platformReasonText(kept.reason).c_str()), kept.version);
    pumpMessages();
}

// Outside To, the versions folder becomes the guarded tree for the while:
// nothing below it is followed. Only the job's own run folders count: a
// folder of another job, or of no job (made by an older version of the
// program, or being made right now), is neither counted nor removed.
void expireVersions(RunState* run, const WideString& from, const WideString& to) {
    VersionStore* store = run->versions;
    const RunOptions& options = run->options;
    if (!store || (options.keepVersions < 0 && options.keepDays < 0) || runStopRequested()) return;
    if (!directoryExists(store->root)) return;
    std::vector<DirectoryIdentity> kept;
    std::vector<DirectoryIdentity> chain;
    if (platformDirectoryChain(to.buffer, &chain)) kept.insert(kept.end(), chain.begin(), chain.end());
    if (platformDirectoryChain(from.buffer, &chain)) kept.insert(kept.end(), chain.begin(), chain.end());
    if (!store->insideTo) {
        platformReleaseVersionTree();
        platformReleaseTree();
        if (!platformGuardTree(store->root.buffer)) return;
    }
    WideString base = store->root;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    uint64_t mount = 0;
    std::vector<RunFolder> folders;
    if (!platformMountOf(store->root.buffer, &mount) || !jobFolders(base, store->job, &folders)) folders.clear();
    for (RunFolder& folder : folders) folder.own = base + folder.name.c_str() == store->runFolder;
    std::vector<int64_t> remembered;
    readJobTimes(store->root, store->job, &remembered);
    int64_t clock = platformWallSeconds();
    JobClock job = jobClock(&folders, remembered, clock);
    if (options.keepDays >= 0 && job.capped) {
        WideString line = WideString(L"  SK: [") + store->root + L"] (the clock says " + runFolderName(clock) +
                          L", more than twice the job's usual interval after its last run " + runFolderName(job.last) +
                          L": its run folders are aged as of " + runFolderName(job.now) + L")";
        writeLogLine(line);
        reportSkip(run, line, store->root);
    }
    std::sort(folders.begin(), folders.end(), newerFirst);
    int64_t cutoff = job.now - options.keepDays * kSecondsPerDay;
    for (size_t i = 0; i < folders.size() && !runStopRequested(); ++i) {
        const RunFolder& folder = folders[i];
        WideString path = base + folder.name.c_str();
        if (folder.own) continue;
        // A clock that ran ahead dated it: its age is not known.
        bool future = !folder.timed;
        bool beyond = options.keepVersions >= 0 && i >= static_cast<size_t>(options.keepVersions);
        bool old = options.keepDays >= 0 && !future && folder.effective < cutoff;
        if (!beyond && !old) {
            if (future) tellRunFolderLeft(run, path, L"dated in the future, its age not known");
            continue;
        }
        if (heldByTheRun(path, kept)) continue;
        expireRunFolder(run, path, mount);
    }
    // The memory of the job's runs, by which later nights tell its usual interval.
    if (options.keepDays >= 0 && !run->changes->simulated && !runStopRequested()) {
        remembered.push_back(job.now);
        if (remembered.size() > kRunsRemembered) {
            remembered.erase(remembered.begin(), remembered.end() - kRunsRemembered);
        }
        writeJobTimes(store->root, store->job, remembered);
    }
    if (!store->insideTo) platformReleaseTree();
}

bool isProgramsOwnName(const wchar_t* name) {
    return std::wcscmp(name, kVersionsMarkName) == 0 || std::wcscmp(name, kRunRecordName) == 0;
}

bool isMarkedVersionsFolder(const WideString& path) {
    std::string text;
    return platformReadMark(path.buffer, kVersionsMarkName, &text) && text == kVersionsMarkText;
}

bool jobOfRun(const WideString& to, RunRecord* record) {
    if (!platformDirectoryIdentity(to.buffer, &record->to)) return false;
    if (platformResolvedPath(to.buffer, &record->toPath)) return true;
    WideString whole = dropTrailingSeparator(to);
    if (!isRootedPath(whole.buffer)) {
        wchar_t current[4096];
        size_t length = platformCurrentDirectory(current, sizeof current / sizeof current[0]);
        if (length == 0) return false;
        WideString here(current);
        if (!endsWithSeparator(here)) here.AppendSeparator();
        whole = here + whole;
    }
    record->toPath.assign(whole.buffer, static_cast<size_t>(whole.length));
    return true;
}

bool sameJob(const RunRecord& a, const RunRecord& b) { return !a.toPath.empty() && a.toPath == b.toPath; }

SystemResult writeRunRecord(const WideString& folder, const RunRecord& record) {
    std::string text = std::string(kRunRecordHead) + "\nto " + std::to_string(record.to.volume) + " " +
                       std::to_string(record.to.index) + "\npath " + recordPath(record.toPath) + "\nstarted " +
                       std::to_string(record.started) + "\norder " + std::to_string(record.order) + "\n";
    if (record.aged != 0) text += "aged " + std::to_string(record.aged) + "\n";
    return platformWriteMark(folder.buffer, kRunRecordName, text);
}

bool readRunRecord(const WideString& folder, RunRecord* record) {
    std::string text;
    if (!platformReadMark(folder.buffer, kRunRecordName, &text)) return false;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() < 5 || lines.size() > 6 || lines[0] != kRunRecordHead || lines[1].compare(0, 3, "to ") != 0 ||
        lines[2].compare(0, 5, "path ") != 0) {
        return false;
    }
    record->aged = 0;
    if (lines.size() == 6 && (!numberAfter(lines[5], "aged", &record->aged) || record->aged == 0)) return false;
    unsigned long long volume = 0;
    unsigned long long index = 0;
    char rest = 0;
    if (std::sscanf(lines[1].c_str(), "to %llu %llu%c", &volume, &index, &rest) != 2) return false;
    record->to = DirectoryIdentity{volume, index};
    return pathOfRecord(lines[2].substr(5), &record->toPath) && numberAfter(lines[3], "started", &record->started) &&
           numberAfter(lines[4], "order", &record->order);
}

namespace {

// The name of the file in which a versions folder remembers a job's last
// runs: one per job, so that jobs sharing the folder never write one file.
std::wstring jobTimesName(const RunRecord& job) {
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a over the path's units
    for (wchar_t unit : job.toPath) {
        hash ^= static_cast<uint64_t>(static_cast<uint32_t>(unit));
        hash *= 1099511628211ULL;
    }
    wchar_t digits[17];
    for (int i = 15; i >= 0; --i, hash >>= 4) digits[i] = L"0123456789abcdef"[hash & 15];
    digits[16] = L'\0';
    return std::wstring(kJobTimesPrefix) + digits;
}

// The first line of a job's memory of its runs.
const char kJobTimesHead[] = "korvane job";

}  // namespace

bool readJobTimes(const WideString& folder, const RunRecord& job, std::vector<int64_t>* times) {
    times->clear();
    std::string text;
    if (job.toPath.empty() || !platformReadMark(folder.buffer, jobTimesName(job).c_str(), &text)) return false;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::wstring path;
    if (lines.size() != 3 || lines[0] != kJobTimesHead || lines[1].compare(0, 5, "path ") != 0 ||
        !pathOfRecord(lines[1].substr(5), &path) || path != job.toPath || lines[2].compare(0, 4, "runs") != 0) {
        return false;  // another job's, whose name came out the same
    }
    const char* at = lines[2].c_str() + 4;
    while (*at == ' ' && times->size() < kRunsRemembered) {
        char* end = nullptr;
        errno = 0;
        long long value = std::strtoll(at + 1, &end, 10);
        if (errno != 0 || end == at + 1) break;
        times->push_back(static_cast<int64_t>(value));
        at = end;
    }
    if (*at != '\0') times->clear();
    return !times->empty();
}

SystemResult writeJobTimes(const WideString& folder, const RunRecord& job, const std::vector<int64_t>& times) {
    std::string text = std::string(kJobTimesHead) + "\npath " + recordPath(job.toPath) + "\nruns";
    for (int64_t at : times) text += " " + std::to_string(at);
    text += "\n";
    return platformWriteMark(folder.buffer, jobTimesName(job).c_str(), text);
}
