#include "engine/run_context.h"

#include "engine/walker.h"
#include "fs/changes.h"
#include "fs/time_step.h"

RunContext runContext;

namespace {

// The entries examined as last told to the front end.
long long lastExamined = 0;

// A long copy tells the front end that the run goes on, as far as it was.
void tickDuringCopy() {
    if (runContext.host.entryDone) {
        runContext.host.entryDone(runContext.host.data, lastExamined, runContext.updatedCount);
    }
}

}  // namespace

void beginRun() {
    setDryRun(runContext.dryRun);
    forgetTimeSteps();
    lastExamined = 0;
    platformOnCopyProgress(tickDuringCopy);
}

void resetRunContext() {
    if (runContext.logStream) std::fclose(runContext.logStream);
    RunContext fresh;
    fresh.host = runContext.host;
    fresh.appTitle = runContext.appTitle;
    runContext = fresh;
    clearRunStop();
}

void requestRunStop() { platformStopFlag = 1; }

bool runStopRequested() { return platformStopFlag != 0; }

void clearRunStop() { platformStopFlag = 0; }

void showStatus(int kind, const WideString& text) {
    if (runContext.host.showStatus) runContext.host.showStatus(runContext.host.data, kind, text.buffer);
}

void pumpMessages() {
    if (runContext.host.pumpOne) runContext.host.pumpOne(runContext.host.data);
}

bool askYesNo(const WideString& text) {
    return runContext.host.askYesNo && runContext.host.askYesNo(runContext.host.data, text.buffer);
}

long long entriesExamined() {
    const DirectoryWalker* walker = runContext.activeWalker;
    return walker ? static_cast<long long>(walker->directoryCount) + walker->fileCount : 0;
}

void noteEntryDone(long long examined) {
    lastExamined = examined;
    if (runContext.host.entryDone) {
        runContext.host.entryDone(runContext.host.data, examined, runContext.updatedCount);
    }
}
