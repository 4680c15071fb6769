// Listings of directories and queries of entries.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

#include "base/byte_escape.h"
#include "base/temporary_name.h"
#include "platform/platform.h"
#include "platform/posix/posix_layer.h"
#include "platform/system_reason.h"

namespace {

bool IsDirectoryMode(mode_t mode) { return S_ISDIR(mode); }

}  // namespace

// The mode a copy made by this process can carry of an entry: the
// set-user-ID and set-group-ID bits only of an entry the process owns, as a
// copy of another's is owned by the process. So no one's program becomes
// another's, and a directory compares equal to the copy made of it.
mode_t CopyableMode(const struct stat& st) {
    static const uid_t self = geteuid();
    if (st.st_uid == self) return st.st_mode;
    return st.st_mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
}

namespace {

void FillStatus(const struct stat& st, EntryStatus* status) {
    status->isDirectory = IsDirectoryMode(st.st_mode);
    status->isLink = S_ISLNK(st.st_mode);
    status->isRegular = S_ISREG(st.st_mode);
    status->attributeWord = static_cast<uint32_t>(CopyableMode(st));
    status->modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    status->modifiedNanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
    status->size = static_cast<int64_t>(st.st_size);
    status->owner = static_cast<uint32_t>(st.st_uid);
    status->group = static_cast<uint32_t>(st.st_gid);
    status->permissions = static_cast<uint32_t>(st.st_mode & 07777);
    status->setId = (st.st_mode & (S_ISUID | S_ISGID)) != 0;
    status->linkCount = static_cast<uint32_t>(st.st_nlink);
    status->identity = DirectoryIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    Place at = LocateQuery(PathName(path));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool platformQueryOwnEntry(const wchar_t* path, EntryStatus* status) {
    Place at = LocateQuery(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool platformEntryExists(const wchar_t* path) {
    Place at = Locate(PathName(path));
    if (!at.ok) return false;
    struct stat st;
    return StatAt(at, &st) == 0;
}

EntryPresence platformEntryPresence(const wchar_t* path) {
    Place at = LocateQuery(PathName(path));
    struct stat st;
    if (at.ok && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return S_ISLNK(st.st_mode) ? ENTRY_LINK : ENTRY_PRESENT;
    }
    return errno == ENOENT || errno == ENOTDIR ? ENTRY_ABSENT : ENTRY_UNKNOWN;
}

bool platformIsLink(const wchar_t* path) {
    Place at = LocateQuery(PathName(path));
    struct stat st;
    return at.ok && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool platformLinksAreVisible() { return true; }

bool platformReadAttributeWord(const wchar_t* path, uint32_t* word) {
    Place at = LocateQuery(PathName(path));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0) return false;
    *word = static_cast<uint32_t>(CopyableMode(st));
    return true;
}

bool platformPathFits(const wchar_t* path) { return ToSystem(path).size() < PATH_MAX; }

bool platformIsDriveName(const wchar_t* path, size_t length) { return length == 1 && path[0] == L'/'; }

bool platformDriveHoldsFolders(const wchar_t* path) { return path[0] == L'/' && path[1] == L'\0'; }

int64_t platformTimeStepOfFileSystem(const wchar_t* name) {
    const wchar_t* const coarse[] = {L"msdos", L"vfat", L"fat"};
    for (const wchar_t* known : coarse) {
        if (std::wcscmp(name, known) == 0) return 2000000000;
    }
    return std::wcscmp(name, L"exfat") == 0 ? 10000000 : 0;
}

// Linux tells a file system by its magic number; FAT's is named msdos.
int64_t platformVolumeTimeStep(const wchar_t* directory) {
    Place at = Locate(WithoutTrailingSlashes(PathName(directory)));
    if (!at.ok) return 0;
    int fd = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at.guarded ? O_NOFOLLOW : 0));
    if (fd < 0) return 0;
    struct statfs info;
    bool known = fstatfs(fd, &info) == 0;
    close(fd);
    const long kMsdosMagic = 0x4d44;
    const long kExfatMagic = 0x2011BAB0;
    if (!known) return 0;
    if (static_cast<long>(info.f_type) == kMsdosMagic) return platformTimeStepOfFileSystem(L"msdos");
    return static_cast<long>(info.f_type) == kExfatMagic ? platformTimeStepOfFileSystem(L"exfat") : 0;
}

// Linux tells a file system by its magic number: those of the network file
// systems and of FUSE.
bool platformRequestsWait(const wchar_t* directory) {
    Place at = Locate(WithoutTrailingSlashes(PathName(directory)));
    if (!at.ok) return false;
    int fd = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at.guarded ? O_NOFOLLOW : 0));
    if (fd < 0) return false;
    struct statfs info;
    bool known = fstatfs(fd, &info) == 0;
    close(fd);
    if (!known) return false;
    const unsigned long waiting[] = {
        0x6969,      // NFS
        0x517B,      // SMB
        0xFF534D42,  // CIFS
        0xFE534D42,  // SMB2
        0x65735546,  // FUSE
        0x01021997,  // 9P
        0x00C36400,  // Ceph
        0x5346414F,  // AFS
        0x47504653,  // GPFS
        0x0BD00BD0,  // Lustre
    };
    auto type = static_cast<unsigned long>(info.f_type) & 0xFFFFFFFFUL;
    for (unsigned long magic : waiting) {
        if (type == magic) return true;
    }
    return false;
}

SystemResult platformReadLink(const wchar_t* path, std::wstring* text) {
    Place at = Locate(WithoutTrailingSlashes(PathName(path)));
    std::string bytes;
    SystemResult read = Result(at.ok && ReadLinkAt(at.directory, at.name, &bytes));
    if (!read) return read;
    *text = FromSystemText(bytes.c_str());
    return read;
}

namespace {

// The status of the directory at path in *st. In the guarded tree the
// directory is held as it is looked at: a walk that enters it, or a change
// of its time, opens nothing more (a request less on a share); its status
// as held, asked again where fresh. Elsewhere as a query finds it. False
// when no directory stands there.
bool FolderStat(const wchar_t* path, bool fresh, struct stat* st) {
    SystemName name = WithoutTrailingSlashes(PathName(path));
    if (!name.ok) return false;
    Place held = HoldGuarded(name.bytes, st, false, fresh);
    if (!held.ok) return false;
    if (!held.guarded) {
        Place at = LocateQuery(std::move(name));
        if (!at.ok || StatAt(at, st) != 0) return false;
    }
    return S_ISDIR(st->st_mode);
}

}  // namespace

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    struct stat st;
    if (!FolderStat(path, false, &st)) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool platformQueryFolder(const wchar_t* path, EntryStatus* status) {
    struct stat st;
    if (!FolderStat(path, true, &st)) return false;
    FillStatus(st, status);
    return true;
}

bool platformResolvedPath(const wchar_t* path, std::wstring* resolved) {
    SystemName name = PathName(path);
    if (!name.ok) return false;
    char* whole = realpath(name.bytes.c_str(), nullptr);
    if (!whole) return false;
    *resolved = FromSystemText(whole);
    std::free(whole);
    return true;
}

bool platformEntryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    Place at = Locate(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool platformStreamIdentity(FILE* file, DirectoryIdentity* identity) {
    struct stat st;
    if (!file || fstat(fileno(file), &st) != 0) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool platformIsTopOfVolume(const wchar_t* path) {
    struct stat named;
    struct stat top;
    SystemName name = PathName(path);
    return name.ok && stat(name.bytes.c_str(), &named) == 0 && stat("/", &top) == 0 && SameEntry(named, top);
}

// Climbs through the parents as the file system links them; a mount is
// crossed as the system crosses it.
bool platformDirectoryChain(const wchar_t* directory, std::vector<DirectoryIdentity>* chain) {
    chain->clear();
    SystemName name = PathName(directory);
    if (!name.ok) return false;
    int fd = OpenHeldSource(name.bytes, kHeldDirectory);
    if (fd < 0) fd = open(name.bytes.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat current;
    if (fstat(fd, &current) != 0) {
        close(fd);
        return false;
    }
    for (int level = 0; level < 65536; ++level) {
        chain->push_back(
            DirectoryIdentity{static_cast<uint64_t>(current.st_dev), static_cast<uint64_t>(current.st_ino)});
        int parent = openat(fd, "..", kHeldDirectory & ~O_NOFOLLOW);
        struct stat above;
        if (parent < 0 || fstat(parent, &above) != 0) {
            if (parent >= 0) close(parent);
            break;
        }
        close(fd);
        fd = parent;
        if (SameEntry(above, current)) break;  // the top: its parent is itself
        current = above;
    }
    close(fd);
    return true;
}

namespace {
DirectoryListing* ListingOf(int fd, std::string system, bool byOwnersRight, int* reason);
}  // namespace

DirectoryListing* platformOpenListing(const wchar_t* directory, int* reason) {
    SystemName name = WithoutTrailingSlashes(PathName(directory));
    if (!name.ok) {
        *reason = FAILURE_NAME_UNWRITABLE;
        return nullptr;
    }
    std::string system = std::move(name.bytes);
    int fd;
    bool byOwnersRight = false;
    if (guard.active && system == guard.root) {
        fd = openat(guard.rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        system.clear();
    } else {
        Place at = LocateQuery(system);
        if (!at.ok) {
            *reason = errno != 0 ? errno : EIO;
            return nullptr;
        }
        fd = OpenAt(at, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (at.guarded) system.clear();
        byOwnersRight = at.source;
    }
    if (fd < 0) {
        *reason = errno != 0 ? errno : EIO;
        return nullptr;
    }
    return ListingOf(fd, std::move(system), byOwnersRight, reason);
}

DirectoryListing* platformOpenListingApart(const wchar_t* directory, int* reason) {
    SystemName name = WithoutTrailingSlashes(PathName(directory));
    if (!name.ok) {
        *reason = FAILURE_NAME_UNWRITABLE;
        return nullptr;
    }
    int fd = open(name.bytes.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *reason = errno != 0 ? errno : EIO;
        return nullptr;
    }
    return ListingOf(fd, std::string(), false, reason);
}

namespace {

// The listing of the open directory fd, named path for the held trees (empty: none of theirs).
DirectoryListing* ListingOf(int fd, std::string system, bool byOwnersRight, int* reason) {
#ifdef __linux__
    static_cast<void>(reason);  // getdents64 reads the open directory itself: nothing to fail yet
    DirectoryListing* listing = new DirectoryListing;
    listing->fd = fd;
    listing->failure = 0;
    listing->filled = 0;
    listing->at = 0;
    listing->buffer.resize(4096);
#else
    DIR* dir = fdopendir(fd);
    if (!dir) {
        *reason = errno != 0 ? errno : EIO;
        close(fd);
        return nullptr;
    }
    DirectoryListing* listing = new DirectoryListing;
    listing->fd = fd;
    listing->failure = 0;
    listing->dir = dir;
#endif
    listing->path = std::move(system);
    listing->byOwnersRight = byOwnersRight;
    if (!listing->path.empty()) openListings.push_back(listing);
    return listing;
}

}  // namespace

namespace {

// The next name the system lists with its type, or null when none is left
// or the listing fails.
const char* NextName(DirectoryListing* listing, unsigned char* type) {
#ifdef __linux__
    if (listing->at >= listing->filled) {
        // A directory that filled the buffer is read with a larger one from then on.
        const size_t kLargest = 32768;
        if (listing->filled + 1024 > listing->buffer.size() && listing->buffer.size() < kLargest) {
            listing->buffer.resize(kLargest);
        }
        long got = syscall(SYS_getdents64, listing->fd, listing->buffer.data(), listing->buffer.size());
        if (got < 0) listing->failure = errno != 0 ? errno : EIO;
        if (got <= 0) return nullptr;
        listing->filled = static_cast<size_t>(got);
        listing->at = 0;
    }
    // The records are laid out as struct dirent64, one after the other.
    const char* record = listing->buffer.data() + listing->at;
    unsigned short length;
    std::memcpy(&length, record + offsetof(struct dirent64, d_reclen), sizeof length);
    listing->at += length;
    *type = static_cast<unsigned char>(record[offsetof(struct dirent64, d_type)]);
    return record + offsetof(struct dirent64, d_name);
#else
    errno = 0;
    struct dirent* found = readdir(listing->dir);
    if (!found && errno != 0) listing->failure = errno;
    if (!found) return nullptr;
    *type = found->d_type;
    return found->d_name;
#endif
}

}  // namespace

bool platformNextEntry(DirectoryListing* listing, DirectoryEntry* entry) {
    for (;;) {
        unsigned char type = DT_UNKNOWN;
        const char* name = NextName(listing, &type);
        if (!name) return false;
        if (!FromSystem(name, entry->name, PLATFORM_NAME_MAX + 1)) continue;
        entry->isLink = false;
        entry->isDirectory = false;
        entry->statusKnown = false;  // a listing here tells no times or sizes
        if (type == DT_DIR) {
            entry->isDirectory = true;
        } else if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(listing->fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                entry->isLink = S_ISLNK(st.st_mode);
                if (entry->isLink && listing->byOwnersRight) {
                    // A link not to be followed is listed as one that leads nowhere.
                    int linksLeft = kLinksFollowedMax;
                    int fd = ResolveEntry(listing->fd, name, &linksLeft);
                    bool reached = fd >= 0 && fstat(fd, &st) == 0;
                    if (fd >= 0) close(fd);
                    if (!reached) return true;
                } else if (entry->isLink && fstatat(listing->fd, name, &st, 0) != 0) {
                    return true;
                }
                entry->isDirectory = S_ISDIR(st.st_mode);
            }
        }
        return true;
    }
}

SystemResult platformCloseListing(DirectoryListing* listing) {
    auto open = std::find(openListings.rbegin(), openListings.rend(), listing);
    if (open != openListings.rend()) openListings.erase(std::next(open).base());
#ifdef __linux__
    SystemResult closed = Result(close(listing->fd) == 0);
#else
    SystemResult closed = Result(closedir(listing->dir) == 0);
#endif
    int failure = listing->failure;
    delete listing;
    if (failure != 0) return SystemResult{false, failure};  // cut short: not every entry was handed over
    return closed;
}

// Names are exact here, except in a directory marked to fold case (ext4,
// f2fs) and on volumes that fold every name: FAT, exFAT and Windows shares.
bool platformFoldsCase(const wchar_t* directory) {
    SystemName name = WithoutTrailingSlashes(PathName(directory));
    if (!name.ok) return false;
    std::string path = name.bytes;
    int fd = -1;
    for (;;) {
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0 || errno != ENOENT) break;
        size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) {
            if (path == ".") break;
            path = ".";
        } else {
            path.resize(slash == 0 ? 1 : slash);
        }
    }
    if (fd < 0) return false;
    bool folds = false;
#ifdef FS_IOC_GETFLAGS
    const int kCasefold = 0x40000000;  // FS_CASEFOLD_FL, which older headers lack
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & kCasefold)) folds = true;
#endif
    struct statfs info;
    if (!folds && fstatfs(fd, &info) == 0) {
        const unsigned long foldingVolumes[] = {0x4d44 /* FAT */, 0x2011BAB0 /* exFAT */, 0xFF534D42 /* CIFS */,
                                                0xFE534D42 /* SMB2 */};
        for (unsigned long magic : foldingVolumes) {
            if (static_cast<unsigned long>(info.f_type) == magic) folds = true;
        }
    }
    close(fd);
    return folds;
}

// A look-up reaches the name it was given.
bool platformEntryName(const wchar_t* path, std::wstring* name) {
    Place at = Locate(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    const wchar_t* last = std::wcsrchr(path, L'/');
    *name = last ? last + 1 : path;
    return !name->empty();
}
