// What the runs of one user share in a folder of the user's own: the locks
// by which a run keeps the other runs off its To, and the record of the
// temporaries each run makes, by which a later run knows a dead run's
// leftovers for the program's own.

#include "platform/win32/win32_layer.h"

#include "base/separator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// The runs' folder of this user, found once: %LOCALAPPDATA%\korvane, else
// the user's folder of temporary files; empty when none can be had.
std::wstring RunFolder() {
    static std::once_flag found;
    static std::wstring folder;
    std::call_once(found, [] {
        wchar_t text[MAX_PATH + 1];
        DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", text, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) length = GetTempPathW(MAX_PATH, text);
        if (length == 0 || length >= MAX_PATH) return;
        std::wstring place(text, length);
        if (!IsSlash(place.back())) place.push_back(L'\\');
        place += L"korvane";
        CreateDirectoryW(place.c_str(), nullptr);
        DWORD attributes = GetFileAttributesW(place.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            folder = place + L"\\";
        }
    });
    return folder;
}

// A lock of a byte no one reads or writes, far beyond any file's end: its
// holder is alive as long as the lock stands.
bool LockFar(HANDLE handle, bool exclusive) {
    OVERLAPPED at = {};
    at.OffsetHigh = 0x40000000;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(handle, flags, 0, 1, 0, &at) != 0;
}

// Opens file in the runs' folder (made when missing), shared with the
// other runs; INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenShared(const std::wstring& file, DWORD disposition) {
    return CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// The lock is a byte-range lock on files of the runs' folder, one per
// directory by its identity: exclusive of To's, shared of each directory's
// above it. A run on a folder inside another run's To, or around it, meets
// the other's lock whichever started first, however either spells its To;
// no other user reaches the folder, and a lock goes with its process. The
// holder of To's lock writes its process number into the file.
struct TreeLock {
    std::vector<HANDLE> handles;      // the lock files held
    std::vector<std::wstring> paths;  // their paths
};

namespace {

// The process number written in the lock file open as handle, when that
// process still runs; 0 otherwise.
long HolderIn(HANDLE handle) {
    char text[24] = {};
    DWORD read = 0;
    OVERLAPPED at = {};
    if (!ReadFile(handle, text, sizeof text - 1, &read, &at)) return 0;
    long process = std::strtol(text, nullptr, 10);
    HANDLE running = process > 0 ? OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process)) : nullptr;
    if (!running) return 0;
    bool alive = WaitForSingleObject(running, 0) == WAIT_TIMEOUT;
    CloseHandle(running);
    return alive ? process : 0;
}

// Takes a lock on the lock file of the directory at path, noting it in
// taken: 1 taken, 0 held by another run (*holder told where it can be),
// -1 when the file could not be had (*reason).
int LockDirectory(TreeLock* taken, const std::wstring& folder, const wchar_t* directory, bool exclusive, long* holder,
                  int* reason) {
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(directory, &identity)) {
        *reason = static_cast<int>(GetLastError());
        return -1;
    }
    wchar_t name[64];
    swprintf(name, 64, L"lock-%llx-%llx", static_cast<unsigned long long>(identity.volume),
             static_cast<unsigned long long>(identity.index));
    std::wstring path = folder + name;
    HANDLE handle = OpenShared(path, OPEN_ALWAYS);
    // A run letting go of the file holds it alone for a moment, to remove it.
    for (int tries = 0; handle == INVALID_HANDLE_VALUE && tries < 200; ++tries) {
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
        Sleep(5);
        handle = OpenShared(path, OPEN_ALWAYS);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = static_cast<int>(GetLastError());
        return -1;
    }
    if (!LockFar(handle, exclusive)) {
        *holder = HolderIn(handle);
        CloseHandle(handle);
        return 0;
    }
    if (exclusive) {
        char text[24];
        int length = std::snprintf(text, sizeof text, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
        DWORD written = 0;
        OVERLAPPED at = {};
        WriteFile(handle, text, static_cast<DWORD>(length), &written, &at);
        SetFilePointer(handle, length, nullptr, FILE_BEGIN);
        SetEndOfFile(handle);
    }
    taken->handles.push_back(handle);
    taken->paths.push_back(path);
    return 1;
}

}  // namespace

LockOutcome platformLockGuardedTree(TreeLock** lock, long* holder, int* reason) {
    *holder = 0;
    std::wstring root;
    if (GuardedRootLength() == 0 || !FullPathOf(GuardedRoot().c_str(), &root)) {
        *reason = ERROR_PATH_NOT_FOUND;
        return LOCK_FAILED;
    }
    std::wstring folder = RunFolder();
    if (folder.empty()) {
        *reason = ERROR_PATH_NOT_FOUND;
        return LOCK_FAILED;
    }
    // To, then each folder above it up to the drive or share.
    std::vector<std::wstring> levels{root};
    size_t rootLength = static_cast<size_t>(rootLevelLength(root.c_str(), static_cast<int>(root.size())));
    for (size_t cut = root.find_last_of(L'\\'); cut != std::wstring::npos && cut >= rootLength && cut > 0;
         cut = root.find_last_of(L'\\', cut - 1)) {
        levels.push_back(root.substr(0, cut == rootLength - 1 ? cut + 1 : cut));
        if (cut == rootLength - 1) break;
    }
    TreeLock* taken = new TreeLock;
    for (size_t i = 0; i < levels.size(); ++i) {
        int locked = LockDirectory(taken, folder, levels[i].c_str(), i == 0, holder, reason);
        if (locked < 0 && i > 0) continue;  // a folder above that cannot be looked at holds nothing off
        if (locked <= 0) {
            platformUnlockTree(taken);
            return locked < 0 ? LOCK_FAILED : LOCK_HELD;
        }
    }
    *lock = taken;
    return LOCK_TAKEN;
}

// A lock file no other run has open is removed: opened by this run alone,
// so that no other run opens it meanwhile, and deleted as it is closed.
void platformUnlockTree(TreeLock* lock) {
    if (!lock) return;
    for (size_t i = 0; i < lock->handles.size(); ++i) {
        CloseHandle(lock->handles[i]);
        HANDLE alone =
            CreateFileW(lock->paths[i].c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
    }
    delete lock;
}

namespace {

// A temporary by its folder's identity and its name.
typedef std::pair<std::pair<unsigned long long, unsigned long long>, std::wstring> TemporaryKey;

// This process's record of its temporaries, and what it read of the others'.
struct Records {
    std::mutex lock;
    bool tried = false;                        // this process's record was tried
    HANDLE handle = INVALID_HANDLE_VALUE;      // it, locked while the process lives
    std::wstring path;                         // its path
    std::map<std::wstring, TemporaryKey> own;  // this process's temporaries not gone yet, by path
    bool othersRead = false;                   // the other records were read since the run began
    std::map<TemporaryKey, bool> others;       // what they tell of temporaries not gone: left by a dead run
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    // A process that ends with every temporary gone leaves no record behind.
    ~Records() {
        if (handle == INVALID_HANDLE_VALUE) return;
        CloseHandle(handle);
        if (own.empty()) DeleteFileW(path.c_str());
    }
};

Records records;

const wchar_t kRecordPrefix[] = L"temporaries-";
const wchar_t kPendingPrefix[] = L"pending-";

// The folder part of path (without its last separator) and its last name.
void SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name) {
    size_t cut = path.find_last_of(L"\\/");
    *folder = cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut == 0 ? 1 : cut);
    *name = cut == std::wstring::npos ? path : path.substr(cut + 1);
    if (folder->size() == 2 && (*folder)[1] == L':') folder->push_back(L'\\');
}

// The key of the temporary at path: its folder's identity and its name.
bool KeyOf(const std::wstring& path, TemporaryKey* key) {
    std::wstring folder;
    std::wstring name;
    SplitPath(path, &folder, &name);
    thread_local std::wstring lastFolder;
    thread_local DirectoryIdentity lastIdentity;
    if (folder != lastFolder) {
        if (!platformDirectoryIdentity(folder.c_str(), &lastIdentity)) return false;
        lastFolder = folder;
    }
    *key = TemporaryKey(std::make_pair(static_cast<unsigned long long>(lastIdentity.volume),
                                       static_cast<unsigned long long>(lastIdentity.index)),
                        name);
    return true;
}

// Writes line to this process's record; the caller holds records.lock.
void WriteRecord(const std::string& line) {
    if (records.handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    SetFilePointer(records.handle, 0, nullptr, FILE_END);
    WriteFile(records.handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Opens this process's record once: made under a name no reader takes,
// locked, then named as a record. The caller holds records.lock.
void OpenOwnRecord() {
    if (records.tried) return;
    records.tried = true;
    std::wstring folder = RunFolder();
    if (folder.empty()) return;
    for (int attempt = 0; attempt < 100 && records.handle == INVALID_HANDLE_VALUE; ++attempt) {
        std::wstring tail = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        std::wstring pending = folder;
        pending.append(kPendingPrefix).append(tail);
        HANDLE handle = OpenShared(pending, CREATE_NEW);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return;
        }
        std::wstring named = folder;
        named.append(kRecordPrefix).append(tail);
        if (!LockFar(handle, true) || !MoveFileW(pending.c_str(), named.c_str())) {
            CloseHandle(handle);
            DeleteFileW(pending.c_str());
            continue;
        }
        records.handle = handle;
        records.path = named;
    }
}

// The narrow form of a temporary's name (its characters are ASCII).
std::string Narrow(const std::wstring& text) {
    std::string bytes;
    for (wchar_t unit : text) bytes.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return bytes;
}

// The temporaries a record's text tells of that are not gone: each "+"
// line without a "-" line of it after it; a last line without its end, cut
// by a kill, is left out.
std::vector<TemporaryKey> OpenRecords(const std::string& text) {
    std::map<TemporaryKey, bool> open;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        unsigned long long volume = 0;
        unsigned long long index = 0;
        long long born = 0;
        char name[256];
        char kind = 0;
        if (line.size() < sizeof name &&
            std::sscanf(line.c_str(), "%c %llx %llx %lld %255s", &kind, &volume, &index, &born, name) == 5) {
            TemporaryKey key(std::make_pair(volume, index), std::wstring(name, name + std::strlen(name)));
            if (kind == '+') open[key] = true;
            if (kind == '-') open.erase(key);
        }
    }
    std::vector<TemporaryKey> keys;
    keys.reserve(open.size());
    for (const auto& entry : open) keys.push_back(entry.first);
    return keys;
}

// Reads what handle holds, up to a bound no run's record reaches.
std::string ReadAll(HANDLE handle) {
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    OVERLAPPED at = {};
    while (text.size() < (size_t{64} << 20)) {
        at.Offset = static_cast<DWORD>(text.size());
        if (!ReadFile(handle, chunk, sizeof chunk, &got, &at) || got == 0) break;
        text.append(chunk, got);
    }
    return text;
}

// Reads the records of the other runs of this user: one whose lock can be
// taken is a dead run's, whose temporaries not gone are leftovers; a dead
// record that tells of none is removed. The caller holds records.lock.
void ReadOtherRecords() {
    records.othersRead = true;
    records.others.clear();
    std::wstring folder = RunFolder();
    if (folder.empty()) return;
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((folder + L"*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return;
    do {
        bool record = std::wcsncmp(found.cFileName, kRecordPrefix, std::wcslen(kRecordPrefix)) == 0;
        bool pending = std::wcsncmp(found.cFileName, kPendingPrefix, std::wcslen(kPendingPrefix)) == 0;
        std::wstring path = folder + found.cFileName;
        if ((!record && !pending) || path == records.path) continue;
        HANDLE handle = OpenShared(path, OPEN_EXISTING);
        if (handle == INVALID_HANDLE_VALUE) continue;
        bool left = LockFar(handle, true);
        std::vector<TemporaryKey> open = record ? OpenRecords(ReadAll(handle)) : std::vector<TemporaryKey>();
        CloseHandle(handle);
        if (left && open.empty()) DeleteFileW(path.c_str());
        for (const TemporaryKey& key : open) records.others[key] = left;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
}

// The line of a record of key: kind '+' (made) or '-' (gone).
std::string RecordLine(char kind, const TemporaryKey& key) {
    char line[320];
    std::string name = Narrow(key.second);
    int length =
        std::snprintf(line, sizeof line, "%c %llx %llx 0 %s\n", kind, key.first.first, key.first.second, name.c_str());
    return length > 0 && static_cast<size_t>(length) < sizeof line ? std::string(line, static_cast<size_t>(length))
                                                                   : std::string();
}

}  // namespace

void NoteTemporary(const std::wstring& path) {
    TemporaryKey key;
    if (!KeyOf(path, &key)) return;
    std::lock_guard<std::mutex> held(records.lock);
    OpenOwnRecord();
    records.own[path] = key;
    WriteRecord(RecordLine('+', key));
}

void NoteTemporaryGone(const std::wstring& path) {
    std::lock_guard<std::mutex> held(records.lock);
    auto own = records.own.find(path);
    if (own == records.own.end()) return;
    WriteRecord(RecordLine('-', own->second));
    records.own.erase(own);
}

void ForgetRunRecords() {
    std::lock_guard<std::mutex> held(records.lock);
    records.othersRead = false;
    records.others.clear();
}

// A temporary is a file (or a link to one), never a folder.
TemporaryOrigin platformTemporaryOrigin(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(platformSystemPath(path).c_str());
    TemporaryKey key;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) || !KeyOf(path, &key)) {
        return TEMPORARY_UNPROVEN;
    }
    std::lock_guard<std::mutex> held(records.lock);
    for (const auto& own : records.own) {
        if (own.second == key) return TEMPORARY_IN_USE;
    }
    if (!records.othersRead) ReadOtherRecords();
    auto other = records.others.find(key);
    if (other == records.others.end()) return TEMPORARY_UNPROVEN;
    return other->second ? TEMPORARY_LEFT : TEMPORARY_IN_USE;
}

std::wstring platformUserName() {
    wchar_t name[257];
    DWORD room = sizeof name / sizeof name[0];
    if (!GetUserNameW(name, &room)) return std::wstring();
    return name;
}

long platformProcessNumber() { return static_cast<long>(GetCurrentProcessId()); }
