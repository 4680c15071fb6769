// The process-wide run state and its host calls; a run's records made and readied.
#include "engine/run_context.h"

RunContext runContext;

namespace {

// A long copy tells the front end that the run goes on, as far as it was.
void tickDuringCopy(void* data) {
    const RunState* run = static_cast<const RunState*>(data);
    if (std::this_thread::get_id() != run->thread) return;  // a worker's copy: the run's thread ticks meanwhile
    if (runContext.host.entryDone) {
        runContext.host.entryDone(runContext.host.data, run->examined, runContext.updatedCount);
    }
}

}  // namespace

RunState makeRun(const RunOptions& options, RunTally& tally, RunShared* shared) {
    setUpChanges(&shared->changes, options.dryRun, options.retries, options.retryMilliseconds);
    {
        std::lock_guard<std::mutex> held(shared->steps.lock);
        shared->steps.changes = &shared->changes;
        shared->steps.learned.clear();
    }
    {
        std::lock_guard<std::mutex> held(shared->links.lock);
        shared->links.firsts.clear();
        shared->links.claims.clear();
    }
    RunState run{options, tally};
    run.changes = &shared->changes;
    run.steps = &shared->steps;
    run.links = &shared->links;
    run.thread = std::this_thread::get_id();
    return run;
}

void beginRun(RunState* run) {
    run->examined = 0;
    platformOnCopyProgress(tickDuringCopy, run);
}

void resetRunContext() {
    if (runContext.logStream) std::fclose(runContext.logStream);
    RunContext fresh;
    fresh.host = runContext.host;
    fresh.appTitle = runContext.appTitle;
    runContext = fresh;
    clearRunStop();
}

void requestRunStop() { platformRequestStop(); }

bool runStopRequested() { return platformStopRequested(); }

void clearRunStop() { platformClearStop(); }

void showStatus(int kind, const WideString& text) {
    if (runContext.host.showStatus) runContext.host.showStatus(runContext.host.data, kind, text.buffer);
}

void pumpMessages() {
    if (runContext.host.pumpOne) runContext.host.pumpOne(runContext.host.data);
}

bool askYesNo(const WideString& text) {
    return runContext.host.askYesNo && runContext.host.askYesNo(runContext.host.data, text.buffer);
}

bool askCautious(const WideString& text) {
    return runContext.host.askCautious && runContext.host.askCautious(runContext.host.data, text.buffer);
}

void noteEntryDone(RunState* run, long long examined) {
    checkOnRunThread(*run);
    run->examined = examined;
    if (runContext.host.entryDone) {
        runContext.host.entryDone(runContext.host.data, examined, runContext.updatedCount);
    }
}

void noteEntryAt(const RunState& run, const WideString& path) {
    checkOnRunThread(run);
    if (runContext.host.entryAt) runContext.host.entryAt(runContext.host.data, path.buffer);
}
