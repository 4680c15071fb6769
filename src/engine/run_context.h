// The run state: the process-wide record that the runs, their handlers and
// the front ends share, the records of one run (its options, its tally),
// and the host record through which the engine reaches whatever front end
// runs it.
#ifndef KORVANE_ENGINE_RUN_CONTEXT_H
#define KORVANE_ENGINE_RUN_CONTEXT_H

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/checks.h"
#include "engine/pattern.h"
#include "engine/run_codes.h"
#include "fs/changes.h"
#include "fs/time_step.h"
#include "platform/platform.h"
#include "text/packed_text.h"
#include "text/wide_string.h"

// Kinds of what a run tells a front end through Host::reported.
enum ReportKind {
    REPORT_COPIED,   // a file (or, with copyLinks, a link) was copied: its "  CP: [" line
    REPORT_CREATED,  // a directory was created or given its source's attributes: its "  CP: [" line
    REPORT_DELETED,  // a file or link without counterpart was deleted: its "  DF: [" line
    REPORT_REMOVED,  // a directory without counterpart was removed: its "  RD: [" line
    REPORT_UPDATED,  // an entry's metadata alone (mode, owner, time...) was brought up to date in place: its "  MD: [" line
    REPORT_SKIPPED,  // an entry that is no plain file or directory was left alone: its "  SK: [" line
    REPORT_FAILED,   // an entry could not be brought up to date: its "! Error => " line
    REPORT_STOPPED,  // a walk stopped: path names the directory it could not read, when one
    REPORT_KEPT,     // a version of a To entry was kept before the entry changed: its "  KV: [" line
    REPORT_EXPIRED,  // a run folder of the versions folder was removed after the run: its "  XV: [" line
    REPORT_MOVED,    // a To entry From lacked was renamed to where From's same entry stands: its "  MV: [" line
    REPORT_NOTED,    // a line told with the changes, counted nowhere (why a move was not made)
    REPORT_WARNED    // a line told always, counted nowhere: what the user should look at (a damaged copy)
};

// One thing a run did (in a dry run: would do) or could not do.
struct RunReport {
    int kind;               // a REPORT_ kind
    const wchar_t* line;    // the line as the log writes it, with "Show Copy File" on
    const wchar_t* path;    // the entry concerned (the source of a copy), or the directory of a stop
    const wchar_t* reason;  // the system's words for a failure, or empty
    long long bytes;        // the bytes a copy wrote (0 for anything but a file copy)
    const wchar_t* target;  // the other path of a line that names two (a copy's target), or empty
};

// What a run has done so far, for a front end's figures.
struct RunTally {
    long long directories = 0;  // directories examined by the copy walk or listed
    long long files = 0;        // files (and links) examined by the copy walk or listed
    long long copied = 0;       // files and links copied
    long long created = 0;      // directories created or given their source's attributes
    long long deleted = 0;      // files, links and directories deleted by the clean-up
    long long updated = 0;      // entries whose metadata alone was brought up to date in place
    long long skipped = 0;      // entries left alone by a rule or for not being a plain file
    long long failed = 0;       // entries that failed
    long long bytes = 0;        // bytes copied
    long long kept = 0;         // entries kept as versions before they were replaced or deleted
    long long expired = 0;      // run folders of the versions folder removed after the run
    long long heldBack = 0;     // entries a mirror would have deleted when the deletion guard held them all back
    long long moved = 0;        // To entries a mirror renamed into place instead of copying and deleting
    long long severalNamesChanged = 0;  // files of several names a watch's batch brought over: their other
                                        // names may lie where the batch did not look

    long long replacesHeld = 0;  // files a run would have replaced when the replacement guard held them all back

    // Contents read and checked (checksum, verify).
    long long contentsCompared = 0;  // files read side by side with their copies
    long long bytesHashed = 0;       // bytes hashed: both sides read, copies hashed and read back
    long long verified = 0;          // copies read back that matched
    long long verifyFailed = 0;      // copies read back that did not match
    long long sourceDamaged = 0;     // sources changed without a write whose good copies were kept (rot held back)
    long long copyDamaged = 0;       // copies found damaged and written again
};

// What the engine needs of a front end: three plain functions and their datum,
// and optional progress and report functions.
struct Host {
    // Shows text on the status line with its kind (STATUS_INFO, _NOTICE, _ERROR);
    // returns once the text has been shown, so the caller may reuse it.
    void (*showStatus)(void* data, int kind, const wchar_t* text);
    // Asks a Yes/No question; true for Yes.
    bool (*askYesNo)(void* data, const wchar_t* text);
    // Lets the front end handle at most one waiting event; never waits.
    void (*pumpOne)(void* data);
    void* data;  // handed to each of the functions
    // Optional: told of each entry a run deals with, and now and then during
    // a long copy, with the entries examined so far and the changes made (for
    // a progress display); may be null.
    void (*entryDone)(void* data, long long examined, long long changed);
    // Optional: told of each change made (in a dry run: due), each entry
    // skipped for its kind, each failure with its reason and each stop of a
    // walk, whatever "Show Copy File" says; may be null. While it is set, a
    // failure of an entry is told here instead of through showStatus.
    void (*reported)(void* data, const RunReport* report);
    // Optional: asks a Yes/No question whose safe answer is No, the default
    // answer; true for Yes. Null: No.
    bool (*askCautious)(void* data, const wchar_t* text);
    // Optional: told of the entry the run turns to next, on the run's
    // thread (for a progress display); may be null.
    void (*entryAt)(void* data, const wchar_t* path) = nullptr;
};

// What a run does when it would replace more of To's files than it may.
enum ReplaceGuard {
    REPLACE_GUARD_OFF,   // replaces them
    REPLACE_GUARD_HOLD,  // replaces none of them: held back (RUN_REPLACES_HELD)
    REPLACE_GUARD_ASK    // asks the front end (askCautious); No ends the run as declined
};

// One rule, compiled for the matcher that never backtracks.
struct CompiledRule {
    std::regex pattern;   // the rule in the polynomial matcher's form
    std::string literal;  // text every match must contain (may be empty)
};

struct WatchScope;

// What a run is asked to do beyond the program's own settings, fixed before
// it starts: the front end fills it and hands it to the run.
struct RunOptions {
    bool synchronous = false;     // a mirror: after the copy walk, what From lacks is deleted from To
    bool ruleExcludes = false;    // the rules name what is left out rather than what is taken
    bool showCopyFile = false;    // each change is told, not only failures
    bool dryRun = false;          // change nothing; tell what a run would change
    long long modifyWindow = 0;   // modification times this many seconds apart compare equal
    bool copyLinks = false;       // links in From are copied as links, not followed
    bool rulesRelative = false;   // rules see the path below the walked root, from its separator
    bool waitForLock = false;     // wait for another run's lock of the To Folder instead of refusing
    bool toToBeMade = false;      // a dry run of a To Folder that does not stand yet and would be made first
    bool keepOwners = false;      // copies take their source's owner and group, as far as the process may give them
    bool keepXattrs = false;      // copies take their source's extended attributes
    bool keepAcls = false;        // copies take their source's ACLs (a folder's default ACL too)
    bool updateMetadata = false;  // a file or folder whose mode, or what else is kept, differs alone is
                                  // brought up to date in place; a copy's set-ID bits follow its owner
    bool folderTimes = false;     // a folder takes its source's modification time once its contents are done
    bool hardLinks = false;       // names of one file in From are made names of one file in To
    bool moves = false;           // a mirror renames in To what From holds under another name (engine/moves.h)
    bool checksum = false;        // files of one size are compared by their contents, whatever their times
    bool verify = false;          // each copy is read back and compared before it takes its name
    bool trustSource = false;     // checksum: a source whose contents changed without a write is copied all the same
    int jobs = 0;                 // workers for the per-entry work; 0: as suits the To Folder's volume
    WatchScope* scope = nullptr;  // a watch's batch: only these folders are looked at (engine/watch.h);
                                  // null: the whole tree; the run's thread adds to it a folder it
                                  // finds missing in To
    bool lockHeld = false;        // the caller holds the To Folder's lock for the run (a watch)
    long long guardBase = 0;      // files the replacement guard's share counts at least (a watch's
                                  // batch: those of its last whole pass)

    // The net under a mirror.
    WideString versionsFolder;        // what the run replaces or deletes is kept below it first; empty: nothing
    long long keepVersions = -1;      // after the run, run folders of versionsFolder beyond this many newest go
    long long keepDays = -1;          // after the run, run folders of versionsFolder older than this many days go
    long long maxDelete = -1;         // a mirror that would delete more entries deletes none of them (-1: any)
    bool refuseEmptySource = false;   // a mirror of a From that gives next to nothing is refused (engine/guards.h)
    int retries = 0;                  // a change failing for a reason that may pass is tried this many times more
    long long retryMilliseconds = 0;  // the wait before each of those tries

    int replaceGuard = REPLACE_GUARD_OFF;  // a run that would replace too many of To's files: a REPLACE_GUARD_
    long long maxReplace = -1;             // the most files a run may replace; -1: the guard's default share

    // A folder run's shell-pattern rules, in order: the first that matches an entry decides.
    std::vector<PathPattern> patterns;
};

// A key of an entry's identity, for the tables of hard links.
struct IdentityHash {
    // The hash of an identity.
    size_t operator()(const DirectoryIdentity& identity) const {
        return static_cast<size_t>(identity.index * 0x9E3779B97F4A7C15ULL ^ identity.volume);
    }
};

// Equality of identities, for the tables of hard links.
struct IdentityEqual {
    // True when both name one entry.
    bool operator()(const DirectoryIdentity& a, const DirectoryIdentity& b) const { return sameIdentity(a, b); }
};

// The copy a run made (or found) of the first name of a From file of several names.
struct FirstCopy {
    WideString target;           // its path in To
    DirectoryIdentity identity;  // its identity there, when known
    bool known;                  // identity holds it (a dry run that would make it does not know it)
};

// What a run with hardLinks knows of files of several names: memory grows
// with such files only. A worker's update of a file of one name may claim a
// To file while the run's thread follows the names of another: both tables
// are read and written under its lock.
struct LinkGroups {
    std::mutex lock;                                                                       // guards firsts and claims
    std::unordered_map<DirectoryIdentity, FirstCopy, IdentityHash, IdentityEqual> firsts;  // From file: its first copy
    std::unordered_map<DirectoryIdentity, DirectoryIdentity, IdentityHash, IdentityEqual>
        claims;  // a To file of several names: the From file whose copy it was found to be
};

// Where the run log lies and how writing it went: it lives from the log's
// opening to its closing, across the run, so that no change of the run
// touches the log or a folder holding it.
struct RunLog {
    bool placeKnown = false;                 // identity and folders hold the open log's place
    DirectoryIdentity identity{0, 0};        // the open run log file
    WideString fileName;                     // its name, after its folder's separator
    std::vector<DirectoryIdentity> folders;  // the folders holding it, innermost first
    WideString failure;                      // why it could not be written, or empty
};

// The process-wide run state: what the program's own design names, shared
// by the runs, their handlers and the front ends. A reset is one assignment
// of a fresh record, the host and the title kept. Everything of one run
// beyond it travels in that run's own records (RunOptions, RunTally, Run).
struct RunContext {
    Host host{};                        // the front end that runs the engine
    WideString appTitle{L"korvaneui"};  // program title: caption and log base name
    FILE* logStream = nullptr;          // the run log, or null when none is open
    RunLog log;                         // the open log's place and failure
    WideString messageText;             // text of the error, total or list line being written
    bool showCopyFile = false;          // "Show Copy File" was on for this run
    bool ruleActive = false;            // a rule was given to the current folder run
    bool ruleExcludes = false;          // the rules exclude the paths they match
    std::vector<CompiledRule> rules;    // the compiled rules; a path matches when any does
    bool hadErrors = false;             // a copy, delete or remove failed in this run
    int updatedCount = 0;               // changes made in this run: what its closing line counts
    bool changeAttempted = false;       // the last file operation found a change due
    PackedTexts listEntries;            // entries of the last list file read, in its order
    int listUpdatedCount = 0;           // entries the list run copied: what its closing line counts
};

// The process-wide run state.
extern RunContext runContext;

struct JobQueue;

// Where a run keeps its versions (engine/versions.h).
struct VersionStore;

// A mirror's index of new entries for moves (engine/moves.h).
struct MoveIndex;

// What a run's workers share with its thread and may change, each part
// under its own lock; made by whoever makes the run, and outliving it.
struct RunShared {
    Changes changes;   // how the run changes the file system: really or simulated, retried
    TimeSteps steps;   // the steps its volumes keep times in, as learned
    LinkGroups links;  // with hardLinks: the files of several names met so far
};

// One run in progress: what it was asked, what it has done, and what it
// found out for itself. The run makes it and hands it to every function
// that acts for it; its walkers carry it to their handlers as their data.
// A worker sees it only as const: it reads it, and changes nothing of it
// but the records its pointers reach, each guarded by its own lock.
struct RunState {
    const RunOptions& options;         // fixed before the run started
    RunTally& tally;                   // its counters, the breakdown of updatedCount; a front end reads them meanwhile
    Changes* changes = nullptr;        // how it changes the file system
    TimeSteps* steps = nullptr;        // what it learned of its volumes' clocks
    LinkGroups* links = nullptr;       // with hardLinks: the files of several names met so far
    bool replaceLinks = false;         // a mirror: a link, or an entry of another kind, in To facing a From entry goes
    bool sweepTemporaries = false;     // the copy walk removes dead runs' temporaries in To
    long long examined = 0;            // the entries dealt with so far, as last told to the front end
    JobQueue* jobs = nullptr;          // its workers (see engine/jobs.h), or null: all on the run's thread
    std::thread::id thread{};          // the run's own thread, the one that tells the front end anything
    PatternRules* patterns = nullptr;  // its shell-pattern rules and what they learned of folders; null: none
    MoveIndex* moves = nullptr;        // a mirror's new entries held for moves (engine/moves.h); null: none
    const std::atomic<bool>* holdingNew = nullptr;  // the moves' flag: new entries wait for them (workers read it)

    // The net under a mirror.
    VersionStore* versions = nullptr;           // where replaced and deleted entries are kept; null: they are not
    bool holdKindChanges = false;               // a To entry of another kind waits in heldKindChanges instead of going
    std::vector<WideString> heldKindChanges{};  // the From entries whose To entry of another kind waits
    bool counting = false;                      // changes are simulated and told to no one, deletions counted
    long long counted = 0;                      // the entries the counting pass found it would delete

    bool holdReplacements = false;               // a To file a copy would replace waits in heldReplacements
    bool replaying = false;                      // the held replacements are made now: read and counted before
    std::vector<WideString> heldReplacements{};  // the From files whose To file waits for the replacement guard
    long long comparedFiles = 0;                 // From files told so far whose To entry was a file
};

// In builds that check: ends the program unless called on run's own
// thread, the one that tells the front end anything. Each step that tells
// (a report, a job's telling, a note into runContext) checks it first.
inline void checkOnRunThread(const RunState& run) {
    static_cast<void>(run);  // looked at only in builds that check
    KORVANE_CHECK(std::this_thread::get_id() == run.thread);
}

// Makes a run of options counting into tally, not a mirror, on the calling
// thread, whose shared records are shared's: changes real or simulated as
// the options say, nothing known yet of any volume's clock or of any file
// of several names.
RunState makeRun(const RunOptions& options, RunTally& tally, RunShared* shared);

// A run of default options, no mirror, that owns its records: for the
// operations that act for no front end's run (the update and clean-up
// operations as the window program's design names them).
struct DefaultRun {
    RunOptions options;                               // the defaults
    RunTally tally;                                   // its counters
    RunShared shared;                                 // its shared records
    RunState run = makeRun(options, tally, &shared);  // the run itself
};

// Readies the process for run: every long copy ticks the front end as an
// entry does, until the run's RunEnd goes.
void beginRun(RunState* run);

// Ends what beginRun readied, however the run ends.
struct RunEnd {
    RunEnd() = default;
    RunEnd(const RunEnd&) = delete;
    RunEnd& operator=(const RunEnd&) = delete;
    ~RunEnd() { platformOnCopyProgress(nullptr, nullptr); }
};

// Puts the run state back as the process starts it, the host and title left as they are; forgets a stop.
void resetRunContext();

// Asks the run in progress to stop before its next change; safe in a signal handler and from any thread.
void requestRunStop();

// True once a stop was asked for and until the next run clears it.
bool runStopRequested();

// Forgets a stop asked for before; a front end calls it before it starts a run.
void clearRunStop();

// Sends text to the front end's status line with its kind.
void showStatus(int kind, const WideString& text);

// Lets the front end handle one waiting event, if any.
void pumpMessages();

// Asks the front end a Yes/No question; true for Yes.
bool askYesNo(const WideString& text);

// Asks the front end a Yes/No question whose safe answer, and default, is No; true for Yes.
bool askCautious(const WideString& text);

// Tells the front end that one more entry of run was dealt with, examined
// entries in all so far, and how far the run is.
void noteEntryDone(RunState* run, long long examined);

// Tells the front end the entry run turns to next.
void noteEntryAt(const RunState& run, const WideString& path);

#endif
