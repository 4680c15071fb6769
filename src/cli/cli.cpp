#include "cli/cli.h"

#include <cstdio>

#include "cli/options.h"
#include "cli/terminal.h"
#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

void writeOut(const std::wstring& text) {
    WideString shown = ControlsAsQuestionMarks(WideString(text.c_str()));
    platformWriteText(PLATFORM_STDOUT, (std::wstring(shown.buffer, shown.length) + L"\n").c_str());
}

int usageError(Terminal* terminal, const std::wstring& problem) {
    writeErrorText(terminal, L"korvane: " + problem);
    platformWriteText(PLATFORM_STDERR, L"Try 'korvane --help' for more information.\n");
    return EXIT_USAGE;
}

std::wstring text(const WideString& value) { return std::wstring(value.buffer, value.length); }

void reportResult(Terminal* terminal, const CliOptions& options, int result, const WideString& logPath) {
    int updated = options.listGiven ? runContext.listUpdatedCount : runContext.updatedCount;
    if (result == RUN_OK) {
        if (options.dryRun) {
            writeOut(L"Dry run: nothing was changed; the run would update " + std::to_wstring(updated) +
                     L" dirs and files.");
        } else {
            writeOut(std::to_wstring(updated) + L" dirs and files updated.");
        }
        return;
    }
    if (result == RUN_HAD_ERRORS) {
        writeOut(L"There are errors when copy files.");
        if (logPath.length > 0) writeOut(L"Please referrence: [" + text(logPath) + L"]");
        return;
    }
    if (result == RUN_DECLINED) {
        if (terminal->declinedUnasked) {
            writeErrorText(terminal,
                           L"korvane: the Synchronous run was declined (-100): there is no "
                           L"terminal to ask; confirm with --yes.");
        } else {
            writeErrorText(terminal, L"korvane: the Synchronous run was declined (-100).");
        }
        return;
    }
    if (result < 0 && result >= WALK_CLOSE_ERROR) {
        writeErrorText(terminal, L"korvane: the walk stopped early (" + std::to_wstring(result) + L").");
        return;
    }
    writeErrorText(terminal, L"korvane: the run was refused (" + std::to_wstring(result) + L").");
}

}  // namespace

int exitStatusOf(int result) {
    if (result == RUN_OK) return EXIT_DONE;
    if (result == RUN_HAD_ERRORS) return EXIT_HAD_ERRORS;
    if (result < 0 && result >= WALK_CLOSE_ERROR) return EXIT_WALK_STOPPED;
    return EXIT_REFUSED;
}

int runCommandLine(const std::vector<std::wstring>& arguments) {
    Terminal terminal{};
    terminal.colors = platformTerminalShowsColors(PLATFORM_STDERR);

    CliOptions options;
    std::wstring problem;
    std::vector<std::wstring> rest;
    if (!arguments.empty()) rest.assign(arguments.begin() + 1, arguments.end());  // the program's name goes
    if (!parseArguments(rest, &options, &problem)) return usageError(&terminal, problem);
    if (options.help) {
        platformWriteText(PLATFORM_STDOUT, usageText());
        return EXIT_DONE;
    }
    if (options.version) {
        writeOut(L"korvane 1.0");
        return EXIT_DONE;
    }
    if (options.settingsGiven && !applySettingsFile(&options, &problem)) {
        return usageError(&terminal, problem);
    }
    if (options.listGiven && (options.synchronous || options.ruleGiven)) {
        writeErrorText(&terminal,
                       L"korvane: From File mode has no rule and no clean-up; "
                       L"--sync and --rule are ignored.");
    }

    terminal.askable = platformIsTerminal(PLATFORM_STDIN) && platformIsTerminal(PLATFORM_STDERR);
    terminal.yes = options.yes || options.dryRun;
    terminal.quietStatus = options.dryRun;
    terminal.progress = !options.show && !options.dryRun && platformIsTerminal(PLATFORM_STDERR);
    runContext.host = terminalHost(&terminal);
    resetRunContext();

    WideString logPath;
    if (options.logGiven) {
        if (!directoryExists(options.logDir)) {
            return usageError(&terminal, L"Log dir [" + text(options.logDir) + L"] is not exist.");
        }
        logPath = options.logDir;
        logPath.AppendSeparator();
        logPath += runContext.appTitle + L".log";
        if (!openRunLog(logPath)) {
            return usageError(&terminal, L"the log file [" + text(logPath) + L"] cannot be written");
        }
    }
    if (options.dryRun) {
        runContext.dryRun = true;
        runContext.logEcho = stdout;
    }
    platformOnInterrupt(requestRunStop);

    const WideString& from = options.folders[0];
    const WideString& to = options.folders[1];
    bool show = options.show || options.dryRun;
    runContext.hadErrors = false;
    int result;
    if (options.listGiven) {
        result = ListCopyRun(show, from, to, options.listFile);
    } else {
        result = FolderCopyRunRules(options.synchronous, options.excludes, show, from, to, options.rules);
    }
    clearProgress(&terminal);
    closeRunLog();
    runContext.logEcho = nullptr;

    reportResult(&terminal, options, result, logPath);
    return exitStatusOf(result);
}
