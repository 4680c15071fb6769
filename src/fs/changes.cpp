#include "fs/changes.h"
#include "base/separator.h"

#include <cwchar>
#include <set>
#include <string>

namespace {

// What a dry run would have done so far.
struct Simulation {
    bool active = false;
    std::set<std::wstring> created;  // directories it would have made
    std::set<std::wstring> removed;  // entries it would have deleted or removed
};

Simulation simulation;

// What the run simulated before the pass of beginSimulatedPass began.
Simulation beforePass;

// How often, and after how long a wait, a change that may pass is tried again.
int retryTries = 0;
int64_t retryWait = 0;

// What a dry run found in the way of its last failed change, or null.
const wchar_t* simulatedFailure = nullptr;

bool simulatedFail(const wchar_t* why) {
    simulatedFailure = why;
    return false;
}

std::wstring withoutTrailingSeparator(const wchar_t* path) {
    std::wstring text(path);
    while (text.size() > 1 && text.back() == PATH_SEPARATOR) text.pop_back();
    return text;
}

// After a stop, nothing more is changed, really or in simulation.
bool stopped() { return platformStopRequested(); }

bool wouldBeGone(const std::wstring& path) { return simulation.removed.count(path) > 0; }

// An entry stands at path in the simulated tree: really there and not deleted.
bool standsThere(const std::wstring& path, EntryStatus* status) {
    return !wouldBeGone(path) && platformQueryEntry(path.c_str(), status);
}

// After a failure that may pass, with tries left in *left: waits, and true
// when the change is to be tried again (no stop came meanwhile).
bool mayTryAgain(int* left) {
    if (*left <= 0 || !platformErrorMayPass(platformFailureCode())) return false;
    --*left;
    int64_t until = platformMilliseconds() + retryWait;
    for (int64_t now = platformMilliseconds(); now < until && !stopped(); now = platformMilliseconds()) {
        platformSleep(static_cast<int>(until - now < 50 ? until - now : 50));
    }
    if (stopped()) return false;
    platformClearFailure();
    return true;
}

bool succeeded(bool ok) { return ok; }
bool succeeded(CopyOutcome outcome) { return outcome == COPY_DONE; }
bool succeeded(VersionOutcome outcome) { return outcome == VERSION_DONE; }

// Runs change, a real change, again while it fails for a reason that may
// pass and tries are left.
template <typename Change>
auto withRetries(Change change) -> decltype(change()) {
    int left = retryTries;
    for (;;) {
        auto outcome = change();
        if (succeeded(outcome) || !mayTryAgain(&left)) return outcome;
    }
}

}  // namespace

void setDryRun(bool on) {
    simulation.active = on;
    simulation.created.clear();
    simulation.removed.clear();
}

bool isDryRun() { return simulation.active; }

bool changeTookAway(const wchar_t* path) {
    if (!simulation.active || simulation.removed.empty()) return false;
    std::wstring key = withoutTrailingSeparator(path);
    for (;;) {
        if (wouldBeGone(key)) return true;
        size_t cut = key.find_last_of(PATH_SEPARATOR);
        if (cut == std::wstring::npos || cut == 0) return false;
        key.resize(cut);
    }
}

bool changeCreateDirectory(const wchar_t* path) {
    if (stopped()) return false;
    if (!simulation.active) return platformCreateDirectory(path);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (standsThere(key, &status)) return simulatedFail(L"File exists");  // something else holds the name
    simulation.created.insert(key);
    return true;
}

bool changeWriteAttributeWord(const wchar_t* path, uint32_t word) {
    if (stopped()) return false;
    if (!simulation.active) return platformWriteAttributeWord(path, word);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    return simulation.created.count(key) > 0 || standsThere(key, &status);
}

bool changeClearProtection(const wchar_t* path) {
    if (stopped()) return false;
    if (!simulation.active) return platformClearProtection(path);
    EntryStatus status;
    return standsThere(path, &status);
}

CopyOutcome changeCopyFile(const wchar_t* source, const wchar_t* target) {
    if (stopped()) return COPY_STOPPED;
    if (!simulation.active) return withRetries([&] { return platformCopyFile(source, target); });
    EntryStatus status;
    if (!platformQueryEntry(source, &status)) {
        simulatedFail(L"No such file or directory");
        return COPY_FAILED;
    }
    if (status.isDirectory) {
        simulatedFail(L"Is a directory");
        return COPY_FAILED;
    }
    if (!status.isRegular) return COPY_NOT_REGULAR;
    if (standsThere(target, &status) && status.isDirectory) {
        simulatedFail(L"Is a directory");
        return COPY_FAILED;
    }
    return COPY_DONE;
}

bool changeDeleteFile(const wchar_t* path) {
    if (stopped()) return false;
    if (!simulation.active) return withRetries([&] { return platformDeleteFile(path); });
    EntryStatus status;
    if (!standsThere(path, &status)) return simulatedFail(L"No such file or directory");
    if (status.isDirectory) return simulatedFail(L"Is a directory");
    simulation.removed.insert(path);
    return true;
}

bool changeRemoveDirectory(const wchar_t* path) {
    if (stopped()) return false;
    if (!simulation.active) return withRetries([&] { return platformRemoveDirectory(path); });
    std::wstring key = withoutTrailingSeparator(path);
    std::wstring base = key;
    if (base.back() != PATH_SEPARATOR) base += PATH_SEPARATOR;
    DirectoryListing* listing = platformOpenListing(base.c_str());
    if (!listing) return false;  // the listing told the system's reason
    bool empty = true;
    DirectoryEntry entry;
    while (empty && platformNextEntry(listing, &entry)) {
        if (std::wcscmp(entry.name, L".") == 0 || std::wcscmp(entry.name, L"..") == 0) continue;
        empty = wouldBeGone(base + entry.name);
    }
    if (!platformCloseListing(listing) && empty) return false;  // cut short: its emptiness is not known
    if (!empty) return simulatedFail(L"Directory not empty");
    simulation.removed.insert(key);
    return true;
}

bool changeRemoveLink(const wchar_t* path) {
    if (stopped()) return false;
    if (!simulation.active) return withRetries([&] { return platformRemoveLink(path); });
    if (wouldBeGone(path) || !platformIsLink(path)) return simulatedFail(L"Not a link");
    simulation.removed.insert(path);
    return true;
}

CopyOutcome changeCopyLink(const wchar_t* source, const wchar_t* target) {
    if (stopped()) return COPY_STOPPED;
    if (!simulation.active) return withRetries([&] { return platformCopyLink(source, target); });
    std::wstring text;
    if (!platformReadLink(source, &text)) {
        simulatedFail(L"No such file or directory");
        return COPY_FAILED;
    }
    EntryStatus status;
    if (standsThere(target, &status) && status.isDirectory && !status.isLink) {
        simulatedFail(L"Is a directory");
        return COPY_FAILED;
    }
    return COPY_DONE;
}

VersionOutcome changeMakeVersionDirectory(const wchar_t* path) {
    if (stopped()) return VERSION_FAILED;
    if (!simulation.active) return platformMakeVersionDirectory(path);
    std::wstring key = withoutTrailingSeparator(path);
    EntryStatus status;
    if (simulation.created.count(key) > 0 || standsThere(key, &status)) {
        simulatedFail(L"File exists");
        return VERSION_TAKEN;
    }
    simulation.created.insert(key);
    return VERSION_DONE;
}

VersionOutcome changeLinkVersion(const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VERSION_FAILED;
    if (!simulation.active) return withRetries([&] { return platformLinkVersion(entry, version); });
    EntryStatus status;
    if (!wouldBeGone(entry) && (platformIsLink(entry) || standsThere(entry, &status))) return VERSION_DONE;
    simulatedFail(L"No such file or directory");
    return VERSION_FAILED;
}

VersionOutcome changeMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return VERSION_FAILED;
    if (!simulation.active) return withRetries([&] { return platformMoveToVersion(entry, version); });
    std::wstring key = withoutTrailingSeparator(entry);
    EntryStatus status;
    if (wouldBeGone(key) || (!platformIsLink(key.c_str()) && !standsThere(key, &status))) {
        simulatedFail(L"No such file or directory");
        return VERSION_FAILED;
    }
    simulation.removed.insert(key);
    return VERSION_DONE;
}

CopyOutcome changeCopyToVersion(const wchar_t* entry, const wchar_t* version) {
    if (stopped()) return COPY_STOPPED;
    if (!simulation.active) return withRetries([&] { return platformCopyToVersion(entry, version); });
    return changeLinkVersion(entry, version) == VERSION_DONE ? COPY_DONE : COPY_FAILED;
}

bool changeDropVersion(const wchar_t* version) {
    if (simulation.active) return true;
    return withRetries([&] { return platformDeleteVersion(version); });
}

void setChangeRetries(int tries, int64_t waitMilliseconds) {
    retryTries = tries > 0 ? tries : 0;
    retryWait = waitMilliseconds > 0 ? waitMilliseconds : 0;
}

void beginSimulatedPass() {
    beforePass = simulation;
    simulation.active = true;
}

void endSimulatedPass() {
    simulation = beforePass;
    beforePass = Simulation();
    simulatedFailure = nullptr;
}

void changeClearFailure() {
    simulatedFailure = nullptr;
    platformClearFailure();
}

std::wstring changeFailureText() {
    if (simulation.active && simulatedFailure) return simulatedFailure;
    return platformFailureText();
}

bool changeProbeModifiedTime(const wchar_t* directory, int64_t written, int64_t* readBack) {
    if (stopped() || simulation.active) return false;
    return platformProbeModifiedTime(directory, written, readBack);
}
