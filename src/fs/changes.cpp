// Each change, made for real or simulated for a dry run, and tried again when it may pass.
#include "fs/changes.h"
#include "base/separator.h"

#include <cwchar>
#include <mutex>
#include <utility>
#include <set>
#include <string>

namespace {

// What a dry run would have done so far; the run's workers share it, each
// simulated change made whole under its lock.
struct Simulation {
    std::mutex lock;
    bool active = false;
    std::set<std::wstring> created;  // directories it would have made
    std::set<std::wstring> removed;  // entries it would have deleted or removed
};

Simulation simulation;

// What the run simulated before the pass of beginSimulatedPass began.
struct SimulatedBefore {
    bool active = false;
    std::set<std::wstring> created;
    std::set<std::wstring> removed;
};

SimulatedBefore beforePass;

// How often, and after how long a wait, a change that may pass is tried
// again: set before the run's workers start.
int retryTries = 0;
int64_t retryWait = 0;

const SystemResult kDone{true, 0};

SystemResult wouldFail(int reason) { return SystemResult{false, reason}; }

// A stop makes no change, really or in simulation.
const int kStoppedReason = FAILURE_STOPPED;

std::wstring withoutTrailingSeparator(const wchar_t* path) {
    std::wstring text(path);
    while (text.size() > 1 && text.back() == PATH_SEPARATOR) text.pop_back();
    return text;
}

// After a stop, nothing more is changed, really or in simulation.
bool stopped() { return platformStopRequested(); }

bool wouldBeGone(const std::wstring& path) { return simulation.removed.count(path) > 0; }

// After a failure for reason that may pass, with tries left in *left:
// waits, and true when the change is to be tried again (no stop came meanwhile).
bool mayTryAgain(int reason, int* left) {
    if (*left <= 0 || !platformErrorMayPass(reason)) return false;
    --*left;
    int64_t until = platformMilliseconds() + retryWait;
    for (int64_t now = platformMilliseconds(); now < until && !stopped(); now = platformMilliseconds()) {
        platformSleep(static_cast<int>(until - now < 50 ? until - now : 50));
    }
    return !stopped();
}

bool succeeded(const SystemResult& result, int* reason) {
    *reason = result.reason;
    return result.done;
}

bool succeeded(const CopyResult& result, int* reason) {
    *reason = result.reason;
    return result.outcome == COPY_DONE;
}

bool succeeded(const VersionResult& result, int* reason) {
    *reason = result.reason;
    return result.outcome == VERSION_DONE;
}

// Runs change, a real change, again while it fails for a reason that may
// pass and tries are left.
template <typename Change>
auto withRetries(Change change) -> decltype(change()) {
    int left = retryTries;
    for (;;) {
        auto result = change();
        int reason = 0;
        if (succeeded(result, &reason) || !mayTryAgain(reason, &left)) return result;
    }
}

// An entry stands at path in the simulated tree: really there and not deleted.
bool standsThere(const std::wstring& path, EntryStatus* status) {
    return !wouldBeGone(path) && platformQueryEntry(path.c_str(), status);
}

}  // namespace

void setDryRun(bool on) {
    std::lock_guard<std::mutex> held(simulation.lock);
    simulation.active = on;
    simulation.created.clear();
    simulation.removed.clear();
}

bool isDryRun() { return simulation.active; }

bool changeTookAway(const wchar_t* path) {
    if (!simulation.active) return false;
    std::lock_guard<std::mutex> held(simulation.lock);
    if (simulation.removed.empty()) return false;
    std::wstring key = withoutTrailingSeparator(path);
    for (;;) {
        if (wouldBeGone(key)) return true;
        size_t cut = key.find_last_of(PATH_SEPARATOR);
        if (cut == std::wstring::npos || cut == 0) return false;
        key.resize(cut);
    }
}

SystemResult changeCreateDirectory(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformCreateDirectory(path);
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (standsThere(key, &status)) return wouldFail(FAILURE_WOULD_EXIST);  // something else holds the name
    simulation.created.insert(key);
    return kDone;
}

SystemResult changeWriteAttributeWord(const wchar_t* path, uint32_t word, bool madeNow) {
    if (stopped() && !madeNow) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformWriteAttributeWord(path, word);
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (simulation.created.count(key) > 0 || standsThere(key, &status)) return kDone;
    return wouldFail(FAILURE_WOULD_BE_MISSING);
}

SystemResult changeClearProtection(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformClearProtection(path);
    std::lock_guard<std::mutex> held(simulation.lock);
    EntryStatus status;
    return standsThere(path, &status) ? kDone : wouldFail(FAILURE_WOULD_BE_MISSING);
}

CopyResult changeCopyFile(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformCopyFile(source, target, keep); });
    std::lock_guard<std::mutex> held(simulation.lock);
    EntryStatus status;
    if (!platformQueryEntry(source, &status)) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_MISSING};
    if (status.isDirectory) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    if (!status.isRegular) return CopyResult{COPY_NOT_REGULAR, 0};
    if (standsThere(target, &status) && status.isDirectory) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    return CopyResult{COPY_DONE, 0};
}

SystemResult changeDeleteFile(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return withRetries([&] { return platformDeleteFile(path); });
    std::lock_guard<std::mutex> held(simulation.lock);
    EntryStatus status;
    if (!standsThere(path, &status)) return wouldFail(FAILURE_WOULD_BE_MISSING);
    if (status.isDirectory) return wouldFail(FAILURE_WOULD_BE_DIRECTORY);
    simulation.removed.insert(path);
    return kDone;
}

SystemResult changeRemoveDirectory(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return withRetries([&] { return platformRemoveDirectory(path); });
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(path);
    std::wstring base = key;
    if (base.back() != PATH_SEPARATOR) base += PATH_SEPARATOR;
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.c_str(), &reason);
    if (!listing) return wouldFail(reason);  // the listing told the system's reason
    bool empty = true;
    DirectoryEntry entry;
    while (empty && platformNextEntry(listing, &entry)) {
        if (std::wcscmp(entry.name, L".") == 0 || std::wcscmp(entry.name, L"..") == 0) continue;
        empty = wouldBeGone(base + entry.name);
    }
    SystemResult closed = platformCloseListing(listing);
    if (!closed && empty) return closed;  // cut short: its emptiness is not known
    if (!empty) return wouldFail(FAILURE_WOULD_NOT_BE_EMPTY);
    simulation.removed.insert(key);
    return kDone;
}

SystemResult changeRemoveLink(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return withRetries([&] { return platformRemoveLink(path); });
    std::lock_guard<std::mutex> held(simulation.lock);
    if (wouldBeGone(path) || !platformIsLink(path)) return wouldFail(FAILURE_WOULD_NOT_BE_LINK);
    simulation.removed.insert(path);
    return kDone;
}

CopyResult changeCopyLink(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformCopyLink(source, target, keep); });
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring text;
    if (!platformReadLink(source, &text)) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_MISSING};
    EntryStatus status;
    if (standsThere(target, &status) && status.isDirectory && !status.isLink) {
        return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    }
    return CopyResult{COPY_DONE, 0};
}

SystemResult changeWriteMetadata(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep, bool* changed,
                                 bool madeNow) {
    *changed = false;
    if (stopped() && !madeNow) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformWriteMetadata(source, target, keep, changed);
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(target);
    EntryStatus status;
    if (simulation.created.count(key) == 0 && !standsThere(key, &status)) return wouldFail(FAILURE_WOULD_BE_MISSING);
    *changed = true;
    return kDone;
}

SystemResult changeRenewDirectory(const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformRenewDirectory(path);
    std::lock_guard<std::mutex> held(simulation.lock);
    EntryStatus status;
    std::wstring key = withoutTrailingSeparator(path);
    return standsThere(key, &status) ? kDone : wouldFail(FAILURE_WOULD_BE_MISSING);
}

SystemResult changeWriteModifiedTime(const wchar_t* path, int64_t seconds, int32_t nanoseconds) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!simulation.active) return platformWriteModifiedTime(path, seconds, nanoseconds);
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (simulation.created.count(key) > 0 || standsThere(key, &status)) return kDone;
    return wouldFail(FAILURE_WOULD_BE_MISSING);
}

CopyResult changeLinkFile(const wchar_t* existing, const DirectoryIdentity& identity, const wchar_t* target) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformLinkFile(existing, identity, target); });
    std::lock_guard<std::mutex> held(simulation.lock);
    EntryStatus status;
    if (standsThere(target, &status) && status.isDirectory && !status.isLink) {
        return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    }
    return CopyResult{COPY_DONE, 0};
}

namespace {

// A simulated level for versions at path: made, unless something stands there.
VersionResult simulatedLevel(const wchar_t* path) {
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (simulation.created.count(key) > 0 || standsThere(key, &status)) {
        return VersionResult{VERSION_TAKEN, FAILURE_WOULD_EXIST};
    }
    simulation.created.insert(key);
    return VersionResult{VERSION_DONE, 0};
}

}  // namespace

VersionResult changeMakeVersionDirectory(const wchar_t* path, bool ownerOnly) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!simulation.active) return platformMakeVersionDirectory(path, ownerOnly);
    return simulatedLevel(path);
}

VersionResult changeMakeVersionLevel(const wchar_t* path, const wchar_t* like) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!simulation.active) return platformMakeVersionLevel(path, like);
    return simulatedLevel(path);
}

namespace {

// A simulated version of entry: there is one to keep when the entry stands.
VersionResult simulatedVersion(const wchar_t* entry) {
    EntryStatus status;
    if (!wouldBeGone(entry) && (platformIsLink(entry) || standsThere(entry, &status))) {
        return VersionResult{VERSION_DONE, 0};
    }
    return VersionResult{VERSION_FAILED, FAILURE_WOULD_BE_MISSING};
}

}  // namespace

VersionResult changeLinkVersion(const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformLinkVersion(entry, version); });
    std::lock_guard<std::mutex> held(simulation.lock);
    return simulatedVersion(entry);
}

VersionResult changeMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformMoveToVersion(entry, version); });
    std::lock_guard<std::mutex> held(simulation.lock);
    std::wstring key = withoutTrailingSeparator(entry);
    VersionResult moved = simulatedVersion(key.c_str());
    if (moved.outcome == VERSION_DONE) simulation.removed.insert(key);
    return moved;
}

CopyResult changeCopyToVersion(const wchar_t* entry, const wchar_t* version, const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!simulation.active) return withRetries([&] { return platformCopyToVersion(entry, version, keep); });
    std::lock_guard<std::mutex> held(simulation.lock);
    VersionResult copied = simulatedVersion(entry);
    EntryStatus status;
    // A FIFO, socket or device has no contents to copy.
    if (copied.outcome == VERSION_DONE && !platformIsLink(entry) && platformQueryEntry(entry, &status) &&
        !status.isRegular && !status.isDirectory && !status.isLink) {
        return CopyResult{COPY_NOT_REGULAR, FAILURE_NOT_PLAIN_FILE};
    }
    return CopyResult{copied.outcome == VERSION_DONE ? COPY_DONE : COPY_FAILED, copied.reason};
}

SystemResult changeDropVersion(const wchar_t* version) {
    if (simulation.active) return kDone;
    return withRetries([&] { return platformDeleteVersion(version); });
}

void setChangeRetries(int tries, int64_t waitMilliseconds) {
    retryTries = tries > 0 ? tries : 0;
    retryWait = waitMilliseconds > 0 ? waitMilliseconds : 0;
}

void beginSimulatedPass() {
    std::lock_guard<std::mutex> held(simulation.lock);
    beforePass.active = simulation.active;
    beforePass.created = simulation.created;
    beforePass.removed = simulation.removed;
    simulation.active = true;
}

void endSimulatedPass() {
    std::lock_guard<std::mutex> held(simulation.lock);
    simulation.active = beforePass.active;
    simulation.created = std::move(beforePass.created);
    simulation.removed = std::move(beforePass.removed);
    beforePass = SimulatedBefore();
}

bool changeProbeOwners(const wchar_t* directory) {
    if (stopped() || simulation.active) return false;
    return platformProbeOwners(directory);
}

bool changeProbeModifiedTime(const wchar_t* directory, int64_t seconds, int32_t nanoseconds, int64_t* readSeconds,
                             int32_t* readNanoseconds) {
    if (stopped() || simulation.active) return false;
    return platformProbeModifiedTime(directory, seconds, nanoseconds, readSeconds, readNanoseconds);
}
