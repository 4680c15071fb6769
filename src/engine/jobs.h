// The run's workers: the per-entry work of a run (queries and changes of
// To) runs on them side by side, and what each piece found is told on the
// run's own thread, in the order the walk handed the pieces over, so that a
// run tells the same lines in the same order whatever number of workers it
// has. With one worker nothing runs off the run's thread.
#ifndef KORVANE_ENGINE_JOBS_H
#define KORVANE_ENGINE_JOBS_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/run_context.h"
#include "engine/update_copy.h"
#include "engine/walker.h"
#include "text/wide_string.h"

struct EntryJob;

// A folder's time step (engine/folder_times.h), held by a job only through a pointer.
struct FolderTimeFrame;

// What a job is about: all that its work reads of it.
struct JobEntry {
    WideString entryPath;                                    // the entry (the source of an update)
    const WideString* walkRoot = nullptr;                    // the root of the tree it was found in; outlives the job
    const WideString* otherRoot = nullptr;                   // the root of the other tree; outlives the job
    WideString target;                                       // the entry's counterpart, where the caller names it
    ListedEntry listed{false, false, false, EntryStatus{}};  // what the listing told of the entry
    bool targetMissing = false;  // the run made the target's folder just now: nothing stands there
    bool targetListed = false;   // targetStatus holds what the listing of the target's folder told
    EntryStatus targetStatus{};  // the target's status, valid when targetListed
    int step = 0;                // what the work is to do, in its caller's terms
};

// What a job's work found and did, handed back for its telling.
struct JobResult {
    EntryUpdate update;              // an update: what it learned, planned and did
    SystemResult result{false, 0};   // a deletion: what it did
    KeptVersion kept;                // what keeping a version before a deletion found
    bool attempted = false;          // a deletion was due
    std::vector<TargetName> listed;  // a listing: the entries it gave
    bool listOpened = false;         // a listing: the directory could be listed
    bool listWhole = false;          // a listing: it went through to its end
};

// A job's work, on a worker: it gets only what a worker may touch, the run
// as const (its shared records reached through it, each under its lock)
// and the job's entry, and returns what it found and did. It tells nothing:
// every report takes the run as its own, which a worker does not have.
typedef JobResult (*JobWork)(const RunState& run, const JobEntry& entry);

// A job's telling: on the run's thread, in the order the jobs were handed over.
typedef void (*JobTell)(RunState* run, EntryJob* job);

// One entry's work and the telling of it.
struct EntryJob {
    JobWork work = nullptr;  // on a worker; null: done already, on the run's thread
    JobTell tell = nullptr;  // on the run's thread, in turn
    JobEntry entry;          // what the work reads
    JobResult result;        // what the work found and did (set by the caller where there is no work)
    // The run's thread's own, for the telling.
    std::wstring key;                             // the caller's own name for the entry
    uint64_t place = 0;                           // the caller's own number for the entry (a list's: where it lies)
    std::wstring spelling;                        // the name To holds the entry under, in another case, or empty
    void* data = nullptr;                         // the caller's own record
    std::vector<ListedName> names;                // names a listing the work takes is judged against
    std::shared_ptr<FolderTimeFrame> folderTime;  // a folder's time step: the frame its job and its end's share
    uint64_t group = 0;                           // the folder it changes: jobs of one folder wait on each other there
    bool isDirectory = false;                     // counted as a directory
    bool cutByStop = false;                       // a stop came before the work could start: nothing to tell
    bool done = false;                            // the work has ended (guarded by the queue's lock)
};

// Workers and the jobs handed over to them, not yet told.
struct JobQueue {
    int workers = 1;                               // 1: each job is done and told as it is handed over
    size_t ahead = 0;                              // jobs handed over and not yet told, at most
    std::deque<std::unique_ptr<EntryJob>> untold;  // in the order handed over
    std::vector<EntryJob*> pending;                // handed over, not yet given to the workers (the run's thread's)
    std::deque<EntryJob*> waiting;                 // given to the workers, not started yet, in that order
    std::vector<uint64_t> busy;                    // the groups of the jobs being worked on
    int idle = 0;                                  // workers waiting for a job
    std::atomic<int64_t> pace{0};                  // the jobs' time, in nanoseconds, the recent ones weighing most;
                                                   // under 50 us they are quick: given in handfuls
    std::mutex lock;                               // guards waiting, busy, idle, done and closing
    std::condition_variable wake;                  // a job waits, or the workers are to end
    std::condition_variable finished;              // a job's work ended
    bool closing = false;                          // the workers end once nothing waits
    bool telling = false;                          // a job is being told right now
    const RunState* run = nullptr;                 // the run the workers work for, as they see it
    std::vector<std::thread> threads;
    JobQueue() = default;
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;
    ~JobQueue();  // tells nothing more; ends and joins the workers
};

// Starts workers for run (one: none started) and makes them the run's.
void startJobs(JobQueue* queue, RunState* run, int workers);

// Hands job over: done and told now with one worker, else taken over and
// queued for a worker; every job whose turn has come is told. Waits,
// telling and keeping the front end answered, while too many are ahead.
void handOver(RunState* run, EntryJob* job);

// Waits for every job handed over for run, and tells each in turn. Anything
// the run tells itself, outside a job's telling (a line, a failure, a
// question), comes after these: it calls this first.
void settleJobs(RunState* run);

// Gives the workers every job handed over and still held back: called
// before the run's thread does something of its own that may wait.
void startHeldJobs(RunState* run);

// Tells what is left, then ends and joins the workers; the run goes on on its own thread.
void endJobs(RunState* run);

// The group of a job changing the folder that holds path: a file system
// makes the changes of one folder one after another, so workers take jobs
// of other folders meanwhile.
uint64_t folderGroup(const WideString& path);

// The workers for a run on a To Folder at to when asked for none in
// particular (0): more where each request waits on a network, one where
// the disk answers at once, unless the run reads contents (readsContents:
// compares or verifies them), where each core hashes.
int jobsFor(int asked, const WideString& to, bool readsContents);

#endif
