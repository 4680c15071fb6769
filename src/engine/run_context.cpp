#include "engine/run_context.h"

#include "engine/walker.h"

RunContext runContext = {
    Host{nullptr, nullptr, nullptr, nullptr, nullptr},
    WideString(L"korvaneui"),
    nullptr,
    nullptr,
    WideString(),
    false,
    false,
    false,
    std::vector<CompiledRule>(),
    false,
    0,
    false,
    std::vector<WideString>(),
    std::vector<ListLineFault>(),
    0,
    nullptr,
};

void resetRunContext() {
    Host host = runContext.host;
    WideString title = runContext.appTitle;
    if (runContext.logStream) std::fclose(runContext.logStream);
    runContext.logStream = nullptr;
    runContext.logEcho = nullptr;
    runContext.messageText = WideString();
    runContext.showCopyFile = false;
    runContext.ruleActive = false;
    runContext.ruleExcludes = false;
    runContext.rules.clear();
    runContext.hadErrors = false;
    runContext.updatedCount = 0;
    runContext.changeAttempted = false;
    runContext.listEntries.clear();
    runContext.listFaults.clear();
    runContext.listUpdatedCount = 0;
    runContext.activeWalker = nullptr;
    runContext.host = host;
    runContext.appTitle = title;
}

void requestRunStop() {
    if (runContext.activeWalker) runContext.activeWalker->cancelled = true;
}

void showStatus(int kind, const WideString& text) {
    if (runContext.host.showStatus) runContext.host.showStatus(runContext.host.data, kind, text.buffer);
}

void pumpMessages() {
    if (runContext.host.pumpOne) runContext.host.pumpOne(runContext.host.data);
}

bool askYesNo(const WideString& text) {
    return runContext.host.askYesNo && runContext.host.askYesNo(runContext.host.data, text.buffer);
}

void noteEntryDone() {
    if (runContext.host.entryDone) runContext.host.entryDone(runContext.host.data);
}
