// The system seam on Linux and other POSIX systems.
#include "platform/platform.h"
#include "platform/system_reason.h"

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
#include <sys/xattr.h>
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

// A path in the system's bytes, and whether every character of it could
// be written so: a path that cannot is never handed over spelt otherwise.
struct SystemName {
    std::string bytes;  // the path's bytes
    bool ok;            // false: a character the locale's encoding cannot write
};

// Writes text in the locale's encoding; a character it cannot write becomes
// "?" and clears *whole, when given.
std::string Encode(const wchar_t* text, bool* whole) {
    // Plain ASCII, by far the most common, needs no conversion state: it is
    // copied unit by unit in one pass, through a pointer of its own.
    size_t length = std::wcslen(text);
    std::string bytes(length, '\0');
    char* out = &bytes[0];
    size_t plain = 0;
    while (plain < length && text[plain] < 0x80) {
        out[plain] = static_cast<char>(text[plain]);
        ++plain;
    }
    if (plain == length) return bytes;
    bytes.clear();
    std::mbstate_t state{};
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = text; *p; ++p) {
        if (*p >= BYTE_ESCAPE_BASE + 0x80 && *p <= BYTE_ESCAPE_BASE + 0xFF) {
            bytes.push_back(static_cast<char>(*p - BYTE_ESCAPE_BASE));
            continue;
        }
        size_t n = std::wcrtomb(piece, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes.push_back('?');
            if (whole) *whole = false;
        } else {
            bytes.append(piece, n);
        }
    }
    return bytes;
}

// A text for the terminal or a temporary's name: what cannot be written is "?".
std::string ToSystem(const wchar_t* text) { return Encode(text, nullptr); }

// A path as the system takes it, or one marked as not writable.
SystemName PathName(const wchar_t* path) {
    SystemName name{std::string(), true};
    name.bytes = Encode(path, &name.ok);
    return name;
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

SystemName WithoutTrailingSlashes(SystemName name) {
    name.bytes = WithoutTrailingSlashes(std::move(name.bytes));
    return name;
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

// True when the access ACL of the entry at path (links followed) lets a
// named user or group other than root write, as far as its mask allows.
bool AclLetsOthersWrite(const char* path) {
    unsigned char acl[4096];
    ssize_t size = getxattr(path, "system.posix_acl_access", acl, sizeof acl);
    if (size < 4) return false;
    bool maskWrites = true;
    bool namedWrites = false;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        unsigned tag = acl[at] | (acl[at + 1] << 8);
        unsigned permissions = acl[at + 2] | (acl[at + 3] << 8);
        uint32_t id = static_cast<uint32_t>(acl[at + 4]) | (static_cast<uint32_t>(acl[at + 5]) << 8) |
                      (static_cast<uint32_t>(acl[at + 6]) << 16) | (static_cast<uint32_t>(acl[at + 7]) << 24);
        const unsigned kUser = 0x02;
        const unsigned kGroup = 0x08;
        const unsigned kMask = 0x10;
        if (tag == kMask) maskWrites = (permissions & 2) != 0;
        if ((tag == kUser || tag == kGroup) && id != 0 && (permissions & 2)) namedWrites = true;
    }
    return namedWrites && maskWrites;
}

// True when the directory st (aclWrites: its ACL lets a named other write)
// may be written by someone other than root.
bool OthersMayWrite(const struct stat& st, bool aclWrites) {
    return st.st_uid != 0 || (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0) || aclWrites;
}

// True when someone other than root may move entry, a directory, out of
// parent (parentAcl: the parent's ACL lets a named other write): the
// parent's owner, or anyone who may write the parent (only the entry's
// owner, where the parent is sticky).
bool OthersMayMove(const struct stat& parent, bool parentAcl, const struct stat& entry) {
    if (parent.st_uid != 0) return true;
    return OthersMayWrite(parent, parentAcl) && (!(parent.st_mode & S_ISVTX) || entry.st_uid != 0);
}

// The ACL of an open directory, read through its entry in /proc.
bool HandleAclLetsOthersWrite(int fd) {
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return AclLetsOthersWrite(proc.c_str());
}

// Most links one resolution follows, as the kernel's own limit.
const int kLinksFollowedMax = 40;

int ResolveEntry(int directory, const char* name, int* linksLeft);

// Resolves text, a link's text, from directory (a handle the call takes
// over), component by component with ResolveEntry; -1 with errno set.
int ResolveText(int directory, const std::string& text, int* linksLeft) {
    int current = directory;
    if (!text.empty() && text[0] == '/') {
        close(current);
        current = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (current < 0) return -1;
    }
    size_t at = 0;
    bool any = false;
    while (at <= text.size()) {
        size_t end = text.find('/', at);
        if (end == std::string::npos) end = text.size();
        std::string component = text.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".") continue;
        any = true;
        int next = component == ".." ? openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC)
                                     : ResolveEntry(current, component.c_str(), linksLeft);
        int error = errno;
        close(current);
        if (next < 0) {
            errno = error;
            return -1;
        }
        current = next;
        struct stat st;
        if (at <= text.size() && (fstat(current, &st) != 0 || !S_ISDIR(st.st_mode))) {
            close(current);
            errno = ENOTDIR;
            return -1;
        }
    }
    if (!any) {
        close(current);
        errno = ENOENT;
        return -1;
    }
    return current;
}

// Resolves the entry name of directory as a root run follows links: a
// handle (O_PATH) of what it finally names, each link on the way read from
// a handle of the link itself and followed only where its owner could read
// what it leads to (FollowAllowed), so a link swapped meanwhile is never
// judged by another's owner. -1 with errno set (FAILURE_LINK_REFUSED, ELOOP, ...).
int ResolveEntry(int directory, const char* name, int* linksLeft) {
    int fd = openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat link;
    if (fstat(fd, &link) != 0 || !S_ISLNK(link.st_mode)) return fd;
    if (--*linksLeft < 0) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    std::vector<char> text(4096);
    ssize_t length = readlinkat(fd, "", text.data(), text.size());
    close(fd);
    if (length < 0 || static_cast<size_t>(length) >= text.size()) {
        if (length >= 0) errno = ENAMETOOLONG;
        return -1;
    }
    int start = openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (start < 0) return -1;
    int target = ResolveText(start, std::string(text.data(), static_cast<size_t>(length)), linksLeft);
    struct stat reached;
    if (target >= 0 && (fstat(target, &reached) != 0 || !FollowAllowed(link, reached))) {
        close(target);
        errno = FAILURE_LINK_REFUSED;
        return -1;
    }
    return target;
}

// Opens again, with flags, what a handle of ResolveEntry holds: a directory
// through itself, anything else through its entry in /proc.
int ReopenResolved(int resolved, int flags) {
    struct stat st;
    if (fstat(resolved, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return openat(resolved, ".", flags & ~O_NOFOLLOW);
    std::string proc = "/proc/self/fd/" + std::to_string(resolved);
    return open(proc.c_str(), flags & ~O_NOFOLLOW);
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
    bool rootAclWrites = false;       // the root's ACL lets a named other write (a root run's To)
    std::vector<std::string> names;   // the held directories' names, outermost first
    std::vector<int> fds;             // their handles
    std::vector<struct stat> seen;    // each as it was opened
    std::vector<char> aclWrites;      // each one's ACL lets a named other write (a root run's To)
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
        tree->aclWrites.pop_back();
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

// Opens the directory name in parent for a held tree: never through a link
// in the guarded tree; in the tree read, through a link only where its
// owner could read what it names, in a root run. -1 with errno set.
int OpenLevel(const HeldTree& tree, int parent, const std::string& name) {
    if (!tree.follows) return openat(parent, name.c_str(), kHeldDirectory);
    if (!RootRun()) return openat(parent, name.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    int linksLeft = kLinksFollowedMax;
    int fd = ResolveEntry(parent, name.c_str(), &linksLeft);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
        close(fd);
        errno = ENOTDIR;
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
                        errno = FAILURE_FOLDER_MOVED;
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
                    bool aboveAcl = level == 0 ? tree->rootAclWrites : tree->aclWrites[level - 1] != 0;
                    bool watched = !tree->follows && RootRun();
                    bool mayMove = watched && OthersMayMove(above, aboveAcl, opened);
                    bool acl = watched && HandleAclLetsOthersWrite(fd);
                    tree->names.push_back(name);
                    tree->fds.push_back(fd);
                    tree->seen.push_back(opened);
                    tree->aclWrites.push_back(acl);
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

// True when each held directory of the guarded tree on the way to at,
// which another user may move, is still where the run found it: looked at
// again right before a copy takes its name, so that an entry in flight does
// not land in a folder moved away meanwhile. errno FAILURE_FOLDER_MOVED otherwise.
bool StillInPlace(const Place& at) {
    if (!at.guarded) return true;
    for (size_t level = 0; level < at.depth && level < guard.names.size(); ++level) {
        if (!guard.othersMayMove[level]) continue;
        int parent = level == 0 ? guard.rootFd : guard.fds[level - 1];
        struct stat now;
        if (fstatat(parent, guard.names[level].c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            !SameEntry(now, guard.seen[level])) {
            errno = FAILURE_FOLDER_MOVED;
            return false;
        }
    }
    return true;
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

// A place for a path that cannot be written in the system's encoding: none.
Place Unwritable() {
    errno = FAILURE_NAME_UNWRITABLE;
    return Place{AT_FDCWD, std::string(), false, 0, false, false};
}

Place Locate(SystemName name) { return name.ok ? Locate(std::move(name.bytes)) : Unwritable(); }

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

Place LocateChange(SystemName name) { return name.ok ? LocateChange(std::move(name.bytes)) : Unwritable(); }

int NoFollow(const Place& place) { return place.guarded ? AT_SYMLINK_NOFOLLOW : 0; }

// The status of the entry at place: in the guarded tree a link as itself;
// in the tree a root run reads, what a link names only by its owner's right
// (errno FAILURE_LINK_REFUSED otherwise); elsewhere links followed.
int StatAt(const Place& place, struct stat* st) {
    if (!place.source) return fstatat(place.directory, place.name.c_str(), st, NoFollow(place));
    if (fstatat(place.directory, place.name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    if (!S_ISLNK(st->st_mode)) return 0;
    int linksLeft = kLinksFollowedMax;
    int fd = ResolveEntry(place.directory, place.name.c_str(), &linksLeft);
    if (fd < 0) return -1;
    int result = fstat(fd, st);
    close(fd);
    return result;
}

// Opens the entry at place with flags, links followed as StatAt follows them.
int OpenAt(const Place& place, int flags) {
    if (place.guarded) return openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (!place.source) return openat(place.directory, place.name.c_str(), flags);
    int fd = openat(place.directory, place.name.c_str(), flags | O_NOFOLLOW);
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
    int linksLeft = kLinksFollowedMax;
    int resolved = ResolveEntry(place.directory, place.name.c_str(), &linksLeft);
    if (resolved < 0) return -1;
    fd = ReopenResolved(resolved, flags);
    int error = errno;
    close(resolved);
    errno = error;
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
    status->owner = static_cast<uint32_t>(st.st_uid);
    status->setId = (st.st_mode & (S_ISUID | S_ISGID)) != 0;
}

CopyOutcome OutcomeOf(int error) {
    if (error == FAILURE_FOLDER_MOVED) return COPY_PLACE_MOVED;
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
// failure *error is an errno value, FAILURE_SOURCE_CHANGED or ECANCELED (a stop).
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
            *error = FAILURE_SOURCE_CHANGED;
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

// The result of a call that set errno when it failed.
SystemResult Result(bool ok) { return ok ? SystemResult{true, 0} : SystemResult{false, errno != 0 ? errno : EIO}; }

// A copy that failed for error.
CopyResult FailedCopy(int error) { return CopyResult{OutcomeOf(error), error != 0 ? error : EIO}; }

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
bool CopyUnnamed(int in, struct stat* st, const Place& at, CopyResult* outcome) {
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
    if (ok && !StillInPlace(at)) {
        ok = false;
        error = errno;
    }
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
    *outcome = placed               ? CopyResult{COPY_DONE, 0}
               : error == ECANCELED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED}
                                    : FailedCopy(error);
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

Place LocateQuery(SystemName name) { return name.ok ? LocateQuery(std::move(name.bytes)) : Unwritable(); }

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
    Place at = LocateQuery(PathName(path));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0) return false;
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

// Inside a guarded tree the mode of a link is never changed: the system
// would give it to what the link names.
SystemResult platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    return Result(at.ok && ChangeModeAt(at, static_cast<mode_t>(word) & 07777));
}

SystemResult platformClearProtection(const wchar_t* path) {
    Place at = LocateChange(PathName(path));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (S_ISLNK(st.st_mode)) return Result(true);  // a link has no protection of its own
    if (st.st_mode & S_IWUSR) return Result(true);
    return Result(ChangeModeAt(at, (st.st_mode & 07777) | S_IWUSR));
}

SystemResult platformCreateDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    if (!at.ok) return Result(false);
    return Result(WithWritableParent(at, [&] { return mkdirat(at.directory, at.name.c_str(), 0777) == 0; }));
}

SystemResult platformCreateOwnerDirectory(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    return Result(at.ok && mkdirat(at.directory, at.name.c_str(), 0755) == 0);
}

bool platformPathFits(const wchar_t* path) { return ToSystem(path).size() < PATH_MAX; }

SystemResult platformMayAddTo(const wchar_t* path) {
    SystemName name = PathName(path);
    if (!name.ok) return SystemResult{false, FAILURE_NAME_UNWRITABLE};
    return Result(faccessat(AT_FDCWD, name.bytes.c_str(), W_OK | X_OK, AT_EACCESS) == 0);
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
    Place at = Locate(WithoutTrailingSlashes(PathName(directory)));
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
    Place at = LocateChange(SystemName{WithoutTrailingSlashes(ToSystem(directory)) + "/" + NextTemporaryName(), true});
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
CopyResult platformCopyFile(const wchar_t* source, const wchar_t* target) {
    Place from = LocateQuery(PathName(source));
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
        return S_ISDIR(st.st_mode) ? FailedCopy(EISDIR) : CopyResult{COPY_NOT_REGULAR, 0};
    }
    Place at = LocateChange(PathName(target));
    if (!at.ok) {
        int error = errno;
        close(in);
        return FailedCopy(error);
    }
    CopyResult unnamed{COPY_FAILED, 0};
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
        ok = StillInPlace(at) && WithWritableParent(at, [&] {
                 return renameat(at.directory, temporary.c_str(), at.directory, at.name.c_str()) == 0;
             });
        if (!ok) error = errno;
    }
    if (!ok) {
        unlinkat(at.directory, temporary.c_str(), 0);
        return error == ECANCELED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED} : FailedCopy(error);
    }
    return CopyResult{COPY_DONE, 0};
}

bool platformProcessIsGone(long process) {
    return process > 0 && kill(static_cast<pid_t>(process), 0) != 0 && errno == ESRCH;
}

long platformProcessId() { return static_cast<long>(getpid()); }

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
    if (removed && at.depth < guard.names.size() && guard.names[at.depth] == at.name) DropHeld(&guard, at.depth);
    return Result(removed);
}

SystemResult platformRemoveLink(const wchar_t* path) {
    Place at = LocateChange(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Result(false);
    if (!S_ISLNK(st.st_mode)) return SystemResult{false, EINVAL};
    return Result(WithWritableParent(at, [&] { return unlinkat(at.directory, at.name.c_str(), 0) == 0; }));
}

SystemResult platformReadLink(const wchar_t* path, std::wstring* text) {
    Place at = Locate(WithoutTrailingSlashes(PathName(path)));
    std::string bytes;
    SystemResult read = Result(at.ok && ReadLinkAt(at.directory, at.name, &bytes));
    if (!read) return read;
    std::vector<wchar_t> wide(bytes.size() + 1);
    FromSystem(bytes.c_str(), wide.data(), wide.size());
    text->assign(wide.data());
    return read;
}

// The link is made under a temporary name and renamed over the target, so
// the target's name holds the old entry or the new link, never nothing. A
// link's own time is given where the system keeps one.
CopyResult platformCopyLink(const wchar_t* source, const wchar_t* target) {
    Place from = LocateQuery(WithoutTrailingSlashes(PathName(source)));
    struct stat st;
    std::string text;
    if (!from.ok || fstatat(from.directory, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !ReadLinkAt(from.directory, from.name, &text)) {
        return FailedCopy(errno);
    }
    Place at = LocateChange(WithoutTrailingSlashes(PathName(target)));
    if (!at.ok) return FailedCopy(errno);
    std::string temporary = TemporaryBeside(at);
    if (!WithWritableParent(at, [&] { return symlinkat(text.c_str(), at.directory, temporary.c_str()) == 0; })) {
        return FailedCopy(errno);
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

// The system's own words for errno values; the program's own reasons are the same on every system.
std::wstring SystemReasonText(int reason) {
    const char* words = std::strerror(reason);
    std::vector<wchar_t> wide(std::strlen(words) + 1);
    FromSystem(words, wide.data(), wide.size());
    return std::wstring(wide.data());
}

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    Place at = LocateQuery(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    if (!at.ok || StatAt(at, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
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

namespace {

// Holds root, as spelt, as the root of tree; false when it cannot be opened.
bool HoldRoot(HeldTree* tree, const wchar_t* root, bool follows) {
    ReleaseHeld(tree);
    SystemName name = WithoutTrailingSlashes(PathName(root));
    if (!name.ok) return false;
    const std::string& system = name.bytes;
    // Readable, so that the run's lock can be taken through the same handle.
    int fd = open(system.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fd = open(system.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat named;
    if (fstat(fd, &tree->rootSeen) != 0 || stat(system.c_str(), &named) != 0 || !SameEntry(named, tree->rootSeen)) {
        close(fd);
        return false;
    }
    tree->rootAclWrites = !follows && RootRun() && HandleAclLetsOthersWrite(fd);
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

namespace {

// True when another user may change where path leads (a root run's To): a
// directory on the way lets another move or replace the entry the path
// passes through, or a link on the way belongs to another; a link is
// followed by its text, checked the same way. The last directory itself
// must not be another's, nor writable by others unless it is sticky.
bool PathOthersMayRedirect(const std::string& path, int linksLeft) {
    if (linksLeft < 0) return true;
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return true;
        absolute = std::string(cwd) + "/" + absolute;
    }
    int directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat here;
    if (directory < 0 || fstat(directory, &here) != 0) return true;
    std::string walked = "";  // the directory reached, as a path from the top
    size_t at = 1;
    while (at <= absolute.size()) {
        size_t end = absolute.find('/', at);
        if (end == std::string::npos) end = absolute.size();
        std::string name = absolute.substr(at, end - at);
        at = end + 1;
        if (name.empty() || name == ".") continue;
        struct stat entry;
        if (fstatat(directory, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) break;  // the run finds it missing
        bool hereAcl = AclLetsOthersWrite((walked.empty() ? std::string("/") : walked).c_str());
        if (name != ".." && OthersMayMove(here, hereAcl, entry)) {
            close(directory);
            return true;
        }
        if (S_ISLNK(entry.st_mode)) {
            close(directory);
            if (entry.st_uid != 0 && entry.st_uid != geteuid()) return true;
            std::string text;
            std::vector<char> buffer(PATH_MAX);
            std::string linkPath = walked + "/" + name;
            ssize_t length = readlink(linkPath.c_str(), buffer.data(), buffer.size());
            if (length < 0) return true;
            text.assign(buffer.data(), static_cast<size_t>(length));
            std::string rest = at <= absolute.size() ? absolute.substr(at - 1) : std::string();
            std::string target = text[0] == '/' ? text : (walked.empty() ? "/" : walked + "/") + text;
            return PathOthersMayRedirect(target + rest, linksLeft - 1);
        }
        int next = openat(directory, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(directory);
        if (next < 0 || fstat(next, &here) != 0) {
            if (next >= 0) close(next);
            return false;  // no directory there: the run finds it so
        }
        directory = next;
        if (name == "..") {
            size_t slash = walked.find_last_of('/');
            walked = slash == std::string::npos ? std::string() : walked.substr(0, slash);
        } else {
            walked += "/" + name;
        }
    }
    close(directory);
    bool acl = AclLetsOthersWrite((walked.empty() ? std::string("/") : walked).c_str());
    return here.st_uid != geteuid() || (OthersMayWrite(here, acl) && !(here.st_mode & S_ISVTX));
}

}  // namespace

bool platformOthersMayChange(const wchar_t* root) {
    SystemName name = WithoutTrailingSlashes(PathName(root));
    return name.ok && PathOthersMayRedirect(name.bytes, kLinksFollowedMax);
}

// The lock is an exclusive flock of the directory a run changes, and a
// shared one of each directory above it: a run on a folder inside another
// run's To, or around it, meets the other's lock whichever started first.
struct TreeLock {
    std::vector<int> fds;  // the handles holding the locks
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
            makedev(major, minor) == st.st_dev && process != getpid()) {
            holder = process;
        }
    }
    std::fclose(locks);
    return holder;
}

// Takes a lock of kind (LOCK_EX, LOCK_SH) on fd without waiting; false,
// *holder told where it can be, when another holds one that excludes it.
bool TakeFlock(int fd, int kind, long* holder) {
    if (flock(fd, kind | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return true;  // a volume that keeps no locks
    struct stat st;
    if (fstat(fd, &st) == 0) *holder = FlockHolder(st);
    return false;
}

}  // namespace

LockOutcome platformLockGuardedTree(TreeLock** lock, long* holder, int* reason) {
    *holder = 0;
    if (!guard.active) {
        *reason = ENOENT;
        return LOCK_FAILED;
    }
    TreeLock* taken = new TreeLock;
    int fd = dup(guard.rootFd);
    if (fd >= 0) taken->fds.push_back(fd);
    bool free = fd >= 0 && TakeFlock(fd, LOCK_EX, holder);
    // The directories above, up to the top, as the file system links them.
    struct stat below = guard.rootSeen;
    int current = fd >= 0 ? openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    while (free && current >= 0) {
        struct stat above;
        if (fstat(current, &above) != 0 || SameEntry(above, below)) {
            close(current);
            break;
        }
        taken->fds.push_back(current);
        free = TakeFlock(current, LOCK_SH, holder);
        below = above;
        current = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0 || !free) {
        platformUnlockTree(taken);
        if (fd < 0) {
            *reason = errno;
            return LOCK_FAILED;
        }
        return LOCK_HELD;
    }
    *lock = taken;
    return LOCK_TAKEN;
}

void platformUnlockTree(TreeLock* lock) {
    if (!lock) return;
    for (int fd : lock->fds) close(fd);
    delete lock;
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
    int fd = open(name.bytes.c_str(), kHeldDirectory & ~O_NOFOLLOW);
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
#ifdef __linux__
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
            if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) *error = FAILURE_NOT_PLAIN_FILE;
            return -1;
        }
        bool looked = fstat(fd, &st) == 0;
        if (!looked || !S_ISREG(st.st_mode)) {
            *error = looked ? FAILURE_NOT_PLAIN_FILE : errno;
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

FILE* platformOpenOwnFile(const wchar_t* path, int* reason) {
    int error = 0;
    SystemName name = PathName(path);
    int fd = name.ok ? OpenOwnFile(name.bytes, &error) : -1;
    if (!name.ok) error = FAILURE_NAME_UNWRITABLE;
    if (fd < 0) {
        *reason = error != 0 ? error : EIO;
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        *reason = errno;
        close(fd);
    }
    return file;
}

SystemResult platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return Result(std::fflush(file) == 0 && whole);
}

SystemResult platformCloseFile(FILE* file) { return Result(std::fclose(file) == 0); }

// Only a plain file is read: a FIFO or a device would be read until killed.
FILE* platformOpenRead(const wchar_t* path, bool* stream, int* reason) {
    *stream = false;
    SystemName name = PathName(path);
    if (!name.ok) {
        *reason = FAILURE_NAME_UNWRITABLE;
        return nullptr;
    }
    int fd = open(name.bytes.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        *reason = errno != 0 ? errno : EIO;
        if (fd >= 0) close(fd);
        return nullptr;
    }
    struct stat input;
    *stream =
        !S_ISREG(st.st_mode) && fstat(PLATFORM_STDIN, &input) == 0 && SameEntry(input, st) && !S_ISDIR(st.st_mode);
    if (!S_ISREG(st.st_mode) && !*stream) {
        *reason = FAILURE_NOT_PLAIN_FILE;
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (!file) {
        *reason = errno;
        close(fd);
    }
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

SystemResult platformWriteText(int stream, const wchar_t* text) {
    if (stream >= 0 && stream < 3 && streamWasClosed[stream]) return SystemResult{false, EBADF};
    std::string bytes = ToSystem(text);
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return Result(std::fflush(file) == 0 && written);
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
