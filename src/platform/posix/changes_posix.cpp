// Changes of entries: modes, folders, deletions, removals, links.

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
#include <atomic>
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

// True when a refused mode change (error) is the volume's doing: it holds
// no such modes (FAT), while the entry, st, is ours to change and not made
// immutable. fd, when not -1, is the entry opened.
bool ModeNotHeld(int error, const struct stat& st, int fd) {
    if (error != EPERM && error != EOPNOTSUPP) return false;
    if (st.st_uid != geteuid() && geteuid() != 0) return false;
#ifdef FS_IOC_GETFLAGS
    int flags = 0;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL))) {
        return false;
    }
#endif
    return true;
}

}  // namespace

std::mutex parentModeLock;

bool ChangeOpenMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0) return true;
    int error = errno;
    struct stat st;
    bool notHeld = fstat(fd, &st) == 0 && ModeNotHeld(error, st, fd);
    errno = error;
    return notHeld;
}

namespace {

// Gives the entry at place a mode. Inside a guarded tree a link is never
// changed (the system would change what it names): a plain file or directory
// is opened without following and changed through its handle, and one that
// cannot be opened is changed by name, still without following.
bool ChangeModeAt(const Place& place, mode_t mode) {
    if (!place.guarded) {
        if (chmod(place.name.c_str(), mode) == 0) return true;
        int error = errno;
        struct stat named;
        bool notHeld = stat(place.name.c_str(), &named) == 0 && ModeNotHeld(error, named, -1);
        errno = error;
        return notHeld;
    }
    struct stat st;
    if (fstatat(place.directory, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        errno = EPERM;
        return false;
    }
    int fd = openat(place.directory, place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat opened;
        bool same = fstat(fd, &opened) == 0 && SameEntry(opened, st);
        bool ok = same && ChangeOpenMode(fd, mode);
        close(fd);
        if (same) return ok;
        errno = EAGAIN;
        return false;
    }
    if (fchmodat(place.directory, place.name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return true;
    int error = errno;
    bool notHeld = ModeNotHeld(error, st, -1);
    errno = error;
    return notHeld;
}

}  // namespace

// Gives a directory held by a handle a new mode; a handle opened only to
// reach names is changed through its entry in /proc.
bool ChangeHeldMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0) return true;
    if (errno != EBADF) return false;
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return chmod(proc.c_str(), mode) == 0;
}

// Reads the text of the link name in directory; false with errno set.
bool ReadLinkAt(int directory, const std::string& name, std::string* text) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = readlinkat(directory, name.c_str(), buffer.data(), buffer.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) < buffer.size()) {
            text->assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        if (buffer.size() >= (size_t{1} << 20)) {
            errno = ENAMETOOLONG;
            return false;
        }
        buffer.resize(buffer.size() * 4);
    }
}

// The name of this process's next temporary.
std::string NextTemporaryName() {
    static std::atomic<unsigned> counter{0};
    static const long process = static_cast<long>(getpid());
    return ToSystem(temporaryName(process, counter.fetch_add(1)).c_str());
}

std::string TemporaryBeside(const Place& target) {
    std::string name = NextTemporaryName();
    if (target.guarded) return name;
    std::string parent = ParentOf(target.name);
    return parent == "/" ? "/" + name : parent + "/" + name;
}

// Inside a guarded tree the mode of a link is never changed: the system
// would give it to what the link names.
SystemResult platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    return Result(at.ok && ChangeModeAt(at, static_cast<mode_t>(word) & 07777));
}

// A file of several names keeps its mode: every name shares it, and here
// neither a deletion nor a copy's rename asks the file's own permission.
SystemResult platformClearProtection(const wchar_t* path) {
    Place at = LocateChange(PathName(path));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (S_ISLNK(st.st_mode)) return Result(true);  // a link has no protection of its own
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) return Result(true);
    if (st.st_mode & S_IWUSR) return Result(true);
    return Result(ChangeModeAt(at, (st.st_mode & 07777) | S_IWUSR));
}

namespace {

// Makes the folder name in directory with mode; what it took of a default
// ACL of its folder goes before anyone is let in, and the folder with it
// when that fails. 0, or the errno of a failure.
int MakeFolder(const Place& at, const std::string& name, mode_t mode) {
    if (!WithWritableParent(at, [&] { return mkdirat(at.directory, name.c_str(), mode) == 0; })) return errno;
    int made = openat(at.directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = made < 0 ? errno : DropInheritedAcls(made);
    if (made >= 0) close(made);
    if (error != 0) unlinkat(at.directory, name.c_str(), AT_REMOVEDIR);
    return error;
}

}  // namespace

// Made for its owner alone: the run gives it its source's owner and mode
// next, and until then no one else may open it or watch what goes into it.
SystemResult platformCreateDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    if (!at.ok) return Result(false);
    int error = MakeFolder(at, at.name, 0700);
    return SystemResult{error == 0, error};
}

SystemResult platformCreateOwnerDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    if (!at.ok) return Result(false);
    if (mkdirat(at.directory, at.name.c_str(), 0755) != 0) return Result(false);
    int made = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int error = made < 0 ? errno : DropInheritedAcls(made);
    if (made >= 0) close(made);
    if (error != 0) unlinkat(at.directory, at.name.c_str(), AT_REMOVEDIR);
    return SystemResult{error == 0, error};
}

namespace {

// A renewal moves what the old folder holds in this many passes at most,
// while its owner keeps adding to it.
const int kRenewPasses = 4;

// Renames name from one folder to another, never replacing what the other
// holds (looked at first where the system cannot refuse it). -1 with errno.
int MoveNoReplace(int from, const char* name, int to) {
#if defined(__linux__) && defined(SYS_renameat2)
    const unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, from, name, to, name, kNoReplace) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    struct stat st;
    if (fstatat(to, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(from, name, to, name);
}

// Moves every entry of the folder open as from into the one open as to,
// each as itself, in passes while entries keep coming. True when from was
// left empty; false with errno otherwise (ENOTEMPTY: entries kept coming,
// or one of that name stands in to already).
bool MoveEntries(int from, int to) {
    for (int pass = 0; pass < kRenewPasses; ++pass) {
        int listed = openat(from, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
        if (!dir) {
            int error = errno;
            if (listed >= 0) close(listed);
            errno = error;
            return false;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        int listError = errno;
        closedir(dir);
        if (listError != 0) {
            errno = listError;
            return false;
        }
        if (names.empty()) return true;
        for (const std::string& name : names) {
            if (MoveNoReplace(from, name.c_str(), to) != 0 && errno != ENOENT) {
                if (errno == EEXIST) errno = ENOTEMPTY;
                return false;
            }
        }
    }
    errno = ENOTEMPTY;
    return false;
}

// Gives the entries at first and second in directory each other's names,
// or, where the system cannot, moves first away, second to its name, and
// first to second's. -1 with errno.
int ExchangeNames(int directory, const std::string& first, const std::string& second) {
#if defined(__linux__) && defined(SYS_renameat2)
    const unsigned kExchange = 2;  // RENAME_EXCHANGE
    if (syscall(SYS_renameat2, directory, first.c_str(), directory, second.c_str(), kExchange) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    std::string aside = NextTemporaryName();
    if (renameat(directory, first.c_str(), directory, aside.c_str()) != 0) return -1;
    if (renameat(directory, second.c_str(), directory, first.c_str()) != 0) {
        int error = errno;
        renameat(directory, aside.c_str(), directory, first.c_str());
        errno = error;
        return -1;
    }
    return renameat(directory, aside.c_str(), directory, second.c_str());
}

}  // namespace

// The new folder is made under a temporary name, filled from the old one
// through handles of both, and given the old one's name in one exchange;
// the old one, then under the temporary name, is emptied of what came
// meanwhile and removed. When what it held cannot all be moved, it is put
// back and the new folder goes: the old one stays as it was.
SystemResult platformRenewDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    struct stat seen;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (!S_ISDIR(seen.st_mode)) return SystemResult{false, ENOTDIR};
    int old = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (old < 0) return Result(false);
    struct stat opened;
    if (fstat(old, &opened) != 0 || !SameEntry(opened, seen)) {
        close(old);
        return SystemResult{false, EAGAIN};
    }
    std::string temporary = NextTemporaryName();
    int error = MakeFolder(at, temporary, 0700);
    int fresh =
        error == 0 ? openat(at.directory, temporary.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (error == 0 && fresh < 0) error = errno;
    struct stat made;
    if (fresh >= 0 && (fstat(fresh, &made) != 0 || made.st_uid != geteuid())) error = EAGAIN;
    if (error == 0 && !MoveEntries(old, fresh)) error = errno;
    if (error == 0 && ExchangeNames(at.directory, at.name, temporary) != 0) error = errno;
    if (error != 0) {
        if (fresh >= 0) {
            MoveEntries(fresh, old);
            close(fresh);
            unlinkat(at.directory, temporary.c_str(), AT_REMOVEDIR);
        }
        close(old);
        return SystemResult{false, error};
    }
    ForgetRemoved(&guard, at.depth, at.name);
    // What the old folder's owner put into it meanwhile goes after the rest.
    bool emptied = MoveEntries(old, fresh);
    error = errno;
    struct stat aside;
    if (emptied && fstatat(at.directory, temporary.c_str(), &aside, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameEntry(aside, opened) && unlinkat(at.directory, temporary.c_str(), AT_REMOVEDIR) != 0) {
        emptied = false;
        error = errno;
    }
    close(fresh);
    close(old);
    return emptied ? SystemResult{true, 0} : SystemResult{false, error};
}

SystemResult platformMayAddTo(const wchar_t* path) {
    SystemName name = PathName(path);
    if (!name.ok) return SystemResult{false, FAILURE_NAME_UNWRITABLE};
    return Result(faccessat(AT_FDCWD, name.bytes.c_str(), W_OK | X_OK, AT_EACCESS) == 0);
}

bool platformProbeModifiedTime(const wchar_t* directory, int64_t seconds, int32_t nanoseconds, int64_t* readSeconds,
                               int32_t* readNanoseconds) {
    Place at = LocateChange(SystemName{WithoutTrailingSlashes(ToSystem(directory)) + "/" + NextTemporaryName(), true});
    if (!at.ok) return false;
    struct stat folder;
    bool folderKnown = fstat(at.directory, &folder) == 0;
    NotedTemporary probe(at.name);
    int fd = openat(at.directory, at.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    probe.made(at.directory, fd);
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    bool set = futimens(fd, times) == 0;
    close(fd);
    struct stat st;
    bool read = set && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    unlinkat(at.directory, at.name.c_str(), 0);
    // The folder keeps the time it had: the probe is no change of the run's.
    if (folderKnown) {
        struct timespec kept[2] = {folder.st_atim, folder.st_mtim};
        if (futimens(at.directory, kept) != 0 && errno == EBADF) {
            utimensat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(at.directory)).c_str(), kept, 0);
        }
    }
    if (read) {
        *readSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
        *readNanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec);
    }
    return read;
}

// unlink refuses a directory (EISDIR), so no need to look first.
SystemResult platformDeleteFile(const wchar_t* path) {
    Place at = LocateChange(PathName(path));
    if (!at.ok) return Result(false);
    return Result(WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), 0) == 0; }));
}

SystemResult platformRemoveDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    if (!at.ok) return Result(false);
    bool removed = WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), AT_REMOVEDIR) == 0; });
    if (removed) ForgetRemoved(&guard, at.depth, at.name);
    return Result(removed);
}

SystemResult platformRemoveLink(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (!S_ISLNK(st.st_mode)) return SystemResult{false, EINVAL};
    return Result(WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), 0) == 0; }));
}

// The link is made under a temporary name and renamed over the target, so
// the target's name holds the old entry or the new link, never nothing. A
// link's own time is given where the system keeps one, and its owner and
// group as keep asks, where this process may give them and the volume holds them.
CopyResult platformCopyLink(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    Place from = LocateQuery(WithoutTrailingSlashes(PathName(source)));
    struct stat st;
    std::string text;
    if (!from.ok || fstatat(from.directory, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !ReadLinkAt(from.directory, from.name, &text)) {
        return FailedCopy(errno);
    }
    Place at = LocateChange(WithoutTrailingSlashes(PathName(target)));
    if (!at.ok) return FailedCopy(errno);
    NotedTemporary noted(TemporaryBeside(at));
    const std::string& temporary = noted.name;
    if (!WithWritableParent(at, [&] { return symlinkat(text.c_str(), at.directory, temporary.c_str()) == 0; })) {
        return FailedCopy(errno);
    }
    noted.made(at.directory, -1);
    bool owned = false;
    int refused = keep.owners ? GiveLinkOwner(at.directory, temporary, st, &owned) : 0;
    if (refused != 0) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return FailedCopy(refused);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(at.directory, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (Stopped()) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return CopyResult{COPY_STOPPED, FAILURE_STOPPED};
    }
    if (!WithWritableParent(
            at, [&] { return renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0; })) {
        int error = errno;
        unlinkat(at.directory, temporary.c_str(), 0);
        return FailedCopy(error);
    }
    return CopyResult{COPY_DONE, 0};
}
