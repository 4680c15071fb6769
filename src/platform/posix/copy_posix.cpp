// File copies: the contents, their holes, the file written without a name,
// the look again at a source that may have changed.

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
#include "base/content_hash.h"
#include "base/temporary_name.h"
#include "platform/platform.h"
#include "platform/posix/posix_layer.h"
#include "platform/system_reason.h"

namespace {

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

}  // namespace

// True once a stop is asked for; the front end hears of the copy first.
bool Stopped() {
    if (copyTick) copyTick(copyTickData);
    return platformStopRequested();
}

namespace {

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
    static thread_local char chunk[1 << 17];
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

// Writes count bytes at offset of out; false with errno on a failure.
bool PutAll(int out, const char* data, size_t count, off_t offset) {
    size_t done = 0;
    while (done < count) {
        ssize_t put = pwrite(out, data + done, count - done, offset + static_cast<off_t>(done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// True when the count bytes at data are all zero.
bool AllZero(const char* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (data[i] != 0) return false;
    }
    return true;
}

// Copies the contents of in into out through memory, hashing them as they
// pass: what a copy is checked or recorded by. In a file with holes, a
// piece of zeros is left a hole in the copy.
bool CopyHashing(int in, int out, const struct stat& st, ContentHashing* hashing) {
    static thread_local char chunk[1 << 17];
    bool sparse = static_cast<off_t>(st.st_blocks) * 512 < st.st_size;
    off_t offset = 0;
    while (offset < st.st_size) {
        if (Stopped()) {
            errno = ECANCELED;
            return false;
        }
        size_t want = static_cast<size_t>(std::min<off_t>(st.st_size - offset, static_cast<off_t>(sizeof chunk)));
        ssize_t got = pread(in, chunk, want, offset);
        if (got == 0) break;  // the file shrank: its look again tells
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        hashBytes(hashing, chunk, static_cast<size_t>(got));
        bool hole = sparse && AllZero(chunk, static_cast<size_t>(got));
        if (!hole && !PutAll(out, chunk, static_cast<size_t>(got), offset)) return false;
        offset += got;
    }
    return ftruncate(out, offset) == 0;
}

// Reads the copy open as out back from its volume, past the system's cache
// where the system lets go of what it wrote, and true when its hash is
// expected; otherwise *error is errno, ECANCELED (a stop) or
// FAILURE_COPY_UNVERIFIED.
bool ReadBackMatches(int out, const ContentHash& expected, int* error) {
    static thread_local char chunk[1 << 17];
    if (fdatasync(out) != 0) {
        *error = errno;
        return false;
    }
    posix_fadvise(out, 0, 0, POSIX_FADV_DONTNEED);
    ContentHashing back = startHashing();
    off_t offset = 0;
    for (;;) {
        if (Stopped()) {
            *error = ECANCELED;
            return false;
        }
        ssize_t got = pread(out, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = errno;
            return false;
        }
        if (got == 0) break;
        hashBytes(&back, chunk, static_cast<size_t>(got));
        offset += got;
    }
    if (hashSoFar(back) == expected) return true;
    *error = FAILURE_COPY_UNVERIFIED;
    return false;
}

// A source read this many times over, changing each time, fails its copy.
const int kCopyTries = 3;

// True when two looks at a file show the same contents: size, and the
// modification and change times to the nanosecond.
bool SameStamp(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

// Writes the contents of in, whose status *st was read when it was opened,
// into the new file out, and gives out the source's mode and times and what
// keep asks besides. The source is looked at again afterwards: one that
// changed while it was read is read again, a few times at most, so that no
// copy stands as up to date with contents its source never had; *st is then
// its last status. On failure *error is an errno value,
// FAILURE_SOURCE_CHANGED or ECANCELED (a stop); *keptLess (and *error) when
// the volume refused an attribute the copy stands without.
bool WriteCopy(int in, int out, struct stat* st, const KeptMetadata& keep, int* error, bool* keptLess) {
    bool checked = keep.verify || keep.record;
    ContentHashing hashing;
    for (int attempt = 1;; ++attempt) {
        if (checked) hashing = startHashing();
        if (!(checked ? CopyHashing(in, out, *st, &hashing) : CopyContents(in, out, *st))) {
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
    ContentHash written = hashSoFar(hashing);
    if (keep.record) {
        // Given while the copy is still writable (a read-only mode comes next); a
        // volume that keeps no attributes keeps no record: the copy stands without.
        std::string stored = encodeContentRecord(ContentRecord{written, static_cast<uint64_t>(st->st_ino),
                                                               static_cast<int64_t>(st->st_ctim.tv_sec),
                                                               static_cast<int32_t>(st->st_ctim.tv_nsec)});
        fsetxattr(out, kContentRecordAttribute, stored.data(), stored.size(), 0);
    }
    if (!KeepOnNewCopy(in, out, *st, keep, error, keptLess)) return false;
    struct timespec times[2] = {st->st_atim, st->st_mtim};
    if (futimens(out, times) != 0) {
        *error = errno;
        *keptLess = false;
        return false;
    }
    if (keep.verify && !ReadBackMatches(out, written, error)) {
        *keptLess = false;
        return false;
    }
    return true;
}

namespace {

// How a copy that was placed ended: done, or standing without an attribute.
CopyResult PlacedCopy(bool keptLess, int error) {
    return keptLess ? CopyResult{COPY_KEPT_LESS, error} : CopyResult{COPY_DONE, 0};
}

}  // namespace

// The result of a call that set errno when it failed.
SystemResult Result(bool ok) { return ok ? SystemResult{true, 0} : SystemResult{false, errno != 0 ? errno : EIO}; }

// A copy that failed for error.
CopyResult FailedCopy(int error) { return CopyResult{OutcomeOf(error), error != 0 ? error : EIO}; }

namespace {

// Whether files written without a name can be linked into place here; set
// false once the system shows they cannot.
std::atomic<bool> unnamedCopies{true};

// Writes a copy of in as a file without a name in the target's directory and
// links it under the target's name once it is complete, so that a kill at
// any point leaves nothing behind; a name that is taken is replaced through
// a temporary, as the usual copy does it. False when no file without a name
// could be made or placed: nothing was changed and the caller copies as
// usual. Otherwise *outcome tells how it went.
bool CopyUnnamed(int in, struct stat* st, const Place& at, const KeptMetadata& keep, CopyResult* outcome) {
#if defined(O_TMPFILE) && defined(__linux__)
    // Links the file without a name open as fd under name in the target's directory.
    auto linkUnnamed = [&at](int fd, const char* name) {
        return linkat(fd, "", at.directory, name, AT_EMPTY_PATH) == 0;
    };
    if (!unnamedCopies) return false;
    // A copy read back is opened for reading too.
    int out = openat(at.directory, ".", O_TMPFILE | (keep.verify ? O_RDWR : O_WRONLY) | O_CLOEXEC, 0600);
    if (out < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) unnamedCopies = false;
        return false;
    }
    int error = 0;
    bool keptLess = false;
    bool ok = WriteCopy(in, out, st, keep, &error, &keptLess);
    int refused = keptLess ? error : 0;
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
            NotedTemporary temporary(NextTemporaryName());
            bool linked = linkUnnamed(out, temporary.name.c_str());
            error = errno;
            if (linked) {
                temporary.made(at.directory, out);
                int closed = close(out);
                out = -1;
                if (closed != 0) error = errno;
                placed =
                    closed == 0 && renameat(at.directory, temporary.name.c_str(), at.directory, at.name.c_str()) == 0;
                if (closed == 0 && !placed) error = errno;
                if (!placed) unlinkat(at.directory, temporary.name.c_str(), 0);  // only a name of our own
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
    *outcome = placed               ? PlacedCopy(keptLess, refused)
               : error == ECANCELED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED}
                                    : FailedCopy(error);
    return true;
#else
    (void)in;
    (void)st;
    (void)at;
    (void)keep;
    (void)outcome;
    return false;
#endif
}

}  // namespace

void platformOnCopyProgress(void (*tick)(void*), void* data) {
    copyTick = tick;
    copyTickData = data;
}

// The source is opened without waiting and read only when the opened handle
// is a plain file: the engine has already left FIFOs, sockets and devices
// alone, and one swapped in since is found here before anything reads it. The copy is written under a
// temporary name beside the target and renamed over it, so the target's name
// never holds a half-written file; a stop or a failure removes the temporary.
CopyResult platformCopyFile(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
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
    if (at.guarded && CopyUnnamed(in, &st, at, keep, &unnamed)) {
        close(in);
        return unnamed;
    }
    // A directory under the target's name makes the rename fail (EISDIR) below.
    NotedTemporary temporary(TemporaryBeside(at));
    int out = -1;
    WithWritableParent(at, [&] {
        out = openat(at.directory, temporary.name.c_str(),
                     (keep.verify ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        return out >= 0;
    });
    if (out < 0) {
        int error = errno;
        close(in);
        return FailedCopy(error);
    }
    temporary.made(at.directory, out);
    int error = 0;
    bool keptLess = false;
    bool ok = WriteCopy(in, out, &st, keep, &error, &keptLess);
    int refused = keptLess ? error : 0;
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
                 return renameat(at.directory, temporary.name.c_str(), at.directory, at.name.c_str()) == 0;
             });
        if (!ok) error = errno;
    }
    if (!ok) {
        unlinkat(at.directory, temporary.name.c_str(), 0);
        return error == ECANCELED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED} : FailedCopy(error);
    }
    return PlacedCopy(keptLess, refused);
}

namespace {

// Reads up to count bytes, short only at the end of the file; -1 on a failure.
ssize_t ReadFull(int fd, char* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = read(fd, buffer + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Opens the plain file at path for reading as a query finds it, its status
// in *st; -1 with errno otherwise.
int OpenPlainForReading(const wchar_t* path, struct stat* st) {
    Place at = LocateQuery(PathName(path));
    int fd = at.ok ? OpenAt(at, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (at.guarded ? O_NOFOLLOW : 0)) : -1;
    if (fd < 0) return -1;
    bool stated = fstat(fd, st) == 0;
    if (!stated || !S_ISREG(st->st_mode)) {
        int error = !stated ? errno : S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

SystemResult platformSameContents(const wchar_t* first, const wchar_t* second, bool* same) {
    *same = false;
    struct stat firstSeen;
    struct stat secondSeen;
    int a = OpenPlainForReading(first, &firstSeen);
    if (a < 0) return Result(false);
    int b = OpenPlainForReading(second, &secondSeen);
    if (b < 0) {
        int error = errno;
        close(a);
        return SystemResult{false, error};
    }
    // The bytes each held when it was opened are compared. The first (a
    // move's From file) is read to its end too: one that grew since is not
    // the same. The second (To's) is not: on a share that read would be one
    // request more, and what grew there the copy after the move finds.
    bool alike = firstSeen.st_size == secondSeen.st_size;
    auto left = static_cast<uint64_t>(alike ? firstSeen.st_size : 0);
    posix_fadvise(a, 0, 0, POSIX_FADV_SEQUENTIAL);
    posix_fadvise(b, 0, 0, POSIX_FADV_SEQUENTIAL);
    const size_t kChunk = size_t{256} * 1024;
    // Buffers no larger than the files: most are small.
    auto buffer = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
    std::vector<char> mine(buffer);
    std::vector<char> theirs(buffer);
    SystemResult result{true, 0};
    while (alike && left > 0) {
        if (Stopped()) {
            result = SystemResult{false, FAILURE_STOPPED};
            break;
        }
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
        ssize_t n = ReadFull(a, mine.data(), wanted);
        ssize_t m = n < 0 ? -1 : ReadFull(b, theirs.data(), wanted);
        if (n < 0 || m < 0) {
            result = Result(false);
            break;
        }
        // One that ended early has lost bytes since: not the same.
        alike = static_cast<size_t>(n) == wanted && static_cast<size_t>(m) == wanted &&
                memcmp(mine.data(), theirs.data(), wanted) == 0;
        left -= wanted;
    }
    if (alike && result.done) {
        char more = 0;
        ssize_t past = ReadFull(a, &more, 1);
        if (past != 0) alike = false;
        if (past < 0) result = Result(false);
    }
    close(a);
    close(b);
    *same = result.done && alike;
    return result;
}

const char kContentRecordAttribute[] = "user.korvane.xxh3";

namespace {

// Reads the record the copy open as fd carries; false when it carries none of this form.
bool ReadContentRecord(int fd, ContentRecord* record) {
    char stored[64];
    ssize_t size = fgetxattr(fd, kContentRecordAttribute, stored, sizeof stored);
    return size > 0 && decodeContentRecord(std::string(stored, static_cast<size_t>(size)), record);
}

// True when the copy of status copy is another user's than the process's.
bool CopyOfOthers(const struct stat& copy) {
    static const uid_t self = geteuid();
    return copy.st_uid != self;
}

// True when a record on the copy of status copy may be believed for a source
// of status source: the copy is the process's user's or the source owner's
// (no one else may have written it), and has one name.
bool RecordTrusted(const struct stat& copy, const struct stat& source) {
    return copy.st_nlink == 1 && (!CopyOfOthers(copy) || copy.st_uid == source.st_uid);
}

// Reads a and b to their ends side by side, comparing them and hashing b (the
// copy, whose record tells its hash) into *found; not done for a stop or a failed read.
SystemResult ReadSideBySide(int a, off_t sizeA, int b, off_t sizeB, ContentComparison* found) {
    // Kept by each thread: a fresh buffer per file would cost its pages each time.
    const off_t kChunk = off_t{256} * 1024;
    static thread_local std::vector<char> left(kChunk);
    static thread_local std::vector<char> right(kChunk);
    ContentHashing second = startHashing();
    bool alike = sizeA == sizeB;
    // Each is read to the size it had: what grew meanwhile is told by its status afterwards.
    for (off_t offset = 0; offset < std::max(sizeA, sizeB); offset += kChunk) {
        if (Stopped()) return SystemResult{false, FAILURE_STOPPED};
        size_t wantA = static_cast<size_t>(std::max<off_t>(0, std::min(kChunk, sizeA - offset)));
        size_t wantB = static_cast<size_t>(std::max<off_t>(0, std::min(kChunk, sizeB - offset)));
        ssize_t n = wantA > 0 ? ReadFull(a, left.data(), wantA) : 0;
        if (n < 0) return Result(false);
        ssize_t m = wantB > 0 ? ReadFull(b, right.data(), wantB) : 0;
        if (m < 0) {
            // The source reads and its copy does not: the copy is damaged.
            found->targetUnreadable = true;
            found->same = false;
            return SystemResult{true, 0};
        }
        hashBytes(&second, right.data(), static_cast<size_t>(m));
        found->bytesRead += n + m;
        if (n != m || memcmp(left.data(), right.data(), static_cast<size_t>(n)) != 0) alike = false;
        if (static_cast<size_t>(n) < wantA || static_cast<size_t>(m) < wantB) {
            alike = false;  // shrank while it was read
            break;
        }
    }
    found->same = alike;
    found->targetHash = hashSoFar(second);
    return SystemResult{true, 0};
}

}  // namespace

// Both files are read whole, alike or not: the rot guard weighs the copy's hash.
// The source's change time is its status before the reading; a source that
// changed while it was read is told as differing (its copy looks again).
SystemResult platformCompareContents(const wchar_t* source, const wchar_t* target, bool recordWhenAlike,
                                     ContentComparison* found) {
    *found = ContentComparison();
    struct stat sourceBefore;
    struct stat copy;
    int a = OpenPlainForReading(source, &sourceBefore);
    if (a < 0) return Result(false);
    int b = OpenPlainForReading(target, &copy);
    if (b < 0) {
        // A copy that stands as a plain file and cannot be opened is damaged
        // (a bad block, a mode another gave it); anything else fails.
        int error = errno;
        close(a);
        bool unreadable = error == EACCES || error == EPERM || error == EIO;
        found->targetUnreadable = unreadable;
        found->sourceIdentity = static_cast<uint64_t>(sourceBefore.st_ino);
        return unreadable ? SystemResult{true, 0} : SystemResult{false, error};
    }
    found->sourceIdentity = static_cast<uint64_t>(sourceBefore.st_ino);
    // Read ahead, where a file is more than one read.
    if (sourceBefore.st_size > off_t{256} * 1024) {
        posix_fadvise(a, 0, 0, POSIX_FADV_SEQUENTIAL);
        posix_fadvise(b, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    found->sourceChangeSeconds = static_cast<int64_t>(sourceBefore.st_ctim.tv_sec);
    found->sourceChangeNanoseconds = static_cast<int32_t>(sourceBefore.st_ctim.tv_nsec);
    SystemResult result = ReadSideBySide(a, sourceBefore.st_size, b, copy.st_size, found);
    // A source written while it was read is no damaged one: its later change time tells.
    struct stat sourceAfter;
    if (result && (fstat(a, &sourceAfter) != 0 || !SameStamp(sourceBefore, sourceAfter))) {
        found->same = false;
        found->sourceChangeSeconds = INT64_MAX;
    }
    found->copyOthers = CopyOfOthers(copy);
    if (result && !found->targetUnreadable && RecordTrusted(copy, sourceBefore)) {
        found->recordKnown = ReadContentRecord(b, &found->record);
        bool stale = !found->recordKnown || found->record.hash != found->targetHash ||
                     found->record.sourceIdentity != found->sourceIdentity ||
                     recordPredates(found->record, found->sourceChangeSeconds, found->sourceChangeNanoseconds);
        if (recordWhenAlike && found->same && stale) {
            ContentRecord record{found->targetHash, found->sourceIdentity, found->sourceChangeSeconds,
                                 found->sourceChangeNanoseconds};
            std::string stored = encodeContentRecord(record);
            found->recorded = fsetxattr(b, kContentRecordAttribute, stored.data(), stored.size(), 0) == 0;
            if (found->recorded) {
                found->recordKnown = true;
                found->record = record;
            }
        }
    }
    close(a);
    close(b);
    return result;
}
