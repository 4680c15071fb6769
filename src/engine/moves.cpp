// Moves in a mirror: the held new entries, their index, the clean-up's
// question and the rename that answers it.
#include "engine/moves.h"

#include <algorithm>
#include <functional>

#include "base/separator.h"
#include "engine/entry_reports.h"
#include "engine/in_the_way.h"
#include "engine/rule.h"
#include "engine/run_log.h"
#include "engine/update_copy.h"
#include "engine/versions.h"
#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/paths.h"
#include "fs/time_step.h"

namespace {

// Folds value into seed (the usual combination of standard hashes): an
// index key, never a proof; contents are compared before anything moves.
uint64_t combine(uint64_t seed, uint64_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

uint64_t nameHash(const wchar_t* name) { return std::hash<std::wstring>()(std::wstring(name)); }

// Times of one file kept by two volumes differ by at most a coarse step
// (FAT's 2 seconds) beyond the window: buckets of 4 seconds, the
// neighbouring ones asked too.
const int kBucketShift = 2;

uint64_t fileKey(int64_t size, int64_t bucket) {
    return combine(std::hash<int64_t>()(size), std::hash<int64_t>()(bucket));
}

// Lists directory, handing each entry but "." and ".." to each while the
// listing is open, until each returns false; true when the listing went
// through to its end.
bool eachListed(const WideString& directory, const std::function<bool(const DirectoryEntry&)>& each) {
    WideString base = directory;
    if (!endsWithSeparator(base)) base.AppendSeparator();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    if (!listing) return false;
    DirectoryEntry entry;
    bool whole = true;
    while (platformNextEntry(listing, &entry)) {
        if (isDotEntry(entry.name)) continue;
        if (!each(entry)) {
            whole = false;
            break;
        }
    }
    return platformCloseListing(listing) && whole;
}

// A folder a listing told of, looked at once the listing is closed, so
// that a deep tree holds one listing open at a time.
struct FolderBelow {
    std::wstring name;   // its name
    EntryStatus status;  // its status
};

WideString below(const WideString& directory, const wchar_t* name) {
    const wchar_t separator[2] = {PATH_SEPARATOR, L'\0'};
    return directory + separator + name;
}

// The status of an entry a listing told of, asked where it did not tell.
bool statusOf(const WideString& path, const DirectoryEntry& entry, EntryStatus* status) {
    if (entry.statusKnown) {
        *status = entry.status;
        return true;
    }
    return platformQueryEntry(path.buffer, status);
}

bool takesCandidate(const MoveIndex& index) { return index.candidates.size() < index.bound; }

size_t addCandidate(MoveIndex* index, const WideString& source, const EntryStatus& status, bool isDirectory, bool held,
                    size_t parent) {
    MoveCandidate candidate;
    candidate.source = source;
    candidate.size = status.size;
    candidate.time = StampTime{status.modifiedSeconds, status.modifiedNanoseconds};
    candidate.isDirectory = isDirectory;
    candidate.owner = status.owner;
    candidate.group = status.group;
    candidate.setId = status.setId;
    candidate.held = held;
    candidate.parent = parent;
    size_t at = index->candidates.size();
    index->candidates.push_back(std::move(candidate));
    if (!isDirectory && status.size >= kSmallestMovedFile) {
        index->files.emplace(fileKey(status.size, status.modifiedSeconds >> kBucketShift), at);
    }
    return at;
}

// What a tree holds, as a move matches it: names, kinds and sizes of every
// entry below directory (owners and set-ID bits too, as a copy keeps them),
// folded into one key in no order; 0 when the tree cannot move whole (a
// link, an entry no plain file or folder, a program's own name, a volume
// mounted, an entry a rule judges, a listing cut short, no file at all).
// With index (From's side), each entry below becomes a candidate of
// parent's, as far as the bound lets: a tree past it cannot move whole.
// With toKeys (To's side), the key of each folder below is kept there.
uint64_t treeKey(const RunState& run, const WideString& directory, const WideString& root, MoveIndex* index,
                 size_t parent, std::unordered_map<std::wstring, uint64_t>* toKeys = nullptr) {
    uint64_t key = 0x6b6f7276616e65ULL;
    bool whole = true;
    bool holdsFile = false;
    std::vector<FolderBelow> folders;
    // One entry's part of the key: the same whatever the order of the listing.
    auto part = [&run](const wchar_t* name, const EntryStatus& status, uint64_t inner) {
        uint64_t own = combine(combine(nameHash(name), status.isDirectory ? 1 : 2), status.setId ? 1 : 0);
        if (run.options.keepOwners) own = combine(combine(own, status.owner), status.group);
        return combine(0x9e3779b97f4a7c15ULL, combine(own, status.isDirectory ? inner : status.size));
    };
    bool listed = eachListed(directory, [&](const DirectoryEntry& entry) {
        WideString path = below(directory, entry.name);
        EntryStatus status{};
        bool known = !entry.isLink && statusOf(path, entry, &status);
        bool judged = !runContext.ruleActive || judgeByRules(run, path, root, entry.isDirectory) == RULE_TAKE;
        if (entry.isLink || !known || !judged || isProgramsOwnName(entry.name) ||
            (!status.isDirectory && !status.isRegular)) {
            whole = false;
            return true;
        }
        holdsFile = true;
        if (status.isDirectory) {
            folders.push_back(FolderBelow{entry.name, status});
            return true;
        }
        key += part(entry.name, status, 0);
        if (index && takesCandidate(*index)) addCandidate(index, path, status, false, false, parent);
        if (index && !takesCandidate(*index)) whole = false;
        return true;
    });
    if (!listed) return 0;
    for (const FolderBelow& folder : folders) {
        WideString path = below(directory, folder.name.c_str());
        size_t at = SIZE_MAX;
        if (index && takesCandidate(*index)) at = addCandidate(index, path, folder.status, true, false, parent);
        if (index && at == SIZE_MAX) whole = false;
        // A volume mounted inside To is none of To's to move.
        if (!index && platformIsMountPoint(path.buffer)) whole = false;
        uint64_t inner = treeKey(run, path, root, index, at, toKeys);
        if (toKeys) toKeys->emplace(std::wstring(path.buffer, static_cast<size_t>(path.length)), inner);
        if (at != SIZE_MAX) {
            index->candidates[at].signature = inner;
            if (inner != 0 && index->folders) index->folderAt.emplace(inner, at);
        }
        if (inner == 0) whole = false;
        key += part(folder.name.c_str(), folder.status, inner);
    }
    return whole && holdsFile ? (key | 1) : 0;
}

// Indexes what the held folders hold, once, when the clean-up first asks.
void indexBelowHeld(const RunState& run, MoveIndex* index, const WideString& from) {
    if (index->belowIndexed) return;
    index->belowIndexed = true;
    size_t held = index->candidates.size();
    for (size_t at = 0; at < held; ++at) {
        if (!index->candidates[at].isDirectory) continue;
        WideString source = index->candidates[at].source;
        uint64_t key = treeKey(run, source, from, index, at);
        index->candidates[at].signature = key;
        if (key != 0 && index->folders) index->folderAt.emplace(key, at);
    }
}

// True while no move has taken the candidate, nor a folder it lies below.
bool available(const MoveIndex& index, size_t at) {
    for (size_t up = at; up != SIZE_MAX; up = index.candidates[up].parent) {
        const MoveCandidate& candidate = index.candidates[up];
        if (candidate.moved || candidate.countTaken) return false;
    }
    // A folder something below it moves out of is no longer the same tree.
    return index.candidates[at].takenBelow == 0;
}

// True when the files of the From tree at source and of the To tree at
// entry, named alike, hold the same bytes (their names, kinds and sizes
// already matched); the bytes of a file found to differ go to *misread.
bool sameTrees(const WideString& source, const WideString& entry, long long* misread) {
    std::vector<std::wstring> folders;
    bool alike = eachListed(source, [&](const DirectoryEntry& listed) {
        if (runStopRequested()) return false;
        WideString from = below(source, listed.name);
        EntryStatus status{};
        if (!statusOf(from, listed, &status)) return false;
        if (status.isDirectory) {
            folders.emplace_back(listed.name);
            return true;
        }
        bool same = false;
        if (platformSameContents(from.buffer, below(entry, listed.name).buffer, &same) && same) return true;
        *misread += status.size;
        return false;
    });
    for (const std::wstring& folder : folders) {
        if (!alike) break;
        alike = sameTrees(below(source, folder.c_str()), below(entry, folder.c_str()), misread);
    }
    return alike;
}

// Nothing of To's stands at path (in a dry run: nothing it would leave there).
bool standsFree(const RunState& run, const WideString& path) {
    return platformEntryPresence(path.buffer) == ENTRY_ABSENT || changeTookAway(*run.changes, path.buffer);
}

// The most candidates whose contents a To entry is read against: many
// files of one size and time (another's, made so) cost no more than these.
const int kMostCompares = 4;

// True when what a copy would keep of a candidate is what the To entry of
// status has: where it differs (an owner, a set-ID bit), the moved entry
// would be copied anew after the move, its version kept under a path it
// never had.
bool keepsAlike(const RunState& run, const MoveCandidate& candidate, const EntryStatus& status) {
    if (candidate.setId != status.setId) return false;
    return !run.options.keepOwners || (candidate.owner == status.owner && candidate.group == status.group);
}

// True when entry can be renamed to target: one mount holds entry's folder
// (entry itself when a folder) and the nearest folder of target that
// stands, and entry is no mount point itself.
bool renamable(const RunState& run, const WideString& entry, bool isDirectory, const WideString& target) {
    if (platformIsMountPoint(entry.buffer)) return false;
    WideString place = isDirectory ? entry : entry.Left(entry.FindLastSeparator());
    WideString landing = target.Left(target.FindLastSeparator());
    while (standsFree(run, landing)) {
        int32_t cut = landing.FindLastSeparator();
        if (cut <= 0) return false;
        landing = landing.Left(cut);
    }
    uint64_t here = 0;
    uint64_t there = 0;
    return platformMountOf(place.buffer, &here) && platformMountOf(landing.buffer, &there) && here == there;
}

// The held file candidate that is the same file as entry (of status in To),
// or SIZE_MAX. A candidate of entry's own name is read first.
size_t sameFile(RunState* run, const WideString& from, const WideString& to, const WideString& entry,
                const EntryStatus& status) {
    MoveIndex& index = *run->moves;
    StampTime time{status.modifiedSeconds, status.modifiedNanoseconds};
    long long window = run->options.modifyWindow > 0 ? run->options.modifyWindow : 0;
    // A window so wide that its buckets would be many asks no more than these.
    long long reach = std::min<long long>(window + 2, 64);
    WideString directory = entry.Left(entry.FindLastSeparator());
    const wchar_t* name = entry.buffer + entry.FindLastSeparator() + 1;
    std::vector<size_t> alike;
    for (int64_t bucket = (time.seconds - reach) >> kBucketShift; bucket <= (time.seconds + reach) >> kBucketShift;
         ++bucket) {
        auto range = index.files.equal_range(fileKey(status.size, bucket));
        for (auto it = range.first; it != range.second; ++it) {
            size_t at = it->second;
            const MoveCandidate& candidate = index.candidates[at];
            if (candidate.size != status.size || !available(index, at) || !keepsAlike(*run, candidate, status)) {
                continue;
            }
            if (sameModifiedTime(candidate.time, time, window, directory, run->steps)) alike.push_back(at);
        }
    }
    auto ownName = [&index, name](size_t at) {
        const WideString& source = index.candidates[at].source;
        return wcscmp(source.buffer + source.FindLastSeparator() + 1, name) == 0;
    };
    std::stable_partition(alike.begin(), alike.end(), ownName);
    int compared = 0;
    for (size_t at : alike) {
        if (compared == kMostCompares || index.misread > kMostMisread || runStopRequested()) break;
        WideString target = counterpartPath(index.candidates[at].source, from, to);
        if (!standsFree(*run, target) || !renamable(*run, entry, false, target)) continue;
        ++compared;
        bool same = false;
        if (platformSameContents(index.candidates[at].source.buffer, entry.buffer, &same) && same) return at;
        index.misread += status.size;
    }
    return SIZE_MAX;
}

// The held folder candidate that is the same tree as entry, or SIZE_MAX.
size_t sameFolder(RunState* run, const WideString& from, const WideString& to, const WideString& entry) {
    MoveIndex& index = *run->moves;
    if (!index.folders || index.folderAt.empty()) return SIZE_MAX;
    // The clean-up goes on below a folder that did not move: what was
    // learned of the folders below it is asked once, not learned again.
    std::wstring path(entry.buffer, static_cast<size_t>(entry.length));
    auto known = index.toKeys.find(path);
    uint64_t key = 0;
    if (known != index.toKeys.end()) {
        key = known->second;
        index.toKeys.erase(known);
    } else {
        key = treeKey(*run, entry, to, nullptr, SIZE_MAX, &index.toKeys);
    }
    EntryStatus status{};
    if (key == 0 || !platformQueryEntry(entry.buffer, &status)) return SIZE_MAX;
    auto range = index.folderAt.equal_range(key);
    int compared = 0;
    for (auto it = range.first; it != range.second && compared < kMostCompares && index.misread <= kMostMisread; ++it) {
        size_t at = it->second;
        if (!available(index, at) || !keepsAlike(*run, index.candidates[at], status)) continue;
        WideString target = counterpartPath(index.candidates[at].source, from, to);
        if (!standsFree(*run, target) || !renamable(*run, entry, true, target)) continue;
        ++compared;
        if (sameTrees(index.candidates[at].source, entry, &index.misread)) return at;
    }
    return SIZE_MAX;
}

// Makes the To folders a candidate found below a held folder lands in, as
// the copy would make them, each told; false when one cannot be made.
bool makeLevelsFor(RunState* run, const WideString& from, const WideString& to, size_t at) {
    MoveIndex& index = *run->moves;
    std::vector<size_t> levels;
    for (size_t up = index.candidates[at].parent; up != SIZE_MAX; up = index.candidates[up].parent) {
        levels.push_back(up);
    }
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
        WideString source = index.candidates[*it].source;
        std::wstring key(source.buffer, static_cast<size_t>(source.length));
        if (index.madeFolders.count(key) != 0) continue;
        if (!standsFree(*run, counterpartPath(source, from, to))) continue;
        UpdateOutcome made = updateEntryNoted(run, from, to, source, nullptr);
        if (!made.upToDate) return false;
        index.madeFolders.insert(key);
        if (!made.changeAttempted) continue;
        WideString target = counterpartPath(source, from, to);
        WideString line = WideString(L"  CP: [") + pathPair(source, target) + L"]";
        if (runContext.showCopyFile) writeLogLine(line);
        reportChange(run, REPORT_CREATED, line, source, 0);
    }
    return true;
}

// Tells the move of entry to target.
void tellMove(RunState* run, const WideString& entry, const WideString& target) {
    WideString line = WideString(L"  MV: [") + pathPair(entry, target) + L"]";
    noteCleanup(run, true, true);
    if (runContext.showCopyFile) writeLogLine(line);
    reportChange(run, REPORT_MOVED, line, entry, 0, target);
}

// The entries of the To tree at path, itself included, as the clean-up counts them.
long long entriesOf(const WideString& path, bool isDirectory) {
    if (!isDirectory) return 1;
    long long count = 1;
    std::vector<std::wstring> folders;
    eachListed(path, [&](const DirectoryEntry& entry) {
        if (entry.isDirectory && !entry.isLink) {
            folders.emplace_back(entry.name);
        } else {
            ++count;
        }
        return true;
    });
    for (const std::wstring& folder : folders) count += entriesOf(below(path, folder.c_str()), true);
    return count;
}

// Makes one planned move of entry into the place of candidate at, told;
// true when made. One that cannot be made is told with why, on -v.
bool makePlannedMove(RunState* run, const WideString& from, const WideString& to, const WideString& entry, size_t at) {
    MoveIndex& index = *run->moves;
    WideString target = counterpartPath(index.candidates[at].source, from, to);
    VersionResult renamed{VERSION_FAILED, 0};
    if (makeLevelsFor(run, from, to, at)) renamed = changeMoveEntry(run->changes, entry.buffer, target.buffer);
    if (renamed.outcome != VERSION_DONE) {
        if (runStopRequested()) return false;
        WideString why = renamed.reason != 0 ? WideString(platformReasonText(renamed.reason).c_str())
                                             : WideString(L"the folder it goes into could not be made");
        reportNote(run, WideString(L"  MV: [") + pathPair(entry, target) + L"] not renamed (" + why +
                            L"): copied and deleted instead");
        return false;
    }
    index.candidates[at].moved = true;
    const WideString& source = index.candidates[at].source;
    if (run->changes->simulated) index.placed.insert(std::wstring(source.buffer, static_cast<size_t>(source.length)));
    tellMove(run, entry, target);
    return true;
}

}  // namespace

void startMoves(MoveIndex* index, bool on, bool folders) {
    index->holding = on;
    index->folders = folders;
}

bool holdNewEntry(MoveIndex* index, const WideString& source, const EntryStatus& status, bool isDirectory,
                  bool isLink) {
    if (!takesCandidate(*index)) {
        index->holding = false;
        return false;
    }
    size_t at = addCandidate(index, source, status, isDirectory, true, SIZE_MAX);
    index->candidates[at].isLink = isLink;
    if (!takesCandidate(*index)) index->holding = false;
    return true;
}

std::vector<HeldEntry> heldNewEntries(const MoveIndex& index) {
    std::vector<HeldEntry> held;
    for (const MoveCandidate& candidate : index.candidates) {
        if (candidate.held) held.push_back(HeldEntry{candidate.source, candidate.isDirectory, candidate.isLink});
    }
    return held;
}

bool moveInsteadOfDeleting(RunState* run, const WideString& from, const WideString& to, const WideString& entry,
                           bool isDirectory, const EntryStatus* listed) {
    if (!run->counting || !run->moves || run->moves->candidates.empty() || runStopRequested()) return false;
    MoveIndex& index = *run->moves;
    EntryStatus status{};
    if (!isDirectory) {
        if (listed) {
            status = *listed;
        } else if (!platformQueryEntry(entry.buffer, &status)) {
            return false;
        }
        if (!status.isRegular || status.isLink || status.size < kSmallestMovedFile) return false;
    }
    indexBelowHeld(*run, &index, from);
    size_t at = isDirectory ? sameFolder(run, from, to, entry) : sameFile(run, from, to, entry, status);
    if (at == SIZE_MAX) return false;
    index.candidates[at].countTaken = true;
    index.countTaken.push_back(at);
    for (size_t up = index.candidates[at].parent; up != SIZE_MAX; up = index.candidates[up].parent) {
        ++index.candidates[up].takenBelow;
    }
    index.planned.emplace_back(entry, at);
    return true;
}

MovesMade makePlannedMoves(RunState* run, const WideString& from, const WideString& to) {
    MoveIndex& index = *run->moves;
    std::vector<std::pair<WideString, size_t>> planned;
    planned.swap(index.planned);
    endMoveCount(&index);
    MovesMade made;
    std::unordered_set<std::wstring> seen;
    for (const auto& move : planned) {
        if (runStopRequested()) break;
        if (!makePlannedMove(run, from, to, move.first, move.second)) {
            made.fellBack += entriesOf(move.first, index.candidates[move.second].isDirectory);
            continue;
        }
        WideString folder = move.first.Left(move.first.FindLastSeparator());
        if (folder.length < to.length) folder = to;
        if (seen.insert(std::wstring(folder.buffer, static_cast<size_t>(folder.length))).second) {
            made.left.push_back(folder);
        }
    }
    return made;
}

void endMoveCount(MoveIndex* index) {
    for (size_t at : index->countTaken) {
        index->candidates[at].countTaken = false;
        for (size_t up = index->candidates[at].parent; up != SIZE_MAX; up = index->candidates[up].parent) {
            index->candidates[up].takenBelow = 0;
        }
    }
    index->countTaken.clear();
    index->toKeys.clear();
    index->planned.clear();
}

bool respellInTo(RunState* run, const WideString& target, const std::wstring& spelling) {
    WideString old = target.Left(target.FindLastSeparator() + 1) + spelling.c_str();
    if (changeMoveEntry(run->changes, old.buffer, target.buffer).outcome != VERSION_DONE) return false;
    // A volume that takes a rename in case alone for no change at all (as
    // Wine's view of a unix folder does) is given one through a name between.
    std::wstring now;
    int32_t cut = target.FindLastSeparator();
    if (!run->changes->simulated && platformEntryName(target.buffer, &now) && now != target.buffer + cut + 1) {
        WideString between = old + L".korvane-respelt";
        if (changeMoveEntry(run->changes, target.buffer, between.buffer).outcome != VERSION_DONE) return false;
        if (changeMoveEntry(run->changes, between.buffer, target.buffer).outcome != VERSION_DONE) {
            changeMoveEntry(run->changes, between.buffer, old.buffer);
            return false;
        }
    }
    tellMove(run, old, target);
    return true;
}

int placedByMove(const RunState& run, const WideString& source) {
    if (!run.moves || (run.moves->madeFolders.empty() && run.moves->placed.empty())) return PLACED_NONE;
    const MoveIndex& index = *run.moves;
    std::wstring key(source.buffer, static_cast<size_t>(source.length));
    if (index.placed.count(key) != 0) return PLACED_MOVED;
    return index.madeFolders.count(key) != 0 ? PLACED_MADE : PLACED_NONE;
}
