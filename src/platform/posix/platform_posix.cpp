// The system seam on Linux and other POSIX systems.
#include "platform/platform.h"

#include "fs/temporary_name.h"

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
#include <cwctype>
#include <iterator>
#include <ctime>
#include <string>
#include <vector>

#include <sys/statfs.h>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

// Names are bytes here. The locale's encoding turns them into wide text; a byte
// that does not decode becomes U+DC80 + byte and turns back into that byte, so
// that every name survives the round trip, however it is spelt.
namespace {

const wchar_t kEscapeBase = 0xDC00;

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
        if (*p >= kEscapeBase + 0x80 && *p <= kEscapeBase + 0xFF) {
            bytes.push_back(static_cast<char>(*p - kEscapeBase));
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
            out[used++] = static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(*bytes));
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

// The tree a run changes. The directories on the way to the entries asked
// about are held open, outermost first, each opened from its parent without
// following links; the next path that shares their names reuses them, so a
// walk costs one open per directory, not one resolution per entry. A held
// directory is let go when another name takes its level or the run removes it.
struct GuardedTree {
    bool active = false;
    std::string root;  // as the run spells it, without trailing separators
    int rootFd = -1;
    std::vector<std::string> names;
    std::vector<int> fds;
};

GuardedTree guard;

void DropHeld(size_t keep) {
    while (guard.fds.size() > keep) {
        close(guard.fds.back());
        guard.fds.pop_back();
        guard.names.pop_back();
    }
}

// Where the system calls below find an entry: a directory handle and a name
// in it. Outside a guarded tree the handle is the current directory and the
// name the whole path, and the calls follow links as usual.
struct Place {
    int directory;
    std::string name;
    bool guarded;  // inside a guarded tree: never follow the name
    size_t depth;  // inside a guarded tree: how many directories lie between the root and the name
    bool ok;       // false: a directory on the way could not be opened; errno tells why
};

// The path is taken over: outside the tree it becomes the name as it is.
Place Locate(std::string whole) {
    Place place{AT_FDCWD, std::move(whole), false, 0, true};
    if (!guard.active) return place;
    const std::string& path = place.name;
    const std::string& root = guard.root;
    size_t start = 0;
    if (root == "/") {
        if (path.empty() || path[0] != '/') return place;
        start = 1;
    } else {
        if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
            return place;
        }
        start = root.size() + 1;
    }
    // The components below the root, "." and empty ones skipped; the last
    // is the entry's name, the others the directories on its way.
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
            place.ok = false;  // the engine never builds one; refuse rather than climb out
            errno = EACCES;
            return place;
        }
        if (!skip) {
            if (haveName) {
                // The previous name is a directory on the way: reuse or open it.
                if (level < guard.names.size() && guard.names[level] == name) {
                    ++level;
                } else {
                    DropHeld(level);
                    int parent = level == 0 ? guard.rootFd : guard.fds[level - 1];
                    int fd = openat(parent, name.c_str(), kHeldDirectory);
                    if (fd < 0) {
                        place.ok = false;
                        return place;
                    }
                    guard.names.push_back(name);
                    guard.fds.push_back(fd);
                    ++level;
                }
            }
            name.assign(path, at, length);
            haveName = true;
        }
        at = end + 1;
    }
    if (!haveName) return place;  // the root itself
    // Directories held below this one stay held: the next entry may be there.
    place.guarded = true;
    place.depth = level;
    place.directory = level == 0 ? guard.rootFd : guard.fds[level - 1];
    place.name = std::move(name);
    return place;
}

bool SameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// While a tree is guarded, changes are made below its root only: never to
// the root itself or anything outside it, however a path reaches there.
Place LocateChange(std::string path) {
    Place place = Locate(std::move(path));
    if (place.ok && guard.active && !place.guarded) {
        place.ok = false;
        errno = EACCES;
    }
    return place;
}

int NoFollow(const Place& place) { return place.guarded ? AT_SYMLINK_NOFOLLOW : 0; }

int StatAt(const Place& place, struct stat* st) {
    return fstatat(place.directory, place.name.c_str(), st, NoFollow(place));
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

void FillStatus(const struct stat& st, EntryStatus* status) {
    status->isDirectory = IsDirectoryMode(st.st_mode);
    status->isLink = S_ISLNK(st.st_mode);
    status->isRegular = S_ISREG(st.st_mode);
    status->attributeWord = static_cast<uint32_t>(st.st_mode);
    status->modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    status->size = static_cast<int64_t>(st.st_size);
}

CopyOutcome OutcomeOf(int error) {
    if (error == EACCES || error == EPERM) return COPY_ACCESS_DENIED;
    if (error == EEXIST) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

// Copy calls move at most this much at a time, so a stop is seen within one piece.
const size_t kCopyPiece = size_t{8} << 20;

// Told between the pieces of a copy; see platformOnCopyProgress.
void (*copyTick)() = nullptr;

// True once a stop is asked for; the front end hears of the copy first.
bool Stopped() {
    if (copyTick) copyTick();
    return platformStopFlag != 0;
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

// Why the last change, link read or listing failed: an errno value, 0 for none.
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
bool CopyUnnamed(int in, const struct stat& st, const Place& at, CopyOutcome* outcome) {
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
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = CopyContents(in, out, st) && ChangeOpenMode(out, st.st_mode & 07777) && futimens(out, times) == 0;
    int error = ok ? 0 : errno;
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
    int failure;       // errno of a read that cut the listing short, or 0
    std::string path;  // outside a guarded tree: the directory as opened, else empty
#ifdef __linux__
    size_t filled;  // bytes the last read put into buffer
    size_t at;      // offset of the next record in buffer
    alignas(8) char buffer[32768];
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
    Place place = Locate(std::move(path));
    if (!place.ok || place.guarded || openListings.empty()) return place;
    const std::string& directory = openListings.back()->path;
    const std::string& whole = place.name;
    size_t slash = whole.find_last_of('/');
    if (slash == std::string::npos || slash != directory.size() || whole.compare(0, slash, directory) != 0) {
        return place;
    }
    const char* name = whole.c_str() + slash + 1;
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return place;
    place.directory = openListings.back()->fd;
    place.name.erase(0, slash + 1);
    return place;
}

}  // namespace

void platformSetUserLocale() {
    const char* chosen = std::setlocale(LC_ALL, "");
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    if (!chosen || !ctype || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0) {
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
    }
}

volatile std::sig_atomic_t platformStopFlag = 0;

void platformOnCopyProgress(void (*tick)()) { copyTick = tick; }

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
    if (!at.guarded) return access(at.name.c_str(), F_OK) == 0;
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
    *word = static_cast<uint32_t>(st.st_mode);
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

bool platformIsDriveSpec(const wchar_t* path, size_t length) { return length == 1 && path[0] == L'/'; }

bool platformIsUsableDrive(const wchar_t* path) { return path[0] == L'/' && path[1] == L'\0'; }

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
    std::string from = ToSystem(source);
    struct stat st;
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
    if (at.guarded && CopyUnnamed(in, st, at, &unnamed)) {
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
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = CopyContents(in, out, st) && ChangeOpenMode(out, st.st_mode & 07777) && futimens(out, times) == 0;
    int error = ok ? 0 : errno;
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
    if (removed && at.depth < guard.names.size() && guard.names[at.depth] == at.name) DropHeld(at.depth);
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
    std::string from = ToSystem(source);
    struct stat st;
    std::string text;
    if (lstat(from.c_str(), &st) != 0 || !ReadLinkAt(AT_FDCWD, from, &text)) return FailedCopy(errno);
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

bool platformGuardTree(const wchar_t* root) {
    platformReleaseTree();
    std::string system = WithoutTrailingSlashes(ToSystem(root));
    int fd = open(system.c_str(), kHeldDirectory & ~O_NOFOLLOW);
    if (fd < 0) return false;
    // Every level of a deep tree may hold a handle; take what the system allows.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    guard.active = true;
    guard.root = system;
    guard.rootFd = fd;
    return true;
}

void platformReleaseTree() {
    DropHeld(0);
    if (guard.rootFd >= 0) close(guard.rootFd);
    guard.rootFd = -1;
    guard.active = false;
    guard.root.clear();
}

bool platformIsVolumeRoot(const wchar_t* path) {
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
    if (guard.active && system == guard.root) {
        fd = openat(guard.rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        system.clear();
    } else {
        Place at = LocateQuery(system);
        if (!Noted(at.ok)) return nullptr;
        fd = openat(at.directory, at.name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (at.guarded ? O_NOFOLLOW : 0));
        if (at.guarded) system.clear();
    }
    if (!Noted(fd >= 0)) return nullptr;
#ifdef __linux__
    DirectoryListing* listing = new DirectoryListing;
    listing->fd = fd;
    listing->failure = 0;
    listing->filled = 0;
    listing->at = 0;
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
    if (!listing->path.empty()) openListings.push_back(listing);
    return listing;
}

namespace {

// The next name the system lists with its type, or null when none is left
// or the listing fails.
const char* NextName(DirectoryListing* listing, unsigned char* type) {
#ifdef __linux__
    if (listing->at >= listing->filled) {
        long got = syscall(SYS_getdents64, listing->fd, listing->buffer, sizeof listing->buffer);
        if (got < 0) listing->failure = errno != 0 ? errno : EIO;
        if (got <= 0) return nullptr;
        listing->filled = static_cast<size_t>(got);
        listing->at = 0;
    }
    // The records are laid out as struct dirent64, one after the other.
    const char* record = listing->buffer + listing->at;
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
                if (entry->isLink && fstatat(listing->fd, name, &st, 0) != 0) return true;
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

FILE* platformOpenWrite(const wchar_t* path) { return std::fopen(ToSystem(path).c_str(), "wb"); }

FILE* platformOpenRead(const wchar_t* path) { return std::fopen(ToSystem(path).c_str(), "rb"); }

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

void platformWriteText(int stream, const wchar_t* text) {
    std::string bytes = ToSystem(text);
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
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

int64_t platformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
void (*interruptHandler)() = nullptr;
void onSignal(int) {
    platformStopFlag = 1;
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

// Upper case by the locale, one character for one.
void platformFoldName(const wchar_t* name, std::wstring* folded) {
    folded->assign(name);
    for (wchar_t& unit : *folded) {
        if (unit >= L'a' && unit <= L'z') {
            unit = static_cast<wchar_t>(unit - L'a' + L'A');
        } else if (unit >= 0x80) {
            unit = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(unit)));
        }
    }
}

// Names are exact here, except in a directory marked to fold case (ext4,
// f2fs) and on volumes that fold every name: FAT, exFAT and Windows shares.
bool platformFoldsCase(const wchar_t* directory) {
    std::string path = WithoutTrailingSlashes(ToSystem(directory));
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

// No short names stand for others here.
bool platformNameMayAlias(const wchar_t*, size_t) { return false; }

// A look-up reaches the name it was given.
bool platformEntryName(const wchar_t* path, std::wstring* name) {
    std::string whole = WithoutTrailingSlashes(ToSystem(path));
    struct stat st;
    if (lstat(whole.c_str(), &st) != 0) return false;
    const wchar_t* last = std::wcsrchr(path, L'/');
    *name = last ? last + 1 : path;
    return !name->empty();
}
