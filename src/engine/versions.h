// Versions: what a run replaces or deletes in the To Folder is kept first,
// below the versions folder, in a folder of the run's own named by its start
// time, at its path below To; after the run, run folders past their time go.
#ifndef KORVANE_ENGINE_VERSIONS_H
#define KORVANE_ENGINE_VERSIONS_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/kept_version.h"
#include "engine/run_context.h"
#include "platform/platform.h"
#include "text/wide_string.h"

// What a run folder records of its run beside its name, so that retention
// tells the folders of one job (one To Folder) from another's, and orders
// them as they happened, whatever the clock said.
struct RunRecord {
    DirectoryIdentity to{0, 0};  // the To Folder's identity: the job the run was of
    std::wstring toPath;         // the To Folder as a whole path, in the run's spelling
    int64_t started = 0;         // when the run started, seconds since 1970 UTC
    int64_t order = 0;           // the job's runs in the order they happened: one more than any before
    int64_t aged = 0;            // when it started by the job's own clock (see expireVersions); 0: not recorded
};

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
    RunRecord job;                      // the run's record, its order told once its folder is made
    RunFolderHold* hold = nullptr;      // the run's hold on its run folder, once made
    int recordFailure = 0;              // why the run folder could not be held to its record, or 0
    std::mutex lock;                    // guards rootStands, runFolder, madeLevels and the rest once the run goes

    VersionStore() = default;
    VersionStore(const VersionStore&) = delete;
    VersionStore& operator=(const VersionStore&) = delete;
    ~VersionStore() { platformReleaseRunFolder(hold); }
};

// The name of the mark a versions folder holds of itself.
extern const wchar_t* const kVersionsMarkName;

// The name of the record a run folder holds of its run.
extern const wchar_t* const kRunRecordName;

// True when name (one level, no separator) is one of the program's own
// names, kVersionsMarkName or kRunRecordName: a run never copies an entry
// of From so named.
bool isProgramsOwnName(const wchar_t* name);

// True when the directory at path is a versions folder: it holds the mark
// a versions folder writes of itself (not one carried there from elsewhere,
// nor one another user wrote).
bool isMarkedVersionsFolder(const WideString& path);

// Reads the job of a run of to (its identity and whole path) into record;
// false when To cannot be reached.
bool jobOfRun(const WideString& to, RunRecord* record);

// True when two records are of one job: the same To Folder by its whole
// path as the run resolved it (links and dots followed). An identity alone
// makes no two jobs one: device numbers are given again (two disks used on
// alternate nights through one loop device), and a disk plugged in again
// may come back under another; in doubt a run folder is no job's, and stays.
bool sameJob(const RunRecord& a, const RunRecord& b);

// Writes record into the run folder at folder, as a run does once it has
// made the folder and before it keeps anything there.
SystemResult writeRunRecord(const WideString& folder, const RunRecord& record);

// Reads the record of the run folder at folder; false when it holds none
// that the program wrote for that folder (a folder of an older version of
// the program, or one copied there).
bool readRunRecord(const WideString& folder, RunRecord* record);

// Reads what the versions folder at folder remembers of the job's last
// runs: when each started by the job's own clock, oldest first; false
// (times empty) when it remembers none of that job's.
bool readJobTimes(const WideString& folder, const RunRecord& job, std::vector<int64_t>* times);

// Writes times as what the versions folder at folder remembers of the job's last runs.
SystemResult writeJobTimes(const WideString& folder, const RunRecord& job, const std::vector<int64_t>& times);

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

// Holds a versions folder outside To that stands, once To is guarded, and
// marks a versions folder that stands as one; neither in a simulation (changes).
void holdVersions(VersionStore* store, const Changes& changes);

// True when path, a path of To as the run's walks spell it, is the versions folder or lies below it.
bool isVersionsPlace(const RunState* run, const WideString& path);

// True when path, a directory of To, holds the versions folder.
bool holdsVersions(const RunState* run, const WideString& path);

// Keeps the To file or link at target before it is replaced: KEEP_BESIDE,
// or KEEP_FAILED. Tells nothing: safe on a worker; *kept tells what it found.
// While the deletion guard counts, this and the keep functions below keep
// nothing (KEEP_NOT_ASKED): a count needs no versions.
KeepResult keepBeforeReplacing(const RunState& run, const WideString& target, KeptVersion* kept);

// Keeps the To file or link at path before it is deleted: KEEP_MOVED,
// KEEP_BESIDE (a copy), or KEEP_FAILED. Tells nothing, as keepBeforeReplacing.
KeepResult keepBeforeDeleting(const RunState& run, const WideString& path, KeptVersion* kept);

// Makes the place of the emptied To directory at path in the run folder
// before it is removed: KEEP_BESIDE, or KEEP_FAILED. Tells nothing.
KeepResult keepBeforeRemovingDirectory(const RunState& run, const WideString& path, KeptVersion* kept);

// Moves the To directory at path, with everything below it, into the run
// folder in one change: KEEP_MOVED, KEEP_PER_ENTRY or KEEP_FAILED. Tells nothing.
KeepResult keepTreeWhole(const RunState& run, const WideString& path, KeptVersion* kept);

// Deletes the version kept beside a To entry (KEEP_BESIDE) when its change
// did not happen, through the run's changes.
void dropKept(const Changes& changes, const KeptVersion& kept);

// Tells of the version kept of the To entry at path: its line (logged when
// "Show Copy File" is on) and its count. On the run's thread.
void reportKept(RunState* run, const WideString& path);

// Tells that the version of the To entry at path could not be kept, as
// kept found: a failure of the entry. On the run's thread.
void reportVersionFailure(RunState* run, const WideString& path, const KeptVersion& kept);

// After a run that went through: removes the run folders of the run's own
// job beyond options.keepVersions newest (by the order the runs happened)
// or older than options.keepDays days, each told; only folders named as
// run folders that record this job, never one that is or holds To, From or
// the run log, that a running job holds, that another volume is mounted
// in, or that is dated in the future (told as left, not removed by its age).
// Days are counted on the job's own clock: a run folder dated before an
// earlier run of the job takes that run's time, and tonight is at most
// twice the job's usual interval (the middle of its last runs' gaps, a
// day at least) past its last run, so a clock that ran ahead ages the
// versions by that much in one night at most (told: an SK: line naming
// the clock).
void expireVersions(RunState* run, const WideString& from, const WideString& to);

// True when name is a run folder's ("2026-12-08 013000"; "2026-12-08 013000-2"
// for the second run of that second).
bool isRunFolderName(const wchar_t* name);

// The name of the run folder of a run started at seconds since 1970 UTC, in local time.
WideString runFolderName(int64_t seconds);

#endif
