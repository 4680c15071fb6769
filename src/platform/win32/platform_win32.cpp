// The system seam on Windows.
#include "platform/platform.h"

#include <windows.h>

#include <share.h>

#include <clocale>
#include <cstdio>
#include <cwchar>

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
// ordinary entries to us.
bool IsLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

}  // namespace

struct DirectoryListing {
    HANDLE handle;
    WIN32_FIND_DATAW pending;  // the entry FindFirstFileW delivered
    bool hasPending;
};

void platformSetUserLocale() { std::setlocale(LC_ALL, ""); }

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    status->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->attributeWord = data.dwFileAttributes;
    status->modifiedSeconds = SecondsSince1970(data.ftLastWriteTime);
    status->size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool platformEntryExists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool platformIsLink(const wchar_t* path) {
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW(path, &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FindClose(handle);
    return IsLinkTag(data.dwFileAttributes, data.dwReserved0);
}

bool platformReadAttributeWord(const wchar_t* path, uint32_t* word) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    *word = attributes;
    return true;
}

bool platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    return SetFileAttributesW(path, word) != 0;
}

bool platformClearProtection(const wchar_t* path) {
    return SetFileAttributesW(path, FILE_ATTRIBUTE_ARCHIVE) != 0;
}

bool platformCreateDirectory(const wchar_t* path) { return CreateDirectoryW(path, nullptr) != 0; }

bool platformIsDriveSpec(const wchar_t* path, size_t length) {
    return length > 0 && path[length - 1] == L':';
}

bool platformIsUsableDrive(const wchar_t* path) {
    wchar_t root[8];
    size_t length = wcslen(path);
    if (length == 0 || length > 5) return false;
    wcscpy(root, path);
    if (root[length - 1] != L'\\') {
        root[length] = L'\\';
        root[length + 1] = L'\0';
    }
    UINT type = GetDriveTypeW(root);
    return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_REMOTE;
}

CopyOutcome platformCopyFile(const wchar_t* source, const wchar_t* target) {
    if (CopyFileW(source, target, FALSE)) return COPY_DONE;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) return COPY_ACCESS_DENIED;
    if (error == ERROR_ALREADY_EXISTS) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

bool platformDeleteFile(const wchar_t* path) { return _wremove(path) == 0; }

bool platformRemoveDirectory(const wchar_t* path) { return _wrmdir(path) == 0; }

bool platformRemoveLink(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(path) != 0;
    return DeleteFileW(path) != 0;
}

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
    size_t length = wcslen(directory);
    wchar_t* pattern = new wchar_t[length + 2];
    wcscpy(pattern, directory);
    pattern[length] = L'*';
    pattern[length + 1] = L'\0';
    DirectoryListing* listing = new DirectoryListing;
    listing->handle = FindFirstFileW(pattern, &listing->pending);
    delete[] pattern;
    if (listing->handle == INVALID_HANDLE_VALUE) {
        delete listing;
        return nullptr;
    }
    listing->hasPending = true;
    return listing;
}

bool platformNextEntry(DirectoryListing* listing, DirectoryEntry* entry) {
    WIN32_FIND_DATAW data;
    if (listing->hasPending) {
        data = listing->pending;
        listing->hasPending = false;
    } else if (!FindNextFileW(listing->handle, &data)) {
        return false;
    }
    wcsncpy(entry->name, data.cFileName, PLATFORM_NAME_MAX);
    entry->name[PLATFORM_NAME_MAX] = L'\0';
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->isLink = IsLinkTag(data.dwFileAttributes, data.dwReserved0);
    return true;
}

bool platformCloseListing(DirectoryListing* listing) {
    BOOL ok = FindClose(listing->handle);
    delete listing;
    return ok != 0;
}

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(room), buffer);
    if (length == 0 || length >= room) {
        if (room > 0) buffer[0] = L'\0';
        return 0;
    }
    return length;
}

FILE* platformOpenWrite(const wchar_t* path) { return _wfsopen(path, L"wb", _SH_DENYNO); }

FILE* platformOpenRead(const wchar_t* path) { return _wfsopen(path, L"rb", _SH_DENYNO); }
