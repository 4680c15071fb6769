// Versions: keeping what a run replaces or deletes in the guarded tree,
// before it changes, in a folder of the guarded tree or in a tree of its own;
// the levels of a run folder, its hold and the program's marks; mounts; the
// failures that may pass; the local calendar.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string>
#include <utility>

#ifdef __linux__
#include <sys/syscall.h>
#endif

#include "platform/platform.h"
#include "platform/posix/posix_layer.h"
#include "platform/system_reason.h"

namespace {

// A place whose directory handle is its own: locating a second place in
// the same held tree may let go of the first's directory.
struct OwnPlace {
    Place at;
    explicit OwnPlace(Place place) : at(std::move(place)) {
        if (!at.ok || at.directory == AT_FDCWD) return;
        at.directory = fcntl(at.directory, F_DUPFD_CLOEXEC, 0);
        at.ok = at.directory >= 0;
    }
    ~OwnPlace() {
        if (at.ok && at.directory != AT_FDCWD) close(at.directory);
    }
    OwnPlace(const OwnPlace&) = delete;
    OwnPlace& operator=(const OwnPlace&) = delete;
};

// The place of a version function's path (see LocateVersionPlace); a path
// the system's encoding cannot write has none.
Place VersionPlace(const wchar_t* path, bool outsideAllowed) {
    SystemName name = WithoutTrailingSlashes(PathName(path));
    if (!name.ok) {
        errno = FAILURE_NAME_UNWRITABLE;
        return Place{AT_FDCWD, std::string(), false, 0, false, false};
    }
    return LocateVersionPlace(std::move(name.bytes), outsideAllowed);
}

// An entry of the guarded tree, as version functions take it.
Place LocateGuardedEntry(const wchar_t* entry) {
    Place place = LocateChange(WithoutTrailingSlashes(PathName(entry)));
    if (place.ok && !place.guarded) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

// Renames from to to (handles and names) without replacing anything there;
// where the system cannot refuse a replacement itself, the name is looked at
// first. -1 with errno set.
int RenameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to) {
#if defined(__linux__) && defined(SYS_renameat2)
    const unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, kNoReplace) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    struct stat st;
    if (fstatat(toDirectory, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return renameat(fromDirectory, from, toDirectory, to);
}

// The result of a version function that failed with error.
VersionResult FailedVersion(int error, bool copyInstead) {
    int reason = error != 0 ? error : EIO;
    if (error == EEXIST) return VersionResult{VERSION_TAKEN, reason};
    return VersionResult{copyInstead ? VERSION_COPY_INSTEAD : VERSION_FAILED, reason};
}

const VersionResult kVersionDone{VERSION_DONE, 0};

// Writes a copy of the link at from into the new name temporary at to, its
// owner and group as keep asks. false with errno set; nothing is left of
// the temporary then.
bool CopyLinkAs(const Place& from, const struct stat& st, const Place& to, const std::string& temporary,
                const KeptMetadata& keep) {
    std::string text;
    if (!ReadLinkAt(from.directory, from.name, &text)) return false;
    if (symlinkat(text.c_str(), to.directory, temporary.c_str()) != 0) return false;
    bool owned = false;
    int refused = keep.owners ? GiveLinkOwner(to.directory, temporary, st, &owned) : 0;
    if (refused != 0) {
        unlinkat(to.directory, temporary.c_str(), 0);
        errno = refused;
        return false;
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(to.directory, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return true;
}

// Writes a copy of the plain file at from, whose status st was read, into
// the new file temporary at to, with what keep asks besides. false with
// *error an errno value (an attribute the volume refused among them), or
// ECANCELED after a stop; nothing is left of the temporary then.
bool CopyFileAs(const Place& from, const struct stat& st, const Place& to, const std::string& temporary,
                const KeptMetadata& keep, int* error) {
    int in = openat(from.directory, from.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened;
    if (in < 0 || fstat(in, &opened) != 0 || !SameEntry(opened, st)) {
        *error = in < 0 ? errno : EAGAIN;
        if (in >= 0) close(in);
        return false;
    }
    int out = openat(to.directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        *error = errno;
        close(in);
        return false;
    }
    // A version is the entry as it was: one that cannot hold all of it is not made.
    bool keptLess = false;
    bool ok = WriteCopy(in, out, &opened, keep, error, &keptLess) && !keptLess;
    if (close(out) != 0 && ok) {
        ok = false;
        *error = errno;
    }
    close(in);
    if (ok && Stopped()) {
        ok = false;
        *error = ECANCELED;
    }
    if (!ok) unlinkat(to.directory, temporary.c_str(), 0);
    return ok;
}

// Opens the directory folder with flags: a held tree's root through the
// tree's own handle, a directory below one through its held directories,
// elsewhere as spelt; its own name is never followed. -1 with errno set.
int OpenFolder(const wchar_t* folder, int flags) {
    SystemName name = WithoutTrailingSlashes(PathName(folder));
    if (!name.ok) {
        errno = FAILURE_NAME_UNWRITABLE;
        return -1;
    }
    for (const HeldTree* tree : {&guard, &versionTree}) {
        if (tree->active && tree->root == name.bytes) return openat(tree->rootFd, ".", flags | O_DIRECTORY | O_CLOEXEC);
    }
    OwnPlace at(LocateVersionPlace(std::move(name.bytes), true));
    if (!at.at.ok) return -1;
    return openat(at.at.directory, at.at.name.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The line of a mark that names the folder it was written for.
std::string MarkIdentityLine(const struct stat& folder) {
    return "folder " + std::to_string(static_cast<unsigned long long>(folder.st_ino)) + "\n";
}

// The most a mark of the program's own holds.
const size_t kMarkMax = 4096;

// Writes all of bytes to fd; false with errno set.
bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

VersionResult platformMakeVersionDirectory(const wchar_t* path, bool ownerOnly) {
    OwnPlace at(VersionPlace(path, true));
    if (!at.at.ok) return FailedVersion(errno, false);
    // Never one others may write in, whatever the mask: a run folder's name planted there would be taken for one.
    if (mkdirat(at.at.directory, at.at.name.c_str(), ownerOnly ? 0700 : 0755) == 0) return kVersionDone;
    return FailedVersion(errno, false);
}

// A hard link; a volume that keeps no second names, or refuses one for this
// file, leaves the version to a copy.
VersionResult platformLinkVersion(const wchar_t* entry, const wchar_t* version) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedVersion(errno, false);
    OwnPlace to(VersionPlace(version, false));
    if (!to.at.ok) return FailedVersion(errno, false);
    if (linkat(from.at.directory, from.at.name.c_str(), to.at.directory, to.at.name.c_str(), 0) == 0) {
        return kVersionDone;
    }
    int error = errno;
    bool copyInstead = error == EXDEV || error == EPERM || error == EMLINK || error == EOPNOTSUPP || error == ENOSYS;
    return FailedVersion(error, copyInstead);
}

// A rename. A directory moved goes from every thread's chain, as a removed
// one does; a file or link lies on no chain's way, and the other threads
// keep theirs. It counts as a file only when the entry was no directory
// before the rename and the same entry stands at version after it: one
// swapped for a directory meanwhile counts as a directory.
VersionResult platformMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedVersion(errno, false);
    OwnPlace to(VersionPlace(version, false));
    if (!to.at.ok) return FailedVersion(errno, false);
    const Place& at = from.at;
    struct stat before;
    bool file = fstatat(at.directory, at.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(before.st_mode);
    bool moved = WithWritableParent(
        at, [&] { return RenameNoReplace(at.directory, at.name.c_str(), to.at.directory, to.at.name.c_str()) == 0; });
    if (!moved) return FailedVersion(errno, errno == EXDEV);
    struct stat after;
    file = file && fstatat(to.at.directory, to.at.name.c_str(), &after, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameEntry(before, after) && !S_ISDIR(after.st_mode);
    if (file) {
        ForgetOwnHeld(&guard, at.depth, at.name);
    } else {
        ForgetRemoved(&guard, at.depth, at.name);
    }
    return kVersionDone;
}

CopyResult platformCopyToVersion(const wchar_t* entry, const wchar_t* version, const KeptMetadata& keep) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedCopy(errno);
    OwnPlace to(VersionPlace(version, false));
    if (!to.at.ok) return FailedCopy(errno);
    struct stat st;
    if (fstatat(from.at.directory, from.at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailedCopy(errno);
    std::string temporary = NextTemporaryName();
    int error = 0;
    if (S_ISLNK(st.st_mode)) {
        if (!CopyLinkAs(from.at, st, to.at, temporary, keep)) return FailedCopy(errno);
    } else if (!S_ISREG(st.st_mode)) {
        return CopyResult{COPY_NOT_REGULAR, FAILURE_NOT_PLAIN_FILE};
    } else if (!CopyFileAs(from.at, st, to.at, temporary, keep, &error)) {
        return error == ECANCELED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED} : FailedCopy(error);
    }
    if (RenameNoReplace(to.at.directory, temporary.c_str(), to.at.directory, to.at.name.c_str()) != 0) {
        error = errno;
        unlinkat(to.at.directory, temporary.c_str(), 0);
        return FailedCopy(error);
    }
    return CopyResult{COPY_DONE, 0};
}

SystemResult platformDeleteVersion(const wchar_t* version) {
    OwnPlace at(VersionPlace(version, false));
    if (!at.at.ok) return Result(false);
    return Result(unlinkat(at.at.directory, at.at.name.c_str(), 0) == 0);
}

// The To directory is looked at before the level is made: a version place
// inside To may take the thread's held directories elsewhere.
VersionResult platformMakeVersionLevel(const wchar_t* path, const wchar_t* like) {
    struct stat model;
    bool known = false;
    {
        Place source = Locate(WithoutTrailingSlashes(PathName(like)));
        known = source.ok && source.guarded &&
                fstatat(source.directory, source.name.c_str(), &model, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(model.st_mode);
    }
    OwnPlace at(VersionPlace(path, false));
    if (!at.at.ok) return FailedVersion(errno, false);
    if (mkdirat(at.at.directory, at.at.name.c_str(), 0700) != 0) return FailedVersion(errno, false);
    if (!known) return kVersionDone;
    int fd = openat(at.at.directory, at.at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return kVersionDone;  // it stands, for its owner alone
    struct stat made;
    bool owned = fstat(fd, &made) == 0 && ((made.st_uid == model.st_uid && made.st_gid == model.st_gid) ||
                                           fchown(fd, model.st_uid, model.st_gid) == 0);
    // The runner keeps its own way in, to put the versions there and to expire them.
    if (owned) fchmod(fd, (model.st_mode & 01777) | S_IRWXU);
    close(fd);
    return kVersionDone;
}

// The hold is an exclusive flock of the run folder's handle: only a process
// that may open the folder (its runner's alone) can take or test it, and it
// goes with the process however the process ends.
struct RunFolderHold {
    int fd;  // the handle holding the lock
};

RunFolderHold* platformHoldRunFolder(const wchar_t* path, int* reason) {
    int fd = OpenFolder(path, O_RDONLY);
    if (fd < 0) {
        *reason = errno;
        return nullptr;
    }
    // A volume that keeps no locks holds the folder as far as it can.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        *reason = EWOULDBLOCK;
        return nullptr;
    }
    return new RunFolderHold{fd};
}

void platformReleaseRunFolder(RunFolderHold* hold) {
    if (!hold) return;
    close(hold->fd);
    delete hold;
}

bool platformRunFolderHeld(const wchar_t* path) {
    int fd = OpenFolder(path, O_RDONLY);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // and with it the lock just taken
    return held;
}

SystemResult platformWriteMark(const wchar_t* folder, const wchar_t* name, const std::string& text) {
    int directory = OpenFolder(folder, O_RDONLY);
    if (directory < 0) return Result(false);
    struct stat here;
    std::string own = ToSystem(name);
    std::string temporary = NextTemporaryName();
    int fd = -1;
    if (fstat(directory, &here) == 0) {
        fd = openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    bool ok = fd >= 0 && WriteAll(fd, text + MarkIdentityLine(here)) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && renameat(directory, temporary.c_str(), directory, own.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok && fd >= 0) unlinkat(directory, temporary.c_str(), 0);
    close(directory);
    errno = error;
    return Result(ok);
}

// A folder without a mark, the usual case, costs one look at the mark's
// name from the folder's parent, which holds no handle of the folder (a
// volume mounted there can still be let go); a mark found is read through
// a handle of the folder itself, never followed, that goes at once.
bool platformReadMark(const wchar_t* folder, const wchar_t* name, std::string* text) {
    std::string own = ToSystem(name);
    {
        // Through the folder where a walk holds it (on a share one request),
        // otherwise by its name from its parent, which holds no new folder.
        Place at = Locate(WithoutTrailingSlashes(PathName(folder)));
        int held = at.ok ? HeldHandle(at) : -1;
        struct stat seen;
        if (!at.ok ||
            fstatat(held >= 0 ? held : at.directory, held >= 0 ? own.c_str() : (at.name + "/" + own).c_str(), &seen,
                    AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(seen.st_mode)) {
            return false;
        }
    }
    int directory = OpenFolder(folder, O_PATH);
    if (directory < 0) return false;
    struct stat here;
    struct stat seen;
    int fd = fstatat(directory, own.c_str(), &seen, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(seen.st_mode) &&
                     fstat(directory, &here) == 0
                 ? openat(directory, own.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                 : -1;
    close(directory);
    if (fd < 0) return false;
    struct stat st;
    std::string bytes(kMarkMax + 1, '\0');
    ssize_t length = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == geteuid() || st.st_uid == 0)) {
        length = read(fd, &bytes[0], bytes.size());
    }
    close(fd);
    if (length < 0 || static_cast<size_t>(length) > kMarkMax) return false;
    bytes.resize(static_cast<size_t>(length));
    std::string identity = MarkIdentityLine(here);
    if (bytes.size() < identity.size() ||
        bytes.compare(bytes.size() - identity.size(), identity.size(), identity) != 0) {
        return false;
    }
    size_t start = bytes.size() - identity.size();
    if (start > 0 && bytes[start - 1] != '\n') return false;
    *text = bytes.substr(0, start);
    return true;
}

// The mount's own number where the system tells it, which sets a bind mount
// of the same volume apart; the device number elsewhere.
bool platformMountOf(const wchar_t* path, uint64_t* mount) {
    int fd = OpenFolder(path, O_PATH);
    if (fd < 0) return false;
    bool known = false;
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx seen;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &seen) == 0 &&
        (seen.stx_mask & STATX_MNT_ID)) {
        *mount = static_cast<uint64_t>(seen.stx_mnt_id);
        known = true;
    }
#endif
    struct stat st;
    if (!known && fstat(fd, &st) == 0) {
        *mount = static_cast<uint64_t>(st.st_dev);
        known = true;
    }
    close(fd);
    return known;
}

// The parent is reached by "..", which leaves a mount for the folder it is
// mounted on; the mount's own number sets a bind mount of the same volume
// apart where the device number cannot.
bool platformIsMountPoint(const wchar_t* path) {
    int fd = OpenFolder(path, O_PATH);
    if (fd < 0) return false;
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx here;
    bool seen = statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &here) == 0;
#ifdef STATX_ATTR_MOUNT_ROOT
    // Where the system names a mount's root, one look tells.
    if (seen && (here.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
        close(fd);
        return (here.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
#endif
#endif
    int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool mounted = false;
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx above;
    if (seen && parent >= 0 && (here.stx_mask & STATX_MNT_ID) &&
        statx(parent, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &above) == 0 &&
        (above.stx_mask & STATX_MNT_ID)) {
        mounted = here.stx_mnt_id != above.stx_mnt_id;
    }
#endif
    struct stat st;
    struct stat up;
    if (!mounted && parent >= 0 && fstat(fd, &st) == 0 && fstat(parent, &up) == 0) mounted = st.st_dev != up.st_dev;
    if (parent >= 0) close(parent);
    close(fd);
    return mounted;
}

bool platformErrorMayPass(int reason) {
    if (reason == FAILURE_COPY_UNVERIFIED) return true;  // a volume that wrote wrong may write right
    const int passing[] = {EBUSY, ETXTBSY, EAGAIN, EWOULDBLOCK, ETIMEDOUT, ENOLCK, EDEADLK};
    for (int known : passing) {
        if (reason == known) return true;
    }
    return false;
}

bool platformErrorIsMissing(int reason) { return reason == ENOENT; }

int64_t platformWallSeconds() { return static_cast<int64_t>(time(nullptr)); }

bool platformLocalCalendar(int64_t seconds, CalendarTime* calendar) {
    time_t moment = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&moment, &local)) return false;
    *calendar =
        CalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    return true;
}
