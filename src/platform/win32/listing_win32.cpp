// Listings of directories and queries of entries: their status, links,
// identities, names as the volume holds them, and the volume's time step.

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

int64_t SecondsSince1970(const FILETIME& time) {
    int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    ticks -= kEpochDifference;
    int64_t seconds = ticks / kTicksPerSecond;
    if (ticks % kTicksPerSecond < 0) --seconds;  // whole seconds, rounded down
    return seconds;
}

int32_t NanosecondsOf(const FILETIME& time) {
    int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    int64_t below = (ticks - kEpochDifference) % kTicksPerSecond;
    if (below < 0) below += kTicksPerSecond;
    return static_cast<int32_t>(below * 100);
}

// Symbolic links and junctions; other reparse points (cloud files, dedup) are
// ordinary entries to us. Wine shows a unix link to a directory as a reparse
// point without a tag (Windows always tells the tag), so no tag means a link.
bool IsLinkTag(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == 0);
}

namespace {

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

}  // namespace

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

namespace {

// Fills what a status tells beyond an entry's kind: the system here keeps
// no owners, modes or further names of a file that a status tells.
void FillTimesAndSize(DWORD attributes, const FILETIME& written, DWORD sizeHigh, DWORD sizeLow, EntryStatus* status) {
    status->attributeWord = attributes;
    status->modifiedSeconds = SecondsSince1970(written);
    status->modifiedNanoseconds = NanosecondsOf(written);
    status->size = (static_cast<int64_t>(sizeHigh) << 32) | sizeLow;
    status->owner = 0;
    status->group = 0;
    status->permissions = 0;
    status->setId = false;
    status->linkCount = 1;
    status->identity = DirectoryIdentity{0, 0};
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

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    if (ThroughLink(path)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(platformSystemPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    status->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->isLink = GuardedLink(path, data.dwFileAttributes);
    status->isRegular = !status->isDirectory && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
    FillTimesAndSize(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow, status);
    return true;
}

// GetFileAttributesExW tells of a link itself, never of what it names.
bool platformQueryOwnEntry(const wchar_t* path, EntryStatus* status) {
    if (ThroughLink(path)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    DWORD attributes;
    DWORD tag;
    if (!GetFileAttributesExW(platformSystemPath(path).c_str(), GetFileExInfoStandard, &data) ||
        !ReadOwnAttributes(path, &attributes, &tag)) {
        return false;
    }
    status->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->isLink = IsLinkTag(attributes, tag);
    status->isRegular = !status->isDirectory && !status->isLink && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
    FillTimesAndSize(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow, status);
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

// Windows tells only by trying.
bool platformPathFits(const wchar_t*) { return true; }

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
        if (_wcsicmp(name, known) == 0) return 2000000000;
    }
    return _wcsicmp(name, L"exFAT") == 0 ? 10000000 : 0;
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

// A share (named by its server, or a drive mapped to one) waits on the network.
bool platformRequestsWait(const wchar_t* directory) {
    std::wstring system = platformSystemPath(directory);
    std::vector<wchar_t> root(system.size() + 2, L'\0');
    if (!GetVolumePathNameW(system.c_str(), root.data(), static_cast<DWORD>(root.size()))) return false;
    std::wstring volume = root.data();
    if (volume.compare(0, 8, L"\\\\?\\UNC\\") == 0) return true;
    if (volume.size() > 2 && IsSlash(volume[0]) && IsSlash(volume[1]) && volume[2] != L'?' && volume[2] != L'.') {
        return true;
    }
    return GetDriveTypeW(root.data()) == DRIVE_REMOTE;
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

bool platformQueryFolder(const wchar_t* path, EntryStatus* status) {
    return platformQueryEntry(path, status) && status->isDirectory;
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

namespace {
DirectoryListing* ListingByPattern(const wchar_t* directory, int* reason);
}  // namespace

DirectoryListing* platformOpenListing(const wchar_t* directory, int* reason) {
    if (ThroughLink(directory)) {
        *reason = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return ListingByPattern(directory, reason);
}

// The guarded tree's notes are the run thread's: a link at the folder itself is looked at here alone.
DirectoryListing* platformOpenListingApart(const wchar_t* directory, int* reason) {
    std::wstring folder(directory);
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    DWORD attributes = GetFileAttributesW(platformSystemPath(folder.c_str()).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *reason = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    return ListingByPattern(directory, reason);
}

namespace {

// The listing of directory (with its trailing separator) by the pattern "directory*".
DirectoryListing* ListingByPattern(const wchar_t* directory, int* reason) {
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

}  // namespace

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
        FillTimesAndSize(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow, &status);
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

// The final path without its \\?\ form: a drive's path, or a share's \\server\share\...
bool platformResolvedPath(const wchar_t* path, std::wstring* resolved) {
    std::wstring text = FinalPathOf(std::wstring(path));
    if (text.empty()) return false;
    if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        text = L"\\\\" + text.substr(8);
    } else if (text.compare(0, 4, L"\\\\?\\") == 0) {
        text = text.substr(4);
    }
    if (text.size() == 2 && text[1] == L':') text.push_back(L'\\');
    *resolved = text;
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
