// The options read into the terminal's behaviour and a run's options.
#include "cli/run_options.h"

#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "platform/platform.h"

void installTerminal(Terminal* terminal, const CliOptions& options) {
    terminal->askable = platformIsTerminal(PLATFORM_STDIN) && platformIsTerminal(PLATFORM_STDERR);
    terminal->yes = options.yes || options.dryRun;
    terminal->verbose = (options.show || options.dryRun) && !options.quiet;
    terminal->progress = !terminal->verbose && !options.quiet && platformIsTerminal(PLATFORM_STDERR);
    terminal->keepFailures = options.json;
    terminal->listStream = options.json ? PLATFORM_STDERR : PLATFORM_STDOUT;
    runContext.host = terminalHost(terminal);
    resetRunContext();
}

RunOptions runOptionsOf(const CliOptions& options) {
    RunOptions runOptions;
    runOptions.dryRun = options.dryRun;
    runOptions.modifyWindow = options.modifyWindow;
    // Links stay links where the system's own tools keep them so (Linux), unless -L follows them.
    runOptions.copyLinks = options.links || (platformKeepsLinksByDefault() && !options.copyLinks);
    runOptions.rulesRelative = options.relativeRules;
    runOptions.waitForLock = options.waitLock;
    // What a copy keeps beyond contents, modes and file times, where the
    // system keeps it: owners, a mode changed alone, further names, attributes.
    bool keeps = platformKeepsMetadata();
    runOptions.updateMetadata = keeps;
    runOptions.keepOwners = keeps && !options.noOwner;
    runOptions.hardLinks = keeps && options.hardLinks;
    runOptions.keepXattrs = keeps && options.xattrs;
    runOptions.keepAcls = keeps && options.acls;
    runOptions.folderTimes = true;
    runOptions.jobs = options.jobs;
    runOptions.versionsFolder = options.versionsDir;
    runOptions.keepVersions = options.keepVersionsGiven ? options.keepVersions : -1;
    runOptions.keepDays = options.keepDaysGiven ? options.keepDays : -1;
    runOptions.maxDelete = options.maxDeleteGiven ? options.maxDelete : -1;
    runOptions.refuseEmptySource = !options.allowEmptyFrom;
    runOptions.moves = !options.noMoves;
    runOptions.checksum = options.checksum;
    runOptions.verify = options.verify;
    runOptions.trustSource = options.trustSource;
    // What --versions keeps needs no guard, unless a limit was asked for.
    runOptions.replaceGuard =
        options.maxReplaceGiven || !options.versionsGiven ? REPLACE_GUARD_HOLD : REPLACE_GUARD_OFF;
    runOptions.maxReplace = options.maxReplaceGiven ? options.maxReplace : -1;
    runOptions.retries = options.retriesGiven ? static_cast<int>(options.retries) : 0;
    runOptions.retryMilliseconds = options.retryMilliseconds;
    return runOptions;
}

int writeClosingFigures(Terminal* terminal, const CliOptions& options, RunFigures figures) {
    int status = figures.exitStatus;
    if (status == EXIT_DONE && (terminal->outputFailed[PLATFORM_STDOUT] || terminal->outputFailed[PLATFORM_STDERR])) {
        figures.exitStatus = EXIT_HAD_ERRORS;
    }
    if (terminal->logFile) writeLogFileLine(terminal->logFile, statsLine(figures));
    if (options.stats) writeStream(terminal, terminal->listStream, statsTable(figures));
    if (options.json) {
        writeStream(terminal, PLATFORM_STDOUT,
                    statsJson(figures, terminal->failures, terminal->failuresLeftOut) + L"\n");
    }
    return statusAfterOutput(terminal, status);
}
