// The system seam on Linux and other POSIX systems.
#include "platform/platform.h"

#include "base/byte_escape.h"

#include "base/temporary_name.h"

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <ctime>
#include <string>
#include <vector>

#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

// Names are bytes here. The locale's encoding turns them into wide text; a byte
// that does not decode becomes BYTE_ESCAPE_BASE + byte and turns back into
// that byte, so that every name survives the round trip, however it is spelt.
namespace {

// Reasons of failures of our own, beside errno's.
const int kSourceChanged = -1;  // the source changed while it was copied, every time it was tried
const int kNotPlainFile = -2;   // a file the program writes for itself is no plain file there

std::string ToSystem(const wchar_t* path) {
    // Plain ASCII, by far the most common, needs no conversion state: it is
    // copied unit by unit in one pass, through a pointer of its own.
    size_t length = std::wcslen(path);
    std::string bytes(length, '\0');
    char* out = &bytes[0];
    size_t plain = 0;
    while (plain < length && path[plain] < 0x80) {
        out[plain] = static_cast<char>(path[plain]);
        ++plain;
    }
    if (plain == length) return bytes;
    bytes.clear();
    std::mbstate_t state{};
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = path; *p; ++p) {
        if (*p >= BYTE_ESCAPE_BASE + 0x80 && *p <= BYTE_ESCAPE_BASE + 0xFF) {
            bytes.push_back(static_cast<char>(*p - BYTE_ESCAPE_BASE));
            continue;
        }
        size_t n = std::wcrtomb(piece, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes.push_back('?');
        } else {
            bytes.append(piece, n);
        }
    }
    return bytes;
}

// Decodes bytes into out (room units, NUL included); false when it does not fit.
bool FromSystem(const char* bytes, wchar_t* out, size_t room) {
    const char* end = bytes;
    while (*end && static_cast<unsigned char>(*end) < 0x80) ++end;
    if (*end == '\0') {
        size_t count = static_cast<size_t>(end - bytes);
        if (count + 1 > room) return false;
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<wchar_t>(bytes[i]);
        out[count] = L'\0';
        return true;
    }
    std::mbstate_t state{};
    size_t used = 0;
    size_t left = std::strlen(bytes);
    while (left > 0) {
        if (used + 1 >= room) return false;
        wchar_t unit = 0;
        size_t n = std::mbrtowc(&unit, bytes, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            state = std::mbstate_t{};
            out[used++] = static_cast<wchar_t>(BYTE_ESCAPE_BASE + static_cast<unsigned char>(*bytes));
            n = 1;
        } else {
            out[used++] = unit;
        }
        bytes += n;
        left -= n;
    }
    out[used] = L'\0';
    return true;
}

bool IsDirectoryMode(mode_t mode) { return S_ISDIR(mode); }

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

#ifdef O_PATH
const int kHeldDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
const int kHeldDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// True when the process runs as root: it may read what the users whose
// files it copies may not, so it follows their links only by their right.
bool RootRun() {
    static const bool root = geteuid() == 0;
    return root;
}

bool SameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A link may be followed when its owner could read what it names: the
// owner is root, or owns the target, as the kernel's rule for protected
// links reasons.
bool FollowAllowed(const struct stat& link, const struct stat& target) {
    return link.st_uid == 0 || link.st_uid == target.st_uid;
}

// True when someone other than root may move entry, a directory, out of
// parent: the parent's owner, or anyone who may write the parent (only
// the entry's owner, where the parent is sticky).
bool OthersMayMove(const struct stat& parent, const struct stat& entry) {
    if (parent.st_uid != 0) return true;
    bool othersWrite = (parent.st_mode & S_IWOTH) || ((parent.st_mode & S_IWGRP) && parent.st_gid != 0);
    return othersWrite && (!(parent.st_mode & S_ISVTX) || entry.st_uid != 0);
}

// A tree whose directories are held open on the way to the entries asked
// about, outermost first, each opened from its parent; the next path that
// shares their names reuses them, so a walk costs one open per directory,
// not one resolution per entry, and no path handed to the system is longer
// than one name. A held directory is let go when another name takes its
// level or the run removes it.
struct HeldTree {
    bool active = false;
    bool follows = false;  // links on the way are followed (From), or never (To)
    std::string root;      // as the run spells it, without trailing separators
    int rootFd = -1;
    struct stat rootSeen;             // the root as it was opened
    std::vector<std::string> names;   // the held directories' names, outermost first
    std::vector<int> fds;             // their handles
    std::vector<struct stat> seen;    // each as it was opened
    std::vector<char> othersMayMove;  // another user may move it: looked at before each change
};

// The tree a run changes (To): every query and change below its root goes
// through directories opened without following links.
HeldTree guard;

// The tree a run reads (From): a path below its root goes through held
// directories when it is too long for the system in one piece, and always
// in a root run, which follows a link on the way only by its owner's right.
HeldTree readTree;

void DropHeld(HeldTree* tree, size_t keep) {
    while (tree->fds.size() > keep) {
        close(tree->fds.back());
        tree->fds.pop_back();
        tree->names.pop_back();
        tree->seen.pop_back();
        tree->othersMayMove.pop_back();
    }
}

void ReleaseHeld(HeldTree* tree) {
    DropHeld(tree, 0);
    if (tree->rootFd >= 0) close(tree->rootFd);
    tree->rootFd = -1;
    tree->active = false;
    tree->root.clear();
}

// From this length on, a path reaches the system through held directories.
const size_t kLongPath = PATH_MAX - 1;

// Where the system calls below find an entry: a directory handle and a name
// in it. Outside the held trees the handle is the current directory and the
// name the whole path, and the calls follow links as usual.
struct Place {
    int directory;
    std::string name;
    bool guarded;  // inside the guarded tree: never follow the name
    size_t depth;  // inside a held tree: how many directories lie between the root and the name
    bool ok;       // false: a directory on the way could not be opened; errno tells why
    bool source;   // below the From root in a root run: a link is followed only by its owner's right
};

// Reasons of failures of our own on the way to an entry, beside errno's.
const int kLinkRefused = -3;  // a link whose owner may not read what it names
const int kFolderMoved = -4;  // a directory on the way left its place during the run

// Opens the directory name in parent for a held tree: never through a link
// in the guarded tree; in the tree read, through a link only where its
// owner could read what it names, in a root run. -1 with errno set.
int OpenLevel(const HeldTree& tree, int parent, const std::string& name) {
    if (!tree.follows) return openat(parent, name.c_str(), kHeldDirectory);
    if (!RootRun()) return openat(parent, name.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    int fd = openat(parent, name.c_str(), kHeldDirectory);
    if (fd >= 0 || (errno != ENOTDIR && errno != ELOOP)) return fd;
    int error = errno;
    struct stat link;
    if (fstatat(parent, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
        errno = error;
        return -1;
    }
    fd = openat(parent, name.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    struct stat target;
    if (fd >= 0 && (fstat(fd, &target) != 0 || !FollowAllowed(link, target))) {
        close(fd);
        errno = kLinkRefused;
        return -1;
    }
    return fd;
}

// The start of the part of path below tree's root, or 0 when path does not lie below it.
size_t BelowRoot(const HeldTree& tree, const std::string& path) {
    if (!tree.active) return 0;
    const std::string& root = tree.root;
    if (root == "/") return !path.empty() && path[0] == '/' ? 1 : 0;
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') return 0;
    return root.size() + 1;
}

// Finds the entry of path (below tree's root from start on) through the
// tree's held directories, opening those not held yet; verify: look again
// at each held directory another user may move, that it is still where it
// was. The components "." and empty ones are skipped; ".." is refused.
void Descend(HeldTree* tree, size_t start, bool verify, Place* place) {
    const std::string& path = place->name;
    size_t level = 0;
    size_t at = start;
    std::string name;
    bool haveName = false;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        size_t length = end - at;
        bool skip = length == 0 || (length == 1 && path[at] == '.');
        if (!skip && length == 2 && path[at] == '.' && path[at + 1] == '.') {
            place->ok = false;  // the engine never builds one; refuse rather than climb out
            errno = EACCES;
            return;
        }
        if (!skip) {
            if (haveName) {
                // The previous name is a directory on the way: reuse or open it.
                int parent = level == 0 ? tree->rootFd : tree->fds[level - 1];
                if (level < tree->names.size() && tree->names[level] == name) {
                    struct stat now;
                    if (verify && tree->othersMayMove[level] &&
                        (fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                         !SameEntry(now, tree->seen[level]))) {
                        DropHeld(tree, level);
                        place->ok = false;
                        errno = kFolderMoved;
                        return;
                    }
                    ++level;
                } else {
                    DropHeld(tree, level);
                    int fd = OpenLevel(*tree, parent, name);
                    struct stat opened;
                    if (fd < 0 || fstat(fd, &opened) != 0) {
                        if (fd >= 0) close(fd);
                        place->ok = false;
                        return;
                    }
                    const struct stat& above = level == 0 ? tree->rootSeen : tree->seen[level - 1];
                    bool mayMove = !tree->follows && RootRun() && OthersMayMove(above, opened);
                    tree->names.push_back(name);
                    tree->fds.push_back(fd);
                    tree->seen.push_back(opened);
                    tree->othersMayMove.push_back(mayMove);
                    ++level;
                }
            }
            name.assign(path, at, length);
            haveName = true;
        }
        at = end + 1;
    }
    if (!haveName) return;  // the root itself
    // Directories held below this one stay held: the next entry may be there.
    place->depth = level;
    place->directory = level == 0 ? tree->rootFd : tree->fds[level - 1];
    place->name = std::move(name);
}

// The path is taken over: outside the held trees it becomes the name as it is.
// verify: the place is to be changed (see Descend).
Place LocateFor(std::string whole, bool verify) {
    Place place{AT_FDCWD, std::move(whole), false, 0, true, false};
    if (size_t start = BelowRoot(guard, place.name)) {
        Descend(&guard, start, verify, &place);
        place.guarded = place.ok && place.directory != AT_FDCWD;
        return place;
    }
    if (size_t start = BelowRoot(readTree, place.name)) {
        place.source = RootRun();
        if (RootRun() || place.name.size() >= kLongPath) Descend(&readTree, start, false, &place);
    }
    return place;
}

Place Locate(std::string whole) { return LocateFor(std::move(whole), false); }

// While a tree is guarded, changes are made below its root only: never to
// the root itself or anything outside it, however a path reaches there.
Place LocateChange(std::string path) {
    Place place = LocateFor(std::move(path), RootRun());
    if (place.ok && guard.active && !place.guarded) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

int NoFollow(const Place& place) { return place.guarded ? AT_SYMLINK_NOFOLLOW : 0; }

// The status of the entry at place: in the guarded tree a link as itself;
// in the tree a root run reads, what a link names only by its owner's right
// (errno kLinkRefused otherwise); elsewhere links followed.
int StatAt(const Place& place, struct stat* st) {
    if (!place.source) return fstatat(place.directory, place.name.c_str(), st, NoFollow(place));
    if (fstatat(place.directory, place.name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISLNK(st->st_mode)) return 0;
    struct stat link = *st;
    if (fstatat(place.directory, place.name.c_str(), st, 0) != 0) return -1;
    if (FollowAllowed(link, *st)) return 0;
    errno = kLinkRefused;
    return -1;
}

// Opens the entry at place with flags, links followed as StatAt follows them.
int OpenAt(const Place& place, int flags) {
    if (place.guarded) return openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (!place.source) return openat(place.directory, place.name.c_str(), flags);
    int fd = openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
    int error = errno;
    struct stat link;
    if (fstatat(place.directory, place.name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
        errno = error;
        return -1;
    }
    fd = openat(place.directory, place.name.c_str(), flags);
    struct stat target;
    if (fd >= 0 && (fstat(fd, &target) != 0 || !FollowAllowed(link, target))) {
        close(fd);
        errno = kLinkRefused;
        return -1;
    }
    return fd;
}

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

// Gives an open entry a mode; a mode its volume cannot hold is no failure.
bool ChangeOpenMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0) return true;
    int error = errno;
    struct stat st;
    bool notHeld = fstat(fd, &st) == 0 && ModeNotHeld(error, st, fd);
    errno = error;
    return notHeld;
}

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

// Gives a directory held by a handle a new mode; a handle opened only to
// reach names is changed through its entry in /proc.
bool ChangeHeldMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0) return true;
    if (errno != EBADF) return false;
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return chmod(proc.c_str(), mode) == 0;
}

// Runs change(); when the parent directory refuses it for want of write
// permission and belongs to us, the parent is opened up for that one change
// and given its mode back. A protected directory guards nothing on Windows
// either, and a mirrored read-only directory must still be filled.
template <typename Change>
bool WithWritableParent(const Place& place, Change change) {
    if (change()) return true;
    if (errno != EACCES) return false;
    int saved = errno;
    struct stat st;
    int parentFd = -1;
    std::string parent;
    if (place.guarded) {
        parentFd = place.directory;
        if (fstat(parentFd, &st) != 0) {
            errno = saved;
            return false;
        }
    } else {
        parent = ParentOf(place.name);
        if (stat(parent.c_str(), &st) != 0) {
            errno = saved;
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWUSR | S_IXUSR)) == (S_IWUSR | S_IXUSR)) {
        errno = saved;
        return false;
    }
    mode_t open = (st.st_mode & 07777) | S_IWUSR | S_IXUSR;
    bool opened = place.guarded ? ChangeHeldMode(parentFd, open) : chmod(parent.c_str(), open) == 0;
    if (!opened) {
        errno = saved;
        return false;
    }
    bool ok = change();
    int after = errno;
    if (place.guarded) {
        ChangeHeldMode(parentFd, st.st_mode & 07777);
    } else {
        chmod(parent.c_str(), st.st_mode & 07777);
    }
    errno = after;
    return ok;
}

// The mode a copy made by this process can carry of an entry: the
// set-user-ID and set-group-ID bits only of an entry the process owns, as a
// copy of another's is owned by the process. So no one's program becomes
// another's, and a directory compares equal to the copy made of it.
mode_t CopyableMode(const struct stat& st) {
    static const uid_t self = geteuid();
    if (st.st_uid == self) return st.st_mode;
    return st.st_mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
}

void FillStatus(const struct stat& st, EntryStatus* status) {
    status->isDirectory = IsDirectoryMode(st.st_mode);
    status->isLink = S_ISLNK(st.st_mode);
    status->isRegular = S_ISREG(st.st_mode);
    status->attributeWord = static_cast<uint32_t>(CopyableMode(st));
    status->modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    status->size = static_cast<int64_t>(st.st_size);
}

CopyOutcome OutcomeOf(int error) {
    if (error == kFolderMoved) return COPY_PLACE_MOVED;
    if (error == EACCES || error == EPERM) return COPY_ACCESS_DENIED;
    if (error == EEXIST) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

// Copy calls move at most this much at a time, so a stop is seen within one piece.
const size_t kCopyPiece = size_t{8} << 20;

// Told between the pieces of a copy; see platformOnCopyProgress.
void (*copyTick)(void*) = nullptr;
void* copyTickData = nullptr;

// True once a stop is asked for; the front end hears of the copy first.
bool Stopped() {
    if (copyTick) copyTick(copyTickData);
    return platformStopRequested();
}

// Copies the bytes of in from offset to end into out at the same offset,
// in the kernel where it can. errno is ECANCELED after a stop.
bool CopyRange(int in, int out, off_t offset, off_t end) {
#ifdef __linux__
    bool kernel = true;
    while (kernel && offset < end) {
        if (Stopped()) {
            errno = ECANCELED;
            return false;
        }
        loff_t from = offset;
        loff_t to = offset;
        size_t want = static_cast<size_t>(std::min<off_t>(end - offset, static_cast<off_t>(kCopyPiece)));
        ssize_t n = syscall(SYS_copy_file_range, in, &from, out, &to, want, 0u);
        if (n > 0) {
            offset += n;
            continue;
        }
        if (n == 0) return true;  // the file shrank
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF) {
            kernel = false;  // not possible between these two; copy through memory
            continue;
        }
        return false;
    }
    if (offset >= end) return true;
#endif
    static char chunk[1 << 17];
    while (offset < end) {
        if (Stopped()) {
            errno = ECANCELED;
            return false;
        }
        size_t want = static_cast<size_t>(std::min<off_t>(end - offset, static_cast<off_t>(sizeof chunk)));
        ssize_t got = pread(in, chunk, want, offset);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = pwrite(out, chunk + done, static_cast<size_t>(got - done), offset + done);
            if (put < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += put;
        }
        offset += got;
    }
    return true;
}

// Copies size bytes of in into out. A file with fewer blocks than its size
// holds holes: only its data is copied and the holes stay holes.
bool CopyContents(int in, int out, const struct stat& st) {
    off_t size = st.st_size;
    bool sparse = static_cast<off_t>(st.st_blocks) * 512 < size;
#ifdef SEEK_DATA
    if (sparse) {
        off_t offset = 0;
        while (offset < size) {
            off_t data = lseek(in, offset, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO) break;  // only a hole is left
                sparse = false;
                break;
            }
            off_t hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0) hole = size;
            if (!CopyRange(in, out, data, std::min(hole, size))) return false;
            offset = hole;
        }
        if (sparse) return ftruncate(out, size) == 0;
    }
#else
    (void)sparse;
#endif
    return CopyRange(in, out, 0, size);
}

// A source read this many times over, changing each time, fails its copy.
const int kCopyTries = 3;

// True when two looks at a file show the same contents: size, and the
// modification and change times to the nanosecond.
bool SameStamp(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The mode a new copy, open as out, takes from its source: its set-user-ID
// bit only where the copy has the source's owner, its set-group-ID bit only
// where it has the source's owner and group.
mode_t NewCopyMode(const struct stat& source, int out) {
    mode_t mode = CopyableMode(source) & 07777;
    if (!(mode & (S_ISUID | S_ISGID))) return mode;
    struct stat made;
    if (fstat(out, &made) != 0 || made.st_uid != source.st_uid) return mode & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (made.st_gid != source.st_gid) mode &= ~static_cast<mode_t>(S_ISGID);
    return mode;
}

// Writes the contents of in, whose status *st was read when it was opened,
// into the new file out, and gives out the source's mode and times. The
// source is looked at again afterwards: one that changed while it was read
// is read again, a few times at most, so that no copy stands as up to date
// with contents its source never had; *st is then its last status. On
// failure *error is an errno value, kSourceChanged or ECANCELED (a stop).
bool WriteCopy(int in, int out, struct stat* st, int* error) {
    for (int attempt = 1;; ++attempt) {
        if (!CopyContents(in, out, *st)) {
            *error = errno;
            return false;
        }
        struct stat after;
        if (fstat(in, &after) != 0) {
            *error = errno;
            return false;
        }
        if (SameStamp(*st, after)) break;
        if (attempt >= kCopyTries) {
            *error = kSourceChanged;
            return false;
        }
        *st = after;
        if (ftruncate(out, 0) != 0) {
            *error = errno;
            return false;
        }
    }
    struct timespec times[2] = {st->st_atim, st->st_mtim};
    if (!ChangeOpenMode(out, NewCopyMode(*st, out)) || futimens(out, times) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

// Why the last change, link read or listing failed: an errno value, one of
// the reasons below that the system has no number for, or 0 for none.
int lastFailure = 0;

// Keeps errno as the reason of a failure; passes ok through.
bool Noted(bool ok) {
    if (!ok) lastFailure = errno != 0 ? errno : EIO;
    return ok;
}

CopyOutcome FailedCopy(int error) {
    lastFailure = error;
    return OutcomeOf(error);
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
    static unsigned counter = 0;
    static const long process = static_cast<long>(getpid());
    return ToSystem(temporaryName(process, counter++).c_str());
}

std::string TemporaryBeside(const Place& target) {
    std::string name = NextTemporaryName();
    if (target.guarded) return name;
    std::string parent = ParentOf(target.name);
    return parent == "/" ? "/" + name : parent + "/" + name;
}

// Whether files written without a name can be linked into place here; set
// false once the system shows they cannot.
bool unnamedCopies = true;

// Writes a copy of in as a file without a name in the target's directory and
// links it under the target's name once it is complete, so that a kill at
// any point leaves nothing behind; a name that is taken is replaced through
// a temporary, as the usual copy does it. False when no file without a name
// could be made or placed: nothing was changed and the caller copies as
// usual. Otherwise *outcome tells how it went.
bool CopyUnnamed(int in, struct stat* st, const Place& at, CopyOutcome* outcome) {
#if defined(O_TMPFILE) && defined(__linux__)
    // Links the file without a name open as fd under name in the target's directory.
    auto linkUnnamed = [&at](int fd, const char* name) {
        return linkat(fd, "", at.directory, name, AT_EMPTY_PATH) == 0;
    };
    if (!unnamedCopies) return false;
    int out = openat(at.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (out < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) unnamedCopies = false;
        return false;
    }
    int error = 0;
    bool ok = WriteCopy(in, out, st, &error);
    if (ok && Stopped()) {
        ok = false;
        error = ECANCELED;
    }
    bool placed = false;
    bool fallBack = false;
    if (ok) {
        placed = linkUnnamed(out, at.name.c_str());
        if (placed) {
            int closed = close(out);
            out = -1;
            if (closed != 0) {
                // The system failed to keep what was written: the new name goes again.
                error = errno;
                unlinkat(at.directory, at.name.c_str(), 0);
                placed = false;
            }
        } else if (errno == EEXIST) {
            // Named as a temporary first, the copy is checked whole before it replaces anything.
            std::string temporary = NextTemporaryName();
            bool linked = linkUnnamed(out, temporary.c_str());
            error = errno;
            if (linked) {
                int closed = close(out);
                out = -1;
                if (closed != 0) error = errno;
                placed = closed == 0 && renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0;
                if (closed == 0 && !placed) error = errno;
                if (!placed) unlinkat(at.directory, temporary.c_str(), 0);  // only a name of our own
            }
        } else {
            error = errno;
            // An older system links such a file only with a privilege.
            fallBack = error == ENOENT || error == EPERM || error == EACCES || error == EXDEV;
            if (fallBack) unnamedCopies = false;
        }
    }
    if (out >= 0) close(out);
    if (fallBack) return false;
    *outcome = placed ? COPY_DONE : error == ECANCELED ? COPY_STOPPED : FailedCopy(error);
    return true;
#else
    (void)in;
    (void)st;
    (void)at;
    (void)outcome;
    return false;
#endif
}

}  // namespace

// A listing reads the directory's entries straight into a buffer of its own:
// one open, one read per buffer full and one close, nothing asked besides.
struct DirectoryListing {
    int fd;
    int failure;         // errno of a read that cut the listing short, or 0
    std::string path;    // outside a guarded tree: the directory as opened, else empty
    bool byOwnersRight;  // a root run's listing of the tree it reads: links followed by their owner's right
#ifdef __linux__
    size_t filled;             // bytes the last read put into buffer
    size_t at;                 // offset of the next record in buffer
    std::vector<char> buffer;  // small for a small directory, so a deep walk holds little
#else
    DIR* dir;
#endif
};

namespace {

// The listings open outside a guarded tree, the latest last.
std::vector<const DirectoryListing*> openListings;

// Where a query finds path. Outside a guarded tree, an entry of the
// directory listed last is reached through that listing's handle instead of
// resolving its whole path again; links are followed or not as before.
Place LocateQuery(std::string path) {
    if (!openListings.empty() && !BelowRoot(guard, path)) {
        const std::string& directory = openListings.back()->path;
        size_t slash = path.find_last_of('/');
        const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
        if (slash != std::string::npos && slash == directory.size() && path.compare(0, slash, directory) == 0 &&
            name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
            bool below = BelowRoot(readTree, path) != 0;
            Place place{openListings.back()->fd, std::string(name), false, 0, true, below && RootRun()};
            return place;
        }
    }
    return Locate(std::move(path));
}

}  // namespace

void platformSetUserLocale() {
    const char* chosen = std::setlocale(LC_ALL, "");
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    if (!chosen || !ctype || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0) {
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
    }
}

void platformOnCopyProgress(void (*tick)(void*), void* data) {
    copyTick = tick;
    copyTickData = data;
}

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    Place at = LocateQuery(ToSystem(path));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool platformEntryExists(const wchar_t* path) {
    Place at = Locate(ToSystem(path));
    if (!at.ok) return false;
    struct stat st;
    return StatAt(at, &st) == 0;
}

EntryPresence platformEntryPresence(const wchar_t* path) {
    Place at = LocateQuery(ToSystem(path));
    struct stat st;
    if (at.ok && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return S_ISLNK(st.st_mode) ? ENTRY_LINK : ENTRY_PRESENT;
    }
    return errno == ENOENT || errno == ENOTDIR ? ENTRY_ABSENT : ENTRY_UNKNOWN;
}

bool platformIsLink(const wchar_t* path) {
    Place at = LocateQuery(ToSystem(path));
    struct stat st;
    return at.ok && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool platformLinksAreVisible() { return true; }

bool platformReadAttributeWord(const wchar_t* path, uint32_t* word) {
    Place at = LocateQuery(ToSystem(path));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0) return false;
    *word = static_cast<uint32_t>(CopyableMode(st));
    return true;
}

// Inside a guarded tree the mode of a link is never changed: the system
// would give it to what the link names.
bool platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(path)));
    return Noted(at.ok && ChangeModeAt(at, static_cast<mode_t>(word) & 07777));
}

bool platformClearProtection(const wchar_t* path) {
    Place at = LocateChange(ToSystem(path));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Noted(false);
    if (S_ISLNK(st.st_mode)) return true;  // a link has no protection of its own
    if (st.st_mode & S_IWUSR) return true;
    return Noted(ChangeModeAt(at, (st.st_mode & 07777) | S_IWUSR));
}

bool platformCreateDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(path)));
    if (!at.ok) return Noted(false);
    return Noted(WithWritableParent(at, [&] { return mkdirat(at.directory, at.name.c_str(), 0777) == 0; }));
}

bool platformCreateOwnerDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(path)));
    return Noted(at.ok && mkdirat(at.directory, at.name.c_str(), 0755) == 0);
}

bool platformMayAddTo(const wchar_t* path) {
    return Noted(faccessat(AT_FDCWD, ToSystem(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0);
}

bool platformIsDriveName(const wchar_t* path, size_t length) { return length == 1 && path[0] == L'/'; }

bool platformDriveHoldsFolders(const wchar_t* path) { return path[0] == L'/' && path[1] == L'\0'; }

int64_t platformTimeStepOfFileSystem(const wchar_t* name) {
    const wchar_t* const coarse[] = {L"msdos", L"vfat", L"fat"};
    for (const wchar_t* known : coarse) {
        if (std::wcscmp(name, known) == 0) return 2;
    }
    return 0;
}

// Linux tells a file system by its magic number; FAT's is named msdos.
int64_t platformVolumeTimeStep(const wchar_t* directory) {
    Place at = Locate(WithoutTrailingSlashes(ToSystem(directory)));
    if (!at.ok) return 0;
    int fd = openat(at.directory, at.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at.guarded ? O_NOFOLLOW : 0));
    if (fd < 0) return 0;
    struct statfs info;
    bool known = fstatfs(fd, &info) == 0;
    close(fd);
    const long kMsdosMagic = 0x4d44;
    return known && static_cast<long>(info.f_type) == kMsdosMagic ? platformTimeStepOfFileSystem(L"msdos") : 0;
}

bool platformProbeModifiedTime(const wchar_t* directory, int64_t written, int64_t* readBack) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(directory)) + "/" + NextTemporaryName());
    if (!at.ok) return false;
    int fd = openat(at.directory, at.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(written);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    bool set = futimens(fd, times) == 0;
    close(fd);
    struct stat st;
    bool read = set && fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    unlinkat(at.directory, at.name.c_str(), 0);
    if (read) *readBack = static_cast<int64_t>(st.st_mtim.tv_sec);
    return read;
}

// The source is opened without waiting and read only when the opened handle
// is a plain file: the engine has already left FIFOs, sockets and devices
// alone, and one swapped in since is found here before anything reads it. The copy is written under a
// temporary name beside the target and renamed over it, so the target's name
// never holds a half-written file; a stop or a failure removes the temporary.
CopyOutcome platformCopyFile(const wchar_t* source, const wchar_t* target) {
    Place from = LocateQuery(ToSystem(source));
    struct stat st;
    int in = from.ok ? OpenAt(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY) : -1;
    if (in < 0) return FailedCopy(errno);
    if (fstat(in, &st) != 0) {
        int error = errno;
        close(in);
        return FailedCopy(error);
    }
    if (!S_ISREG(st.st_mode)) {
        close(in);
        return S_ISDIR(st.st_mode) ? FailedCopy(EISDIR) : COPY_NOT_REGULAR;
    }
    Place at = LocateChange(ToSystem(target));
    if (!at.ok) {
        int error = errno;
        close(in);
        return FailedCopy(error);
    }
    CopyOutcome unnamed = COPY_FAILED;
    if (at.guarded && CopyUnnamed(in, &st, at, &unnamed)) {
        close(in);
        return unnamed;
    }
    // A directory under the target's name makes the rename fail (EISDIR) below.
    std::string temporary = TemporaryBeside(at);
    int out = -1;
    WithWritableParent(at, [&] {
        out = openat(at.directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        return out >= 0;
    });
    if (out < 0) {
        int error = errno;
        close(in);
        return FailedCopy(error);
    }
    int error = 0;
    bool ok = WriteCopy(in, out, &st, &error);
    if (close(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    close(in);
    if (ok && Stopped()) {
        ok = false;
        error = ECANCELED;
    }
    if (ok) {
        ok = WithWritableParent(
            at, [&] { return renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0; });
        if (!ok) error = errno;
    }
    if (!ok) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return error == ECANCELED ? COPY_STOPPED : FailedCopy(error);
    }
    return COPY_DONE;
}

bool platformProcessIsGone(long process) {
    return process > 0 && kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH;
}

long platformProcessId() { return static_cast<long>(getpid()); }

// unlink refuses a directory (EISDIR), so no need to look first.
bool platformDeleteFile(const wchar_t* path) {
    Place at = LocateChange(ToSystem(path));
    if (!at.ok) return Noted(false);
    return Noted(WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), 0) == 0; }));
}

bool platformRemoveDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(path)));
    if (!at.ok) return Noted(false);
    bool removed = WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), AT_REMOVEDIR) == 0; });
    if (removed && at.depth < guard.names.size() && guard.names[at.depth] == at.name) DropHeld(&guard, at.depth);
    return Noted(removed);
}

bool platformRemoveLink(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Noted(false);
    if (!S_ISLNK(st.st_mode)) {
        errno = EINVAL;
        return Noted(false);
    }
    return Noted(WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), 0) == 0; }));
}

bool platformReadLink(const wchar_t* path, std::wstring* text) {
    Place at = Locate(WithoutTrailingSlashes(ToSystem(path)));
    std::string bytes;
    if (!Noted(at.ok && ReadLinkAt(at.directory, at.name, &bytes))) return false;
    std::vector<wchar_t> wide(bytes.size() + 1);
    FromSystem(bytes.c_str(), wide.data(), wide.size());
    text->assign(wide.data());
    return true;
}

// The link is made under a temporary name and renamed over the target, so
// the target's name holds the old entry or the new link, never nothing. A
// link's own time is given where the system keeps one.
CopyOutcome platformCopyLink(const wchar_t* source, const wchar_t* target) {
    Place from = LocateQuery(WithoutTrailingSlashes(ToSystem(source)));
    struct stat st;
    std::string text;
    if (!from.ok || fstatat(from.directory, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !ReadLinkAt(from.directory, from.name, &text)) {
        return FailedCopy(errno);
    }
    Place at = LocateChange(WithoutTrailingSlashes(ToSystem(target)));
    if (!at.ok) return FailedCopy(errno);
    std::string temporary = TemporaryBeside(at);
    if (!WithWritableParent(at, [&] { return symlinkat(text.c_str(), at.directory, temporary.c_str()) == 0; })) {
        return FailedCopy(errno);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(at.directory, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (Stopped()) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return COPY_STOPPED;
    }
    if (!WithWritableParent(
            at, [&] { return renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0; })) {
        int error = errno;
        unlinkat(at.directory, temporary.c_str(), 0);
        return FailedCopy(error);
    }
    return COPY_DONE;
}

void platformClearFailure() { lastFailure = 0; }

std::wstring platformFailureText() {
    if (lastFailure == 0) return std::wstring();
    if (lastFailure == kSourceChanged) return L"the file changed while it was copied";
    if (lastFailure == kNotPlainFile) return L"not a plain file";
    if (lastFailure == kLinkRefused) return L"a link whose owner may not read what it names, not followed";
    if (lastFailure == kFolderMoved) return L"a folder on its way was moved during the run";
    const char* words = std::strerror(lastFailure);
    std::vector<wchar_t> wide(std::strlen(words) + 1);
    FromSystem(words, wide.data(), wide.size());
    return std::wstring(wide.data());
}

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    Place at = LocateQuery(WithoutTrailingSlashes(ToSystem(path)));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool platformEntryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    Place at = Locate(WithoutTrailingSlashes(ToSystem(path)));
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

namespace {

// Holds root, as spelt, as the root of tree; false when it cannot be opened.
bool HoldRoot(HeldTree* tree, const wchar_t* root, bool follows) {
    ReleaseHeld(tree);
    std::string system = WithoutTrailingSlashes(ToSystem(root));
    int fd = open(system.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    if (fd < 0) return false;
    if (fstat(fd, &tree->rootSeen) != 0) {
        close(fd);
        return false;
    }
    // Every level of a deep tree may hold a handle; take what the system allows.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    tree->active = true;
    tree->follows = follows;
    tree->root = system;
    tree->rootFd = fd;
    return true;
}

}  // namespace

bool platformGuardTree(const wchar_t* root) { return HoldRoot(&guard, root, false); }

void platformReleaseTree() { ReleaseHeld(&guard); }

bool platformReadTree(const wchar_t* root) { return HoldRoot(&readTree, root, true); }

bool platformRunsAsRoot() { return RootRun(); }

void platformReleaseReadTree() { ReleaseHeld(&readTree); }

bool platformOthersMayChange(const wchar_t* root) {
    struct stat st;
    if (stat(ToSystem(root).c_str(), &st) != 0) return false;
    bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    return st.st_uid != geteuid() || (othersWrite && !(st.st_mode & S_ISVTX));
}

// The lock is an exclusive flock of the directory, held by an open handle.
struct TreeLock {
    int fd;
};

namespace {

// The process holding a flock of the entry st, as /proc/locks tells it; 0 when it does not.
long FlockHolder(const struct stat& st) {
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks)) {
        char kind[16];
        long process = 0;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", kind, &process, &major, &minor, &inode) != 5) {
            continue;
        }
        if (std::strcmp(kind, "FLOCK") == 0 && inode == static_cast<unsigned long long>(st.st_ino) &&
            makedev(major, minor) == st.st_dev) {
            holder = process;
        }
    }
    std::fclose(locks);
    return holder;
}

}  // namespace

LockOutcome platformLockTree(const wchar_t* root, TreeLock** lock, long* holder) {
    *holder = 0;
    int fd = open(WithoutTrailingSlashes(ToSystem(root)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!Noted(fd >= 0)) return LOCK_FAILED;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        struct stat st;
        if (fstat(fd, &st) == 0) *holder = FlockHolder(st);
        close(fd);
        return LOCK_HELD;
    }
    *lock = new TreeLock{fd};
    return LOCK_TAKEN;
}

void platformUnlockTree(TreeLock* lock) {
    if (!lock) return;
    close(lock->fd);
    delete lock;
}

bool platformIsTopOfVolume(const wchar_t* path) {
    struct stat named;
    struct stat top;
    return stat(ToSystem(path).c_str(), &named) == 0 && stat("/", &top) == 0 && SameEntry(named, top);
}

// Climbs through the parents as the file system links them; a mount is
// crossed as the system crosses it.
bool platformDirectoryChain(const wchar_t* directory, std::vector<DirectoryIdentity>* chain) {
    chain->clear();
    int fd = open(ToSystem(directory).c_str(), kHeldDirectory & ~O_NOFOLLOW);
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

DirectoryListing* platformOpenListing(const wchar_t* directory) {
    std::string system = WithoutTrailingSlashes(ToSystem(directory));
    int fd;
    bool byOwnersRight = false;
    if (guard.active && system == guard.root) {
        fd = openat(guard.rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        system.clear();
    } else {
        Place at = LocateQuery(system);
        if (!Noted(at.ok)) return nullptr;
        fd = OpenAt(at, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (at.guarded) system.clear();
        byOwnersRight = at.source;
    }
    if (!Noted(fd >= 0)) return nullptr;
#ifdef __linux__
    DirectoryListing* listing = new DirectoryListing;
    listing->fd = fd;
    listing->failure = 0;
    listing->filled = 0;
    listing->at = 0;
    listing->buffer.resize(4096);
#else
    DIR* dir = fdopendir(fd);
    if (!Noted(dir != nullptr)) {
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
                struct stat link = st;
                if (entry->isLink && fstatat(listing->fd, name, &st, 0) != 0) return true;
                // A link not to be followed is listed as one that leads nowhere.
                if (entry->isLink && listing->byOwnersRight && !FollowAllowed(link, st)) return true;
                entry->isDirectory = S_ISDIR(st.st_mode);
            }
        }
        return true;
    }
}

bool platformCloseListing(DirectoryListing* listing) {
    auto open = std::find(openListings.rbegin(), openListings.rend(), listing);
    if (open != openListings.rend()) openListings.erase(std::next(open).base());
#ifdef __linux__
    int result = close(listing->fd);
#else
    int result = closedir(listing->dir);
#endif
    int failure = listing->failure;
    delete listing;
    if (failure != 0) {
        lastFailure = failure;  // cut short: not every entry was handed over
        return false;
    }
    return result == 0;
}

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    char bytes[PATH_MAX];
    if (room == 0 || !getcwd(bytes, sizeof bytes)) return 0;
    if (!FromSystem(bytes, buffer, room)) {
        buffer[0] = L'\0';
        return 0;
    }
    return std::wcslen(buffer);
}

namespace {

// A file made for the program's own use is its owner's alone when the
// process runs as root; others' files are never writable by anyone else.
mode_t OwnFileMode() { return geteuid() == 0 ? 0600 : 0644; }

// Makes a new file in the folder of name and renames it over name: a link,
// or any other entry a rename replaces, goes as a name; what it named stays
// as it was. -1 with errno set on failure.
int ReplaceByNewFile(const std::string& name) {
    std::string parent = ParentOf(name);
    std::string temporary = (parent == "/" ? "/" : parent + "/") + NextTemporaryName();
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, OwnFileMode());
    if (fd < 0) return -1;
    if (rename(temporary.c_str(), name.c_str()) != 0) {
        int error = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

// Opens name for writing, truncated, never through a link or another name
// of a file; see platformOpenOwnFile. -1 with *error set on failure.
int OpenOwnFile(const std::string& name, int* error) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, OwnFileMode());
            if (fd < 0 && errno == EEXIST) continue;  // made meanwhile: looked at again
            *error = errno;
            return fd;
        }
        *error = errno;
        struct stat st;
        if (fd < 0) {
            // A link in the last place, or an entry that cannot be written as it stands.
            if (lstat(name.c_str(), &st) != 0) return -1;
            if (S_ISLNK(st.st_mode)) {
                fd = ReplaceByNewFile(name);
                *error = errno;
                return fd;
            }
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) *error = kNotPlainFile;
            return -1;
        }
        bool looked = fstat(fd, &st) == 0;
        if (!looked || !S_ISREG(st.st_mode)) {
            *error = looked ? kNotPlainFile : errno;
            close(fd);
            return -1;
        }
        if (st.st_nlink != 1 || st.st_uid != geteuid()) {
            close(fd);
            fd = ReplaceByNewFile(name);
            *error = errno;
            return fd;
        }
        if (fcntl(fd, F_SETFL, 0) != 0 || ftruncate(fd, 0) != 0) {
            *error = errno;
            close(fd);
            return -1;
        }
        return fd;
    }
    *error = EEXIST;
    return -1;
}

}  // namespace

FILE* platformOpenOwnFile(const wchar_t* path) {
    int error = 0;
    int fd = OpenOwnFile(ToSystem(path), &error);
    if (fd < 0) {
        lastFailure = error != 0 ? error : EIO;
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (!Noted(file != nullptr)) close(fd);
    return file;
}

bool platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return Noted(std::fflush(file) == 0 && whole);
}

bool platformCloseFile(FILE* file) { return Noted(std::fclose(file) == 0); }

// Only a plain file is read: a FIFO or a device would be read until killed.
FILE* platformOpenRead(const wchar_t* path) {
    int fd = open(ToSystem(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!Noted(fd >= 0)) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        Noted(false);
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        lastFailure = kNotPlainFile;
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (!Noted(file != nullptr)) close(fd);
    return file;
}

void platformCommandLine(int argc, char** argv, std::vector<std::wstring>* arguments) {
    arguments->clear();
    for (int i = 0; i < argc; ++i) {
        size_t room = std::strlen(argv[i]) + 1;
        std::wstring text(room, L'\0');
        FromSystem(argv[i], &text[0], room);
        text.resize(std::wcslen(text.c_str()));
        arguments->push_back(text);
    }
}

bool platformIsTerminal(int stream) { return isatty(stream) == 1; }

// A file beyond the size limit fails its copy instead of ending the run.
void platformKeepRunningPastFileLimits() { signal(SIGXFSZ, SIG_IGN); }

// The terminal decides here: nothing needs enabling, only asking.
bool platformTerminalShowsColors(int stream) {
    const char* term = std::getenv("TERM");
    return isatty(stream) == 1 && !(term && std::strcmp(term, "dumb") == 0) && !std::getenv("NO_COLOR");
}

namespace {

// The standard streams the program was started without.
bool streamWasClosed[3] = {false, false, false};

}  // namespace

void platformGuardStandardStreams() {
    for (int stream = 0; stream < 3; ++stream) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
        int fd = open("/dev/null", O_RDWR);
        if (fd >= 0 && fd != stream) close(fd);  // another thread took the number meanwhile
        streamWasClosed[stream] = fd == stream;
    }
}

bool platformWriteText(int stream, const wchar_t* text) {
    if (stream >= 0 && stream < 3 && streamWasClosed[stream]) {
        lastFailure = EBADF;
        return false;
    }
    std::string bytes = ToSystem(text);
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return Noted(std::fflush(file) == 0 && written);
}

bool platformReadLine(std::wstring* line) {
    std::string bytes;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') bytes.push_back(static_cast<char>(c));
    if (c == EOF && bytes.empty()) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    std::wstring text(bytes.size() + 1, L'\0');
    FromSystem(bytes.c_str(), &text[0], text.size());
    text.resize(std::wcslen(text.c_str()));
    *line = text;
    return true;
}

void platformSleep(int milliseconds) {
    struct timespec span;
    span.tv_sec = milliseconds / 1000;
    span.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {}
}

int64_t platformMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t platformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
void (*interruptHandler)() = nullptr;
void onSignal(int) {
    platformRequestStop();
    if (interruptHandler) interruptHandler();
}
}  // namespace

void platformOnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl+C ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Versions: keeping what a run replaces or deletes in the guarded tree,
// before it changes, in a folder of the guarded tree or in a tree of its own.

namespace {

// The tree a run keeps versions in, when it lies outside the guarded tree.
HeldTree versionTree;

// Where a version function finds path: in the guarded tree through its
// handles, in the version tree through its own, never following a link
// below either root; anywhere else only when outsideAllowed (the levels of
// a versions folder not made yet), as the path is spelt. A path below both
// roots as spelt ("to/../versions") belongs to the longer. The root of the
// version tree is never changed.
Place LocateVersionPlace(std::string path, bool outsideAllowed) {
    size_t inVersions = BelowRoot(versionTree, path);
    if (BelowRoot(guard, path) && (inVersions == 0 || guard.root.size() > versionTree.root.size())) {
        return LocateChange(std::move(path));
    }
    Place place{AT_FDCWD, std::move(path), false, 0, true, false};
    if (size_t start = inVersions) {
        Descend(&versionTree, start, false, &place);
        place.guarded = place.ok && place.directory != AT_FDCWD;
        if (place.ok && !place.guarded) {
            place.ok = false;
            errno = EACCES;
        }
        return place;
    }
    if (!outsideAllowed) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

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

// An entry of the guarded tree, as version functions take it.
Place LocateGuardedEntry(const wchar_t* entry) {
    Place place = LocateChange(WithoutTrailingSlashes(ToSystem(entry)));
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

// The outcome of a version function that failed with error, noted.
VersionOutcome FailedVersion(int error, bool copyInstead) {
    lastFailure = error != 0 ? error : EIO;
    if (error == EEXIST) return VERSION_TAKEN;
    return copyInstead ? VERSION_COPY_INSTEAD : VERSION_FAILED;
}

// Writes a copy of the link at from into the new name temporary at to.
bool CopyLinkAs(const Place& from, const struct stat& st, const Place& to, const std::string& temporary) {
    std::string text;
    if (!ReadLinkAt(from.directory, from.name, &text)) return false;
    if (symlinkat(text.c_str(), to.directory, temporary.c_str()) != 0) return false;
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(to.directory, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW);
    return true;
}

// Writes a copy of the plain file at from, whose status st was read, into
// the new file temporary at to. false with *error an errno value, or
// ECANCELED after a stop; nothing is left of the temporary then.
bool CopyFileAs(const Place& from, const struct stat& st, const Place& to, const std::string& temporary, int* error) {
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
    bool ok = WriteCopy(in, out, &opened, error);
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

bool platformHoldVersionTree(const wchar_t* root) { return HoldRoot(&versionTree, root, false); }

void platformReleaseVersionTree() { ReleaseHeld(&versionTree); }

VersionOutcome platformMakeVersionDirectory(const wchar_t* path) {
    OwnPlace at(LocateVersionPlace(WithoutTrailingSlashes(ToSystem(path)), true));
    if (!at.at.ok) return FailedVersion(errno, false);
    if (mkdirat(at.at.directory, at.at.name.c_str(), 0777) == 0) return VERSION_DONE;
    return FailedVersion(errno, false);
}

// A hard link; a volume that keeps no second names, or refuses one for this
// file, leaves the version to a copy.
VersionOutcome platformLinkVersion(const wchar_t* entry, const wchar_t* version) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedVersion(errno, false);
    OwnPlace to(LocateVersionPlace(WithoutTrailingSlashes(ToSystem(version)), false));
    if (!to.at.ok) return FailedVersion(errno, false);
    if (linkat(from.at.directory, from.at.name.c_str(), to.at.directory, to.at.name.c_str(), 0) == 0) {
        return VERSION_DONE;
    }
    int error = errno;
    bool copyInstead = error == EXDEV || error == EPERM || error == EMLINK || error == EOPNOTSUPP || error == ENOSYS;
    return FailedVersion(error, copyInstead);
}

// A rename; a directory held on the guard's way goes from it, as a removed one does.
VersionOutcome platformMoveToVersion(const wchar_t* entry, const wchar_t* version) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedVersion(errno, false);
    OwnPlace to(LocateVersionPlace(WithoutTrailingSlashes(ToSystem(version)), false));
    if (!to.at.ok) return FailedVersion(errno, false);
    const Place& at = from.at;
    bool moved = WithWritableParent(
        at, [&] { return RenameNoReplace(at.directory, at.name.c_str(), to.at.directory, to.at.name.c_str()) == 0; });
    if (!moved) return FailedVersion(errno, errno == EXDEV);
    if (at.depth < guard.names.size() && guard.names[at.depth] == at.name) DropHeld(&guard, at.depth);
    return VERSION_DONE;
}

CopyOutcome platformCopyToVersion(const wchar_t* entry, const wchar_t* version) {
    OwnPlace from(LocateGuardedEntry(entry));
    if (!from.at.ok) return FailedCopy(errno);
    OwnPlace to(LocateVersionPlace(WithoutTrailingSlashes(ToSystem(version)), false));
    if (!to.at.ok) return FailedCopy(errno);
    struct stat st;
    if (fstatat(from.at.directory, from.at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailedCopy(errno);
    std::string temporary = NextTemporaryName();
    int error = 0;
    if (S_ISLNK(st.st_mode)) {
        if (!CopyLinkAs(from.at, st, to.at, temporary)) return FailedCopy(errno);
    } else if (!S_ISREG(st.st_mode)) {
        return FailedCopy(kNotPlainFile);
    } else if (!CopyFileAs(from.at, st, to.at, temporary, &error)) {
        return error == ECANCELED ? COPY_STOPPED : FailedCopy(error);
    }
    if (RenameNoReplace(to.at.directory, temporary.c_str(), to.at.directory, to.at.name.c_str()) != 0) {
        error = errno;
        unlinkat(to.at.directory, temporary.c_str(), 0);
        return FailedCopy(error);
    }
    return COPY_DONE;
}

bool platformDeleteVersion(const wchar_t* version) {
    OwnPlace at(LocateVersionPlace(WithoutTrailingSlashes(ToSystem(version)), false));
    return Noted(at.at.ok && unlinkat(at.at.directory, at.at.name.c_str(), 0) == 0);
}

long platformFailureCode() { return lastFailure; }

bool platformErrorMayPass(long code) {
    const long passing[] = {EBUSY, ETXTBSY, EAGAIN, EWOULDBLOCK, ETIMEDOUT, ENOLCK, EDEADLK};
    for (long known : passing) {
        if (code == known) return true;
    }
    return false;
}

int64_t platformWallSeconds() { return static_cast<int64_t>(time(nullptr)); }

bool platformLocalCalendar(int64_t seconds, CalendarTime* calendar) {
    time_t moment = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&moment, &local)) return false;
    *calendar =
        CalendarTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    return true;
}
