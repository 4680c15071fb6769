#include "engine/copy_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/update_copy.h"

namespace {

// Copies outstanding at most: enough to keep the worker busy, few enough that
// the walk never runs far ahead of what it has reported.
constexpr size_t QUEUE_DEPTH = 256;

struct CopyJob {
    WideString source;
    WideString target;
    bool done;    // the worker has finished it
    bool copied;  // valid once done
};

// Jobs in the order the walk handed them over; the first `started` of them
// have been taken by the worker. Only the walk's thread removes jobs, and only
// finished ones from the front, so the job the worker holds stays in place.
struct CopyQueue {
    std::mutex lock;
    std::condition_variable workWaiting;
    std::condition_variable jobDone;
    std::deque<CopyJob> jobs;
    size_t started;
    bool stopping;
    bool active;
    CopyReporter reporter;
    std::thread worker;
};

CopyQueue queue;

void workerLoop() {
    std::unique_lock<std::mutex> guard(queue.lock);
    for (;;) {
        queue.workWaiting.wait(guard, [] { return queue.stopping || queue.started < queue.jobs.size(); });
        if (queue.started == queue.jobs.size()) return;  // stopping, and nothing left
        CopyJob& job = queue.jobs[queue.started++];
        guard.unlock();
        bool copied = copyFileOver(job.source, job.target);
        guard.lock();
        job.copied = copied;
        job.done = true;
        queue.jobDone.notify_one();
    }
}

// Reports finished jobs from the front; with wait, first waits until the front one is done.
void reportFront(bool wait) {
    for (;;) {
        std::unique_lock<std::mutex> guard(queue.lock);
        if (wait) queue.jobDone.wait(guard, [] { return queue.jobs.empty() || queue.jobs.front().done; });
        if (queue.jobs.empty() || !queue.jobs.front().done) return;
        CopyJob job = std::move(queue.jobs.front());
        queue.jobs.pop_front();
        --queue.started;
        guard.unlock();
        queue.reporter(job.source, job.target, job.copied);
        wait = false;
    }
}

}  // namespace

void startCopyQueue(CopyReporter reporter) {
    queue.jobs.clear();
    queue.started = 0;
    queue.stopping = false;
    queue.reporter = reporter;
    queue.active = true;
    queue.worker = std::thread(workerLoop);
}

bool copyQueueActive() { return queue.active; }

void queueCopy(const WideString& source, const WideString& target) {
    reportFinishedCopies();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            if (queue.jobs.size() < QUEUE_DEPTH) {
                queue.jobs.push_back(CopyJob{source, target, false, false});
                queue.workWaiting.notify_one();
                return;
            }
        }
        reportFront(true);
    }
}

void reportFinishedCopies() {
    if (queue.active) reportFront(false);
}

void finishQueuedCopies() {
    if (!queue.active) return;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            if (queue.jobs.empty()) return;
        }
        reportFront(true);
    }
}

void stopCopyQueue() {
    if (!queue.active) return;
    finishQueuedCopies();
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.stopping = true;
        queue.workWaiting.notify_one();
    }
    queue.worker.join();
    queue.active = false;
}
