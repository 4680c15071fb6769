// What a copy keeps beyond contents, attributes and file times: here, the
// times of folders alone. The system keeps no owners, modes or extended
// attributes a copy could take, and a status tells no further names.

#include "platform/win32/win32_layer.h"

bool platformKeepsMetadata() { return false; }

bool platformKeepsLinksByDefault() { return false; }

bool platformOwnModeDiffer(const EntryStatus&, const EntryStatus&, const KeptMetadata&) { return false; }

SystemResult platformExtrasDiffer(const wchar_t*, const wchar_t*, const KeptMetadata&, bool* differ, bool* grants) {
    *differ = false;
    *grants = false;
    return SystemResult{true, 0};
}

bool platformMendGrants(const wchar_t*, const EntryStatus&, const EntryStatus&, const KeptMetadata&) { return false; }

bool platformProbeOwners(const wchar_t*) { return false; }

SystemResult platformWriteMetadata(const wchar_t*, const wchar_t*, const KeptMetadata&, bool* changed) {
    *changed = false;
    return SystemResult{true, 0};
}

// Every status here tells one name of a file: no run asks for another.
CopyResult platformLinkFile(const wchar_t*, const DirectoryIdentity&, const wchar_t*) {
    return FailedCopy(ERROR_NOT_SUPPORTED);
}

// The guarded root itself takes a time too; below it, never through a
// link. Both times are given, as a copy gives them: some file systems
// (FUSE over libfuse 2) take no modification time given alone.
SystemResult platformWriteFileTime(const wchar_t* path, const DirectoryIdentity& expected, int64_t seconds,
                                   int32_t nanoseconds) {
    if (RefusedChange(path) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    HANDLE file = CreateFileW(platformSystemPath(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Result(false);
    BY_HANDLE_FILE_INFORMATION information{};
    DWORD error = !GetFileInformationByHandle(file, &information) ? GetLastError()
                  : (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0
                      ? static_cast<DWORD>(ERROR_ACCESS_DENIED)
                      : 0;
    DirectoryIdentity found{information.dwVolumeSerialNumber,
                            (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
    bool known = expected.volume != 0 || expected.index != 0;
    if (error == 0 && (information.nNumberOfLinks != 1 || (known && !sameIdentity(found, expected)))) {
        CloseHandle(file);
        return SystemResult{false, information.nNumberOfLinks != 1 ? FAILURE_NOT_OWN_FILE : FAILURE_FOLDER_MOVED};
    }
    if (error == 0) {
        uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + nanoseconds / 100 + kEpochDifference);
        FILETIME time;
        time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
        time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        if (!SetFileTime(file, nullptr, nullptr, &time)) error = GetLastError();
    }
    CloseHandle(file);
    return error == 0 ? SystemResult{true, 0} : Failure(error);
}

SystemResult platformWriteModifiedTime(const wchar_t* path, int64_t seconds, int32_t nanoseconds) {
    if ((RefusedChange(path) && !IsGuardedRoot(path)) || IsHiddenLink(path)) return Failure(ERROR_ACCESS_DENIED);
    HANDLE folder = CreateFileW(platformSystemPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return Result(false);
    uint64_t ticks = static_cast<uint64_t>(seconds * kTicksPerSecond + nanoseconds / 100 + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    bool set = SetFileTime(folder, nullptr, &time, &time) != 0;
    DWORD error = GetLastError();
    CloseHandle(folder);
    return set ? SystemResult{true, 0} : Failure(error);
}
