// Versions: keeping what a run replaces or deletes in the guarded tree,
// before it changes, in a folder of the guarded tree or in a tree of its own;
// the failures that may pass; the local calendar.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
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

bool platformErrorMayPass(int reason) {
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
