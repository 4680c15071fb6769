// What the runs of one user share where no other user reaches: a folder of
// their own, the locks by which a run keeps the other runs off its To, and
// the record of the temporaries each run makes, by which a later run knows
// a dead run's leftovers for the program's own.

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_layer.h"

namespace {

// The run folder of the process, found once.
struct RunFolder {
    std::mutex lock;
    bool looked = false;  // a folder was looked for
    int fd = -1;          // the folder taken, held open
    int failure = 0;      // why none could be taken
};

RunFolder runFolder;

// The places a run of this user keeps what is its own, in order: root's
// under /run (emptied at each start of the system), else /var/lib; another
// user's below her home, as her account names it, else in her folder of
// /run/user where the system gives her one, else in /tmp, where another
// user may have taken the name first (the run is then refused, told why).
std::vector<std::string> RunFolderPlaces() {
    uid_t user = geteuid();
    if (user == 0) return {"/run/korvane", "/var/lib/korvane"};
    std::vector<std::string> places;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/') {
        std::string home = found->pw_dir;
        places.push_back((home == "/" ? std::string() : home) + "/.local/state/korvane");
    }
    std::string runtime = "/run/user/" + std::to_string(user);
    struct stat st;
    if (lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == user &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        places.push_back(runtime + "/korvane");
    }
    places.push_back("/tmp/korvane-" + std::to_string(user));
    return places;
}

// Makes the levels of path missing below the nearest that stands, each
// its maker's alone.
void MakeLevels(const std::string& path) {
    std::vector<std::string> missing;
    std::string level = path;
    struct stat st;
    while (level.size() > 1 && lstat(level.c_str(), &st) != 0 && errno == ENOENT) {
        missing.push_back(level);
        level = ParentOf(level);
    }
    for (size_t i = missing.size(); i-- > 0;) {
        if (mkdir(missing[i].c_str(), 0700) != 0 && errno != EEXIST) return;
    }
}

// Opens path as a run folder: a directory (no link) of this user's that no
// one else may write, and for root one no other user may move or replace;
// one that others may read is closed to them. -1 with errno set
// (FAILURE_RUNS_FOLDER_TAKEN: something else stands there).
int OpenAsRunFolder(const std::string& path) {
    MakeLevels(path);
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) errno = FAILURE_RUNS_FOLDER_TAKEN;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (geteuid() == 0 && PathOthersMayRedirect(path, kLinksFollowedMax)) ||
        ((st.st_mode & 077) != 0 && fchmod(fd, 0700) != 0)) {
        close(fd);
        errno = FAILURE_RUNS_FOLDER_TAKEN;
        return -1;
    }
    return fd;
}

// The run folder's handle (owned by the process), or -1 with *reason.
int RunFolderFd(int* reason) {
    std::lock_guard<std::mutex> held(runFolder.lock);
    if (!runFolder.looked) {
        runFolder.looked = true;
        for (const std::string& place : RunFolderPlaces()) {
            runFolder.fd = OpenAsRunFolder(place);
            if (runFolder.fd >= 0) break;
            // A place taken by another tells more than a home that is not there.
            int failure = errno != 0 ? errno : FAILURE_RUNS_FOLDER_TAKEN;
            if (runFolder.failure == 0 || failure == FAILURE_RUNS_FOLDER_TAKEN) runFolder.failure = failure;
        }
    }
    if (runFolder.fd < 0 && reason) *reason = runFolder.failure;
    return runFolder.fd;
}

}  // namespace

// The lock is a flock of files of the run folder, one per directory by its
// identity: exclusive of To's, shared of each directory's above it. A run
// on a folder inside another run's To, or around it, meets the other's lock
// whichever started first, however either spells its To; no other user can
// take or plant such a file, and a lock goes with its process. A lock file
// is removed by the last run to let go of it, so each is taken only once
// its name is seen to name the file locked.
struct TreeLock {
    int folder = -1;                 // the run folder
    std::vector<int> fds;            // the lock files held
    std::vector<std::string> names;  // their names in the run folder
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

// True when name in folder still names the file open as fd.
bool StillNamed(int folder, const std::string& name, int fd) {
    struct stat named;
    struct stat open;
    return fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &open) == 0 &&
           SameEntry(named, open);
}

// A run that lets go of a lock file, or sweeps a dead run's, holds it
// alone for a moment to see that no one else does before it removes it: a
// run that meets such a look waits that moment out rather than take the
// looker for a run that holds its tree.
const int kLookWaits = 100;
const useconds_t kLookWait = 2000;  // microseconds

// Takes a lock of kind on fd, the lock file name of folder, waiting out
// another's look (see kLookWaits); 1 taken, 0 held by another run, -1 the
// name no longer names fd (the looker removed it: to be taken afresh).
int TakeLockFile(int folder, const char* name, int fd, int kind, long* holder) {
    for (int wait = 0;; ++wait) {
        if (TakeFlock(fd, kind, holder)) return 1;
        if (!StillNamed(folder, name, fd)) return -1;
        if (wait == kLookWaits) return 0;
        usleep(kLookWait);
    }
}

// Takes a lock of kind on the lock file of the directory of status st,
// noting it in taken; false with *holder (and *reason, when the file could
// not be had: -1 then) when another run holds it.
int LockDirectory(TreeLock* taken, const struct stat& st, int kind, long* holder, int* reason) {
    char name[64];
    std::snprintf(name, sizeof name, "lock-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    for (int attempt = 0; attempt < 64; ++attempt) {
        int fd = openat(taken->folder, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            *reason = errno;
            return -1;
        }
        int took = TakeLockFile(taken->folder, name, fd, kind, holder);
        if (took <= 0) {
            close(fd);
            if (took < 0) continue;
            return 0;
        }
        if (StillNamed(taken->folder, name, fd)) {
            taken->fds.push_back(fd);
            taken->names.push_back(name);
            return 1;
        }
        close(fd);  // removed by the run that let go of it last: take it afresh
    }
    *reason = EAGAIN;
    return -1;
}

// Removes the lock files of folder that no run holds: those of dead runs
// (a kill lets no run remove its own), of trees no run has taken since.
void SweepDeadLocks(int folder) {
    int listed = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0) close(listed);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "lock-", 5) != 0) continue;
        int fd = openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            StillNamed(folder, entry->d_name, fd)) {
            unlinkat(folder, entry->d_name, 0);
        }
        close(fd);
    }
    closedir(dir);
}

}  // namespace

LockOutcome platformLockGuardedTree(TreeLock** lock, long* holder, int* reason) {
    *holder = 0;
    if (!guard.active) {
        *reason = ENOENT;
        return LOCK_FAILED;
    }
    int folder = RunFolderFd(reason);
    if (folder < 0) return LOCK_FAILED;
    SweepDeadLocks(folder);
    TreeLock* taken = new TreeLock;
    taken->folder = folder;
    // To, then the directories above it up to the top, as the file system links them.
    struct stat level = guard.rootSeen;
    int current = openat(guard.rootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    int kind = LOCK_EX;
    bool free = true;
    while (free && current >= 0) {
        int locked = LockDirectory(taken, level, kind, holder, reason);
        if (locked < 0) {
            close(current);
            platformUnlockTree(taken);
            return LOCK_FAILED;
        }
        free = locked > 0;
        kind = LOCK_SH;
        int parent = openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(current);
        current = parent;
        struct stat above;
        if (current < 0 || fstat(current, &above) != 0 || SameEntry(above, level)) break;
        level = above;
    }
    if (current >= 0) close(current);
    if (!free) {
        platformUnlockTree(taken);
        return LOCK_HELD;
    }
    *lock = taken;
    return LOCK_TAKEN;
}

// A lock file no other run holds is removed while it is still held.
void platformUnlockTree(TreeLock* lock) {
    if (!lock) return;
    for (size_t i = 0; i < lock->fds.size(); ++i) {
        int fd = lock->fds[i];
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(lock->folder, lock->names[i], fd)) {
            unlinkat(lock->folder, lock->names[i].c_str(), 0);
        }
        close(fd);
    }
    delete lock;
}

namespace {

// The identity of an entry: its device and inode.
typedef std::pair<unsigned long long, unsigned long long> Identity;

// When an entry was made, in nanoseconds since 1970, where its volume keeps
// it (0 where not): a file made later under a number that a removed one
// had is told apart by it.
typedef long long BirthTime;

// A temporary a record tells of, by its identity and name.
struct Recorded {
    BirthTime born;  // when it was made, or 0
    bool left;       // its run is gone: it is a leftover
};

// What a record tells of one temporary not gone.
struct Made {
    Identity identity;  // its device and inode
    BirthTime born;     // when it was made, or 0
    std::string path;   // where it was made, as a whole path ("" where a record does not tell)
};

// This process's record of its temporaries, and what it read of the others'.
struct Records {
    std::mutex lock;
    bool tried = false;               // this process's record was tried
    int fd = -1;                      // it, open for appending (held locked while the process lives)
    std::string name;                 // its name in the run folder
    unsigned long long written = 0;   // bytes written to it
    std::map<std::string, Made> own;  // this process's temporaries not gone yet, by name
    bool othersRead = false;          // the other records were read since the run began
    // What they tell of temporaries not gone, by identity and name: records
    // of runs long gone may tell of a number the volume has given again.
    std::map<std::pair<Identity, std::string>, Recorded> others;
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    // A process that ends with every temporary gone leaves no record behind.
    ~Records() {
        if (fd >= 0 && own.empty() && runFolder.fd >= 0) unlinkat(runFolder.fd, name.c_str(), 0);
    }
};

Records records;

const char kRecordPrefix[] = "temporaries-";
const char kPendingPrefix[] = "pending-";

// The last name of path.
std::string LastName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes line to this process's record; the caller holds records.lock.
void WriteRecord(const std::string& line) {
    if (records.fd < 0) return;
    if (write(records.fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
        records.written += line.size();
}

// Opens this process's record once: made under a name no reader takes,
// locked, then named as a record, so that no reader finds it unlocked and
// takes it for a dead run's. The caller holds records.lock.
void OpenOwnRecord() {
    if (records.tried) return;
    records.tried = true;
    int folder = RunFolderFd(nullptr);
    if (folder < 0) return;
    for (int attempt = 0; attempt < 100 && records.fd < 0; ++attempt) {
        std::string tail = std::to_string(getpid()) + "-" + std::to_string(attempt);
        std::string pending = kPendingPrefix + tail;
        int fd = openat(folder, pending.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return;
        }
        std::string named = kRecordPrefix + tail;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || linkat(folder, pending.c_str(), folder, named.c_str(), 0) != 0) {
            close(fd);
            unlinkat(folder, pending.c_str(), 0);
            continue;
        }
        unlinkat(folder, pending.c_str(), 0);
        records.fd = fd;
        records.name = named;
    }
}

// What the temporary name in directory (fd: open on it, or -1; the name
// itself, not followed) is, as the kernel holds it; sync: ask a remote
// volume again (a look at another's temporary), or not (a run's own, just made).
bool IdentityOf(int directory, const std::string& name, int fd, bool sync, Made* made) {
#ifdef STATX_INO
    struct statx st;
    int flags = sync ? 0 : AT_STATX_DONT_SYNC;
    unsigned int asked = STATX_INO | STATX_BTIME;
    int done = fd >= 0 ? statx(fd, "", AT_EMPTY_PATH | flags, asked, &st)
                       : statx(directory, name.c_str(), AT_SYMLINK_NOFOLLOW | flags, asked, &st);
    if (done != 0) return false;
    made->identity = Identity(static_cast<unsigned long long>(makedev(st.stx_dev_major, st.stx_dev_minor)), st.stx_ino);
    made->born = (st.stx_mask & STATX_BTIME) ? static_cast<BirthTime>(st.stx_btime.tv_sec) * 1000000000LL +
                                                   static_cast<BirthTime>(st.stx_btime.tv_nsec)
                                             : 0;
#else
    (void)sync;
    struct stat st;
    int done = fd >= 0 ? fstat(fd, &st) : fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    if (done != 0) return false;
    made->identity = Identity(static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    made->born = 0;
#endif
    return true;
}

// True when what was found is what was made: the same identity, and the
// same time of making where both tell one. Where the volume tells none, a
// number given again may name another's file made since under that name
// (whose owner proves nothing either: some volumes give every file one
// owner), so a run gone (gone) proves none of its temporaries there; this
// process's own are still open where it knows them.
bool SameMade(const Made& found, const Identity& identity, BirthTime born, bool gone = true) {
    if (found.identity != identity) return false;
    if (found.born != 0 && born != 0) return found.born == born;
    return !gone;
}

// The temporaries a record's text tells of that are not gone: each "+"
// line ("+ device index born name [path]") without a "-" line of its name
// after it; a last line without its end, cut by a kill, is left out.
std::map<std::string, Made> OpenRecords(const std::string& text) {
    std::map<std::string, Made> open;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        unsigned long long device = 0;
        unsigned long long index = 0;
        long long born = 0;
        char name[256];
        int used = 0;
        if (line.size() < 4096 &&
            std::sscanf(line.c_str(), "+ %llx %llx %lld %255s%n", &device, &index, &born, name, &used) == 4) {
            std::string path =
                static_cast<size_t>(used) + 1 < line.size() ? line.substr(static_cast<size_t>(used) + 1) : "";
            open[name] = Made{Identity(device, index), born, path};
        } else if (line.size() > 2 && line[0] == '-' && line[1] == ' ') {
            open.erase(line.substr(2));
        }
    }
    return open;
}

// Reads the whole of fd, up to a bound no run's record reaches.
std::string ReadAll(int fd) {
    std::string text;
    char chunk[65536];
    ssize_t got;
    while (text.size() < (size_t{64} << 20) &&
           (got = pread(fd, chunk, sizeof chunk, static_cast<off_t>(text.size()))) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

// True when the temporary made is no longer where its record says it was
// made (nothing there, or another entry); false where that is not known.
bool GoneFromItsPlace(const Made& made) {
    if (made.path.empty() || made.path[0] != '/') return false;
    size_t slash = made.path.find_last_of('/');
    std::string folder = slash == 0 ? "/" : made.path.substr(0, slash);
    int directory = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return errno == ENOENT || errno == ENOTDIR;
    Made found;
    bool there = IdentityOf(directory, made.path.substr(slash + 1), -1, true, &found);
    int error = errno;
    close(directory);
    if (!there) return error == ENOENT;
    return !SameMade(found, made.identity, made.born);
}

// Reads the records of the other runs of this user: one whose lock can be
// taken is a dead run's, whose temporaries still where they were made are
// leftovers; a dead record that tells of none (all gone since, swept or
// removed) is removed, and so is a dead run's record never named. A record
// another reader is looking at meanwhile is taken for a live run's: its
// temporaries are left alone this time. The caller holds records.lock.
void ReadOtherRecords() {
    records.othersRead = true;
    records.others.clear();
    int folder = RunFolderFd(nullptr);
    if (folder < 0) return;
    int listed = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0) close(listed);
        return;
    }
    struct stat own;
    bool ownKnown = records.fd >= 0 && fstat(records.fd, &own) == 0;
    while (struct dirent* entry = readdir(dir)) {
        bool record = std::strncmp(entry->d_name, kRecordPrefix, sizeof kRecordPrefix - 1) == 0;
        bool pending = std::strncmp(entry->d_name, kPendingPrefix, sizeof kPendingPrefix - 1) == 0;
        if (!record && !pending) continue;
        int fd = openat(folder, entry->d_name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd < 0) continue;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (ownKnown && SameEntry(st, own))) {
            close(fd);
            continue;
        }
        bool left = flock(fd, LOCK_EX | LOCK_NB) == 0;
        std::map<std::string, Made> open = record ? OpenRecords(ReadAll(fd)) : std::map<std::string, Made>();
        for (auto made = open.begin(); left && made != open.end();) {
            made = GoneFromItsPlace(made->second) ? open.erase(made) : std::next(made);
        }
        if (left && open.empty()) unlinkat(folder, entry->d_name, 0);
        for (const auto& [name, made] : open) records.others[{made.identity, name}] = Recorded{made.born, left};
        close(fd);
    }
    closedir(dir);
}

}  // namespace

void NoteTemporary(int directory, const std::string& name, int fd) {
    Made made;
    if (!IdentityOf(directory, name, fd, false, &made)) return;
    std::string last = LastName(name);
    // Where it stands, so that a later reader knows it gone when it is.
    char place[4096];
    std::string proc = "/proc/self/fd/" + std::to_string(directory);
    ssize_t size = readlink(proc.c_str(), place, sizeof place - 1);
    std::string where = size > 0 && place[0] == '/' ? std::string(place, static_cast<size_t>(size)) : "";
    where = where.empty() || where.find('\n') != std::string::npos ? "" : (where == "/" ? "" : where) + "/" + name;
    char line[4096 + 320];
    int length = std::snprintf(line, sizeof line, "+ %llx %llx %lld %s%s%s\n", made.identity.first,
                               made.identity.second, made.born, last.c_str(), where.empty() ? "" : " ", where.c_str());
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line) return;
    std::lock_guard<std::mutex> held(records.lock);
    OpenOwnRecord();
    records.own[last] = made;
    WriteRecord(std::string(line, static_cast<size_t>(length)));
}

// A record of nothing but gone temporaries starts again once it has grown.
void NoteTemporaryGone(const std::string& name) {
    std::string last = LastName(name);
    std::lock_guard<std::mutex> held(records.lock);
    if (records.own.erase(last) == 0) return;
    WriteRecord("- " + last + "\n");
    if (records.own.empty() && records.written > (1u << 20) && ftruncate(records.fd, 0) == 0) records.written = 0;
}

// The records are read once at the start too, so that a dead run's record
// whose temporaries have all gone since (swept, or removed by hand) goes.
void ForgetRunRecords() {
    std::lock_guard<std::mutex> held(records.lock);
    ReadOtherRecords();
    records.othersRead = false;
    records.others.clear();
}

TemporaryOrigin platformTemporaryOrigin(const wchar_t* path) {
    Place at = Locate(WithoutTrailingSlashes(PathName(path)));
    struct stat st;
    Made found;
    if (!at.ok || fstatat(at.directory, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) || !IdentityOf(at.directory, at.name, -1, true, &found)) {
        return TEMPORARY_UNPROVEN;
    }
    std::string last = LastName(at.name);
    std::lock_guard<std::mutex> held(records.lock);
    auto own = records.own.find(last);
    if (own != records.own.end() && SameMade(found, own->second.identity, own->second.born, false))
        return TEMPORARY_IN_USE;
    if (!records.othersRead) ReadOtherRecords();
    auto other = records.others.find({found.identity, last});
    if (other == records.others.end() || !SameMade(found, other->first.first, other->second.born, other->second.left)) {
        return TEMPORARY_UNPROVEN;
    }
    return other->second.left ? TEMPORARY_LEFT : TEMPORARY_IN_USE;
}

std::wstring platformUserName() {
    uid_t user = geteuid();
    std::wstring number = L"uid " + std::to_wstring(user);
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    wchar_t name[256];
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name ||
        !FromSystem(found->pw_name, name, sizeof name / sizeof name[0])) {
        return number;
    }
    return std::wstring(name) + L" (" + number + L")";
}

long platformProcessNumber() { return static_cast<long>(getpid()); }
