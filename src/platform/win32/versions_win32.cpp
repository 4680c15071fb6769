// Versions: keeping what a run replaces or deletes in the guarded tree,
// before it changes, in a folder of the guarded tree or in a tree of its own;
// the levels of a run folder, its hold and the program's marks; mounts; the
// failures that may pass; the local calendar.

#include "platform/win32/win32_layer.h"

#include <cstdint>
#include <cwchar>
#include <string>

namespace {

// The tree a run keeps versions in, outside the guarded tree, as the run
// spells it: set before the run's workers start, cleared after they end.
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

// True when a version function may not change path: in the guarded tree as
// any change there; in the version tree, below its root and through no
// link; elsewhere only when outsideAllowed (the levels of a versions folder
// not made yet).
bool RefusedVersionPlace(const wchar_t* path, bool outsideAllowed) {
    bool inVersions = StrictlyBelow(versionRoot, path);
    if (InsideGuardedTree(path) && (!inVersions || GuardedRootLength() > versionRoot.size())) {
        return RefusedChange(path);
    }
    if (inVersions) return VersionThroughLink(path);
    return !outsideAllowed;
}

// True when entry is no entry of the guarded tree that a version function may take.
bool RefusedGuardedEntry(const wchar_t* entry) { return !InsideGuardedTree(entry) || RefusedChange(entry); }

VersionResult FailedVersion(DWORD error, bool copyInstead) {
    int reason = static_cast<int>(error);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return VersionResult{VERSION_TAKEN, reason};
    return VersionResult{copyInstead ? VERSION_COPY_INSTEAD : VERSION_FAILED, reason};
}

const VersionResult kVersionDone{VERSION_DONE, 0};

// Renames temporary, a name of our own, to target without replacing
// anything; a read-only temporary refused the rename is moved writable and
// given its attribute back. The temporary goes on failure: the error, or
// ERROR_SUCCESS when it was placed.
DWORD PlaceTemporary(const std::wstring& temporary, const std::wstring& target) {
    if (MoveFileExW(temporary.c_str(), target.c_str(), 0)) return ERROR_SUCCESS;
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (MoveFileExW(temporary.c_str(), target.c_str(), 0)) {
            SetFileAttributesW(target.c_str(), attributes);
            return ERROR_SUCCESS;
        }
        error = GetLastError();
    }
    RemoveTemporary(temporary);
    return error;
}

// Copies the link entry (its attributes read) to version through temporary.
CopyResult CopyLinkToVersion(const wchar_t* entry, DWORD attributes, const std::wstring& temporary,
                             const std::wstring& systemVersion) {
    std::wstring text;
    SystemResult read = platformReadLink(entry, &text);
    if (!read) return CopyResult{COPY_FAILED, read.reason};
    DWORD flags = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!CreateSymbolicLinkW(temporary.c_str(), text.c_str(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        !CreateSymbolicLinkW(temporary.c_str(), text.c_str(), flags)) {
        return FailedCopy(GetLastError());
    }
    if (MoveFileExW(temporary.c_str(), systemVersion.c_str(), 0)) return CopyResult{COPY_DONE, 0};
    DWORD error = GetLastError();
    if (flags) {
        RemoveDirectoryW(temporary.c_str());
    } else {
        DeleteFileW(temporary.c_str());
    }
    return FailedCopy(error);
}

// Opens the directory folder with access and sharing: the versions folder
// may be spelt through a link, and the folders below it that are asked
// about are those a listing told as no links. INVALID_HANDLE_VALUE when it
// cannot be opened or is no directory.
HANDLE OpenFolder(const wchar_t* folder, DWORD access, DWORD sharing) {
    HANDLE handle = CreateFileW(platformSystemPath(folder).c_str(), access, sharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The line of a mark that names the folder it was written for; empty when
// the folder cannot be opened.
std::string MarkIdentityLine(const wchar_t* folder) {
    HANDLE handle = OpenFolder(folder, 0, kShareAll);
    if (handle == INVALID_HANDLE_VALUE) return std::string();
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!ok) return std::string();
    uint64_t index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return "folder " + std::to_string(static_cast<unsigned long long>(index)) + "\n";
}

// The most a mark of the program's own holds.
const DWORD kMarkMax = 4096;

// The path of the entry name in folder.
std::wstring EntryIn(const wchar_t* folder, const wchar_t* name) {
    std::wstring path(folder);
    if (path.empty() || !IsSlash(path.back())) path += L'\\';
    return path + name;
}

}  // namespace

SystemResult platformHoldVersionTree(const wchar_t* root) {
    std::wstring text(root);
    while (text.size() > 1 && IsSlash(text.back())) text.pop_back();
    DWORD attributes = GetFileAttributesW(platformSystemPath(text.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failure(GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Failure(ERROR_DIRECTORY);
    versionRoot = text;
    return SystemResult{true, 0};
}

void platformReleaseVersionTree() { versionRoot.clear(); }

VersionResult platformMakeVersionDirectory(const wchar_t* path, bool /*ownerOnly*/) {
    if (RefusedVersionPlace(path, true)) return FailedVersion(ERROR_ACCESS_DENIED, false);
    if (CreateDirectoryW(platformSystemPath(path).c_str(), nullptr)) return kVersionDone;
    return FailedVersion(GetLastError(), false);
}

// A hard link; a volume that keeps no second names (FAT, some shares),
// another volume, or a file whose attributes this user may not write (a
// second name needs that right) leaves the version to a copy.
VersionResult platformLinkVersion(const wchar_t* entry, const wchar_t* version) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) {
        return FailedVersion(ERROR_ACCESS_DENIED, false);
    }
    if (CreateHardLinkW(platformSystemPath(version).c_str(), platformSystemPath(entry).c_str(), nullptr)) {
        return kVersionDone;
    }
    DWORD error = GetLastError();
    bool copyInstead = error == ERROR_NOT_SAME_DEVICE || error == ERROR_INVALID_FUNCTION ||
                       error == ERROR_NOT_SUPPORTED || error == ERROR_TOO_MANY_LINKS || error == ERROR_ACCESS_DENIED;
    return FailedVersion(error, copyInstead);
}

// A rename without replacing, which the system refuses across volumes.
VersionResult platformMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) {
        return FailedVersion(ERROR_ACCESS_DENIED, false);
    }
    if (MoveFileExW(platformSystemPath(entry).c_str(), platformSystemPath(version).c_str(), 0)) return kVersionDone;
    DWORD error = GetLastError();
    return FailedVersion(error, error == ERROR_NOT_SAME_DEVICE);
}

// Windows keeps nothing of what KeptMetadata names.
CopyResult platformCopyToVersion(const wchar_t* entry, const wchar_t* version, const KeptMetadata&) {
    if (RefusedGuardedEntry(entry) || RefusedVersionPlace(version, false)) return FailedCopy(ERROR_ACCESS_DENIED);
    std::wstring systemVersion = platformSystemPath(version);
    std::wstring temporary = platformSystemPath(TemporaryNameBeside(version).c_str());
    DWORD attributes;
    DWORD tag;
    if (!ReadOwnAttributes(entry, &attributes, &tag)) return FailedCopy(GetLastError());
    if (IsLinkTag(attributes, tag)) return CopyLinkToVersion(entry, attributes, temporary, systemVersion);
    DWORD error = ERROR_SUCCESS;
    if (!CopyToNewFile(platformSystemPath(entry), temporary, &error) || platformStopRequested()) {
        bool stopped = error == ERROR_REQUEST_ABORTED || platformStopRequested();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RemoveTemporary(temporary);
        return stopped ? CopyResult{COPY_STOPPED, FAILURE_STOPPED} : FailedCopy(error);
    }
    error = PlaceTemporary(temporary, systemVersion);
    return error == ERROR_SUCCESS ? CopyResult{COPY_DONE, 0} : FailedCopy(error);
}

SystemResult platformDeleteVersion(const wchar_t* version) {
    if (RefusedVersionPlace(version, false)) return Failure(ERROR_ACCESS_DENIED);
    std::wstring system = platformSystemPath(version);
    DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return Result(DeleteFileW(system.c_str()) != 0);
}

// Rights are inherited here, as platformMakeVersionDirectory leaves them.
VersionResult platformMakeVersionLevel(const wchar_t* path, const wchar_t* /*like*/) {
    return platformMakeVersionDirectory(path, false);
}

// The hold is a handle of the run folder that lets no one else open it for
// deletion: another run's retention, which asks for that right, finds it in use.
struct RunFolderHold {
    HANDLE handle;  // the handle that holds the folder
};

RunFolderHold* platformHoldRunFolder(const wchar_t* path, int* reason) {
    HANDLE handle = OpenFolder(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = static_cast<int>(GetLastError());
        return nullptr;
    }
    return new RunFolderHold{handle};
}

void platformReleaseRunFolder(RunFolderHold* hold) {
    if (!hold) return;
    CloseHandle(hold->handle);
    delete hold;
}

bool platformRunFolderHeld(const wchar_t* path) {
    HANDLE handle = CreateFileW(platformSystemPath(path).c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

SystemResult platformWriteMark(const wchar_t* folder, const wchar_t* name, const std::string& text) {
    std::string identity = MarkIdentityLine(folder);
    if (identity.empty()) return Failure(GetLastError());
    std::wstring target = platformSystemPath(EntryIn(folder, name).c_str());
    std::wstring temporary = platformSystemPath(TemporaryNameBeside(EntryIn(folder, name)).c_str());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failure(GetLastError());
    std::string bytes = text + identity;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        RemoveTemporary(temporary);
        return Failure(error);
    }
    return SystemResult{true, 0};
}

bool platformReadMark(const wchar_t* folder, const wchar_t* name, std::string* text) {
    HANDLE file = CreateFileW(platformSystemPath(EntryIn(folder, name).c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    std::string bytes(kMarkMax + 1, '\0');
    DWORD length = 0;
    bool ok = GetFileInformationByHandle(file, &info) &&
              !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
              ReadFile(file, &bytes[0], kMarkMax + 1, &length, nullptr) && length <= kMarkMax;
    CloseHandle(file);
    if (!ok) return false;
    bytes.resize(length);
    std::string identity = MarkIdentityLine(folder);
    if (identity.empty() || bytes.size() < identity.size() ||
        bytes.compare(bytes.size() - identity.size(), identity.size(), identity) != 0) {
        return false;
    }
    size_t start = bytes.size() - identity.size();
    if (start > 0 && bytes[start - 1] != '\n') return false;
    *text = bytes.substr(0, start);
    return true;
}

bool platformMountOf(const wchar_t* path, uint64_t* mount) {
    HANDLE handle = OpenFolder(path, 0, kShareAll);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (ok) *mount = info.dwVolumeSerialNumber;
    return ok != 0;
}

// A folder a volume is mounted on is a reparse point the listings tell as a
// link, never entered; what remains is a folder of another volume than its
// parent's, as Wine shows a unix mount where it shows another serial.
bool platformIsMountPoint(const wchar_t* path) {
    std::wstring parent(path);
    while (parent.size() > 1 && (parent.back() == L'\\' || parent.back() == L'/')) parent.pop_back();
    size_t cut = parent.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return false;
    parent.resize(cut + 1);
    uint64_t here = 0;
    uint64_t above = 0;
    return platformMountOf(path, &here) && platformMountOf(parent.c_str(), &above) && here != above;
}

bool platformErrorMayPass(int reason) {
    if (reason == FAILURE_COPY_UNVERIFIED) return true;  // a volume that wrote wrong may write right
    const DWORD passing[] = {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_NETWORK_BUSY, ERROR_UNEXP_NET_ERR,
                             ERROR_NETNAME_DELETED,   ERROR_SEM_TIMEOUT,    ERROR_DRIVE_LOCKED, ERROR_BUSY,
                             ERROR_USER_MAPPED_FILE,  ERROR_TIMEOUT,        WAIT_TIMEOUT};
    for (DWORD known : passing) {
        if (static_cast<DWORD>(reason) == known) return true;
    }
    return false;
}

bool platformErrorIsMissing(int reason) { return reason == ERROR_PATH_NOT_FOUND || reason == ERROR_FILE_NOT_FOUND; }

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
