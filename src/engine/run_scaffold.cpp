// The setting up both runs share, and the letting go of what they hold.
#include "engine/run_scaffold.h"

#include "engine/run_log.h"
#include "platform/platform.h"

TreesHeld::~TreesHeld() {
    platformReleaseTree();
    platformReleaseReadTree();
}

RunScaffold::RunScaffold(const RunOptions& options, RunTally* tally) : run(makeRun(options, *tally, &shared)) {}

void openRun(RunScaffold* scaffold) {
    beginRun(&scaffold->run);
    writeBanner(scaffold->run.options.dryRun);
}

int checkRunFolders(const WideString& from, const WideString& to, bool toMissing) {
    int refused = holdSource(from);
    if (refused != RUN_OK) return refused;
    return toMissing ? validateFoldersForNewTo(from, to) : validateFolders(from, to);
}

int prepareRunStores(RunScaffold* scaffold, const WideString& from, const WideString& to, bool toMissing) {
    if (toMissing) return RUN_OK;
    const RunOptions& options = scaffold->run.options;
    int refused = checkStores(options);
    if (refused != RUN_OK) return refused;
    refused = prepareVersions(options, from, to, &scaffold->versions);
    if (refused != RUN_OK) return refused;
    if (options.versionsFolder.length > 0) scaffold->run.versions = &scaffold->versions;
    return RUN_OK;
}

int startRunWork(RunScaffold* scaffold, const WideString& from, const WideString& to) {
    RunState* run = &scaffold->run;
    // A watch holds the lock for all its runs.
    int locked = run->options.lockHeld ? RUN_OK : lockDestination(to, run->options, &scaffold->lock);
    if (locked != RUN_OK) return locked;
    holdVersions(&scaffold->versions, *run->changes);
    startJobs(&scaffold->jobs, run, jobsFor(run->options.jobs, to, run->options.checksum || run->options.verify));
    writeLogLine(WideString(L"Start to copy [") + pathPair(from, to) + L"]...");
    writeEmptyLine();
    return RUN_OK;
}
