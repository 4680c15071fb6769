// The seam to the operating system: plain functions over plain records.
// The files of posix/ or win32/ (one per concern, chosen by the build)
// implement it; nothing else in the program calls the system. Paths are
// NUL-terminated wide texts.
#ifndef KORVANE_PLATFORM_PLATFORM_H
#define KORVANE_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/content_hash.h"

// Identity of an entry (a directory, a file): equal identities name the same entry.
struct DirectoryIdentity {
    uint64_t volume;  // device or volume serial number
    uint64_t index;   // inode or file index
};

// True when two identities name the same entry.
inline bool sameIdentity(const DirectoryIdentity& a, const DirectoryIdentity& b) {
    return a.volume == b.volume && a.index == b.index;
}

// What one status query tells of an entry: links are followed, except inside
// a guarded tree, where a link is told as itself.
struct EntryStatus {
    bool isDirectory;             // the entry is a directory (or, outside a guarded tree, a link to one)
    bool isLink;                  // the entry is a link itself (only inside a guarded tree)
    bool isRegular;               // the entry is a plain file (not a directory, device, FIFO or socket)
    uint32_t attributeWord;       // attribute word: file attributes, or st_mode
    int64_t modifiedSeconds;      // modification time, whole seconds since 1970 UTC
    int32_t modifiedNanoseconds;  // the part of the modification time below the second
    int64_t size;                 // size in bytes
    uint32_t owner;               // the owner's number (POSIX uid; 0 on Windows)
    uint32_t group;               // the group's number (POSIX gid; 0 on Windows)
    uint32_t permissions;         // permission, set-ID and sticky bits as the entry has them (POSIX; 0 on Windows)
    bool setId;                   // the set-user-ID or set-group-ID bit is on (POSIX; false on Windows)
    uint32_t linkCount;           // the names the entry has (1 where the system does not tell)
    DirectoryIdentity identity;   // the entry's volume and index ({0, 0} where the system does not tell)
};

// Whether a name stands in its directory, the name itself not followed.
enum EntryPresence {
    ENTRY_ABSENT,   // plainly not there: the name, or a directory on its way, is missing
    ENTRY_PRESENT,  // there, and no link: a file, a directory, a device...
    ENTRY_LINK,     // there as a link, whether or not what it names exists
    ENTRY_UNKNOWN   // cannot be told (no permission to look, an I/O error, ...)
};

// Outcome of a file copy, with the error kinds the update copy tells apart.
enum CopyOutcome {
    COPY_DONE,            // the target now holds the source's contents
    COPY_ACCESS_DENIED,   // refused: access denied
    COPY_ALREADY_EXISTS,  // refused: the target already exists
    COPY_FAILED,          // any other failure
    COPY_NOT_REGULAR,     // the source is no plain file (FIFO, socket, device): nothing was opened
    COPY_STOPPED,         // a stop was requested during the copy; the target stays as it was
    COPY_PLACE_MOVED,     // a folder on the target's way left its place during the run: nothing was written
    COPY_KEPT_LESS        // the copy stands, but its volume refused what keep asked beyond contents (an attribute)
};

// How a request to the system ended: done, or not done for a reason.
struct SystemResult {
    bool done;   // the request was carried out
    int reason;  // why not (see platformReasonText); 0 when done
    // True when the request was carried out.
    explicit operator bool() const { return done; }
};

// How a copy ended, and why when it did not end done.
struct CopyResult {
    CopyOutcome outcome;  // COPY_DONE, or how it failed
    int reason;           // why not (see platformReasonText); 0 when done
};

// What a copy keeps of its source beyond its contents, permission bits and
// modification time; all false: nothing more (the window program's copies).
// The POSIX layer keeps them; Windows keeps none of them.
struct KeptMetadata {
    bool owners;  // the owner and group, as far as this process may give them
    bool xattrs;  // extended attributes: user.*, and with the right to (root) trusted.* and security.*
    bool acls;    // the access ACL, and a directory's default ACL
    // What a file copy checks and records besides (both systems).
    bool verify = false;  // the copy is read back before it takes the target's name, and compared
    bool record = false;  // the copy carries the record of its contents (see platformCompareContents)
};

// Reasons of the program's own, beside the system's numbers (errno on
// POSIX, a Win32 error code on Windows); their words are the same on both.
#define FAILURE_SOURCE_CHANGED (-1)       // the source changed while it was copied, each time it was read
#define FAILURE_NOT_PLAIN_FILE (-2)       // a file the program reads or writes for itself is no plain file
#define FAILURE_LINK_REFUSED (-3)         // a link whose owner may not read what it names
#define FAILURE_FOLDER_MOVED (-4)         // a folder on the way left its place during the run
#define FAILURE_NAME_UNWRITABLE (-5)      // a name the system's encoding cannot write
#define FAILURE_STOPPED (-6)              // a stop was asked for: nothing more is changed
#define FAILURE_GRANT_REFUSED (-9)        // in place, the entry would take what its contents may not: made anew
#define FAILURE_WOULD_EXIST (-10)         // a dry run: something would stand in the way
#define FAILURE_WOULD_BE_DIRECTORY (-11)  // a dry run: a directory would stand in the way
#define FAILURE_WOULD_BE_MISSING (-12)    // a dry run: the entry would not be there
#define FAILURE_WOULD_NOT_BE_EMPTY (-13)  // a dry run: the directory would not be empty
#define FAILURE_WOULD_NOT_BE_LINK (-14)   // a dry run: the entry would be no link
#define FAILURE_RUNS_FOLDER_TAKEN (-15)   // the folder of the user's runs is another's, a link, or open to others
#define FAILURE_LINK_IN_PLACE (-16)       // a file the program appends to is a link, not followed
#define FAILURE_NOT_OWN_FILE (-17)        // a file the program appends to is another's, or has several names
#define FAILURE_COPY_UNVERIFIED (-18)     // the copy, read back, was not what was read from its source

// The words for a reason, as the system's locale writes its own; empty for 0.
std::wstring platformReasonText(int reason);

// Longest entry name a listing hands over, in wide units.
#define PLATFORM_NAME_MAX 260

// One entry of a directory listing.
struct DirectoryEntry {
    wchar_t name[PLATFORM_NAME_MAX + 1];  // the entry's name, without its directory
    bool isDirectory;                     // a directory, or a link to one
    bool isLink;                          // a symbolic link or junction itself
    bool statusKnown;                     // the listing told what a status query would (Windows, no link)
    EntryStatus status;                   // valid when statusKnown
};

// An open directory listing; its contents belong to the platform file.
struct DirectoryListing;

// Sets the process locale from the user's environment (C.UTF-8 for plain C).
void platformSetUserLocale();

// Queries path (links followed); false when it is missing or cannot be queried.
bool platformQueryEntry(const wchar_t* path, EntryStatus* status);

// True when path names an existing entry (links followed).
bool platformEntryExists(const wchar_t* path);

// Whether path's name stands in its directory; the name itself is not followed.
EntryPresence platformEntryPresence(const wchar_t* path);

// Marks root, an existing directory, as the tree a run changes. Until the
// guard is lifted, every query and change of a path below root reaches its
// entry through directories opened without following links: a link inside
// the tree is queried and changed as the link itself, never what it names,
// and a directory swapped for a link during the run makes the operation fail
// instead of reaching outside. Not done when root cannot be opened, with why.
SystemResult platformGuardTree(const wchar_t* root);

// Lifts the guard of platformGuardTree.
void platformReleaseTree();

// Marks root, an existing directory, as the tree a run reads. Until it is
// released, a path below root reaches the system through directories held
// open on its way, when it is too long for the system in one piece, and in
// a process running as root always: such a process follows a link below
// root (on the way, or named) only where the link's owner could read what
// it names (the owner is root or owns that), and fails otherwise with its
// reason. Such a process reaches root itself so too, name by name through
// handles (a link at root or at any level above it, "..", relative and
// absolute link texts), once: root as spelt then names the directory held,
// whatever its links become. Not done when root cannot be opened
// (FAILURE_LINK_REFUSED: only through a link the process may not follow).
SystemResult platformReadTree(const wchar_t* root);

// Lets go of the tree of platformReadTree.
void platformReleaseReadTree();

// True when a user other than this process's own may change the directory
// root: it belongs to another, or others may write to it and it is not
// sticky. Windows: never told, false.
bool platformOthersMayChange(const wchar_t* root);

// True when a user other than this process's own may change the file at
// path, or what path leads to: a folder or link on its way is another's as
// for platformOthersMayChange, or the file belongs to another, or a group
// or user other than root may write it; false when it cannot be found
// (reading it fails and tells why). Meant for a process running as root;
// Windows: never told, false.
bool platformOthersMayChangeFile(const wchar_t* path);

// True when a user other than this process's own may add an entry to the
// directory (links followed): it belongs to another, or a group or user
// other than root may write it, sticky or not; true when it cannot be
// looked at. Meant for a process running as root; Windows: false.
bool platformOthersMayAddTo(const wchar_t* directory);

// True when the process runs with the rights of the system's administrator
// (root); Windows: false.
bool platformRunsAsRoot();

// The process's own number, as the system tells it to others ("process 1234").
long platformProcessNumber();

// The user the process runs as, for a record of what it did: the account's
// name, and its number where the system numbers users ("root (uid 0)").
std::wstring platformUserName();

// A run's hold on the tree it changes, so that two runs never change one
// tree at once; its contents belong to the platform file. The runs of one
// user keep what is theirs alone (their locks, the records of their
// temporaries) in a folder no other user may write: root's in /run/korvane
// (else /var/lib/korvane), another user's in ~/.local/state/korvane (else
// /tmp/korvane-UID); on Windows in %LOCALAPPDATA%\korvane. A folder that
// someone else may write is not taken.
struct TreeLock;

// What an attempt to lock a tree found.
enum LockOutcome {
    LOCK_TAKEN,  // the tree is this run's until the lock is released or the process ends
    LOCK_HELD,   // another run holds it
    LOCK_FAILED  // the tree is not held, or the runs' folder cannot be had: *reason tells why
};

// Tries once, without waiting, to lock the tree platformGuardTree holds,
// by its identity, whatever its path has become since: a lock of the runs'
// own in their folder, which only runs of this user take, so no one else
// can hold a run off, and a run under another spelling of To (a link, "..")
// meets it. The lock goes with the process however it ends, so a dead
// run's lock is free; a run on a folder inside the tree, or around it, is
// held off too. LOCK_TAKEN with *lock to release; LOCK_HELD with *holder
// the holding run's process number (0 when the system does not tell);
// LOCK_FAILED when the tree is not held or the runs' folder cannot be had.
LockOutcome platformLockGuardedTree(TreeLock** lock, long* holder, int* reason);

// Releases a lock platformLockGuardedTree took.
void platformUnlockTree(TreeLock* lock);

// True when the directory at path is, on disk, the top directory of its
// volume, however it is spelt (/., C:\\., a link); isDriveRoot asks the
// text alone.
bool platformIsTopOfVolume(const wchar_t* path);

// Reads the identities of directory and of every directory above it up to the
// top, directory first, as the file system links them (links in the spelling
// resolved); false when directory cannot be opened.
bool platformDirectoryChain(const wchar_t* directory, std::vector<DirectoryIdentity>* chain);

// The whole path of the directory at path as the system resolves it now:
// from the top, every link and level of dots followed; false when it
// cannot be reached.
bool platformResolvedPath(const wchar_t* path, std::wstring* resolved);

// One mount of the system's table: which volume, which of its folders it
// shows, where, and whether a path leads to it.
struct MountRecord {
    uint64_t id = 0;      // the mount's number
    std::wstring volume;  // the volume's number, alike for each mount of one volume
    std::wstring root;    // the folder of the volume the mount shows, from its top ("/" for all of it)
    std::wstring point;   // the folder it is mounted on, whole
    bool seen = true;     // its point leads to it now: no mount on it or above it hides it
};

// The mounts as they stand now; none where the system keeps no such table
// for a process (Windows). Where the system does not tell which mount a
// path leads to, each is taken as seen.
std::vector<MountRecord> platformMountTable();

// The number of the mount the directory at path (its links followed) lies
// on now, as the table names it (MountRecord::id); false where the system
// does not tell.
bool platformMountNumber(const wchar_t* path, uint64_t* id);

// Reads the identity of any entry (a link as itself); false when it cannot be read.
bool platformEntryIdentity(const wchar_t* path, DirectoryIdentity* identity);

// Reads the identity of an open file; false when it cannot be read.
bool platformStreamIdentity(FILE* file, DirectoryIdentity* identity);

// Asks for a stop: the copy in progress stops at its next piece with
// COPY_STOPPED, and the engine makes no change after it. Safe from any
// thread and from a signal handler (the flag is a lock-free atomic).
void platformRequestStop();

// True once a stop was asked for, until platformClearStop; the one reader of the flag.
bool platformStopRequested();

// Forgets a stop asked for before.
void platformClearStop();

// Calls tick with data, on the copying thread, between the pieces of every
// file copy from now on, so that a front end hears from a long copy; null
// for none.
void platformOnCopyProgress(void (*tick)(void*), void* data);

// True when path itself is a symbolic link or a directory junction.
bool platformIsLink(const wchar_t* path);

// True when every listing marks links; false when a link may look like a plain directory.
bool platformLinksAreVisible();

// Reads the attribute word of path; false when it cannot be read.
bool platformReadAttributeWord(const wchar_t* path, uint32_t* word);

// Gives path the attribute word; false when that fails.
SystemResult platformWriteAttributeWord(const wchar_t* path, uint32_t word);

// Takes away what protects a file from change (read-only, hidden, system).
SystemResult platformClearProtection(const wchar_t* path);

// Creates one directory level, that others may not enter until its mode is
// given (POSIX), and that takes nothing of its folder's default ACL; false
// when it cannot be created.
SystemResult platformCreateDirectory(const wchar_t* path);

// Creates one directory level that only its owner may change (others may
// read and enter it as the process's mask of modes allows, never by its
// folder's default ACL); false when it cannot be created.
SystemResult platformCreateOwnerDirectory(const wchar_t* path);

// Renews the directory at path, in the guarded tree and not followed: a
// directory made as platformCreateDirectory makes one takes its name, and
// what the old one held moves into it, each entry as itself; the old one
// goes once empty. So the directory the run then gives its metadata is its
// own, and no handle of the old one reaches into it. Not done when it could
// not be made or what the old one held not moved (what moved stays in the
// new one). Windows: not done.
SystemResult platformRenewDirectory(const wchar_t* path);

// True when the system takes path whole (POSIX: shorter than PATH_MAX bytes;
// Windows: always, in its long form).
bool platformPathFits(const wchar_t* path);

// True when this process may add entries to the directory at path; false
// with the reason when it may not.
SystemResult platformMayAddTo(const wchar_t* path);

// True when the text alone (length units) names a drive: C: on Windows, /
// elsewhere. Nothing is asked of the system.
bool platformIsDriveName(const wchar_t* path, size_t length);

// True when the system reaches a root level (a drive name; on Windows also
// a share) as a removable, fixed or remote drive that can hold folders.
bool platformDriveHoldsFolders(const wchar_t* path);

// The path as the system calls take it. On Windows a path that resolves to
// MAX_PATH - 12 units or more gets the long-path prefix (\\?\ or \\?\UNC\)
// in front of its resolved form; every other path is handed over as given.
// Windows only: elsewhere paths reach the system whole.
std::wstring platformSystemPath(const wchar_t* path);

// Copies a plain file's contents, attributes and modification time over
// target through a temporary beside it, and what keep asks besides (the
// owner given before the mode, so that the set-user-ID and set-group-ID
// bits come only onto a copy of the source's owner); the target is replaced
// only by a complete copy. A source that is no plain file is not opened.
// COPY_KEPT_LESS: the copy stands, but its volume refused an attribute.
CopyResult platformCopyFile(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Reads the plain files at first and second side by side and sets *same to
// whether their contents are byte for byte alike; an entry that is no plain
// file (a link is not followed in the guarded tree) fails. A stop ends the
// reading: not done, FAILURE_STOPPED.
SystemResult platformSameContents(const wchar_t* first, const wchar_t* second, bool* same);

// What reading a file and its copy side by side found.
struct ContentComparison {
    bool same = false;                    // the contents are byte for byte alike
    ContentHash targetHash;               // the hash of the copy's contents (what its record is to tell)
    bool targetUnreadable = false;        // the copy could not be read (what a damaged disk does)
    uint64_t sourceIdentity = 0;          // the file's number on its volume
    int64_t sourceChangeSeconds = 0;      // the file's change time as it was read
    int32_t sourceChangeNanoseconds = 0;  // and the part below the second
    bool recordKnown = false;             // the copy carries a record of the program's own, one it trusts
    bool copyOthers = false;              // the copy is another user's than the process's (who may write its record)
    ContentRecord record;                 // that record
    bool recorded = false;                // recordWhenAlike: the copy was given its record just now
    long long bytesRead = 0;              // the bytes read of both
};

// Reads the plain file source and its copy target side by side, hashing
// the copy, and reads the copy's record: the hash, source identity and change time a copy
// written with KeptMetadata::record carries (an extended attribute
// "user.korvane.xxh3", an NTFS stream "korvane.xxh3"). A record is trusted
// only on a copy owned by the process's user or the source's owner, and of
// one name. recordWhenAlike: alike contents whose copy carries no record, or
// one that no longer tells them, are given it where the volume keeps one.
// A copy that cannot be opened or read once its source could is told so
// (targetUnreadable), not failed: it is damaged, and is to be written again.
// A link is never followed; a stop ends the reading (FAILURE_STOPPED).
SystemResult platformCompareContents(const wchar_t* source, const wchar_t* target, bool recordWhenAlike,
                                     ContentComparison* found);

// Nanoseconds between the modification times a file system of this name
// keeps (as the system names it: "FAT32" on Windows, "msdos" on Linux): 2
// seconds for FAT, 10 ms for exFAT; 0 when the name does not tell.
int64_t platformTimeStepOfFileSystem(const wchar_t* name);

// The step of the volume holding directory, in nanoseconds, as its file
// system's name tells it; 0 when the name does not tell.
int64_t platformVolumeTimeStep(const wchar_t* directory);

// True when each request to the volume holding directory waits on a network
// or on a server in user space (a share, a FUSE volume): requests pay off
// side by side there. False for a local disk, or when it cannot be told.
bool platformRequestsWait(const wchar_t* directory);

// Writes a temporary file in directory, gives it the modification time
// written (seconds since 1970 and nanoseconds), reads the time back into
// readSeconds and readNanoseconds and removes the file, giving directory
// back the times it had; false when the file could not be written, timed
// or read.
bool platformProbeModifiedTime(const wchar_t* directory, int64_t seconds, int32_t nanoseconds, int64_t* readSeconds,
                               int32_t* readNanoseconds);

// Where an entry named like a temporary of the program comes from, as the
// records of this user's runs tell it.
enum TemporaryOrigin {
    TEMPORARY_UNPROVEN,  // no record proves it the program's: an entry like any other
    TEMPORARY_IN_USE,    // a temporary of a run still going (this process's, or another run's of this user)
    TEMPORARY_LEFT       // a temporary a run now gone made and left: the program's own, swept silently
};

// Tells where the file or link at path (not followed) comes from: each run
// records each temporary it makes (by its identity, on Windows its
// folder's) before it could be left, and when it has gone; a name alone
// proves nothing, as any user may give a file any name.
TemporaryOrigin platformTemporaryOrigin(const wchar_t* path);

// Deletes a file; false when it stays.
SystemResult platformDeleteFile(const wchar_t* path);

// Removes an empty directory; false when it stays.
SystemResult platformRemoveDirectory(const wchar_t* path);

// Removes a link itself, never what it points to; false when it stays.
SystemResult platformRemoveLink(const wchar_t* path);

// Reads the text of the link at path, the link itself not followed; false
// when path is no link or cannot be read.
SystemResult platformReadLink(const wchar_t* path, std::wstring* text);

// Makes target a link with the text and modification time of the link at
// source, through a temporary beside target renamed over any file or link of
// that name (a directory of that name stays, and the copy fails).
CopyResult platformCopyLink(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Queries the entry at path itself, a link as the link (its owner and group).
bool platformQueryOwnEntry(const wchar_t* path, EntryStatus* status);

// True where copies keep what KeptMetadata names and a copy's mode whole
// (POSIX); Windows: false.
bool platformKeepsMetadata();

// True where the command-line front end copies symbolic links as links
// unless told to follow them, as the system's own copying tools do (POSIX);
// Windows: false, links are followed.
bool platformKeepsLinksByDefault();

// True when target, the copy of source, has not the owner, group or mode
// (permission, set-ID and sticky bits) a copy made now would have, as far as
// keep asks and this process may give them: set-ID bits only on a copy of
// the source's owner (set-group-ID: and group). A link is judged by its
// owner and group alone. Asks nothing of the system; Windows: false.
bool platformOwnModeDiffer(const EntryStatus& source, const EntryStatus& target, const KeptMetadata& keep);

// Compares the extended attributes and ACLs that keep asks for of source
// (links followed as a read of From follows them) and target (inside the
// guarded tree, never followed); *differ tells whether they differ, and
// *grants whether bringing a plain file's to source's would write one that
// only an administrator gives (trusted.*, security.*: a file capability).
// Not done when either cannot be read. Windows: none, never differing.
SystemResult platformExtrasDiffer(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep, bool* differ,
                                  bool* grants);

// Learns whether the volume holding directory (in the guarded tree) holds
// owners, where this process may give them and it is not known yet: a file
// made there, without a name where the system can, is given another owner
// and removed, the folder given back its times. A volume that refuses is
// taken by platformMendGrants as holding none from then on. False when it
// could not be tried. Windows: false.
bool platformProbeOwners(const wchar_t* directory);

// True when bringing the entry of To at path (status target) in place to the
// owner, group and mode a copy of source would have, as keep asks, would
// give contents that another user may have chosen what they may not take: a
// plain file another owner than it has (the source's where this process
// gives owners, else its own) or another group (where it gives groups), or
// a set-user-ID or set-group-ID bit by a change of its mode; a folder of
// another user's (not this process's) another owner, where this process
// gives owners. A volume that holds no owners (FAT) moves none. Such an
// entry is made anew: a file copied, a folder renewed. Windows: false.
bool platformMendGrants(const wchar_t* path, const EntryStatus& source, const EntryStatus& target,
                        const KeptMetadata& keep);

// Brings the metadata of target, an entry of the guarded tree that is not
// followed, to what a copy of source would have, in place: the owner and
// group, then the extended attributes and ACLs, then the mode, as keep asks
// (a link: its owner and group alone); the set-ID bits only once the owner
// is the source's, and cleared whenever it is not. An owner or mode the
// volume cannot hold is no failure; an attribute it refuses is, and the
// mode is brought all the same. An entry that platformMendGrants, or a
// privileged attribute of platformExtrasDiffer, says is to be made anew is
// not changed at all (FAILURE_GRANT_REFUSED), as it is found when opened.
// *changed tells whether target changed.
SystemResult platformWriteMetadata(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep,
                                   bool* changed);

// Gives the directory at path (the guarded root itself, or one below it,
// not followed) the modification time, its access time left as it is.
SystemResult platformWriteModifiedTime(const wchar_t* path, int64_t seconds, int32_t nanoseconds);

// Gives the plain file of one name at path (not followed), of identity
// expected, the modification time, its access time left as it is; a file
// of several names is not changed (FAILURE_NOT_OWN_FILE): the others' times
// would change with it; another file found there since is not changed
// (FAILURE_FOLDER_MOVED).
SystemResult platformWriteFileTime(const wchar_t* path, const DirectoryIdentity& expected, int64_t seconds,
                                   int32_t nanoseconds);

// Makes target, in the guarded tree, another name of the plain file at
// existing there, which must still be the entry of identity; through a
// temporary beside target renamed over any file or link of that name.
CopyResult platformLinkFile(const wchar_t* existing, const DirectoryIdentity& identity, const wchar_t* target);

// Writes into folded (its room reused) the key under which a file system
// that ignores case files a name (or a path: its separators stay): names
// with equal keys are one name there.
void platformFoldName(const wchar_t* name, std::wstring* folded);

// True when directory (while it is missing, the nearest directory above
// it) takes names equal but for case for one name. Windows: yes, unless the
// directory is marked case-sensitive; elsewhere only a directory or volume
// known to fold case (a casefold directory, FAT, a Windows share).
bool platformFoldsCase(const wchar_t* directory);

// True when a look-up of a name (length units) may reach an entry its
// directory holds under another name (Windows: a short name such as
// "PROGRA~1"); asks nothing of the system.
bool platformNameMayAlias(const wchar_t* name, size_t length);

// Reads the name under which the directory holds the entry path reaches
// (in its own case, or the long name behind a short one), the entry itself
// not followed; false when no entry is there or it cannot be read.
bool platformEntryName(const wchar_t* path, std::wstring* name);

// Reads the identity of the directory at path; false when it cannot be read.
bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity);

// Queries the directory at path, in a guarded tree never through a link
// and as the run holds it; false when no directory stands there or it
// cannot be queried.
bool platformQueryFolder(const wchar_t* path, EntryStatus* status);

// Opens the listing of directory (given with its trailing separator); null
// on failure, *reason telling why.
DirectoryListing* platformOpenListing(const wchar_t* directory, int* reason);

// Opens the listing of directory as platformOpenListing does, for a thread
// beside a run: by its path alone, its last name never a link, reading and
// changing nothing of the trees the run holds (their state is the run
// thread's); its entries' kinds as the system tells them.
DirectoryListing* platformOpenListingApart(const wchar_t* directory, int* reason);

// Hands over the next entry; false when none is left or listing fails.
bool platformNextEntry(DirectoryListing* listing, DirectoryEntry* entry);

// Closes a listing; not done when closing failed or the listing was cut
// short by a read error (not every entry was handed over).
SystemResult platformCloseListing(DirectoryListing* listing);

// Writes the current directory into buffer (room units); 0 on failure or no room.
size_t platformCurrentDirectory(wchar_t* buffer, size_t room);

// Opens, truncated and in binary mode, a file the program writes for itself
// (a run log, the settings file). Its last name is never followed and no
// other name of a file is written through: a link there, a file with several
// names, (POSIX) another user's file, a FIFO, a socket or a device is
// replaced by a new file made in its folder; a directory is refused. Made by a process running
// as root, a new file is its owner's alone. Null on failure, *reason telling why.
FILE* platformOpenOwnFile(const wchar_t* path, int* reason);

// Opens, to append to in binary mode, a file the program adds to run after
// run (the front end's log file). It is written only where it is a plain
// file of one name that is this process's user's own: a link in its place
// (FAILURE_LINK_IN_PLACE), another user's file or one of several names
// (FAILURE_NOT_OWN_FILE), and anything but a plain file are refused and
// left as they are, as what they hold is no one's to lose. A missing one is
// made, its owner's alone when the process runs as root. Null on failure,
// *reason telling why.
FILE* platformOpenOwnAppendFile(const wchar_t* path, int* reason);

// Writes count bytes to file and flushes them; not done when they could not
// be written whole.
SystemResult platformWriteBytes(FILE* file, const char* bytes, size_t count);

// Closes file; not done when what was written could not be kept.
SystemResult platformCloseFile(FILE* file);

// Opens a plain file for reading in binary mode; null on failure, or when
// path names a FIFO, a device or anything else that is no plain file,
// unless it is the process's own standard input (a pipe, /dev/stdin), which
// is opened with *stream set: its reader bounds what it takes of it.
FILE* platformOpenRead(const wchar_t* path, bool* stream, int* reason);

// The program's arguments as wide texts (argv[0] included); any name survives.
void platformCommandLine(int argc, char** argv, std::vector<std::wstring>* arguments);

// Standard streams for the functions below.
#define PLATFORM_STDIN 0
#define PLATFORM_STDOUT 1
#define PLATFORM_STDERR 2

// True when the standard stream is a terminal (console).
bool platformIsTerminal(int stream);

// The columns of the terminal behind a standard stream; 0 when it is no
// terminal or does not tell.
int platformTerminalColumns(int stream);

// True when the terminal behind a standard stream shows ANSI colour
// sequences, once asked to where the system wants asking (Windows consoles).
bool platformTerminalShowsColors(int stream);

// Lets a copy beyond the process's file size limit fail instead of ending the program.
void platformKeepRunningPastFileLimits();

// Opens the null device on each standard stream the program was started
// without, so that no file of its own takes its number; writes to such a
// stream then fail as writes to a closed one.
void platformGuardStandardStreams();

// Writes text to a standard stream: wide on a console, else in the locale's
// encoding; not done when it could not be written whole.
SystemResult platformWriteText(int stream, const wchar_t* text);

// Reads one line from standard input, without its line end; false at end of input.
bool platformReadLine(std::wstring* line);

// Milliseconds from an arbitrary start, never going back.
int64_t platformMilliseconds();

// Microseconds from an arbitrary start, never going back.
int64_t platformMicroseconds();

// Waits the milliseconds given.
void platformSleep(int milliseconds);

// Calls handler (once per signal) when the user interrupts the program (Ctrl+C).
void platformOnInterrupt(void (*handler)());

// What a version function of the platform came to.
enum VersionOutcome {
    VERSION_DONE,          // done
    VERSION_TAKEN,         // something already stands under the version's name: nothing was done
    VERSION_COPY_INSTEAD,  // not possible between these two places (another volume, or a volume
                           // without second names of a file): nothing was done; a copy is needed
    VERSION_FAILED         // any other failure
};

// How a version function ended, and why when it did not end done.
struct VersionResult {
    VersionOutcome outcome;  // VERSION_DONE, or how it failed
    int reason;              // why not (see platformReasonText); 0 when done
};

// Holds root, an existing directory outside the guarded tree, as the tree a
// run keeps versions in: until it is released, the version functions below
// reach its entries through directories opened without following links
// (Windows: looked at for links before each change). Not done when root
// cannot be opened.
SystemResult platformHoldVersionTree(const wchar_t* root);

// Lets go of the tree of platformHoldVersionTree.
void platformReleaseVersionTree();

// Makes one directory level for versions: in the guarded tree or the version
// tree as their other changes are made; elsewhere (the levels of a versions
// folder not made yet) as the path is spelt. ownerOnly: only its owner may
// enter it; otherwise others may enter it, never write in it (POSIX;
// Windows leaves a level to the rights it inherits).
// VERSION_TAKEN when anything stands there.
VersionResult platformMakeVersionDirectory(const wchar_t* path, bool ownerOnly);

// Gives entry, a file or link in the guarded tree (not followed), a second
// name at version in the guarded or the version tree, never replacing anything.
VersionResult platformLinkVersion(const wchar_t* entry, const wchar_t* version);

// Moves entry, any entry of the guarded tree (a directory with everything
// below it; a link as itself), to version in the guarded or the version
// tree, never replacing anything.
VersionResult platformMoveToVersion(const wchar_t* entry, const wchar_t* version);

// Copies entry, a file or link of the guarded tree (not followed), to version
// in the guarded or the version tree: contents, attributes and times, and
// what keep asks besides (a version that cannot hold it all is not made),
// written under a temporary beside version and named version only once
// complete, never replacing anything. A stop removes the temporary (COPY_STOPPED).
CopyResult platformCopyToVersion(const wchar_t* entry, const wchar_t* version, const KeptMetadata& keep);

// Deletes version, a file or link a version function made; not done when it stays.
SystemResult platformDeleteVersion(const wchar_t* version);

// Makes one directory level below a run folder, as the version functions
// make their changes, standing for the To directory like (in the guarded
// tree, not followed): made for its owner alone, then given like's owner,
// group and permission bits (no set-ID bit) before anything goes into it;
// for its owner alone where like is no directory or its owner and group
// cannot be given (POSIX; Windows leaves a level to the rights it inherits).
// VERSION_TAKEN when anything stands there.
VersionResult platformMakeVersionLevel(const wchar_t* path, const wchar_t* like);

// A run's hold on its own run folder, so that no other run's retention
// takes the folder while the run lives; its contents belong to the platform file.
struct RunFolderHold;

// Holds the run folder at path (in the version or guarded tree, not
// followed) until released or the process ends. Null, *reason telling why,
// when it cannot be held.
RunFolderHold* platformHoldRunFolder(const wchar_t* path, int* reason);

// Lets go of a hold of platformHoldRunFolder; null is no hold.
void platformReleaseRunFolder(RunFolderHold* hold);

// True when another process holds the run folder at path (platformHoldRunFolder).
bool platformRunFolderHeld(const wchar_t* path);

// Writes the mark name into the directory folder (in a held tree, not
// followed; elsewhere as spelt): a new plain file of the process's own
// holding text and then a line naming folder's own identity, made whole
// under a temporary and renamed over any file of that name, so that a mark
// carried to another folder is no mark there.
SystemResult platformWriteMark(const wchar_t* folder, const wchar_t* name, const std::string& text);

// Reads the mark name of the directory folder (in a held tree, not
// followed; elsewhere as spelt) into *text, without the identity line:
// only a mark platformWriteMark wrote for this very folder (a second name of
// it elsewhere names another folder), a plain file owned by this process's
// user or the administrator (POSIX). False when folder holds no such mark.
bool platformReadMark(const wchar_t* folder, const wchar_t* name, std::string* text);

// Reads an identity of the mount the directory at path (in a held tree, not
// followed; elsewhere as spelt) lies on: equal for the directories of one
// mount, different across a mount point, a bind mount of the same volume
// included (Windows: the volume's serial number). False when it cannot be read.
bool platformMountOf(const wchar_t* path, uint64_t* mount);

// True when a volume is mounted on the directory at path (in a held tree,
// not followed; elsewhere as spelt): the system names it a mount's root, or
// it lies on another mount than its parent (a bind mount of the same volume
// included; Windows: another volume than its parent's, a folder a volume is
// mounted on being a link the walks never enter). False when it cannot be told.
bool platformIsMountPoint(const wchar_t* path);

// True when a failure for this reason may pass when tried again a little
// later: an entry busy or in use by another program, a lock, a share or
// network that timed out.
bool platformErrorMayPass(int reason);

// True when a failure for this reason tells that a name on the path was
// not there: a folder not made yet, or one gone.
bool platformErrorIsMissing(int reason);

// A moment of the local calendar.
struct CalendarTime {
    int year;    // four digits
    int month;   // 1 to 12
    int day;     // 1 to 31
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 60
};

// Now, in whole seconds since 1970 UTC.
int64_t platformWallSeconds();

// The local calendar's reading of seconds since 1970 UTC; false when it has none.
bool platformLocalCalendar(int64_t seconds, CalendarTime* time);

// ---- Watches: what the system tells of changes below a folder, as they happen.

// A watch on one folder and everything below it; its contents belong to the platform file.
struct FolderWatch;

// What a watch told of one change (a WATCH_ kind).
enum WatchKind {
    WATCH_CHANGED,    // an entry was written, made, removed, renamed, or its attributes changed
    WATCH_FOLDER_IN,  // a folder came (made, or moved in): everything below it is new to the watch
    WATCH_LOST,       // changes may have been lost (a queue overflowed, a folder could not be watched)
    WATCH_ROOT_GONE,  // the watched folder itself went (removed, moved, unmounted)
    WATCH_MOUNTS,     // the system's mounts changed, or a folder on the watched one's path was renamed or
                      // removed: the path may name another folder now
    WATCH_UNMOUNTED   // the volume mounted on a folder below went: what was on it is not there
};

// One change a watch told, by the entry's path below the watched folder.
struct WatchNotice {
    int kind;           // a WATCH_ kind
    std::wstring path;  // the entry's path relative to the watched folder, separated by PATH_SEPARATOR;
                        // empty: the folder itself (WATCH_LOST: the whole tree may have changed)
    bool unwatched;     // WATCH_LOST for a folder the system does not watch (its limit, a path too
                        // long for it): to be walked now and then
    int reason = 0;     // with unwatched: the system's reason
};

// What one wait on a watch ended with.
enum WatchWait {
    WATCH_WAIT_NOTICES,  // notices were added
    WATCH_WAIT_TIMEOUT,  // the time given passed without a notice
    WATCH_WAIT_STOPPED,  // a stop was asked for (platformOnInterrupt's signal, or platformWakeWatch)
    WATCH_WAIT_FAILED    // the watch cannot be read any longer: *reason tells why
};

// Starts watching root and every folder below it that can be read, before
// anything is walked: a change made from now on is told. Null with the
// system's reason when root cannot be watched. Folders the system's limit
// leaves unwatched are told as WATCH_LOST notices, unwatched set.
// Links are never followed.
FolderWatch* platformOpenWatch(const wchar_t* root, int* reason);

// Waits at most milliseconds (negative: without end) for changes, and
// adds each to notices (new folders are watched before they are told).
WatchWait platformWaitWatch(FolderWatch* watch, int64_t milliseconds, std::vector<WatchNotice>* notices, int* reason);

// Tries again to watch the folder at relative (below the watched folder)
// and everything below it, which the system would not watch before; true
// when all of it is watched now.
bool platformWatchAgain(FolderWatch* watch, const wchar_t* relative);

// Ends a wait on any watch at once, as a stop does (from any thread).
void platformWakeWatch();

// Ends a watch.
void platformCloseWatch(FolderWatch* watch);

#endif
