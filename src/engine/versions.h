// Versions: what a run replaces or deletes in the To Folder is kept first,
// below the versions folder, in a folder of the run's own named by its start
// time, at its path below To; after the run, run folders past their time go.
#ifndef KORVANE_ENGINE_VERSIONS_H
#define KORVANE_ENGINE_VERSIONS_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "engine/kept_version.h"
#include "engine/run_context.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// Where one run keeps its versions, and what it has made there. The run's
// workers share it: what is made as the run goes is guarded by its lock.
struct VersionStore {
    WideString root;                    // the versions folder as the run reaches it: in To's spelling when inside To
    bool insideTo = false;              // the versions folder lies inside the To Folder
    WideString toFolder;                // the To Folder as the run spells it
    WideString runName;                 // the run folder's name: the run's start time, local
    WideString runFolder;               // the run's own folder once made (a dry run: once it would be), else empty
    bool rootStands = false;            // the versions folder stands (found, or made by this run)
    WideString madeIn;                  // inside To: the To folder in which the run made the versions
                                        // folder (or the first level on its way), else empty
    std::set<std::wstring> madeLevels;  // folders below runFolder known to stand
    std::mutex lock;                    // guards rootStands, runFolder and madeLevels once the run goes
};

// Lets go of a versions folder held as a tree of its own, however the run ends.
struct VersionsHeld {
    VersionsHeld() = default;
    VersionsHeld(const VersionsHeld&) = delete;
    VersionsHeld& operator=(const VersionsHeld&) = delete;
    ~VersionsHeld() { platformReleaseVersionTree(); }
};

// Sets store up for a run of from and to that keeps versions below
// options.versionsFolder; RUN_OK, store untouched, when none are asked for.
int prepareVersions(const RunOptions& options, const WideString& from, const WideString& to, VersionStore* store);

// Holds a versions folder outside To that stands, once To is guarded.
void holdVersions(VersionStore* store);

// True when path, a path of To as the run's walks spell it, is the versions folder or lies below it.
bool isVersionsPlace(const RunState* run, const WideString& path);

// True when path, a directory of To, holds the versions folder.
bool holdsVersions(const RunState* run, const WideString& path);

// Keeps the To file or link at target before it is replaced: KEEP_BESIDE,
// or KEEP_FAILED. Tells nothing: safe on a worker; *kept tells what it found.
// While the deletion guard counts, this and the keep functions below keep
// nothing (KEEP_NOT_ASKED): a count needs no versions.
KeepResult keepBeforeReplacing(RunState* run, const WideString& target, KeptVersion* kept);

// Keeps the To file or link at path before it is deleted: KEEP_MOVED,
// KEEP_BESIDE (a copy), or KEEP_FAILED. Tells nothing, as keepBeforeReplacing.
KeepResult keepBeforeDeleting(RunState* run, const WideString& path, KeptVersion* kept);

// Makes the place of the emptied To directory at path in the run folder
// before it is removed: KEEP_BESIDE, or KEEP_FAILED. Tells nothing.
KeepResult keepBeforeRemovingDirectory(RunState* run, const WideString& path, KeptVersion* kept);

// Moves the To directory at path, with everything below it, into the run
// folder in one change: KEEP_MOVED, KEEP_PER_ENTRY or KEEP_FAILED. Tells nothing.
KeepResult keepTreeWhole(RunState* run, const WideString& path, KeptVersion* kept);

// Deletes the version kept beside a To entry (KEEP_BESIDE) when its change did not happen.
void dropKept(const KeptVersion& kept);

// Tells of the version kept of the To entry at path: its line (logged when
// "Show Copy File" is on) and its count. On the run's thread.
void reportKept(RunState* run, const WideString& path);

// Tells that the version of the To entry at path could not be kept, as
// kept found: a failure of the entry. On the run's thread.
void reportVersionFailure(RunState* run, const WideString& path, const KeptVersion& kept);

// After a run that went through: removes the run folders of the versions
// folder beyond options.keepVersions newest or older than options.keepDays
// days, each told; only folders named as run folders, never one that is or
// holds To, From or the run log.
void expireVersions(RunState* run, const WideString& from, const WideString& to);

// True when name is a run folder's ("2026-12-08 013000"; "2026-12-08 013000-2"
// for the second run of that second).
bool isRunFolderName(const wchar_t* name);

// The name of the run folder of a run started at seconds since 1970 UTC, in local time.
WideString runFolderName(int64_t seconds);

#endif
