// Every change the engine makes to the file system passes through here. In a
// simulation (a dry run, or a count before a run changes anything) nothing
// is changed: each operation answers as the real one would, as far as that
// can be known, and remembers what it would have done. Each answers with
// its result, and a failure with its reason.
#ifndef KORVANE_FS_CHANGES_H
#define KORVANE_FS_CHANGES_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"

// How one run changes the file system: for real, or in a simulation that
// remembers what it would have done, so that later changes answer as they
// would after it; and how often a change that may pass is tried again. The
// run owns it and hands it to every change it makes; its workers share it,
// each simulated change made whole under its lock.
struct Changes {
    bool simulated = false;          // nothing is changed: each change answers as the real one would
    int retries = 0;                 // a change failing for a reason that may pass is tried this many times more
    int64_t retryMilliseconds = 0;   // the wait before each of those tries
    mutable std::mutex lock;         // guards created and removed
    std::set<std::wstring> created;  // directories the simulation would have made
    std::set<std::wstring> removed;  // entries it would have deleted or removed

    Changes() = default;
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;
};

// Sets changes up for a run: simulated (a dry run) or real, a change that
// may pass tried tries more times after waitMilliseconds each (a stop ends
// the wait, and the last failure stands); nothing simulated yet.
void setUpChanges(Changes* changes, bool simulated, int tries, int64_t waitMilliseconds);

// Sets pass up as a simulation on top of what under has changed or
// simulated so far, so that a run can count what it would do before it
// does it; under stays as it was. Only while no worker of the run has work.
void simulateOnTop(Changes* pass, const Changes& under);

// True when a simulation has taken the entry at path away (deleted,
// removed, or below what it removed); real changes never have.
bool changeTookAway(const Changes& changes, const wchar_t* path);

// Creates one directory level.
SystemResult changeCreateDirectory(Changes* changes, const wchar_t* path);

// Gives an entry an attribute word.
// madeNow: the directory at path was made by this change just now, which
// ends even after a stop, so that it never stands as the runner's alone.
SystemResult changeWriteAttributeWord(Changes* changes, const wchar_t* path, uint32_t word, bool madeNow = false);

// Takes away what protects a file from change.
SystemResult changeClearProtection(Changes* changes, const wchar_t* path);

// Copies a file over its target, with what keep asks besides.
CopyResult changeCopyFile(Changes* changes, const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Deletes a file.
SystemResult changeDeleteFile(Changes* changes, const wchar_t* path);

// Counts the deletion of a file a listing has just shown: where simulated,
// it stands unless a simulated change took it away, and nothing is asked
// (a share answers each question in turn); deleted as changeDeleteFile otherwise.
SystemResult changeDeleteListedFile(Changes* changes, const wchar_t* path);

// Removes an empty directory (in a dry run: one whose every entry would be gone).
SystemResult changeRemoveDirectory(Changes* changes, const wchar_t* path);

// Removes a link itself.
SystemResult changeRemoveLink(Changes* changes, const wchar_t* path);

// Makes target a copy of the link at source (not followed), with what keep asks besides.
CopyResult changeCopyLink(Changes* changes, const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Brings the metadata of target to source's in place; *changed tells
// whether anything changed (in a dry run: whether target would be changed).
// madeNow as for changeWriteAttributeWord.
SystemResult changeWriteMetadata(Changes* changes, const wchar_t* source, const wchar_t* target,
                                 const KeptMetadata& keep, bool* changed, bool madeNow = false);

// Renews a directory (see platformRenewDirectory): in a dry run, one that stands.
SystemResult changeRenewDirectory(Changes* changes, const wchar_t* path);

// Gives a directory its modification time.
SystemResult changeWriteModifiedTime(Changes* changes, const wchar_t* path, int64_t seconds, int32_t nanoseconds);

// Gives a plain file its modification time (see platformWriteFileTime): in a dry run, one that stands.
SystemResult changeWriteFileTime(Changes* changes, const wchar_t* path, const DirectoryIdentity& expected,
                                 int64_t seconds, int32_t nanoseconds);

// Makes target another name of the file at existing, of identity.
CopyResult changeLinkFile(Changes* changes, const wchar_t* existing, const DirectoryIdentity& identity,
                          const wchar_t* target);

// Makes one level of a versions folder or below it, ownerOnly: for its owner
// alone (see platformMakeVersionDirectory).
VersionResult changeMakeVersionDirectory(Changes* changes, const wchar_t* path, bool ownerOnly = false);

// Makes one level below a run folder standing for the To directory like
// (see platformMakeVersionLevel).
VersionResult changeMakeVersionLevel(Changes* changes, const wchar_t* path, const wchar_t* like);

// Gives entry a second name at version (see platformLinkVersion).
VersionResult changeLinkVersion(Changes* changes, const wchar_t* entry, const wchar_t* version);

// Moves entry to version (see platformMoveToVersion): in a dry run, entry is gone afterwards.
VersionResult changeMoveToVersion(Changes* changes, const wchar_t* entry, const wchar_t* version);

// Renames entry, any entry of the guarded tree (a folder with all below it,
// a link as itself), to target in it, never replacing anything: in a dry
// run, entry is gone afterwards. VERSION_COPY_INSTEAD: another volume.
VersionResult changeMoveEntry(Changes* changes, const wchar_t* entry, const wchar_t* target);

// Copies entry to version, with what keep asks besides (see platformCopyToVersion).
CopyResult changeCopyToVersion(Changes* changes, const wchar_t* entry, const wchar_t* version,
                               const KeptMetadata& keep);

// Deletes a version that was made for a change that did not happen; done
// after a stop too, as it completes what was begun.
SystemResult changeDropVersion(const Changes& changes, const wchar_t* version);

// Learns whether the volume of directory holds owners (see
// platformProbeOwners); false in a dry run, after a stop, or when it cannot
// be done.
bool changeProbeOwners(const Changes& changes, const wchar_t* directory);

// Writes a file in directory with the modification time written, reads the
// time back and removes the file; false in a dry run, after a stop, or when
// it cannot be done.
bool changeProbeModifiedTime(const Changes& changes, const wchar_t* directory, int64_t seconds, int32_t nanoseconds,
                             int64_t* readSeconds, int32_t* readNanoseconds);

#endif
