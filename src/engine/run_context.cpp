#include "engine/run_context.h"

#include "engine/walker.h"

RunContext runContext;

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
    if (runContext.host.entryDone) {
        runContext.host.entryDone(runContext.host.data, examined, runContext.updatedCount);
    }
}
