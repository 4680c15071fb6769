// What the files of the POSIX layer share: how a path becomes the
// system's bytes and a place, the held trees, the listing record, and the
// small helpers more than one of them calls. Nothing outside src/platform/posix includes it.
#ifndef KORVANE_PLATFORM_POSIX_POSIX_LAYER_H
#define KORVANE_PLATFORM_POSIX_POSIX_LAYER_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

// Names are bytes here. The locale's encoding turns them into wide text; a byte
// that does not decode becomes BYTE_ESCAPE_BASE + byte and turns back into
// that byte, so that every name survives the round trip, however it is spelt.

// A path in the system's bytes, and whether every character of it could
// be written so: a path that cannot is never handed over spelt otherwise.
struct SystemName {
    std::string bytes;  // the path's bytes
    bool ok;            // false: a character the locale's encoding cannot write
};

// A text for the terminal or a temporary's name: what cannot be written is "?".
std::string ToSystem(const wchar_t* text);

// A path as the system takes it, or one marked as not writable.
SystemName PathName(const wchar_t* path);

// Decodes bytes into out (room units, NUL included); false when it does not fit.
bool FromSystem(const char* bytes, wchar_t* out, size_t room);

// Decodes bytes whole: a unit of text for each byte is room enough.
std::wstring FromSystemText(const char* bytes);

// The directory part of a path: "." for a bare name, "/" for the top.
std::string ParentOf(const std::string& path);

// The path without its trailing slashes; "/" stays as it is.
std::string WithoutTrailingSlashes(std::string path);

// The same for a path in the system's bytes.
SystemName WithoutTrailingSlashes(SystemName name);

// How a directory on the way to an entry is held: for its name, never through a link.
#ifdef O_PATH
const int kHeldDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

#else
const int kHeldDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

#endif

// True when two statuses are of one entry (device and inode).
bool SameEntry(const struct stat& a, const struct stat& b);

// Most links one resolution follows, as the kernel's own limit.
const int kLinksFollowedMax = 40;

// Resolves the entry name of directory as a root run follows links: a
// handle (O_PATH) of what it finally names, each link on the way read from
// a handle of the link itself and followed only where its owner could read
// what it leads to (FollowAllowed), so a link swapped meanwhile is never
// judged by another's owner. -1 with errno set (FAILURE_LINK_REFUSED, ELOOP, ...).
int ResolveEntry(int directory, const char* name, int* linksLeft);

// Resolves the whole of path as a root run follows links: each name, from
// the top or the current directory on, as ResolveEntry resolves it, ".."
// the parent of what was reached. A handle (O_PATH) of what path names; -1
// with errno set (FAILURE_LINK_REFUSED, ENOENT, ...).
int ResolvePath(const std::string& path);

// Opens with flags, links followed, the root of the tree a run reads, when
// path (trailing slashes aside) is that root as spelt and the tree is held:
// the directory held, whatever path leads to now. -1 (ENOENT) otherwise.
int OpenHeldSource(const std::string& path, int flags);

// One line of the system's table of mounts, its names as the system's bytes.
struct MountLine {
    uint64_t id = 0;     // the mount's number
    std::string volume;  // "major:minor", alike for each mount of one volume
    std::string root;    // the folder of the volume it shows
    std::string point;   // where it is mounted
};

// The table of mounts as this process sees it now, in its order; empty
// where it cannot be read.
std::vector<MountLine> ReadMountTable();

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
    struct stat rootSeen;                 // the root as it was opened
    bool rootAclWrites = false;           // the root's ACL lets a named other write (a root run's To)
    std::atomic<unsigned long> epoch{1};  // moves on when held directories may no longer be where they were
};

// The directories one thread holds open below a tree's root, on the way to
// the entry it reached last: each thread descends through its own.
struct HeldChain {
    std::vector<std::string> names;   // the held directories' names, outermost first
    std::vector<int> fds;             // their handles
    std::vector<struct stat> seen;    // each as it was opened
    std::vector<char> aclWrites;      // each one's ACL lets a named other write (a root run's To)
    std::vector<char> othersMayMove;  // another user may move it: looked at before each change
    unsigned long epoch = 0;          // the tree's epoch when they were opened
    HeldChain() = default;
    HeldChain(const HeldChain&) = delete;
    HeldChain& operator=(const HeldChain&) = delete;
    ~HeldChain();  // closes the handles when the thread ends
};

// The tree a run changes (To): every query and change below its root goes
// through directories opened without following links.
extern HeldTree guard;

// The tree a run keeps versions in, when it lies outside the guarded tree.
extern HeldTree versionTree;

// The calling thread's held directories of tree, let go first when the
// tree's epoch moved on since they were opened.
HeldChain& ChainOf(HeldTree* tree);

// The directory name, held at depth or not, was removed from tree: the
// calling thread lets go of it and what it held below it, every other
// thread of all its held directories before it next descends.
void ForgetRemoved(HeldTree* tree, size_t depth, const std::string& name);

// The entry name at depth, no directory, left tree: the calling thread lets
// go of a directory it held under that name and below it; no other thread
// holds the entry on its way.
void ForgetOwnHeld(HeldTree* tree, size_t depth, const std::string& name);

// True when another user may change where path leads: a directory on the
// way lets another move or replace the entry the path passes through, or a
// link on the way belongs to another (followed by its text, judged the
// same); the last directory itself is another's, or others may write to it
// and it is not sticky. linksLeft bounds the links followed.
bool PathOthersMayRedirect(const std::string& path, int linksLeft);

// Notes in this run's record that it made the temporary name (as the calls
// on directory take it; fd: the temporary open, or -1 to look at the name
// itself, not followed), so that a later run may prove it the program's own
// should this run die before it is gone. Nothing is noted where the run
// has no record (its folder could not be made).
void NoteTemporary(int directory, const std::string& name, int fd);

// Notes that the temporary name, noted by NoteTemporary, has gone: renamed
// into place, or removed.
void NoteTemporaryGone(const std::string& name);

// A temporary noted when made, and noted gone when the function that made
// it ends, renamed into place or removed by then.
struct NotedTemporary {
    std::string name;    // as the calls on its place take it
    bool noted = false;  // made, and noted so
    explicit NotedTemporary(std::string temporary) : name(std::move(temporary)) {}
    NotedTemporary(const NotedTemporary&) = delete;
    NotedTemporary& operator=(const NotedTemporary&) = delete;
    // Notes it made in directory (see NoteTemporary).
    void made(int directory, int fd) {
        NoteTemporary(directory, name, fd);
        noted = true;
    }
    ~NotedTemporary() {
        if (noted) NoteTemporaryGone(name);
    }
};

// Lets go of what the run read of other runs' records, so that the next
// run reads them afresh (runs may have ended since).
void ForgetRunRecords();

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

// True when each held directory of the guarded tree on the way to at,
// which another user may move, is still where the run found it: looked at
// again right before a copy takes its name, so that an entry in flight does
// not land in a folder moved away meanwhile. errno FAILURE_FOLDER_MOVED otherwise.
bool StillInPlace(const Place& at);

// Where the entry of path is found, for a query.
Place Locate(std::string whole);

// Where a version function finds path: in the guarded tree through its
// handles, in the version tree through its own, never following a link
// below either root; anywhere else only when outsideAllowed (the levels of
// a versions folder not made yet), as the path is spelt. A path below both
// roots as spelt ("to/../versions") belongs to the longer. The root of the
// version tree is never changed.
Place LocateVersionPlace(std::string path, bool outsideAllowed);

// The same for a path that may not be writable in the system's encoding.
Place Locate(SystemName name);

// For a directory below the guarded tree's root: holds it open as a level
// of the calling thread's chain, so that what is asked below it next needs
// no other opening; its status in *st (as it was opened, or, where fresh,
// as it is now), the place "." in it. Not ok (errno) when it is no
// directory that can be held there (a link is never followed); not guarded
// for any other path, which is left to the caller. forChange: it is to be
// changed, the directories held on the way looked at again as for LocateChange.
Place HoldGuarded(std::string path, struct stat* st, bool forChange, bool fresh);

// The handle of the directory at (a place in the guarded tree) where the
// calling thread holds it already, a walk having gone through it; -1 otherwise.
int HeldHandle(const Place& at);

// While a tree is guarded, changes are made below its root only: never to
// the root itself or anything outside it, however a path reaches there.
Place LocateChange(std::string path);

// The same for a path that may not be writable in the system's encoding.
Place LocateChange(SystemName name);

// The status of the entry at place: in the guarded tree a link as itself;
// in the tree a root run reads, what a link names only by its owner's right
// (errno FAILURE_LINK_REFUSED otherwise); elsewhere links followed.
int StatAt(const Place& place, struct stat* st);

// Opens the entry at place with flags, links followed as StatAt follows them.
int OpenAt(const Place& place, int flags);

// Gives an open entry a mode; a mode its volume cannot hold is no failure.
bool ChangeOpenMode(int fd, mode_t mode);

// Gives a directory held by a handle a new mode; a handle opened only to
// reach names is changed through its entry in /proc.
bool ChangeHeldMode(int fd, mode_t mode);

// Held while a directory is opened up for one change and given its mode
// back, so that a worker never takes another's opened mode for the
// directory's own, nor has it taken back in the middle of its change.
extern std::mutex parentModeLock;

// Runs change(); when the parent directory refuses it for want of write
// permission and belongs to us, the parent is opened up for that one change
// and given its mode back. A protected directory guards nothing on Windows
// either, and a mirrored read-only directory must still be filled.
template <typename Change>
bool WithWritableParent(const Place& place, Change change) {
    if (change()) return true;
    if (errno != EACCES) return false;
    int saved = errno;
    std::lock_guard<std::mutex> held(parentModeLock);
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
mode_t CopyableMode(const struct stat& st);

// Gives out, a new copy of the source open as in (its status source, its
// contents written), what keep asks beyond contents and its mode: owner and
// group, attributes, then the mode, set-ID bits only under the source's
// owner. False with *error when it failed; an attribute the volume refused
// leaves the copy standing: true, *keptLess and *error telling why.
bool KeepOnNewCopy(int in, int out, const struct stat& source, const KeptMetadata& keep, int* error, bool* keptLess);

// The extended attribute that holds a copy's record of its contents: the
// program's own, never copied from a source, compared or removed as kept metadata.
extern const char kContentRecordAttribute[];

// Takes from a folder just made, open as directory, the access and default
// ACLs it took of its folder's default ACL, so that it is no more open than
// its mode; 0, or the errno of a failure.
int DropInheritedAcls(int directory);

// Gives the link name in directory, a copy of the link of status source,
// the source's owner and group where this process may; a volume that does
// not hold them is no failure. 0, *changed telling whether it changed, or
// the errno of a failure (EAGAIN: no link stands there).
int GiveLinkOwner(int directory, const std::string& name, const struct stat& source, bool* changed);

// True once a stop is asked for; the front end hears of the copy first.
bool Stopped();

// The result of a call that set errno when it failed.
SystemResult Result(bool ok);

// A copy that failed for error.
CopyResult FailedCopy(int error);

// Writes the contents of in, whose status *st was read when it was opened,
// into the new file out, and gives out the source's mode and times and what
// keep asks besides; a source that changed while it was read is read again,
// a few times at most. On failure *error is an errno value,
// FAILURE_SOURCE_CHANGED or ECANCELED (a stop); *keptLess (and *error) when
// the volume refused an attribute the copy stands without.
bool WriteCopy(int in, int out, struct stat* st, const KeptMetadata& keep, int* error, bool* keptLess);

// Reads the text of the link name in directory; false with errno set.
bool ReadLinkAt(int directory, const std::string& name, std::string* text);

// The name of this process's next temporary.
std::string NextTemporaryName();

// The name of a new temporary beside target, as the system calls on its place take it.
std::string TemporaryBeside(const Place& target);

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

// The listings this thread has open outside a guarded tree, the latest last.
extern thread_local std::vector<const DirectoryListing*> openListings;

// Where a query finds path. Outside a guarded tree, an entry of the
// directory listed last is reached through that listing's handle instead of
// resolving its whole path again; links are followed or not as before.
Place LocateQuery(std::string path);

// The same for a path that may not be writable in the system's encoding.
Place LocateQuery(SystemName name);

#endif
