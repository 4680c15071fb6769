// The workers and the queue of jobs, told in the order they were handed over.
#include "engine/jobs.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace {

// Jobs ahead of the oldest one not yet told, per worker: enough to keep
// each busy on a folder of its own while the run's thread tells and the walk
// lists, few enough that memory follows the workers, not the tree.
const size_t kAheadPerWorker = 64;

// How far down the waiting jobs a worker looks for one of a folder no
// other worker is in.
const size_t kLookAhead = 256;

// Quick jobs (answers the system has at hand) cost less than waking a
// worker for each: the run's thread gives them to the workers in handfuls
// of this many, waking one. Slow ones (answers from a network, copies) go
// one by one, to as many workers as there are.
const size_t kBatch = 32;

// A job that takes less than this, on average, is a quick one.
const std::chrono::microseconds kQuickJob{50};

// Notes how long a job took: a quarter of its weight goes to the queue's
// pace, so that one slow job among quick ones (a copy, a network's answer)
// makes the queue slow at once, and it takes a dozen quick ones in a row to
// make it quick again. Lost updates between threads change nothing that matters.
void notePace(JobQueue* queue, std::chrono::steady_clock::duration took) {
    int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
    queue->pace.store((queue->pace.load(std::memory_order_relaxed) * 3 + nanos) / 4, std::memory_order_relaxed);
}

// Whether the queue's jobs are quick ones, by its pace.
bool quickJobs(const JobQueue& queue) {
    return queue.pace.load(std::memory_order_relaxed) <
           std::chrono::duration_cast<std::chrono::nanoseconds>(kQuickJob).count();
}

// Takes the waiting job to work on next: the oldest of a folder no other
// worker is changing, or else the oldest. Called with the queue's lock held.
EntryJob* takeJob(JobQueue* queue) {
    size_t chosen = 0;
    size_t looked = std::min(queue->waiting.size(), kLookAhead);
    for (size_t at = 0; at < looked; ++at) {
        uint64_t group = queue->waiting[at]->group;
        if (std::find(queue->busy.begin(), queue->busy.end(), group) == queue->busy.end()) {
            chosen = at;
            break;
        }
    }
    EntryJob* job = queue->waiting[chosen];
    queue->waiting.erase(queue->waiting.begin() + static_cast<std::ptrdiff_t>(chosen));
    queue->busy.push_back(job->group);
    return job;
}

// How long the run's thread waits for a worker before it lets the front
// end handle its events again.
const std::chrono::milliseconds kPumpEvery{25};

// A worker: takes the oldest waiting job, does its work (with the run as a
// worker sees it) unless a stop came first, and marks it done; ends once
// the queue closes and nothing waits. Slow jobs each wake a worker more
// while any waits; quick ones are left to the workers awake.
void workOn(JobQueue* queue) {
    for (;;) {
        EntryJob* job = nullptr;
        bool wakeOther = false;
        {
            std::unique_lock<std::mutex> held(queue->lock);
            if (!queue->closing && queue->waiting.empty()) {
                ++queue->idle;
                queue->wake.wait(held, [queue] { return queue->closing || !queue->waiting.empty(); });
                --queue->idle;
            }
            if (queue->waiting.empty()) return;
            job = takeJob(queue);
            wakeOther = !queue->waiting.empty() && queue->idle > 0 && !quickJobs(*queue);
        }
        if (wakeOther) queue->wake.notify_one();
        auto started = std::chrono::steady_clock::now();
        if (runStopRequested()) {
            job->cutByStop = true;
        } else {
            job->result = job->work(*queue->run, job->entry);
        }
        auto took = std::chrono::steady_clock::now() - started;
        {
            // Once done, the job is the run's thread's again: not touched here after.
            std::lock_guard<std::mutex> held(queue->lock);
            job->done = true;
            queue->busy.erase(std::find(queue->busy.begin(), queue->busy.end(), job->group));
        }
        notePace(queue, took);
        queue->finished.notify_all();
    }
}

// Gives the workers the jobs held back, waking as many as there are jobs for.
void giveHeldJobs(JobQueue* queue) {
    if (queue->pending.empty()) return;
    int idle = 0;
    {
        std::lock_guard<std::mutex> held(queue->lock);
        queue->waiting.insert(queue->waiting.end(), queue->pending.begin(), queue->pending.end());
        idle = queue->idle;
    }
    if (idle > 1 && queue->pending.size() > 1 && !quickJobs(*queue)) {
        queue->wake.notify_all();
    } else if (idle > 0) {
        queue->wake.notify_one();
    }
    queue->pending.clear();
}

// Tells, in turn, every job at the head of the queue whose work has ended.
void tellFinished(RunState* run, JobQueue* queue) {
    for (;;) {
        size_t ended = 0;
        {
            std::lock_guard<std::mutex> held(queue->lock);
            while (ended < queue->untold.size() && queue->untold[ended]->done) ++ended;
        }
        if (ended == 0) return;
        // The ended jobs are the run's thread's alone: told without the lock.
        for (size_t count = 0; count < ended; ++count) {
            std::unique_ptr<EntryJob> job = std::move(queue->untold.front());
            queue->untold.pop_front();
            if (job->cutByStop || !job->tell) continue;
            queue->telling = true;
            job->tell(run, job.get());
            queue->telling = false;
        }
    }
}

// Waits until the oldest untold job has ended, the front end answered
// meanwhile; what was held back goes to the workers first.
void waitForHead(RunState* run, JobQueue* queue) {
    giveHeldJobs(queue);
    std::unique_lock<std::mutex> held(queue->lock);
    while (!queue->untold.empty() && !queue->untold.front()->done) {
        if (queue->finished.wait_for(held, kPumpEvery) == std::cv_status::timeout) {
            held.unlock();
            noteEntryDone(run, run->examined);
            pumpMessages();
            held.lock();
        }
    }
}

}  // namespace

namespace {

void joinWorkers(JobQueue* queue) {
    {
        std::lock_guard<std::mutex> held(queue->lock);
        queue->closing = true;
    }
    queue->wake.notify_all();
    for (std::thread& thread : queue->threads) thread.join();
    queue->threads.clear();
}

}  // namespace

JobQueue::~JobQueue() { joinWorkers(this); }

void endJobs(RunState* run) {
    checkOnRunThread(*run);
    JobQueue* queue = run->jobs;
    if (!queue) return;
    settleJobs(run);
    joinWorkers(queue);
    queue->workers = 1;
    run->jobs = nullptr;
}

void startJobs(JobQueue* queue, RunState* run, int workers) {
    queue->run = run;
    queue->workers = workers < 1 ? 1 : workers;
    queue->ahead = kAheadPerWorker * static_cast<size_t>(queue->workers);
    run->jobs = queue;
    if (queue->workers == 1) return;
    for (int i = 0; i < queue->workers; ++i) queue->threads.emplace_back(workOn, queue);
}

void handOver(RunState* run, EntryJob* job) {
    checkOnRunThread(*run);
    JobQueue* queue = run->jobs;
    bool several = queue && queue->workers > 1;
    // With nothing in flight, a quick job is done here, as one worker would:
    // handing it over would cost more than the job. Its time tells whether
    // the next is quick too.
    bool here = !several || (queue->untold.empty() && (!job->work || quickJobs(*queue)));
    if (here) {
        if (job->work) {
            if (runStopRequested()) return;  // no change starts after a stop
            auto started = std::chrono::steady_clock::now();
            job->result = job->work(*run, job->entry);
            if (several) notePace(queue, std::chrono::steady_clock::now() - started);
        }
        if (!job->cutByStop && job->tell) job->tell(run, job);
        return;
    }
    bool queued = job->work != nullptr;
    auto owned = std::make_unique<EntryJob>(std::move(*job));
    // No worker sees the job before it is given to them, under the lock.
    owned->done = !queued;
    if (queued) queue->pending.push_back(owned.get());
    queue->untold.push_back(std::move(owned));
    if (queue->pending.size() >= (quickJobs(*queue) ? kBatch : 1)) giveHeldJobs(queue);
    tellFinished(run, queue);
    while (queue->untold.size() > queue->ahead) {
        waitForHead(run, queue);
        tellFinished(run, queue);
    }
}

void startHeldJobs(RunState* run) {
    checkOnRunThread(*run);
    if (run->jobs) giveHeldJobs(run->jobs);
}

void settleJobs(RunState* run) {
    checkOnRunThread(*run);
    JobQueue* queue = run->jobs;
    if (!queue || queue->telling) return;
    while (!queue->untold.empty()) {
        waitForHead(run, queue);
        tellFinished(run, queue);
    }
}

uint64_t folderGroup(const WideString& path) {
    // FNV-1a over the folder's part of the path.
    uint64_t hash = 14695981039346656037ULL;
    int32_t cut = path.FindLastSeparator();
    for (int32_t i = 0; i < cut; ++i) {
        hash ^= static_cast<uint64_t>(path.buffer[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

int jobsFor(int asked, const WideString& to, bool readsContents) {
    if (asked > 0) return asked;
    if (platformRequestsWait(to.buffer)) return 8;
    if (!readsContents) return 1;
    // Reading and hashing contents keeps a core busy: one worker per core, four at most.
    unsigned cores = std::thread::hardware_concurrency();
    return cores < 2 ? 2 : cores > 4 ? 4 : static_cast<int>(cores);
}
