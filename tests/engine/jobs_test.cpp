// The job queue: every job told once, in the order handed over, whatever the
// workers and however long each job takes; held jobs start without a settle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/jobs.h"
#include "engine/run_context.h"

namespace {

// How long a job's work takes, by its step: quick ones, slow ones (a
// network's answer), and none (told where handed over).
enum Pace { PACE_QUICK, PACE_SLOW, PACE_NONE };

std::atomic<int> started{0};

JobResult paced(const RunState&, const JobEntry& entry) {
    ++started;
    if (entry.step % 4 == PACE_SLOW) std::this_thread::sleep_for(std::chrono::microseconds(300));
    JobResult result;
    result.attempted = true;
    return result;
}

void noteTold(RunState*, EntryJob* job) {
    auto* told = static_cast<std::vector<int>*>(job->data);
    told->push_back(job->result.attempted || job->entry.step % 4 == PACE_NONE ? job->entry.step / 4 : -1);
}

struct QueuedRun {
    RunOptions options;
    RunTally tally;
    RunState state{options, tally};
    JobQueue queue;
    explicit QueuedRun(int workers) {
        state.thread = std::this_thread::get_id();
        startJobs(&queue, &state, workers);
    }
};

// Hands job number index over at the pace given; its folder is one of a few.
void handOverPaced(QueuedRun* run, std::vector<int>* told, int index, Pace pace) {
    EntryJob job;
    job.work = pace == PACE_NONE ? nullptr : paced;
    job.tell = noteTold;
    job.data = told;
    job.entry.step = index * 4 + pace;
    job.group = static_cast<uint64_t>(index / 7 % 5);
    handOver(&run->state, &job);
}

}  // namespace

// Quick jobs go in handfuls and slow ones one by one, and the queue turns
// from one to the other as the jobs do: none is lost, told twice or out of turn.
TEST(Jobs, EveryJobToldOnceInTurnWhateverTheWorkersAndPace) {
    struct Mix {
        const char* name;
        Pace (*pace)(int index);
    };
    const Mix mixes[] = {
        {"all quick", [](int) { return PACE_QUICK; }},
        {"all slow", [](int) { return PACE_SLOW; }},
        {"quick turning slow", [](int index) { return index < 300 ? PACE_QUICK : PACE_SLOW; }},
        {"slow turning quick", [](int index) { return index < 300 ? PACE_SLOW : PACE_QUICK; }},
        {"mixed, some told in place",
         [](int index) { return index % 11 == 0  ? PACE_NONE
                                : index % 3 == 0 ? PACE_SLOW
                                                 : PACE_QUICK; }},
    };
    for (const Mix& mix : mixes) {
        for (int workers : {1, 2, 8}) {
            SCOPED_TRACE(std::string(mix.name) + ", workers " + std::to_string(workers));
            const int count = 600;
            std::vector<int> told;
            {
                QueuedRun run(workers);
                for (int index = 0; index < count; ++index) handOverPaced(&run, &told, index, mix.pace(index));
                endJobs(&run.state);
            }
            ASSERT_EQ(told.size(), static_cast<size_t>(count));
            for (int index = 0; index < count; ++index) ASSERT_EQ(told[index], index);
        }
    }
}

// A handful held back for the workers starts once the run's thread is
// about to wait on something of its own, without anything being settled;
// a slow job in flight holds none of them back.
TEST(Jobs, HeldJobsStartBeforeTheRunsThreadWaits) {
    static std::atomic<bool> open{false};
    std::vector<int> told;
    QueuedRun run(2);
    // A slow job in flight on one worker, holding it until the gate opens.
    run.queue.pace = 1000000;  // a millisecond a job: slow
    EntryJob gate;
    gate.work = [](const RunState&, const JobEntry&) {
        while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        JobResult result;
        result.attempted = true;
        return result;
    };
    gate.tell = noteTold;
    gate.data = &told;
    handOver(&run.state, &gate);
    // Quick ones behind it are held for a handful, then given to the other worker.
    run.queue.pace = 0;
    started = 0;
    for (int index = 1; index <= 3; ++index) handOverPaced(&run, &told, index, PACE_QUICK);
    startHeldJobs(&run.state);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started < 3 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(started.load(), 3);
    open = true;
    endJobs(&run.state);
    EXPECT_EQ(told, (std::vector<int>{0, 1, 2, 3}));
}

// With nothing in flight quick jobs are done on the run's thread, as one
// worker would; a slow one goes to the workers, and the next after it too.
TEST(Jobs, QuickJobsWithNothingInFlightAreDoneInPlace) {
    static std::thread::id ranOn[3];
    QueuedRun run(4);
    for (int index = 0; index < 3; ++index) {
        EntryJob job;
        job.work = [](const RunState&, const JobEntry& entry) {
            if (entry.step == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ranOn[entry.step] = std::this_thread::get_id();
            return JobResult();
        };
        job.entry.step = index;
        handOver(&run.state, &job);
    }
    endJobs(&run.state);
    EXPECT_EQ(ranOn[0], std::this_thread::get_id());  // quick, nothing in flight
    EXPECT_EQ(ranOn[1], std::this_thread::get_id());  // not known to be slow before it ran
    EXPECT_NE(ranOn[2], std::this_thread::get_id());  // after a slow one: handed over
}
