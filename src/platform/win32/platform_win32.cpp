// The system seam on Windows.
#include "platform/platform.h"

#include "base/separator.h"
#include "base/temporary_name.h"

#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>
#include <io.h>

#include <share.h>

#include <clocale>
#include <cstdio>
#include <cwchar>
#include <cstdlib>
#include <climits>
#include <string>
#include <vector>

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace {

// The system's words for the last failure, or empty.
std::wstring lastFailure;

// The system's code for the last failure, or 0.
DWORD lastFailureCode = 0;

// The system's message for an error code, without its closing period and line end.
std::wstring SystemWords(DWORD error) {
    wchar_t buffer[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                                  512, nullptr);
    std::wstring words(buffer, length);
    while (!words.empty() &&
           (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ' || words.back() == L'.')) {
        words.pop_back();
    }
    return words.empty() ? L"error " + std::to_wstring(error) : words;
}

// Keeps the reason of a failure with the given error code; always false.
bool NoteError(DWORD error) {
    lastFailure = SystemWords(error);
    lastFailureCode = error;
    return false;
}

// Keeps GetLastError as the reason when ok is false; passes ok through.
bool Noted(bool ok) {
    if (!ok) NoteError(GetLastError());
    return ok;
}

// Keeps errno as the reason when ok is false (the runtime's calls); passes ok through.
bool NotedErrno(bool ok) {
    if (!ok) {
        const wchar_t* words = _wcserror(errno);
        lastFailure = words ? words : L"error";
        lastFailureCode = static_cast<DWORD>(_doserrno);
    }
    return ok;
}

// From this length on, a path is handed to the system in its long form: the
// plain form of some calls stops short of MAX_PATH (CreateDirectoryW keeps
// room for an 8.3 name).
const size_t kPlainPathLimit = MAX_PATH - 12;

bool IsSlash(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// True for C:\ or \\x: a path the system resolves without the current directory.
bool IsFullyQualified(const wchar_t* path) {
    if (path[0] != L'\0' && path[1] == L':' && IsSlash(path[2])) return true;
    return IsSlash(path[0]) && IsSlash(path[1]);
}

// The system's own reading of path (separators, "." and ".." resolved
// against the current directory) into full; false when it has none.
bool FullPathOf(const wchar_t* path, std::wstring* full) {
    DWORD room = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (room == 0) return false;
    full->assign(room, L'\0');
    DWORD length = GetFullPathNameW(path, room, &(*full)[0], nullptr);
    if (length == 0 || length >= room) return false;
    full->resize(length);
    return true;
}

}  // namespace

std::wstring platformSystemPath(const wchar_t* path) {
    size_t length = wcslen(path);
    if (IsFullyQualified(path) && length < kPlainPathLimit) return path;
    // Already in a form the system takes as it stands (long or device form).
    if (length >= 4 && IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
        IsSlash(path[3])) {
        return path;
    }
    // The system's own reading of the path: separators, "." and ".." resolved
    // against the current directory as every plain call resolves them.
    std::wstring full;
    if (!FullPathOf(path, &full)) return path;
    if (full.size() < kPlainPathLimit) return length < kPlainPathLimit ? std::wstring(path) : full;
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    if (full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' && full[2] != L'.') {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return path;  // a device name (\\.\CON) or anything else: as given
}

namespace {

const int64_t kTicksPerSecond = 10000000;
const int64_t kEpochDifference = 116444736000000000LL;  // 1601 to 1970, in 100 ns

int64_t SecondsSince1970(const FILETIME& time) {
    int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    ticks -= kEpochDifference;
    int64_t seconds = ticks / kTicksPerSecond;
    if (ticks % kTicksPerSecond < 0) --seconds;  // whole seconds, rounded down
    return seconds;
}

// Symbolic links and junctions; other reparse points (cloud files, dedup) are
// ordinary entries to us. Wine shows a unix link to a directory as a reparse
// point without a tag (Windows always tells the tag), so no tag means a link.
bool IsLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == 0);
}

// Under Wine a unix link to a file looks like a plain file, and deleting,
// removing or changing the attributes of a unix link acts on what it points
// to; on Windows every link carries its reparse tag.
bool LinksMayHide() {
    static const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return underWine;
}

// The name the system keeps for an open entry, in the \\?\ form. Wine's
// GetFinalPathNameByHandleW fails on paths past MAX_PATH; its own object
// name (\??\C:\...) tells the same there.
std::wstring FinalPathOfHandle(HANDLE handle) {
    std::wstring result(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &result[0], static_cast<DWORD>(result.size()), 0);
    if (length >= result.size()) {
        result.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, &result[0], static_cast<DWORD>(result.size()), 0);
    }
    if (length > 0 && length < result.size()) {
        result.resize(length);
        return result;
    }
    typedef LONG(NTAPI * QueryObject)(HANDLE, int, PVOID, ULONG, PULONG);
    static const QueryObject query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    if (!query || !LinksMayHide()) return std::wstring();
    struct Name {
        USHORT length;  // in bytes
        USHORT room;
        PWSTR text;
    };
    std::vector<unsigned char> buffer(sizeof(Name) + 65536 * sizeof(wchar_t));
    ULONG returned = 0;
    const int kObjectNameInformation = 1;
    if (query(handle, kObjectNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &returned) != 0) {
        return std::wstring();
    }
    const Name* name = reinterpret_cast<const Name*>(buffer.data());
    std::wstring text(name->text, name->length / sizeof(wchar_t));
    if (text.compare(0, 4, L"\\??\\") != 0) return std::wstring();
    return L"\\\\?\\" + text.substr(4);
}

// The system's final path of path, links resolved; empty when it cannot be read.
std::wstring FinalPathOf(const std::wstring& path) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path.c_str()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring result = FinalPathOfHandle(handle);
    CloseHandle(handle);
    while (result.size() > 1 && result.back() == L'\\') result.pop_back();
    return result;
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// True when path, as its last component, is a link the listing may not have
// shown: its final path is not its parent's final path followed by its own
// name. Only asked under Wine, and only before a change, never per entry
// walked. An entry whose final path cannot be read counts as such a link, so
// that a change never goes ahead on a guess.
bool IsHiddenLink(const wchar_t* path) {
    if (!LinksMayHide()) return false;
    std::wstring full;
    if (!FullPathOf(path, &full)) return true;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    size_t cut = full.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= full.size()) return true;
    std::wstring name = full.substr(cut + 1);
    std::wstring parent = full.substr(0, cut + 1);  // a drive root keeps its backslash
    std::wstring finalEntry = FinalPathOf(full);
    std::wstring finalParent = FinalPathOf(parent);
    if (finalEntry.empty() || finalParent.empty()) return true;
    size_t entryCut = finalEntry.find_last_of(L'\\');
    if (entryCut == std::wstring::npos) return true;
    return !SameTextIgnoringCase(finalEntry.substr(0, entryCut), finalParent) ||
           !SameTextIgnoringCase(finalEntry.substr(entryCut + 1), name);
}

// The attribute word and reparse tag of path itself, as a listing shows them.
bool ReadOwnAttributes(const wchar_t* path, DWORD* attributes, DWORD* tag) {
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(platformSystemPath(path).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FindClose(handle);
    *attributes = data.dwFileAttributes;
    *tag = data.dwReserved0;
    return true;
}

// A name beside target for a copy in progress; the process id keeps runs apart.
std::wstring TemporaryNameBeside(const std::wstring& target) {
    static volatile LONG counter = 0;
    size_t cut = target.find_last_of(L"\\/");
    std::wstring parent = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);
    return parent + temporaryName(static_cast<long>(GetCurrentProcessId()),
                                  static_cast<unsigned>(InterlockedIncrement(&counter) - 1));
}

// The file time of whole seconds since 1970 UTC.
FILETIME FileTimeOf(int64_t secondsSince1970) {
    uint64_t ticks = static_cast<uint64_t>(secondsSince1970 * kTicksPerSecond + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

// Cancels a copy in progress once a stop is asked for (Wine calls it never).
DWORD CALLBACK StopWhenAsked(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                             LPVOID) {
    return platformStopRequested() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Told while a copy goes on; see platformOnCopyProgress.
void (*copyTick)(void*) = nullptr;
void* copyTickData = nullptr;

// Files from this size on are copied on a thread of their own.
const DWORD kLongCopySize = 1u << 20;

// One copy to a new file, and how it ended.
struct CopyJob {
    const wchar_t* source;
    const wchar_t* target;
    BOOL done;
    DWORD error;
};

DWORD WINAPI RunCopyJob(LPVOID data) {
    CopyJob* job = static_cast<CopyJob*>(data);
    job->done = CopyFileExW(job->source, job->target, StopWhenAsked, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS);
    job->error = job->done ? ERROR_SUCCESS : GetLastError();
    return 0;
}

// Copies source to the new file target. A file of a megabyte or more is
// copied on a thread of its own while this thread ticks every 50 ms, so that
// the front end (a window) lives through a long copy: the copy's progress
// routine would tick on Windows only, and not on this thread.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target, DWORD* error) {
    CopyJob job{source.c_str(), target.c_str(), FALSE, ERROR_SUCCESS};
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool lasting = copyTick && GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data) &&
                   (data.nFileSizeHigh != 0 || data.nFileSizeLow >= kLongCopySize);
    HANDLE thread = lasting ? CreateThread(nullptr, 0, RunCopyJob, &job, 0, nullptr) : nullptr;
    if (thread) {
        while (WaitForSingleObject(thread, 50) == WAIT_TIMEOUT) copyTick(copyTickData);
        WaitForSingleObject(thread, INFINITE);  // the job lives here until the copy is over
        CloseHandle(thread);
    } else {
        RunCopyJob(&job);
    }
    *error = job.error;
    return job.done != 0;
}

// What tells that a file's contents changed: its size and its write and
// change times, to the tick.
struct ContentStamp {
    LARGE_INTEGER size;
    LARGE_INTEGER written;
    LARGE_INTEGER changed;
};

// Reads the stamp of the file at path (a system path); false when it cannot be read.
bool ReadContentStamp(const std::wstring& path, ContentStamp* stamp) {
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO basic;
    bool ok = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
              GetFileSizeEx(handle, &stamp->size);
    CloseHandle(handle);
    stamp->written = basic.LastWriteTime;
    stamp->changed = basic.ChangeTime;
    return ok;
}

bool SameStamp(const ContentStamp& a, const ContentStamp& b) {
    return a.size.QuadPart == b.size.QuadPart && a.written.QuadPart == b.written.QuadPart &&
           a.changed.QuadPart == b.changed.QuadPart;
}

// A source read this many times over, changing each time, fails its copy.
const int kCopyTries = 3;

// Removes a temporary of this process, read-only or not.
void RemoveTemporary(const std::wstring& temporary) {
    std::wstring system = platformSystemPath(temporary.c_str());
    SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(system.c_str());
}

CopyOutcome OutcomeOf(DWORD error) {
    if (error == ERROR_ACCESS_DENIED) return COPY_ACCESS_DENIED;
    if (error == ERROR_ALREADY_EXISTS) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

CopyOutcome FailedCopy(DWORD error) {
    NoteError(error);
    return OutcomeOf(error);
}

// The tree a run changes, as the run spells it; see platformGuardTree.
std::wstring guardedRoot;

// True when path lies strictly below the guarded tree.
bool InsideGuardedTree(const wchar_t* path) {
    if (guardedRoot.empty()) return false;
    size_t length = guardedRoot.size();
    if (wcsncmp(path, guardedRoot.c_str(), length) != 0) return false;
    if (path[length] != L'\\' && path[length] != L'/') return false;
    for (const wchar_t* rest = path + length; *rest; ++rest) {
        if (*rest != L'\\' && *rest != L'/') return true;
    }
    return false;
}

// The deepest directory of the guarded tree whose way from the root is known
// to hold no link; a walk asks about one directory's entries after another,
// so each level is looked at once.
std::wstring linkFreeDirectory;

// True when a directory between the guarded root and path's own name is a
// link (or cannot be looked at): nothing is changed or read through it.
bool ThroughLink(const wchar_t* path) {
    if (!InsideGuardedTree(path)) return false;
    std::wstring text(path);
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    size_t last = text.find_last_of(L"\\/");
    if (last == std::wstring::npos || last <= guardedRoot.size()) return false;
    std::wstring parent = text.substr(0, last);
    size_t start = guardedRoot.size();
    if (!linkFreeDirectory.empty() && parent.compare(0, linkFreeDirectory.size(), linkFreeDirectory) == 0 &&
        (parent.size() == linkFreeDirectory.size() || parent[linkFreeDirectory.size()] == L'\\' ||
         parent[linkFreeDirectory.size()] == L'/')) {
        start = linkFreeDirectory.size();
    }
    while (start < parent.size()) {
        size_t end = parent.find_first_of(L"\\/", start + 1);
        if (end == std::wstring::npos) end = parent.size();
        std::wstring level = parent.substr(0, end);
        DWORD attributes = GetFileAttributesW(platformSystemPath(level.c_str()).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            linkFreeDirectory = level.substr(0, start);
            return true;
        }
        start = end;
    }
    linkFreeDirectory = parent;
    return false;
}

// While a tree is guarded, changes are made below its root only, and never
// through a link on the way there.
bool RefusedChange(const wchar_t* path) {
    bool refused = (!guardedRoot.empty() && !InsideGuardedTree(path)) || ThroughLink(path);
    if (refused) NoteError(ERROR_ACCESS_DENIED);
    return refused;
}

// Inside the guarded tree a symbolic link or junction is told as itself.
bool GuardedLink(const wchar_t* path, DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !InsideGuardedTree(path)) return false;
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(platformSystemPath(path).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FindClose(handle);
    return IsLinkTag(data.dwFileAttributes, data.dwReserved0);
}

// The path of an open entry as the system resolves it, in lower case, or empty.
std::wstring LowerFinalPathOf(const wchar_t* path) {
    std::wstring text = FinalPathOf(std::wstring(path));
    for (wchar_t& unit : text) unit = static_cast<wchar_t>(towlower(unit));
    return text;
}

bool IdentityOfHandle(HANDLE handle, DirectoryIdentity* identity, DWORD* attributes) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (attributes) *attributes = info.dwFileAttributes;
    return true;
}

}  // namespace

struct DirectoryListing {
    HANDLE handle;
    WIN32_FIND_DATAW pending;  // the entry FindFirstFileW delivered
    bool hasPending;
    DWORD failure;  // why the listing ended early, or 0 when it ran to its end
};

void platformSetUserLocale() { std::setlocale(LC_ALL, ""); }

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    if (ThroughLink(path)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(platformSystemPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    status->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->isLink = GuardedLink(path, data.dwFileAttributes);
    status->isRegular = !status->isDirectory && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
    status->attributeWord = data.dwFileAttributes;
    status->modifiedSeconds = SecondsSince1970(data.ftLastWriteTime);
    status->size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool platformEntryExists(const wchar_t* path) {
    return GetFileAttributesW(platformSystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool platformIsLink(const wchar_t* path) {
    DWORD attributes;
    DWORD tag;
    if (!ReadOwnAttributes(path, &attributes, &tag)) return false;
    return IsLinkTag(attributes, tag) || IsHiddenLink(path);
}

// Windows always shows a link's tag; under Wine a link may pass for a plain entry.
bool platformLinksAreVisible() { return !LinksMayHide(); }

bool platformReadAttributeWord(const wchar_t* path, uint32_t* word) {
    DWORD attributes = GetFileAttributesW(platformSystemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    *word = attributes;
    return true;
}

// Never through a link that would carry the change to what it points to. A
// word the entry already carries is not written again: a volume that holds
// no modes (FAT under Wine) refuses even that.
bool platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    if (RefusedChange(path)) return false;
    if (IsHiddenLink(path)) return NoteError(ERROR_ACCESS_DENIED);
    std::wstring system = platformSystemPath(path);
    if (GetFileAttributesW(system.c_str()) == word) return true;
    return Noted(SetFileAttributesW(system.c_str(), word) != 0);
}

// A link has no protection of its own: what it points to keeps its attributes.
bool platformClearProtection(const wchar_t* path) {
    if (RefusedChange(path)) return false;
    if (IsHiddenLink(path)) return true;
    return Noted(SetFileAttributesW(platformSystemPath(path).c_str(), FILE_ATTRIBUTE_ARCHIVE) != 0);
}

bool platformCreateDirectory(const wchar_t* path) {
    return !RefusedChange(path) && Noted(CreateDirectoryW(platformSystemPath(path).c_str(), nullptr) != 0);
}

// A new directory takes its folder's permissions, as every other one here.
bool platformCreateOwnerDirectory(const wchar_t* path) { return platformCreateDirectory(path); }

// Windows tells only by trying.
bool platformMayAddTo(const wchar_t*) { return true; }

bool platformIsDriveName(const wchar_t* path, size_t length) { return length > 0 && path[length - 1] == L':'; }

// Any root level: a drive (C:), a share (\\server\share) or a long form of either.
bool platformDriveHoldsFolders(const wchar_t* path) {
    std::wstring root(path);
    if (root.empty()) return false;
    if (root.back() != L'\\' && root.back() != L'/') root.push_back(L'\\');
    UINT type = GetDriveTypeW(root.c_str());
    return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_REMOTE;
}

int64_t platformTimeStepOfFileSystem(const wchar_t* name) {
    const wchar_t* const coarse[] = {L"FAT", L"FAT12", L"FAT16", L"FAT32"};
    for (const wchar_t* known : coarse) {
        if (_wcsicmp(name, known) == 0) return 2;
    }
    return 0;
}

// Only FAT's name tells: Wine, and a share served by Samba, name their
// volumes NTFS whatever file system lies below.
int64_t platformVolumeTimeStep(const wchar_t* directory) {
    std::wstring system = platformSystemPath(directory);
    std::vector<wchar_t> root(system.size() + 2, L'\0');
    if (!GetVolumePathNameW(system.c_str(), root.data(), static_cast<DWORD>(root.size()))) return 0;
    wchar_t name[MAX_PATH + 1] = {0};
    if (!GetVolumeInformationW(root.data(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) return 0;
    return platformTimeStepOfFileSystem(name);
}

bool platformProbeModifiedTime(const wchar_t* directory, int64_t written, int64_t* readBack) {
    std::wstring base(directory);
    if (!base.empty() && !IsSlash(base.back())) base.push_back(L'\\');
    std::wstring path = TemporaryNameBeside(base);
    if (RefusedChange(path.c_str())) return false;
    std::wstring system = platformSystemPath(path.c_str());
    HANDLE file = CreateFileW(system.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // Both times, as a copy sets them: some file systems (FUSE over libfuse 2)
    // take no modification time given alone.
    FILETIME time = FileTimeOf(written);
    bool set = SetFileTime(file, nullptr, &time, &time) != 0;
    CloseHandle(file);
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool read = set && GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data);
    DeleteFileW(system.c_str());
    if (read) *readBack = SecondsSince1970(data.ftLastWriteTime);
    return read;
}

// The copy is written under a temporary name beside the target, with the
// source's contents, times and attributes, and then renamed over the target:
// the target's name never holds a half-written file, a failed copy leaves the
// old target as it was, and a link or hard link under the target's name is
// replaced, never written through. A read-only target is refused as a copy
// onto it would be, so that the caller may clear its protection and retry.
CopyOutcome platformCopyFile(const wchar_t* source, const wchar_t* target) {
    if (RefusedChange(target)) return COPY_FAILED;
    std::wstring systemSource = platformSystemPath(source);
    std::wstring systemTarget = platformSystemPath(target);
    DWORD existing = GetFileAttributesW(systemTarget.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (existing & FILE_ATTRIBUTE_DIRECTORY) return FailedCopy(ERROR_ACCESS_DENIED);
        if ((existing & FILE_ATTRIBUTE_READONLY) && !IsHiddenLink(target)) return FailedCopy(ERROR_ACCESS_DENIED);
    }
    // The source is looked at before and after each copy: one that changed
    // while it was read is read again, so no copy stands as up to date with
    // contents its source never had.
    std::wstring temporary;
    int reads = 0;
    for (int attempt = 0;; ++attempt) {
        temporary = platformSystemPath(TemporaryNameBeside(target).c_str());
        DWORD error = ERROR_SUCCESS;
        ContentStamp before;
        ContentStamp after;
        bool stamped = ReadContentStamp(systemSource, &before);
        bool copied = CopyToNewFile(systemSource, temporary, &error);
        if (copied && stamped && !platformStopRequested() &&
            (!ReadContentStamp(systemSource, &after) || !SameStamp(before, after))) {
            RemoveTemporary(temporary);
            if (++reads < kCopyTries) continue;
            lastFailure = L"the file changed while it was copied";
            return COPY_FAILED;
        }
        if (copied && !platformStopRequested()) break;
        if (copied || error == ERROR_REQUEST_ABORTED || platformStopRequested()) {
            RemoveTemporary(temporary);
            return COPY_STOPPED;
        }
        // A name left by a dead process of the same id is not ours to remove.
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 16) continue;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RemoveTemporary(temporary);
        return FailedCopy(error);
    }
    if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) return COPY_DONE;
    DWORD error = GetLastError();
    // A read-only temporary (from a read-only source) may be refused the
    // rename: move it writable and give the attribute back afterwards.
    DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return SetFileAttributesW(systemTarget.c_str(), attributes) ? COPY_DONE : FailedCopy(GetLastError());
        }
        error = GetLastError();
    }
    RemoveTemporary(temporary);
    return FailedCopy(error);
}

// Never through a link: Wine would delete what a unix link points to.
bool platformDeleteFile(const wchar_t* path) {
    if (RefusedChange(path)) return false;
    if (IsHiddenLink(path)) return NoteError(ERROR_ACCESS_DENIED);
    return NotedErrno(_wremove(platformSystemPath(path).c_str()) == 0);
}

// Never a link: Wine would remove the empty directory a unix link points to.
bool platformRemoveDirectory(const wchar_t* path) {
    if (RefusedChange(path)) return false;
    if (IsHiddenLink(path)) return NoteError(ERROR_ACCESS_DENIED);
    return NotedErrno(_wrmdir(platformSystemPath(path).c_str()) == 0);
}

// Windows removes a symbolic link or junction itself. Wine has no call that
// removes a unix link as a link (each acts on what it points to), so such a
// link stays.
bool platformRemoveLink(const wchar_t* path) {
    DWORD attributes;
    DWORD tag;
    if (!ReadOwnAttributes(path, &attributes, &tag)) return Noted(false);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT)) {
        return NoteError(ERROR_NOT_A_REPARSE_POINT);
    }
    std::wstring system = platformSystemPath(path);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Noted(RemoveDirectoryW(system.c_str()) != 0);
    return Noted(DeleteFileW(system.c_str()) != 0);
}

// A symbolic link's text is its print name (its substitute name, less the
// \??\ prefix, where it has none); a junction reads as the absolute path it names.
bool platformReadLink(const wchar_t* path, std::wstring* text) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Noted(false);
    std::vector<BYTE> data(16 * 1024);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                              &got, nullptr);
    DWORD error = GetLastError();
    CloseHandle(handle);
    if (!ok) return NoteError(error);
    auto word = [&](size_t at) { return at + 2 <= got ? static_cast<size_t>(data[at] | (data[at + 1] << 8)) : 0; };
    DWORD tag = got >= 4 ? *reinterpret_cast<const DWORD*>(data.data()) : 0;
    size_t names;
    if (tag == IO_REPARSE_TAG_SYMLINK) {
        names = 20;
    } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
        names = 16;
    } else {
        return NoteError(ERROR_NOT_A_REPARSE_POINT);
    }
    size_t substituteAt = word(8);
    size_t substituteLength = word(10);
    size_t printAt = word(12);
    size_t printLength = word(14);
    auto name = [&](size_t at, size_t length) {
        if (names + at + length > got) return std::wstring();
        std::wstring result(length / 2, L'\0');
        for (size_t i = 0; i < result.size(); ++i) {
            result[i] = static_cast<wchar_t>(data[names + at + 2 * i] | (data[names + at + 2 * i + 1] << 8));
        }
        return result;
    };
    std::wstring chosen = name(printAt, printLength);
    if (chosen.empty()) {
        chosen = name(substituteAt, substituteLength);
        if (chosen.compare(0, 4, L"\\??\\") == 0) chosen.erase(0, 4);
    }
    if (chosen.empty()) return NoteError(ERROR_INVALID_REPARSE_DATA);
    *text = chosen;
    return true;
}

// The link is made under a temporary name (without the right to make
// links, the system refuses it and the copy fails with its reason) and renamed
// over the target; a directory link in the target's place is removed first,
// as a rename cannot replace it.
CopyOutcome platformCopyLink(const wchar_t* source, const wchar_t* target) {
    if (RefusedChange(target)) return COPY_FAILED;
    std::wstring text;
    DWORD attributes;
    DWORD tag;
    if (!platformReadLink(source, &text)) return COPY_FAILED;
    if (!ReadOwnAttributes(source, &attributes, &tag)) return FailedCopy(GetLastError());
    std::wstring systemTarget = platformSystemPath(target);
    DWORD existing = GetFileAttributesW(systemTarget.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) &&
        !(existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return FailedCopy(ERROR_ACCESS_DENIED);
    }
    bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::wstring temporary = platformSystemPath(TemporaryNameBeside(target).c_str());
    DWORD flags = directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!CreateSymbolicLinkW(temporary.c_str(), text.c_str(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        DWORD error = GetLastError();
        // Systems before the flag refuse it as a parameter.
        if (error != ERROR_INVALID_PARAMETER || !CreateSymbolicLinkW(temporary.c_str(), text.c_str(), flags)) {
            return FailedCopy(error == ERROR_INVALID_PARAMETER ? GetLastError() : error);
        }
    }
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) &&
        !RemoveDirectoryW(systemTarget.c_str())) {
        DWORD error = GetLastError();
        RemoveDirectoryW(temporary.c_str());
        return FailedCopy(error);
    }
    if (!MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        if (directory) {
            RemoveDirectoryW(temporary.c_str());
        } else {
            DeleteFileW(temporary.c_str());
        }
        return FailedCopy(error);
    }
    return COPY_DONE;
}

void platformClearFailure() {
    lastFailure.clear();
    lastFailureCode = 0;
}

std::wstring platformFailureText() { return lastFailure; }

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!ok || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

DirectoryListing* platformOpenListing(const wchar_t* directory) {
    if (ThroughLink(directory)) {
        NoteError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    size_t length = wcslen(directory);
    wchar_t* pattern = new wchar_t[length + 2];
    wcscpy(pattern, directory);
    pattern[length] = L'*';
    pattern[length + 1] = L'\0';
    DirectoryListing* listing = new DirectoryListing;
    listing->handle = FindFirstFileW(platformSystemPath(pattern).c_str(), &listing->pending);
    delete[] pattern;
    if (listing->handle == INVALID_HANDLE_VALUE) {
        NoteError(GetLastError());
        delete listing;
        return nullptr;
    }
    listing->hasPending = true;
    listing->failure = 0;
    return listing;
}

bool platformNextEntry(DirectoryListing* listing, DirectoryEntry* entry) {
    WIN32_FIND_DATAW data;
    if (listing->hasPending) {
        data = listing->pending;
        listing->hasPending = false;
    } else if (!FindNextFileW(listing->handle, &data)) {
        DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) listing->failure = error;
        return false;
    }
    wcsncpy(entry->name, data.cFileName, PLATFORM_NAME_MAX);
    entry->name[PLATFORM_NAME_MAX] = L'\0';
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isLink = IsLinkTag(data.dwFileAttributes, data.dwReserved0);
    // The find data holds what the status query reads, except of a reparse
    // point, whose query follows it.
    entry->statusKnown = !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (entry->statusKnown) {
        EntryStatus& status = entry->status;
        status.isDirectory = entry->isDirectory;
        status.isLink = false;
        status.isRegular = !status.isDirectory && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
        status.attributeWord = data.dwFileAttributes;
        status.modifiedSeconds = SecondsSince1970(data.ftLastWriteTime);
        status.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
}

bool platformCloseListing(DirectoryListing* listing) {
    BOOL ok = FindClose(listing->handle);
    DWORD failure = listing->failure;
    delete listing;
    if (failure != 0) NoteError(failure);  // cut short: not every entry was handed over
    return ok != 0 && failure == 0;
}

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(room), buffer);
    if (length == 0 || length >= room) {
        if (room > 0) buffer[0] = L'\0';
        return 0;
    }
    return length;
}

namespace {

// A C stream over a file handle opened for writing; null (the handle closed) on failure.
FILE* StreamOfHandle(HANDLE handle) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _wfdopen(fd, L"wb");
    if (!file) _close(fd);
    return file;
}

// Makes a new file beside path and moves it over path: a link or another
// name of a file goes as a name, what it named stays as it was.
HANDLE ReplaceByNewFile(const std::wstring& path) {
    std::wstring temporary = platformSystemPath(TemporaryNameBeside(path).c_str());
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    if (!MoveFileExW(temporary.c_str(), platformSystemPath(path.c_str()).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        DeleteFileW(temporary.c_str());
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

FILE* platformOpenOwnFile(const wchar_t* path) {
    std::wstring system = platformSystemPath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            NoteError(error);
            return nullptr;
        }
        handle = CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!Noted(handle != INVALID_HANDLE_VALUE)) return nullptr;
        return StreamOfHandle(handle);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!Noted(GetFileInformationByHandle(handle, &info) != 0)) {
        CloseHandle(handle);
        return nullptr;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(handle);
        NoteError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1) {
        CloseHandle(handle);
        handle = ReplaceByNewFile(path);
        if (!Noted(handle != INVALID_HANDLE_VALUE)) return nullptr;
        return StreamOfHandle(handle);
    }
    if (!Noted(SetEndOfFile(handle) != 0)) {
        CloseHandle(handle);
        return nullptr;
    }
    return StreamOfHandle(handle);
}

bool platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return NotedErrno(std::fflush(file) == 0 && whole);
}

bool platformCloseFile(FILE* file) { return NotedErrno(std::fclose(file) == 0); }

FILE* platformOpenRead(const wchar_t* path) { return _wfsopen(platformSystemPath(path).c_str(), L"rb", _SH_DENYNO); }

void platformCommandLine(int, char**, std::vector<std::wstring>* arguments) {
    arguments->clear();
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) return;
    for (int i = 0; i < count; ++i) arguments->push_back(list[i]);
    LocalFree(list);
}

namespace {
HANDLE StandardHandle(int stream) {
    if (stream == PLATFORM_STDIN) return GetStdHandle(STD_INPUT_HANDLE);
    return GetStdHandle(stream == PLATFORM_STDOUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}
}  // namespace

bool platformIsTerminal(int stream) { return IsConsole(StandardHandle(stream)); }

// Windows ends no program for a file's size.
void platformKeepRunningPastFileLimits() {}

// The console shows ANSI sequences once asked to.
bool platformTerminalShowsColors(int stream) {
    HANDLE handle = StandardHandle(stream);
    DWORD mode;
    if (!IsConsole(handle) || !GetConsoleMode(handle, &mode)) return false;
    return SetConsoleMode(handle, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
}

// The runtime keeps the numbers of the standard streams for them, open or not.
void platformGuardStandardStreams() {}

bool platformWriteText(int stream, const wchar_t* text) {
    HANDLE handle = StandardHandle(stream);
    DWORD written;
    if (IsConsole(handle)) {
        DWORD length = static_cast<DWORD>(wcslen(text));
        return Noted(WriteConsoleW(handle, text, length, &written, nullptr) != 0 && written == length);
    }
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    std::string bytes;
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = text; *p; ++p) {
        int n = wctomb(piece, *p);
        if (n < 0) {
            bytes.push_back('?');
        } else {
            bytes.append(piece, static_cast<size_t>(n));
        }
    }
    bool whole = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return NotedErrno(fflush(file) == 0 && whole);
}

bool platformReadLine(std::wstring* line) {
    HANDLE handle = StandardHandle(PLATFORM_STDIN);
    line->clear();
    if (IsConsole(handle)) {
        wchar_t unit;
        DWORD got = 0;
        bool any = false;
        while (ReadConsoleW(handle, &unit, 1, &got, nullptr) && got == 1) {
            any = true;
            if (unit == L'\n') return true;
            if (unit != L'\r') line->push_back(unit);
        }
        return any;
    }
    std::string bytes;
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') bytes.push_back(static_cast<char>(c));
    if (c == EOF && bytes.empty()) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    std::wstring text(bytes.size() + 1, L'\0');
    size_t count = mbstowcs(&text[0], bytes.c_str(), text.size());
    if (count == static_cast<size_t>(-1)) count = 0;
    text.resize(count);
    *line = text;
    return true;
}

void platformSleep(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

int64_t platformMicroseconds() {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                                now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

int64_t platformMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

namespace {
void (*interruptHandler)() = nullptr;
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (!interruptHandler) return FALSE;
    void (*handler)() = interruptHandler;
    interruptHandler = nullptr;  // a second Ctrl+C ends the program at once
    platformRequestStop();
    handler();
    return TRUE;
}
}  // namespace

void platformOnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void platformOnCopyProgress(void (*tick)(void*), void* data) {
    copyTick = tick;
    copyTickData = data;
}

EntryPresence platformEntryPresence(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(platformSystemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ENTRY_LINK : ENTRY_PRESENT;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY ||
        error == ERROR_INVALID_NAME) {
        return ENTRY_ABSENT;
    }
    return ENTRY_UNKNOWN;
}

bool platformGuardTree(const wchar_t* root) {
    std::wstring text(root);
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    if (GetFileAttributesW(platformSystemPath(text.c_str()).c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(platformSystemPath(root).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    guardedRoot = text;
    linkFreeDirectory.clear();
    return true;
}

// The lock is a named mutex of the directory's identity: a mutex whose
// holder ended is handed to the next who waits for it.
struct TreeLock {
    HANDLE mutex;
};

LockOutcome platformLockTree(const wchar_t* root, TreeLock** lock, long* holder) {
    *holder = 0;
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(root, &identity)) {
        NoteError(GetLastError());
        return LOCK_FAILED;
    }
    wchar_t name[96];
    swprintf(name, 96, L"Global\\korvane-tree-%016llx-%016llx", static_cast<unsigned long long>(identity.volume),
             static_cast<unsigned long long>(identity.index));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        swprintf(name, 96, L"korvane-tree-%016llx-%016llx", static_cast<unsigned long long>(identity.volume),
                 static_cast<unsigned long long>(identity.index));
        mutex = CreateMutexW(nullptr, FALSE, name);
    }
    if (!Noted(mutex != nullptr)) return LOCK_FAILED;
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return LOCK_HELD;
    }
    *lock = new TreeLock{mutex};
    return LOCK_TAKEN;
}

void platformUnlockTree(TreeLock* lock) {
    if (!lock) return;
    ReleaseMutex(lock->mutex);
    CloseHandle(lock->mutex);
    delete lock;
}

// Windows follows no user's link into what the user may not read: the
// system checks each access as the user's own... and this process's; a
// From path reaches the system whole.
bool platformReadTree(const wchar_t*) { return true; }

void platformReleaseReadTree() {}

bool platformOthersMayChange(const wchar_t*) { return false; }

bool platformRunsAsRoot() { return false; }

void platformReleaseTree() {
    guardedRoot.clear();
    linkFreeDirectory.clear();
}

// The drive a path lies on is its letter's root or its share's root; a volume
// mounted into a folder (as Wine shows every unix mount) is a folder like any.
bool platformIsTopOfVolume(const wchar_t* path) {
    std::wstring full;
    if (!FullPathOf(path, &full)) return false;
    int rootLength = rootLevelLength(full.c_str(), static_cast<int>(full.size()));
    if (rootLength == 0) return false;
    std::wstring root = full.substr(0, static_cast<size_t>(rootLength));
    if (!IsSlash(root.back())) root.push_back(L'\\');
    DirectoryIdentity named;
    DirectoryIdentity top;
    if (platformDirectoryIdentity(path, &named) && platformDirectoryIdentity(root.c_str(), &top)) {
        return sameIdentity(named, top);
    }
    std::wstring bare = full;
    while (!bare.empty() && bare.back() == L'\\') bare.pop_back();
    while (!root.empty() && IsSlash(root.back())) root.pop_back();
    return _wcsicmp(bare.c_str(), root.c_str()) == 0;
}

// Walks up the final path of the directory, one level at a time.
bool platformDirectoryChain(const wchar_t* directory, std::vector<DirectoryIdentity>* chain) {
    chain->clear();
    std::wstring path = LowerFinalPathOf(directory);
    if (path.empty()) return false;
    for (;;) {
        std::wstring level = path;
        if (level.back() == L':') level.push_back(L'\\');
        DirectoryIdentity identity;
        if (!platformDirectoryIdentity(level.c_str(), &identity)) break;
        chain->push_back(identity);
        size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos || path.back() == L':') break;
        path.resize(cut);
        if (path.empty() || path.back() == L'?' || path.back() == L'\\') break;
    }
    return !chain->empty();
}

bool platformEntryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool ok = IdentityOfHandle(handle, identity, nullptr);
    CloseHandle(handle);
    return ok;
}

bool platformStreamIdentity(FILE* file, DirectoryIdentity* identity) {
    if (!file) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && IdentityOfHandle(handle, identity, nullptr);
}

bool platformProcessIsGone(long process) {
    if (process <= 0) return false;
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(process));
    if (!handle) return GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    bool gone = GetExitCodeProcess(handle, &code) && code != STILL_ACTIVE;
    CloseHandle(handle);
    return gone;
}

long platformProcessId() { return static_cast<long>(GetCurrentProcessId()); }

// Versions: keeping what a run replaces or deletes in the guarded tree,
// before it changes, in a folder of the guarded tree or in a tree of its own.

namespace {

// The tree a run keeps versions in, outside the guarded tree, as the run spells it.
std::wstring versionRoot;

// True when path lies strictly below root (as spelt).
bool StrictlyBelow(const std::wstring& root, const wchar_t* path) {
    if (root.empty()) return false;
    size_t length = root.size();
    if (wcsncmp(path, root.c_str(), length) != 0 || !IsSlash(path[length])) return false;
    for (const wchar_t* rest = path + length; *rest; ++rest) {
        if (!IsSlash(*rest)) return true;
    }
    return false;
}

// True when a directory between the version root and path's own name is a
// link, or cannot be looked at: nothing is made or moved through it.
bool VersionThroughLink(const wchar_t* path) {
    std::wstring text(path);
    while (text.size() > 1 && IsSlash(text.back())) text.pop_back();
    size_t last = text.find_last_of(L"\\/");
    size_t at = versionRoot.size();
    while (last != std::wstring::npos && at < last) {
        size_t end = text.find_first_of(L"\\/", at + 1);
        if (end == std::wstring::npos || end > last) end = last;
        DWORD attributes = GetFileAttributesW(platformSystemPath(text.substr(0, end).c_str()).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
        at = end;
    }
    return false;
}

// True, the reason noted, when a version function may not change path: in
// the guarded tree as any change there; in the version tree, below its root
// and through no link; elsewhere only when outsideAllowed (the levels of a
// versions folder not made yet).
bool RefusedVersionPlace(const wchar_t* path, bool outsideAllowed) {
    bool inVersions = StrictlyBelow(versionRoot, path);
    if (InsideGuardedTree(path) && (!inVersions || guardedRoot.size() > versionRoot.size())) {
        return RefusedChange(path);
    }
    if (inVersions) {
        if (!VersionThroughLink(path)) return false;
    } else if (outsideAllowed) {
        return false;
    }
    NoteError(ERROR_ACCESS_DENIED);
    return true;
}

// True, the reason noted, when entry is no entry of the guarded tree that a
// version function may take.
bool RefusedGuardedEntry(const wchar_t* entry) {
    if (InsideGuardedTree(entry)) return RefusedChange(entry);
    NoteError(ERROR_ACCESS_DENIED);
    return true;
}

VersionOutcome FailedVersion(DWORD error, bool copyInstead) {
    NoteError(error);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return VERSION_TAKEN;
    return copyInstead ? VERSION_COPY_INSTEAD : VERSION_FAILED;
}

// Renames temporary, a name of our own, to target without replacing
// anything; a read-only temporary refused the rename is moved writable and
// given its attribute back. The temporary goes on failure.
bool PlaceTemporary(const std::wstring& temporary, const std::wstring& target) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), 0)) return true;
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (MoveFileExW(temporary.c_str(), target.c_str(), 0)) {
            SetFileAttributesW(target.c_str(), attributes);
            return true;
        }
        error = GetLastError();
    }
    RemoveTemporary(temporary);
    NoteError(error);
    return false;
}

}  // namespace

bool platformHoldVersionTree(const wchar_t* root) {
    std::wstring text(root);
    while (text.size() > 1 && IsSlash(text.back())) text.pop_back();
    DWORD attributes = GetFileAttributesW(platformSystemPath(text.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Noted(false);
    versionRoot = text;
    return true;
}

void platformReleaseVersionTree() { versionRoot.clear(); }

VersionOutcome platformMakeVersionDirectory(const wchar_t* path) {
    if (RefusedVersionPlace(path, true)) return VERSION_FAILED;
    if (CreateDirectoryW(platformSystemPath(path).c_str(), nullptr)) return VERSION_DONE;
    return FailedVersion(GetLastError(), false);
}

// A hard link; a volume that keeps no second names (FAT, some shares),
// another volume, or a file whose attributes this user may not write (a
// second name needs that right) leaves the version to a copy.
VersionOutcome platformLinkVersion(const wchar_t* entry, const wchar_t* version) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) return VERSION_FAILED;
    if (CreateHardLinkW(platformSystemPath(version).c_str(), platformSystemPath(entry).c_str(), nullptr)) {
        return VERSION_DONE;
    }
    DWORD error = GetLastError();
    bool copyInstead = error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_FUNCTION ||
                       error == ERROR_NOT_SUPPORTED || error == ERROR_TOO_MANY_LINKS || error == ERROR_ACCESS_DENIED;
    return FailedVersion(error, copyInstead);
}

// A rename without replacing, which the system refuses across volumes.
VersionOutcome platformMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) return VERSION_FAILED;
    if (MoveFileExW(platformSystemPath(entry).c_str(), platformSystemPath(version).c_str(), 0)) return VERSION_DONE;
    DWORD error = GetLastError();
    return FailedVersion(error, error == ERROR_NOT_SAME_DEVICE);
}

CopyOutcome platformCopyToVersion(const wchar_t* entry, const wchar_t* version) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) return COPY_FAILED;
    std::wstring systemVersion = platformSystemPath(version);
    std::wstring temporary = platformSystemPath(TemporaryNameBeside(version).c_str());
    DWORD attributes;
    DWORD tag;
    if (!ReadOwnAttributes(entry, &attributes, &tag)) return FailedCopy(GetLastError());
    if (IsLinkTag(attributes, tag)) {
        std::wstring text;
        if (!platformReadLink(entry, &text)) return COPY_FAILED;
        DWORD flags = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
        if (!CreateSymbolicLinkW(temporary.c_str(), text.c_str(),
                                 flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
            !CreateSymbolicLinkW(temporary.c_str(), text.c_str(), flags)) {
            return FailedCopy(GetLastError());
        }
        if (MoveFileExW(temporary.c_str(), systemVersion.c_str(), 0)) return COPY_DONE;
        DWORD error = GetLastError();
        if (flags) {
            RemoveDirectoryW(temporary.c_str());
        } else {
            DeleteFileW(temporary.c_str());
        }
        return FailedCopy(error);
    }
    DWORD error = ERROR_SUCCESS;
    if (!CopyToNewFile(platformSystemPath(entry), temporary, &error) || platformStopRequested()) {
        bool stopped = error == ERROR_REQUEST_ABORTED || platformStopRequested();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RemoveTemporary(temporary);
        return stopped ? COPY_STOPPED : FailedCopy(error);
    }
    return PlaceTemporary(temporary, systemVersion) ? COPY_DONE : OutcomeOf(lastFailureCode);
}

bool platformDeleteVersion(const wchar_t* version) {
    if (RefusedVersionPlace(version, false)) return false;
    std::wstring system = platformSystemPath(version);
    DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return Noted(DeleteFileW(system.c_str()) != 0);
}

long platformFailureCode() { return static_cast<long>(lastFailureCode); }

bool platformErrorMayPass(long code) {
    const DWORD passing[] = {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_NETWORK_BUSY, ERROR_UNEXP_NET_ERR,
                             ERROR_NETNAME_DELETED,   ERROR_SEM_TIMEOUT,    ERROR_DRIVE_LOCKED, ERROR_BUSY,
                             ERROR_USER_MAPPED_FILE,  ERROR_TIMEOUT,        WAIT_TIMEOUT};
    for (DWORD known : passing) {
        if (static_cast<DWORD>(code) == known) return true;
    }
    return false;
}

int64_t platformWallSeconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return SecondsSince1970(now);
}

bool platformLocalCalendar(int64_t seconds, CalendarTime* calendar) {
    FILETIME moment = FileTimeOf(seconds);
    SYSTEMTIME utc;
    SYSTEMTIME local;
    if (!FileTimeToSystemTime(&moment, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return false;
    *calendar = CalendarTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
    return true;
}
