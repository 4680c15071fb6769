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
// worker sees it) unless a stop came first, and marks it done; ends once the
// queue closes and nothing waits.
void workOn(JobQueue* queue) {
    for (;;) {
        EntryJob* job = nullptr;
        {
            std::unique_lock<std::mutex> held(queue->lock);
            queue->wake.wait(held, [queue] { return queue->closing || !queue->waiting.empty(); });
            if (queue->waiting.empty()) return;
            job = takeJob(queue);
        }
        if (runStopRequested()) {
            job->cutByStop = true;
        } else {
            job->result = job->work(*queue->run, job->entry);
        }
        {
            std::lock_guard<std::mutex> held(queue->lock);
            job->done = true;
            queue->busy.erase(std::find(queue->busy.begin(), queue->busy.end(), job->group));
        }
        queue->finished.notify_all();
    }
}

// Tells, in turn, every job at the head of the queue whose work has ended.
void tellFinished(RunState* run, JobQueue* queue) {
    for (;;) {
        std::unique_ptr<EntryJob> job;
        {
            std::lock_guard<std::mutex> held(queue->lock);
            if (queue->untold.empty() || !queue->untold.front()->done) return;
            job = std::move(queue->untold.front());
            queue->untold.pop_front();
        }
        if (job->cutByStop || !job->tell) continue;
        queue->telling = true;
        job->tell(run, job.get());
        queue->telling = false;
    }
}

// Waits until the oldest untold job has ended, the front end answered meanwhile.
void waitForHead(RunState* run, JobQueue* queue) {
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
    if (!queue || queue->workers == 1) {
        if (job->work) {
            if (runStopRequested()) return;  // no change starts after a stop
            job->result = job->work(*run, job->entry);
        }
        if (!job->cutByStop && job->tell) job->tell(run, job);
        return;
    }
    bool queued = job->work != nullptr;
    auto owned = std::make_unique<EntryJob>(std::move(*job));
    {
        std::lock_guard<std::mutex> held(queue->lock);
        owned->done = !queued;
        if (queued) queue->waiting.push_back(owned.get());
        queue->untold.push_back(std::move(owned));
    }
    if (queued) queue->wake.notify_one();
    tellFinished(run, queue);
    while (queue->untold.size() > queue->ahead) {
        waitForHead(run, queue);
        tellFinished(run, queue);
    }
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
