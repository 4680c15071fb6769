// The system seam on Windows.
#include "platform/platform.h"
#include "platform/system_reason.h"

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

// Marks a reason that is the runtime's errno, told apart from Win32's numbers.
const int kErrnoReason = 0x20000000;

// A failure for a Win32 error code.
SystemResult Failure(DWORD error) { return SystemResult{false, static_cast<int>(error)}; }

// The result of a Win32 call that set GetLastError when it failed.
SystemResult Result(bool ok) { return ok ? SystemResult{true, 0} : Failure(GetLastError()); }

// The result of a runtime call that set errno when it failed.
SystemResult ErrnoResult(bool ok) { return ok ? SystemResult{true, 0} : SystemResult{false, kErrnoReason | errno}; }

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

// True for the long form (\\?\) and the device form (\\.\): the system takes them as they stand.
bool IsLongOrDeviceForm(const wchar_t* path) {
    return IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == L'?' || path[2] == L'.') && IsSlash(path[3]);
}

wchar_t UpperAscii(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 32) : unit; }

// True when name (length units, no separator) begins with word, any case.
bool StartsWithWord(const wchar_t* name, size_t length, const wchar_t* word) {
    size_t i = 0;
    for (; word[i] != L'\0'; ++i) {
        if (i >= length || UpperAscii(name[i]) != word[i]) return false;
    }
    return true;
}

// True for a name the plain form takes for a device: CON, PRN, AUX, NUL,
// COM0 to COM9 and LPT0 to LPT9 (the superscript digits too), CONIN$,
// CONOUT$ and CLOCK$, alone or followed by spaces, an extension or a colon
// ("nul.txt", "AUX .c", "com1:").
bool IsDeviceName(const wchar_t* name, size_t length) {
    static const wchar_t* const devices[] = {L"CONIN$", L"CONOUT$", L"CLOCK$", L"CON", L"PRN", L"AUX", L"NUL"};
    size_t stem = 0;
    for (const wchar_t* device : devices) {
        if (StartsWithWord(name, length, device)) {
            stem = wcslen(device);
            break;
        }
    }
    if (stem == 0 && (StartsWithWord(name, length, L"COM") || StartsWithWord(name, length, L"LPT")) && length > 3 &&
        ((name[3] >= L'0' && name[3] <= L'9') || name[3] == 0xB9 || name[3] == 0xB2 || name[3] == 0xB3)) {
        stem = 4;
    }
    if (stem == 0) return false;
    while (stem < length && name[stem] == L' ') ++stem;
    return stem == length || name[stem] == L'.' || name[stem] == L':';
}

// True when the plain form would hand the system another name than this
// one: it drops a name's last dots and spaces ("a.", "a ", "...", "b. .")
// and takes a device name for the device. "." and ".." are resolved, as
// they are meant to be.
bool IsRewrittenName(const wchar_t* name, size_t length) {
    if (length == 0 || (name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.')))) return false;
    wchar_t last = name[length - 1];
    return last == L'.' || last == L' ' || IsDeviceName(name, length);
}

// True when a name of path (after its drive) is one the plain form rewrites.
bool HoldsRewrittenName(const wchar_t* path) {
    const wchar_t* start = path;
    if (path[0] != L'\0' && path[1] == L':') start += 2;
    for (const wchar_t* at = start;; ++at) {
        if (*at == L'\0' || IsSlash(*at)) {
            if (IsRewrittenName(start, static_cast<size_t>(at - start))) return true;
            if (*at == L'\0') return false;
            start = at + 1;
        }
    }
}

// The system's reading of path (separators, "." and ".." resolved against
// the current directory) into full; false when it has none.
bool SystemFullPath(const wchar_t* path, std::wstring* full) {
    DWORD room = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (room == 0) return false;
    full->assign(room, L'\0');
    DWORD length = GetFullPathNameW(path, room, &(*full)[0], nullptr);
    if (length == 0 || length >= room) return false;
    full->resize(length);
    return true;
}

// The full path of a path that holds a name the system would rewrite,
// built here so that every name stays as it is: the start of a path that
// is not fully qualified (the current directory, the current drive's root
// or a drive's current directory) comes from the system; "." and ".." are
// resolved by their text, never above the root; separators become "\\".
bool ExactFullPath(const wchar_t* path, std::wstring* full) {
    std::wstring text(path);
    if (text.empty()) return false;
    size_t rest = 0;
    if (IsFullyQualified(path)) {
        rest = static_cast<size_t>(rootLevelLength(path, static_cast<int>(text.size())));
        if (rest == 0) return false;  // a server without a share
        *full = text.substr(0, rest);
    } else {
        if (text.size() >= 2 && text[1] == L':') rest = 2;
        if (rest < text.size() && IsSlash(text[rest])) ++rest;
        std::wstring start = rest == 0 ? std::wstring(L".") : text.substr(0, rest);
        if (!SystemFullPath(start.c_str(), full) || !IsFullyQualified(full->c_str())) return false;
    }
    for (wchar_t& unit : *full) {
        if (unit == L'/') unit = L'\\';
    }
    if (full->back() != L'\\') full->push_back(L'\\');
    size_t root = static_cast<size_t>(rootLevelLength(full->c_str(), static_cast<int>(full->size())));
    if (root == 0) return false;
    while (rest < text.size()) {
        size_t end = rest;
        while (end < text.size() && !IsSlash(text[end])) ++end;
        std::wstring name = text.substr(rest, end - rest);
        if (name == L"..") {
            if (full->size() > root) {
                full->pop_back();
                full->resize(full->find_last_of(L'\\') + 1);
                if (full->size() < root) full->resize(root);
            }
        } else if (!name.empty() && name != L".") {
            *full += name;
            full->push_back(L'\\');
        }
        rest = end + 1;
    }
    // A trailing separator stays only where the path had one.
    if (!IsSlash(text.back()) && full->size() > root) full->pop_back();
    return true;
}

// The full path of path: the system's reading, except that a name it would
// rewrite stays as it is.
bool FullPathOf(const wchar_t* path, std::wstring* full) {
    return HoldsRewrittenName(path) ? ExactFullPath(path, full) : SystemFullPath(path, full);
}

// The long form of a full path (C:\ or \\server\share\), or empty for any other.
std::wstring LongFormOf(const std::wstring& full) {
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    if (full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' && full[2] != L'.') {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return std::wstring();
}

}  // namespace

std::wstring platformSystemPath(const wchar_t* path) {
    size_t length = wcslen(path);
    // Already in a form the system takes as it stands (long or device form).
    if (length >= 4 && IsLongOrDeviceForm(path)) return path;
    // A name the plain form would rewrite reaches the system in the long form,
    // whatever the path's length; no other path changes.
    if (HoldsRewrittenName(path)) {
        std::wstring full;
        std::wstring form = ExactFullPath(path, &full) ? LongFormOf(full) : std::wstring();
        return form.empty() ? std::wstring(path) : form;
    }
    if (IsFullyQualified(path) && length < kPlainPathLimit) return path;
    // The system's own reading of the path: separators, "." and ".." resolved
    // against the current directory as every plain call resolves them.
    std::wstring full;
    if (!SystemFullPath(path, &full)) return path;
    if (full.size() < kPlainPathLimit) return length < kPlainPathLimit ? std::wstring(path) : full;
    std::wstring form = LongFormOf(full);
    return form.empty() ? std::wstring(path) : form;  // a device name (\\.\CON) or anything else: as given
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

// A name as Wine writes it in a final path: without its last dots and spaces.
std::wstring WithoutLastDotsAndSpaces(std::wstring name) {
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    return name;
}

// True when path, as its last component, is a link the listing may not have
// shown: its final path is not its parent's final path followed by its own
// name. Only asked under Wine, and only before a change, never per entry
// walked. An entry whose final path cannot be read counts as such a link, so
// that a change never goes ahead on a guess. Wine's final path of an entry
// drops the last dots and spaces of its last name ("a." reads as "a",
// "..." as nothing), so names are compared without them.
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
    std::wstring parentShown = WithoutLastDotsAndSpaces(finalParent);
    std::wstring shown = WithoutLastDotsAndSpaces(name);
    if (shown.empty()) return !SameTextIgnoringCase(WithoutLastDotsAndSpaces(finalEntry), parentShown);
    size_t entryCut = finalEntry.find_last_of(L'\\');
    if (entryCut == std::wstring::npos) return true;
    return !SameTextIgnoringCase(WithoutLastDotsAndSpaces(finalEntry.substr(0, entryCut)), parentShown) ||
           !SameTextIgnoringCase(WithoutLastDotsAndSpaces(finalEntry.substr(entryCut + 1)), shown);
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

CopyResult FailedCopy(DWORD error) { return CopyResult{OutcomeOf(error), static_cast<int>(error)}; }

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
    return (!guardedRoot.empty() && !InsideGuardedTree(path)) || ThroughLink(path);
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
    status->owner = 0;
    status->setId = false;
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
SystemResult platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    std::wstring system = platformSystemPath(path);
    if (GetFileAttributesW(system.c_str()) == word) return Result(true);
    return Result(SetFileAttributesW(system.c_str(), word) != 0);
}

// A link has no protection of its own: what it points to keeps its attributes.
SystemResult platformClearProtection(const wchar_t* path) {
    if (RefusedChange(path)) return Failure(ERROR_ACCESS_DENIED);
    if (IsHiddenLink(path)) return Result(true);
    return Result(SetFileAttributesW(platformSystemPath(path).c_str(), FILE_ATTRIBUTE_ARCHIVE) != 0);
}

SystemResult platformCreateDirectory(const wchar_t* path) {
    if (RefusedChange(path)) return Failure(ERROR_ACCESS_DENIED);
    return Result(CreateDirectoryW(platformSystemPath(path).c_str(), nullptr) != 0);
}

// A new directory takes its folder's permissions, as every other one here.
SystemResult platformCreateOwnerDirectory(const wchar_t* path) { return platformCreateDirectory(path); }

// Windows tells only by trying.
bool platformPathFits(const wchar_t*) { return true; }

SystemResult platformMayAddTo(const wchar_t*) { return SystemResult{true, 0}; }

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
CopyResult platformCopyFile(const wchar_t* source, const wchar_t* target) {
    if (RefusedChange(target)) return FailedCopy(ERROR_ACCESS_DENIED);
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
            return CopyResult{COPY_FAILED, FAILURE_SOURCE_CHANGED};
        }
        if (copied && !platformStopRequested()) break;
        if (copied || error == ERROR_REQUEST_ABORTED || platformStopRequested()) {
            RemoveTemporary(temporary);
            return CopyResult{COPY_STOPPED, FAILURE_STOPPED};
        }
        // A name left by a dead process of the same id is not ours to remove.
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 16) continue;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RemoveTemporary(temporary);
        return FailedCopy(error);
    }
    if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING))
        return CopyResult{COPY_DONE, 0};
    DWORD error = GetLastError();
    // A read-only temporary (from a read-only source) may be refused the
    // rename: move it writable and give the attribute back afterwards.
    DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return SetFileAttributesW(systemTarget.c_str(), attributes) ? CopyResult{COPY_DONE, 0}
                                                                        : FailedCopy(GetLastError());
        }
        error = GetLastError();
    }
    RemoveTemporary(temporary);
    return FailedCopy(error);
}

// Never through a link: Wine would delete what a unix link points to.
SystemResult platformDeleteFile(const wchar_t* path) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    return ErrnoResult(_wremove(platformSystemPath(path).c_str()) == 0);
}

// Never a link: Wine would remove the empty directory a unix link points to.
SystemResult platformRemoveDirectory(const wchar_t* path) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    return ErrnoResult(_wrmdir(platformSystemPath(path).c_str()) == 0);
}

// Windows removes a symbolic link or junction itself. Wine has no call that
// removes a unix link as a link (each acts on what it points to), so such a
// link stays.
SystemResult platformRemoveLink(const wchar_t* path) {
    DWORD attributes;
    DWORD tag;
    if (!ReadOwnAttributes(path, &attributes, &tag)) return Result(false);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT)) {
        return Failure(ERROR_NOT_A_REPARSE_POINT);
    }
    std::wstring system = platformSystemPath(path);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Result(RemoveDirectoryW(system.c_str()) != 0);
    return Result(DeleteFileW(system.c_str()) != 0);
}

// A symbolic link's text is its print name (its substitute name, less the
// \??\ prefix, where it has none); a junction reads as the absolute path it names.
SystemResult platformReadLink(const wchar_t* path, std::wstring* text) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Result(false);
    std::vector<BYTE> data(size_t{16} * 1024);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()),
                              &got, nullptr);
    DWORD error = GetLastError();
    CloseHandle(handle);
    if (!ok) return Failure(error);
    auto word = [&](size_t at) { return at + 2 <= got ? static_cast<size_t>(data[at] | (data[at + 1] << 8)) : 0; };
    DWORD tag = got >= 4 ? *reinterpret_cast<const DWORD*>(data.data()) : 0;
    size_t names;
    if (tag == IO_REPARSE_TAG_SYMLINK) {
        names = 20;
    } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
        names = 16;
    } else {
        return Failure(ERROR_NOT_A_REPARSE_POINT);
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
    if (chosen.empty()) return Failure(ERROR_INVALID_REPARSE_DATA);
    *text = chosen;
    return Result(true);
}

// The link is made under a temporary name (without the right to make
// links, the system refuses it and the copy fails with its reason) and renamed
// over the target; a directory link in the target's place is removed first,
// as a rename cannot replace it.
CopyResult platformCopyLink(const wchar_t* source, const wchar_t* target) {
    if (RefusedChange(target)) return FailedCopy(ERROR_ACCESS_DENIED);
    std::wstring text;
    DWORD attributes;
    DWORD tag;
    SystemResult read = platformReadLink(source, &text);
    if (!read) return CopyResult{COPY_FAILED, read.reason};
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
    return CopyResult{COPY_DONE, 0};
}

std::wstring SystemReasonText(int reason) {
    if (reason & kErrnoReason) {
        const wchar_t* words = _wcserror(reason & ~kErrnoReason);
        return words ? words : L"error";
    }
    return SystemWords(static_cast<DWORD>(reason));
}

// Upper case as the file system compares names: one unit for one unit,
// the same whatever the user's language.
void platformFoldName(const wchar_t* name, std::wstring* folded) {
    int length = static_cast<int>(wcslen(name));
    folded->resize(static_cast<size_t>(length));
    bool ascii = true;
    for (int i = 0; i < length; ++i) {
        (*folded)[static_cast<size_t>(i)] = UpperAscii(name[i]);
        if (name[i] >= 0x80) ascii = false;
    }
    if (ascii) return;
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name, length, &(*folded)[0], length, nullptr, nullptr,
                      0) != length) {
        folded->assign(name);
        for (wchar_t& unit : *folded) unit = UpperAscii(unit);
    }
}

// A directory of Windows 10 and later may be marked case-sensitive; any
// other (Wine's, a share's, one that cannot be asked) ignores case. A
// missing directory is answered for by the nearest one above it.
bool platformFoldsCase(const wchar_t* directory) {
    std::wstring path(directory);
    for (;;) {
        HANDLE handle = CreateFileW(platformSystemPath(path.c_str()).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            const int kFileCaseSensitiveInfo = 23;
            const ULONG kCaseSensitiveDirectory = 1;
            ULONG flags = 0;
            bool told =
                GetFileInformationByHandleEx(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileCaseSensitiveInfo),
                                             &flags, sizeof flags) != 0;
            CloseHandle(handle);
            return !told || !(flags & kCaseSensitiveDirectory);
        }
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return true;
        // The directory above, down to the path's root level.
        while (path.size() > 1 && IsSlash(path.back())) path.pop_back();
        size_t cut = path.find_last_of(L"\\/");
        int root = rootLevelLength(path.c_str(), static_cast<int>(path.size()));
        if (cut == std::wstring::npos || static_cast<int>(cut) + 1 < root) return true;
        path.resize(cut + 1);
    }
}

// A short name has at most eight units, a dot and three more, and the
// names the system makes up hold a "~".
bool platformNameMayAlias(const wchar_t* name, size_t length) {
    size_t tilde = length;
    size_t dot = length;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == L'~' && tilde == length) tilde = i;
        if (name[i] == L'.') {
            if (dot != length) return false;
            dot = i;
        }
    }
    return tilde < length && dot <= 8 && length - dot <= 4;
}

// A listing of the path as its own pattern tells the name the entry has;
// a name with wildcards would be a pattern of other names.
bool platformEntryName(const wchar_t* path, std::wstring* name) {
    const wchar_t* last = path;
    for (const wchar_t* at = path; *at; ++at) {
        if (IsSlash(*at)) last = at + 1;
    }
    if (*last == L'\0' || wcspbrk(last, L"*?<>\"") != nullptr) return false;
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(platformSystemPath(path).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FindClose(handle);
    *name = data.cFileName;
    return true;
}

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

DirectoryListing* platformOpenListing(const wchar_t* directory, int* reason) {
    if (ThroughLink(directory)) {
        *reason = ERROR_ACCESS_DENIED;
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
        *reason = static_cast<int>(GetLastError());
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
        status.owner = 0;
        status.setId = false;
    }
    return true;
}

SystemResult platformCloseListing(DirectoryListing* listing) {
    SystemResult closed = Result(FindClose(listing->handle) != 0);
    DWORD failure = listing->failure;
    delete listing;
    if (failure != 0) return Failure(failure);  // cut short: not every entry was handed over
    return closed;
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

// A C stream over a file handle opened for writing; null (the handle closed) on failure, *reason telling why.
FILE* StreamOfHandle(HANDLE handle, int* reason) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) {
        *reason = kErrnoReason | errno;
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _wfdopen(fd, L"wb");
    if (!file) {
        *reason = kErrnoReason | errno;
        _close(fd);
    }
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

FILE* platformOpenOwnFile(const wchar_t* path, int* reason) {
    std::wstring system = platformSystemPath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            handle =
                CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            error = GetLastError();
        }
        if (handle == INVALID_HANDLE_VALUE) {
            *reason = static_cast<int>(error);
            return nullptr;
        }
        return StreamOfHandle(handle, reason);
    }
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = ERROR_SUCCESS;
    if (!GetFileInformationByHandle(handle, &info)) {
        error = GetLastError();
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = ERROR_ACCESS_DENIED;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1) {
        CloseHandle(handle);
        handle = ReplaceByNewFile(path);
        if (handle == INVALID_HANDLE_VALUE) {
            *reason = static_cast<int>(GetLastError());
            return nullptr;
        }
        return StreamOfHandle(handle, reason);
    } else if (!SetEndOfFile(handle)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        CloseHandle(handle);
        *reason = static_cast<int>(error);
        return nullptr;
    }
    return StreamOfHandle(handle, reason);
}

SystemResult platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return ErrnoResult(std::fflush(file) == 0 && whole);
}

SystemResult platformCloseFile(FILE* file) { return ErrnoResult(std::fclose(file) == 0); }

// Windows names no FIFO or device in a folder; a device name reaches the long form as a file's name.
FILE* platformOpenRead(const wchar_t* path, bool* stream, int* reason) {
    *stream = false;
    FILE* file = _wfsopen(platformSystemPath(path).c_str(), L"rb", _SH_DENYNO);
    if (!file) {
        *reason = kErrnoReason | errno;
        return nullptr;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        fclose(file);
        *reason = FAILURE_NOT_PLAIN_FILE;
        return nullptr;
    }
    return file;
}

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

SystemResult platformWriteText(int stream, const wchar_t* text) {
    HANDLE handle = StandardHandle(stream);
    DWORD written;
    if (IsConsole(handle)) {
        DWORD length = static_cast<DWORD>(wcslen(text));
        return Result(WriteConsoleW(handle, text, length, &written, nullptr) != 0 && written == length);
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
    return ErrnoResult(fflush(file) == 0 && whole);
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

namespace {

// The named mutex of the directory at path, by its identity; null on failure.
HANDLE TreeMutex(const wchar_t* path) {
    DirectoryIdentity identity;
    if (!platformDirectoryIdentity(path, &identity)) return nullptr;
    wchar_t name[96];
    unsigned long long volume = identity.volume;
    unsigned long long index = identity.index;
    swprintf(name, 96, L"Global\\korvane-tree-%016llx-%016llx", volume, index);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        swprintf(name, 96, L"korvane-tree-%016llx-%016llx", volume, index);
        mutex = CreateMutexW(nullptr, FALSE, name);
    }
    return mutex;
}

}  // namespace

// A run on a folder inside a run's To finds the outer run's mutex held; a
// run around one started before it does not find it (a mutex has no shared
// kind to leave on the folders above).
LockOutcome platformLockGuardedTree(TreeLock** lock, long* holder, int* reason) {
    *holder = 0;
    if (guardedRoot.empty()) {
        *reason = ERROR_PATH_NOT_FOUND;
        return LOCK_FAILED;
    }
    std::wstring full;
    if (FullPathOf(guardedRoot.c_str(), &full)) {
        size_t rootLength = static_cast<size_t>(rootLevelLength(full.c_str(), static_cast<int>(full.size())));
        for (size_t cut = full.find_last_of(L'\\'); cut != std::wstring::npos && cut >= rootLength && cut > 0;
             cut = full.find_last_of(L'\\', cut - 1)) {
            std::wstring above = full.substr(0, cut == rootLength - 1 ? cut + 1 : cut);
            HANDLE outer = TreeMutex(above.c_str());
            if (!outer) continue;
            DWORD waited = WaitForSingleObject(outer, 0);
            if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(outer);
            CloseHandle(outer);
            if (waited == WAIT_TIMEOUT) return LOCK_HELD;
            if (cut == 0) break;
        }
    }
    HANDLE mutex = TreeMutex(guardedRoot.c_str());
    if (!mutex) {
        *reason = static_cast<int>(GetLastError());
        return LOCK_FAILED;
    }
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

// Walks up the final path of the directory, one level at a time. The
// directory itself is read by its own name: Wine's final path drops the last
// dots and spaces of its last name, and would name another directory.
bool platformDirectoryChain(const wchar_t* directory, std::vector<DirectoryIdentity>* chain) {
    chain->clear();
    std::wstring path = LowerFinalPathOf(directory);
    DirectoryIdentity identity;
    if (path.empty() || !platformDirectoryIdentity(directory, &identity)) return false;
    chain->push_back(identity);
    for (;;) {
        size_t cut = path.find_last_of(L'\\');
        if (cut == std::wstring::npos || path.back() == L':') break;
        path.resize(cut);
        if (path.empty() || path.back() == L'?' || path.back() == L'\\') break;
        std::wstring level = path;
        if (level.back() == L':') level.push_back(L'\\');
        if (!platformDirectoryIdentity(level.c_str(), &identity)) break;
        chain->push_back(identity);
    }
    return true;
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
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));  // NOLINT(performance-no-int-to-ptr)
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
