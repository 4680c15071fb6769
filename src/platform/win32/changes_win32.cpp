// Changes of entries: attributes, folders, deletions, removals, links.

#include "platform/win32/win32_layer.h"

#include "base/separator.h"
#include "base/temporary_name.h"

#include <shellapi.h>
#include <winioctl.h>
#include <io.h>
#include <share.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

// The file time of whole seconds since 1970 UTC.
FILETIME FileTimeOf(int64_t secondsSince1970, int32_t nanoseconds) {
    uint64_t ticks = static_cast<uint64_t>(secondsSince1970 * kTicksPerSecond + nanoseconds / 100 + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
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

// No owner is given here, so no run asks for a directory made anew.
SystemResult platformRenewDirectory(const wchar_t*) { return Failure(ERROR_NOT_SUPPORTED); }

SystemResult platformMayAddTo(const wchar_t*) { return SystemResult{true, 0}; }

bool platformProbeModifiedTime(const wchar_t* directory, int64_t seconds, int32_t nanoseconds, int64_t* readSeconds,
                               int32_t* readNanoseconds) {
    std::wstring base(directory);
    if (!base.empty() && !IsSlash(base.back())) base.push_back(L'\\');
    std::wstring path = TemporaryNameBeside(base);
    if (RefusedChange(path.c_str())) return false;
    NotedTemporary noted;
    noted.note(path);
    std::wstring system = platformSystemPath(path.c_str());
    // The folder keeps the times it had: the probe is no change of the run's.
    HANDLE folder = CreateFileW(platformSystemPath(directory).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    FILETIME folderAccess;
    FILETIME folderWrite;
    bool folderKnown = folder != INVALID_HANDLE_VALUE && GetFileTime(folder, nullptr, &folderAccess, &folderWrite);
    HANDLE file = CreateFileW(system.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
        return false;
    }
    // Both times, as a copy sets them: some file systems (FUSE over libfuse 2)
    // take no modification time given alone.
    FILETIME time = FileTimeOf(seconds, nanoseconds);
    bool set = SetFileTime(file, nullptr, &time, &time) != 0;
    CloseHandle(file);
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool read = set && GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &data);
    DeleteFileW(system.c_str());
    if (folderKnown) SetFileTime(folder, nullptr, &folderAccess, &folderWrite);
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    if (read) {
        *readSeconds = SecondsSince1970(data.ftLastWriteTime);
        *readNanoseconds = NanosecondsOf(data.ftLastWriteTime);
    }
    return read;
}

// Never through a link: Wine would delete what a unix link points to.
SystemResult platformDeleteFile(const wchar_t* path) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    return RemovalResult(_wremove(platformSystemPath(path).c_str()) == 0);
}

// Never a link: Wine would remove the empty directory a unix link points to.
SystemResult platformRemoveDirectory(const wchar_t* path) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    return RemovalResult(_wrmdir(platformSystemPath(path).c_str()) == 0);
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

// The link is made under a temporary name (without the right to make
// links, the system refuses it and the copy fails with its reason) and renamed
// over the target; a directory link in the target's place is removed first,
// as a rename cannot replace it. A link here has no owner of its own to keep.
CopyResult platformCopyLink(const wchar_t* source, const wchar_t* target, const KeptMetadata&) {
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
    NotedTemporary noted;
    noted.note(TemporaryNameBeside(target));
    std::wstring temporary = platformSystemPath(noted.path.c_str());
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
