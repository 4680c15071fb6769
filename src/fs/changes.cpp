// Each change, made for real or simulated for a dry run, and tried again when it may pass.
#include "fs/changes.h"
#include "base/separator.h"

#include <cwchar>
#include <mutex>
#include <utility>
#include <set>
#include <string>

namespace {

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

bool wouldBeGone(const Changes& changes, const std::wstring& path) { return changes.removed.count(path) > 0; }

// After a failure for reason that may pass, with tries left in *left:
// waits, and true when the change is to be tried again (no stop came meanwhile).
bool mayTryAgain(const Changes& changes, int reason, int* left) {
    if (*left <= 0 || !platformErrorMayPass(reason)) return false;
    --*left;
    int64_t until = platformMilliseconds() + changes.retryMilliseconds;
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
auto withRetries(const Changes& changes, Change change) -> decltype(change()) {
    int left = changes.retries;
    for (;;) {
        auto result = change();
        int reason = 0;
        if (succeeded(result, &reason) || !mayTryAgain(changes, reason, &left)) return result;
    }
}

// An entry stands at path in the simulated tree: really there and not deleted.
bool standsThere(const Changes& changes, const std::wstring& path, EntryStatus* status) {
    return !wouldBeGone(changes, path) && platformQueryEntry(path.c_str(), status);
}

}  // namespace

void setUpChanges(Changes* changes, bool simulated, int tries, int64_t waitMilliseconds) {
    std::lock_guard<std::mutex> held(changes->lock);
    changes->simulated = simulated;
    changes->retries = tries > 0 ? tries : 0;
    changes->retryMilliseconds = waitMilliseconds > 0 ? waitMilliseconds : 0;
    changes->created.clear();
    changes->removed.clear();
}

void simulateOnTop(Changes* pass, const Changes& under) {
    std::lock_guard<std::mutex> held(under.lock);
    pass->simulated = true;
    pass->retries = 0;
    pass->retryMilliseconds = 0;
    pass->created = under.created;
    pass->removed = under.removed;
}

bool changeTookAway(const Changes& changes, const wchar_t* path) {
    if (!changes.simulated) return false;
    std::lock_guard<std::mutex> held(changes.lock);
    if (changes.removed.empty()) return false;
    std::wstring key = withoutTrailingSeparator(path);
    for (;;) {
        if (wouldBeGone(changes, key)) return true;
        size_t cut = key.find_last_of(PATH_SEPARATOR);
        if (cut == std::wstring::npos || cut == 0) return false;
        key.resize(cut);
    }
}

SystemResult changeCreateDirectory(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformCreateDirectory(path);
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (standsThere(*changes, key, &status)) return wouldFail(FAILURE_WOULD_EXIST);  // something else holds the name
    changes->created.insert(key);
    return kDone;
}

SystemResult changeWriteAttributeWord(Changes* changes, const wchar_t* path, uint32_t word, bool madeNow) {
    if (stopped() && !madeNow) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformWriteAttributeWord(path, word);
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (changes->created.count(key) > 0 || standsThere(*changes, key, &status)) return kDone;
    return wouldFail(FAILURE_WOULD_BE_MISSING);
}

SystemResult changeClearProtection(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformClearProtection(path);
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    return standsThere(*changes, path, &status) ? kDone : wouldFail(FAILURE_WOULD_BE_MISSING);
}

CopyResult changeCopyFile(Changes* changes, const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformCopyFile(source, target, keep); });
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    if (!platformQueryEntry(source, &status)) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_MISSING};
    if (status.isDirectory) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    if (!status.isRegular) return CopyResult{COPY_NOT_REGULAR, 0};
    if (standsThere(*changes, target, &status) && status.isDirectory)
        return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    return CopyResult{COPY_DONE, 0};
}

SystemResult changeDeleteFile(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return withRetries(*changes, [&] { return platformDeleteFile(path); });
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    if (!standsThere(*changes, path, &status)) return wouldFail(FAILURE_WOULD_BE_MISSING);
    if (status.isDirectory) return wouldFail(FAILURE_WOULD_BE_DIRECTORY);
    changes->removed.insert(path);
    return kDone;
}

SystemResult changeDeleteListedFile(Changes* changes, const wchar_t* path) {
    if (!changes->simulated) return changeDeleteFile(changes, path);
    if (stopped()) return wouldFail(kStoppedReason);
    std::lock_guard<std::mutex> held(changes->lock);
    if (wouldBeGone(*changes, path)) return wouldFail(FAILURE_WOULD_BE_MISSING);
    changes->removed.insert(path);
    return kDone;
}

SystemResult changeRemoveDirectory(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return withRetries(*changes, [&] { return platformRemoveDirectory(path); });
    std::lock_guard<std::mutex> held(changes->lock);
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
        empty = wouldBeGone(*changes, base + entry.name);
    }
    SystemResult closed = platformCloseListing(listing);
    if (!closed && empty) return closed;  // cut short: its emptiness is not known
    if (!empty) return wouldFail(FAILURE_WOULD_NOT_BE_EMPTY);
    changes->removed.insert(key);
    return kDone;
}

SystemResult changeRemoveLink(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return withRetries(*changes, [&] { return platformRemoveLink(path); });
    std::lock_guard<std::mutex> held(changes->lock);
    if (wouldBeGone(*changes, path) || !platformIsLink(path)) return wouldFail(FAILURE_WOULD_NOT_BE_LINK);
    changes->removed.insert(path);
    return kDone;
}

CopyResult changeCopyLink(Changes* changes, const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformCopyLink(source, target, keep); });
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring text;
    if (!platformReadLink(source, &text)) return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_MISSING};
    EntryStatus status;
    if (standsThere(*changes, target, &status) && status.isDirectory && !status.isLink) {
        return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    }
    return CopyResult{COPY_DONE, 0};
}

SystemResult changeWriteMetadata(Changes* changes, const wchar_t* source, const wchar_t* target,
                                 const KeptMetadata& keep, bool* changed, bool madeNow) {
    *changed = false;
    if (stopped() && !madeNow) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformWriteMetadata(source, target, keep, changed);
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(target);
    EntryStatus status;
    if (changes->created.count(key) == 0 && !standsThere(*changes, key, &status))
        return wouldFail(FAILURE_WOULD_BE_MISSING);
    *changed = true;
    return kDone;
}

SystemResult changeRenewDirectory(Changes* changes, const wchar_t* path) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformRenewDirectory(path);
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    std::wstring key = withoutTrailingSeparator(path);
    return standsThere(*changes, key, &status) ? kDone : wouldFail(FAILURE_WOULD_BE_MISSING);
}

SystemResult changeWriteFileTime(Changes* changes, const wchar_t* path, const DirectoryIdentity& expected,
                                 int64_t seconds, int32_t nanoseconds) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformWriteFileTime(path, expected, seconds, nanoseconds);
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    return standsThere(*changes, path, &status) ? kDone : wouldFail(FAILURE_WOULD_BE_MISSING);
}

SystemResult changeWriteModifiedTime(Changes* changes, const wchar_t* path, int64_t seconds, int32_t nanoseconds) {
    if (stopped()) return wouldFail(kStoppedReason);
    if (!changes->simulated) return platformWriteModifiedTime(path, seconds, nanoseconds);
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (changes->created.count(key) > 0 || standsThere(*changes, key, &status)) return kDone;
    return wouldFail(FAILURE_WOULD_BE_MISSING);
}

CopyResult changeLinkFile(Changes* changes, const wchar_t* existing, const DirectoryIdentity& identity,
                          const wchar_t* target) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformLinkFile(existing, identity, target); });
    std::lock_guard<std::mutex> held(changes->lock);
    EntryStatus status;
    if (standsThere(*changes, target, &status) && status.isDirectory && !status.isLink) {
        return CopyResult{COPY_FAILED, FAILURE_WOULD_BE_DIRECTORY};
    }
    return CopyResult{COPY_DONE, 0};
}

namespace {

// A simulated level for versions at path: made, unless something stands there.
VersionResult simulatedLevel(Changes* changes, const wchar_t* path) {
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (changes->created.count(key) > 0 || standsThere(*changes, key, &status)) {
        return VersionResult{VERSION_TAKEN, FAILURE_WOULD_EXIST};
    }
    changes->created.insert(key);
    return VersionResult{VERSION_DONE, 0};
}

}  // namespace

VersionResult changeMakeVersionDirectory(Changes* changes, const wchar_t* path, bool ownerOnly) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!changes->simulated) return platformMakeVersionDirectory(path, ownerOnly);
    return simulatedLevel(changes, path);
}

VersionResult changeMakeVersionLevel(Changes* changes, const wchar_t* path, const wchar_t* like) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!changes->simulated) return platformMakeVersionLevel(path, like);
    return simulatedLevel(changes, path);
}

namespace {

// A simulated version of entry: there is one to keep when the entry stands.
VersionResult simulatedVersion(const Changes& changes, const wchar_t* entry) {
    EntryStatus status;
    if (!wouldBeGone(changes, entry) && (platformIsLink(entry) || standsThere(changes, entry, &status))) {
        return VersionResult{VERSION_DONE, 0};
    }
    return VersionResult{VERSION_FAILED, FAILURE_WOULD_BE_MISSING};
}

}  // namespace

VersionResult changeLinkVersion(Changes* changes, const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformLinkVersion(entry, version); });
    std::lock_guard<std::mutex> held(changes->lock);
    return simulatedVersion(*changes, entry);
}

VersionResult changeMoveToVersion(Changes* changes, const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VersionResult{VERSION_FAILED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformMoveToVersion(entry, version); });
    std::lock_guard<std::mutex> held(changes->lock);
    std::wstring key = withoutTrailingSeparator(entry);
    VersionResult moved = simulatedVersion(*changes, key.c_str());
    if (moved.outcome == VERSION_DONE) changes->removed.insert(key);
    return moved;
}

// The guarded tree's rename that never replaces is the one versions take.
VersionResult changeMoveEntry(Changes* changes, const wchar_t* entry, const wchar_t* target) {
    return changeMoveToVersion(changes, entry, target);
}

CopyResult changeCopyToVersion(Changes* changes, const wchar_t* entry, const wchar_t* version,
                               const KeptMetadata& keep) {
    if (stopped()) return CopyResult{COPY_STOPPED, kStoppedReason};
    if (!changes->simulated) return withRetries(*changes, [&] { return platformCopyToVersion(entry, version, keep); });
    std::lock_guard<std::mutex> held(changes->lock);
    VersionResult copied = simulatedVersion(*changes, entry);
    EntryStatus status;
    // A FIFO, socket or device has no contents to copy.
    if (copied.outcome == VERSION_DONE && !platformIsLink(entry) && platformQueryEntry(entry, &status) &&
        !status.isRegular && !status.isDirectory && !status.isLink) {
        return CopyResult{COPY_NOT_REGULAR, FAILURE_NOT_PLAIN_FILE};
    }
    return CopyResult{copied.outcome == VERSION_DONE ? COPY_DONE : COPY_FAILED, copied.reason};
}

SystemResult changeDropVersion(const Changes& changes, const wchar_t* version) {
    if (changes.simulated) return kDone;
    return withRetries(changes, [&] { return platformDeleteVersion(version); });
}

bool changeProbeOwners(const Changes& changes, const wchar_t* directory) {
    if (stopped() || changes.simulated) return false;
    return platformProbeOwners(directory);
}

bool changeProbeModifiedTime(const Changes& changes, const wchar_t* directory, int64_t seconds, int32_t nanoseconds,
                             int64_t* readSeconds, int32_t* readNanoseconds) {
    if (stopped() || changes.simulated) return false;
    return platformProbeModifiedTime(directory, seconds, nanoseconds, readSeconds, readNanoseconds);
}
