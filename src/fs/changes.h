// Every change the engine makes to the file system passes through here. In a
// dry run nothing is changed: each operation answers as the real one would,
// as far as that can be known, and remembers what it would have done. Each
// answers with its result, and a failure with its reason.
#ifndef KORVANE_FS_CHANGES_H
#define KORVANE_FS_CHANGES_H

#include <cstdint>
#include <string>

#include "platform/platform.h"

// Turns the dry run on or off; turning it on forgets what earlier runs simulated.
void setDryRun(bool on);

// True while changes are only simulated: the dry run's one owner.
bool isDryRun();

// True when a dry run has taken the entry at path away (deleted, removed,
// or below what it removed); a real run never has.
bool changeTookAway(const wchar_t* path);

// Creates one directory level.
SystemResult changeCreateDirectory(const wchar_t* path);

// Gives an entry an attribute word.
// madeNow: the directory at path was made by this change just now, which
// ends even after a stop, so that it never stands as the runner's alone.
SystemResult changeWriteAttributeWord(const wchar_t* path, uint32_t word, bool madeNow = false);

// Takes away what protects a file from change.
SystemResult changeClearProtection(const wchar_t* path);

// Copies a file over its target, with what keep asks besides.
CopyResult changeCopyFile(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Deletes a file.
SystemResult changeDeleteFile(const wchar_t* path);

// Removes an empty directory (in a dry run: one whose every entry would be gone).
SystemResult changeRemoveDirectory(const wchar_t* path);

// Removes a link itself.
SystemResult changeRemoveLink(const wchar_t* path);

// Makes target a copy of the link at source (not followed), with what keep asks besides.
CopyResult changeCopyLink(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep);

// Brings the metadata of target to source's in place; *changed tells
// whether anything changed (in a dry run: whether target would be changed).
// madeNow as for changeWriteAttributeWord.
SystemResult changeWriteMetadata(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep, bool* changed,
                                 bool madeNow = false);

// Renews a directory (see platformRenewDirectory): in a dry run, one that stands.
SystemResult changeRenewDirectory(const wchar_t* path);

// Gives a directory its modification time.
SystemResult changeWriteModifiedTime(const wchar_t* path, int64_t seconds, int32_t nanoseconds);

// Makes target another name of the file at existing, of identity.
CopyResult changeLinkFile(const wchar_t* existing, const DirectoryIdentity& identity, const wchar_t* target);

// Makes one level of a versions folder or below it, ownerOnly: for its owner
// alone (see platformMakeVersionDirectory).
VersionResult changeMakeVersionDirectory(const wchar_t* path, bool ownerOnly = false);

// Makes one level below a run folder standing for the To directory like
// (see platformMakeVersionLevel).
VersionResult changeMakeVersionLevel(const wchar_t* path, const wchar_t* like);

// Gives entry a second name at version (see platformLinkVersion).
VersionResult changeLinkVersion(const wchar_t* entry, const wchar_t* version);

// Moves entry to version (see platformMoveToVersion): in a dry run, entry is gone afterwards.
VersionResult changeMoveToVersion(const wchar_t* entry, const wchar_t* version);

// Copies entry to version, with what keep asks besides (see platformCopyToVersion).
CopyResult changeCopyToVersion(const wchar_t* entry, const wchar_t* version, const KeptMetadata& keep);

// Deletes a version that was made for a change that did not happen; done
// after a stop too, as it completes what was begun.
SystemResult changeDropVersion(const wchar_t* version);

// From now on a copy, deletion or removal that fails for a reason that may
// pass (platformErrorMayPass) is tried again, up to tries more times, after
// waitMilliseconds each; a stop ends the wait, and the last failure stands.
// Set before a run's workers start.
void setChangeRetries(int tries, int64_t waitMilliseconds);

// Starts a pass whose changes are all simulated, on top of what the run has
// changed or simulated so far, so that a run can count what it would do
// before it does it; endSimulatedPass forgets the pass's simulation. Only
// while no worker of the run has work.
void beginSimulatedPass();

// Ends the pass of beginSimulatedPass: changes are as real, or as
// simulated, as before it.
void endSimulatedPass();

// Learns whether the volume of directory holds owners (see
// platformProbeOwners); false in a dry run, after a stop, or when it cannot
// be done.
bool changeProbeOwners(const wchar_t* directory);

// Writes a file in directory with the modification time written, reads the
// time back and removes the file; false in a dry run, after a stop, or when
// it cannot be done.
bool changeProbeModifiedTime(const wchar_t* directory, int64_t seconds, int32_t nanoseconds, int64_t* readSeconds,
                             int32_t* readNanoseconds);

#endif
