// The front end's run: the command line read, the log opened, the engine run, its figures told.
#include "cli/cli.h"

#include <cstdio>

#include "base/separator.h"
#include "cli/options.h"
#include "cli/pattern_options.h"
#include "cli/report.h"
#include "cli/run_options.h"
#include "cli/versions_commands.h"
#include "cli/watch_command.h"
#include "cli/terminal.h"
#include "cli/version.h"
#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/rule.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

int usageError(Terminal* terminal, const std::wstring& problem) {
    writeErrorText(terminal, L"korvane: " + problem);
    writeStream(terminal, PLATFORM_STDERR, L"Try 'korvane --help' for more information.\n");
    return EXIT_USAGE;
}

std::wstring text(const WideString& value) { return std::wstring(value.buffer, static_cast<size_t>(value.length)); }

// What a dry run would do, copies apart from deletions: "copy 3 files,
// create 1 folder and delete 2 entries", or "change nothing".
std::wstring dryRunChanges(const RunTally& tally) {
    std::vector<std::wstring> parts;
    auto part = [&parts](long long count, const wchar_t* verb, const wchar_t* one, const wchar_t* many) {
        if (count > 0)
            parts.push_back(std::wstring(verb) + L" " + std::to_wstring(count) + L" " + (count == 1 ? one : many));
    };
    part(tally.copied, L"copy", L"file", L"files");
    part(tally.created, L"create", L"folder", L"folders");
    part(tally.updated, L"update", L"entry in place", L"entries in place");
    part(tally.deleted, L"delete", L"entry", L"entries");
    part(tally.moved, L"move", L"entry", L"entries");
    if (parts.empty()) return L"change nothing";
    std::wstring text = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) text += (i + 1 == parts.size() ? L" and " : L", ") + parts[i];
    return text;
}

// The line that closes a run that went through: what changed (a dry run: what
// would), and where the log is when something failed.
void reportFinished(Terminal* terminal, const CliOptions& options, int result, const WideString& logPath) {
    int updated = options.listGiven ? runContext.listUpdatedCount : runContext.updatedCount;
    std::wstring changes = std::to_wstring(updated) + L" dirs and files";
    std::wstring failed = std::to_wstring(terminal->tally.failed);
    int stream = terminal->listStream;
    std::wstring held = std::to_wstring(terminal->tally.heldBack);
    std::wstring replaces = std::to_wstring(terminal->tally.replacesHeld);
    if (options.dryRun) {
        std::wstring line = L"Dry run: nothing was changed; the run would " + dryRunChanges(terminal->tally);
        if (result == RUN_DELETES_HELD) {
            line += L" and delete nothing: the deletion guard would hold " + held + L" deletions back";
        }
        if (result == RUN_REPLACES_HELD) {
            line += L" and replace nothing: the replacement guard would hold " + replaces + L" replacements back";
        }
        writeLine(terminal, stream,
                  line + (terminal->tally.failed == 0 ? L"." : L" and fail on " + failed + L" entries."));
    } else if (result == RUN_DELETES_HELD) {
        writeLine(terminal, stream,
                  changes + L" updated; nothing deleted: the deletion guard held " + held + L" deletions back.");
    } else if (result == RUN_REPLACES_HELD) {
        writeLine(terminal, stream,
                  changes + L" updated; nothing replaced" + (options.synchronous ? L" or deleted" : L"") +
                      L": the replacement guard held " + replaces +
                      L" replacements back; --versions DIR keeps what a run replaces, --max-replace N allows more.");
    } else if (result == RUN_OK) {
        writeLine(terminal, stream, changes + L" updated.");
    } else {
        writeLine(terminal, stream, changes + L" updated; " + failed + L" entries failed (reasons above).");
        writeLine(terminal, stream, L"There are errors when copy files.");
    }
    if (result != RUN_OK && logPath.length > 0)
        writeLine(terminal, stream, L"Please referrence: [" + text(logPath) + L"]");  // the window's own spelling, kept
}

// The line that tells what ended a run before it went through, with what
// would help where the command line tells it: the option that makes a
// missing TO, the option a shell pattern was meant for.
std::wstring endedLine(const Terminal* terminal, const CliOptions& options, int result) {
    if (result == RUN_DECLINED) {
        if (terminal->declinedUnasked) {
            return L"korvane: the Synchronous run was declined (-100): there is no terminal to ask; confirm with "
                   L"--yes.";
        }
        return L"korvane: the Synchronous run was declined (-100).";
    }
    if (result < 0 && result >= WALK_CLOSE_ERROR) {
        return L"korvane: the walk stopped early (" + std::to_wstring(result) + L").";
    }
    if (result == RUN_EMPTY_SOURCE) {
        return L"korvane: the run was refused (" + std::to_wstring(result) +
               L"): a mirror of a FROM that holds no file, or next to none, would empty TO, as when a disk is not "
               L"mounted, a path is mistyped or a rule matches nothing; give --allow-empty-from to mirror it anyway.";
    }
    std::wstring line = L"korvane: the run was refused (" + std::to_wstring(result) + L")";
    if (result == RUN_NO_DEST && !options.mkpath && !options.listVersions && !options.restoreGiven) {
        return line + L": TO is not there; --mkpath creates it, and the folders above it.";
    }
    if (result == RUN_BAD_RULE) {
        for (const WideString& rule : options.rules) {
            CompiledRule compiled;
            std::wstring text(rule.buffer, static_cast<size_t>(rule.length));
            if (prepareRule(rule, &compiled) == RULE_ACCEPTED || !looksLikeShellPattern(text)) continue;
            line += L": -r takes a regular expression on the whole path; [";
            line += text;
            line += L"] looks like a shell pattern: --exclude '";
            line += text;
            line += L"' leaves out what it matches, --include '";
            line += text;
            line += L"' takes it.";
            return line;
        }
    }
    return line + L".";
}

// What ended a run before it went through, on standard error whatever -q says.
void reportEnded(Terminal* terminal, const CliOptions& options, int result) {
    std::wstring line = endedLine(terminal, options, result);
    writeErrorText(terminal, line);
    noteEndReason(terminal, line);
}

// The levels of a To Folder that --mkpath made, deepest last.
struct MadeLevels {
    std::vector<WideString> levels;
};

// Creates every missing level of folder, noting those it made; false with
// the level that could not be made and the system's reason. The levels
// above it only their owner may change; the folder itself is given the
// attributes of source, as a run gives each directory it makes.
bool makeFolder(const WideString& folder, const WideString& source, MadeLevels* made, WideString* failedLevel,
                std::wstring* reason) {
    WideString path = dropTrailingSeparator(folder);
    std::vector<WideString> missing;
    // The climb stops at the first name that stands, whatever it is: a file
    // there is reported as the system finds it ("Not a directory").
    while (path.length > 0 && !platformEntryExists(path.buffer)) {
        missing.push_back(path);
        int32_t cut = path.FindLastSeparator();
        while (cut > 0 && path.buffer[cut - 1] == PATH_SEPARATOR) --cut;  // a doubled separator is one
        if (cut <= 0) break;
        path = path.Left(cut);
    }
    for (size_t i = missing.size(); i-- > 0;) {
        SystemResult created = platformCreateOwnerDirectory(missing[i].buffer);
        if (!created) {
            *failedLevel = missing[i];
            *reason = platformReasonText(created.reason);
            return false;
        }
        made->levels.push_back(missing[i]);
    }
    uint32_t word = 0;
    if (missing.empty() || !platformReadAttributeWord(source.buffer, &word)) return true;
    SystemResult given = platformWriteAttributeWord(missing.front().buffer, word);
    if (!given) {
        *failedLevel = missing.front();
        *reason = platformReasonText(given.reason);
        return false;
    }
    return true;
}

// Whether makeFolder could make folder: the first name that stands on its
// way must be a directory this process may add to. False with the level
// that could not be made and why, as makeFolder would find it.
bool folderCouldBeMade(const WideString& folder, WideString* failedLevel, std::wstring* reason) {
    WideString path = dropTrailingSeparator(folder);
    WideString missing = path;
    if (!platformPathFits(path.buffer)) {
        *failedLevel = path;
        *reason = L"File name too long";
        return false;
    }
    while (path.length > 0 && !platformEntryExists(path.buffer)) {
        // A level "." or ".." the system will not make: it names a folder that stands.
        if (hasDotLevel(path.Tail(path.FindLastSeparator() + 1))) {
            *failedLevel = path;
            *reason = L"File exists";
            return false;
        }
        missing = path;
        int32_t cut = path.FindLastSeparator();
        while (cut > 0 && path.buffer[cut - 1] == PATH_SEPARATOR) --cut;
        if (cut < 0) {
            path = WideString(L".");
            break;
        }
        path = cut == 0 ? path.Left(1) : path.Left(cut);
    }
    SystemResult may = directoryExists(path) ? platformMayAddTo(path.buffer) : SystemResult{false, 0};
    if (may) return true;
    *failedLevel = missing;
    *reason = may.reason != 0 ? platformReasonText(may.reason) : std::wstring(L"Not a directory");
    return false;
}

// True when --mkpath making to makes folder too: folder is to, or a level above it.
bool madeByMkpath(const WideString& folder, const WideString& to) {
    WideString level = dropTrailingSeparator(folder);
    WideString target = dropTrailingSeparator(to);
    return level.length > 0 && StartsWith(target, level) &&
           (target.length == level.length || isComponentSeparator(target.buffer[level.length]));
}

// Takes back what --mkpath made for a run that was refused: empty levels only, deepest first.
void unmakeFolder(const MadeLevels& made) {
    for (size_t i = made.levels.size(); i-- > 0;) {
        if (!platformRemoveDirectory(made.levels[i].buffer)) break;
    }
}

}  // namespace

namespace {

// The folder that holds the entry at path: its text up to its last separator, or ".".
WideString folderOf(const WideString& path) {
    int32_t cut = path.FindLastSeparator();
    if (cut < 0) return WideString(L".");
    return cut == 0 ? path.Left(1) : path.Left(cut);
}

// True when the log file at log would lie in what a run of target may
// change: inside the folder target, or target itself.
bool logFileInside(const WideString& log, const WideString& target) {
    DirectoryIdentity targetIdentity;
    std::vector<DirectoryIdentity> chain;
    if (!platformEntryIdentity(target.buffer, &targetIdentity)) return false;
    DirectoryIdentity logIdentity;
    if (platformEntryIdentity(log.buffer, &logIdentity) && sameIdentity(logIdentity, targetIdentity)) return true;
    if (!platformDirectoryChain(folderOf(log).buffer, &chain)) return false;
    for (const DirectoryIdentity& level : chain) {
        if (sameIdentity(level, targetIdentity)) return true;
    }
    return false;
}

// Opens the log file (--log-file) and writes the run's first lines: its
// start, who started it and how. The exit status of a refusal; EXIT_DONE
// when the file is open. It is never a file the run itself may change (in
// target, TO or what a restore puts back), nor, as root, one in a folder
// another user may change.
int startLogFile(Terminal* terminal, const CliOptions& options, const std::vector<std::wstring>& arguments,
                 const WideString& target, LogFile* log) {
    const WideString& path = options.logFile;
    WideString folder = folderOf(path);
    if (!directoryExists(folder)) {
        return usageError(terminal, L"the folder of the log file [" + text(path) + L"] is not exist");
    }
    std::wstring problem;
    // Where another user may add names, she could take the log's name first and hold every run off.
    if (storeOthersMayChange(folder) || (platformRunsAsRoot() && platformOthersMayAddTo(folder.buffer))) {
        problem =
            L"its folder can be changed by another user, or is reached through another user's link; a run as "
            L"root refuses it.";
    } else if (options.watch && options.folders.size() > 1 && logFileInside(path, options.folders[0])) {
        problem = L"it lies in FROM, which --watch watches: each line would be a change to bring over.";
    } else if (target.length > 0 && logFileInside(path, target)) {
        problem = L"it lies in [" + text(target) + L"], which the run changes; keep it elsewhere.";
    } else {
        int reason = 0;
        if (openLogFile(log, path, &reason)) {
            log->changes = options.show || options.dryRun;
            terminal->logFile = log;
            std::wstring user = platformUserName();
            writeLogFileLine(log, L"start of a run" + (user.empty() ? std::wstring() : L" by " + user) + L": " +
                                      shellLine(arguments));
            return EXIT_DONE;
        }
        problem = L"it cannot be written: " + platformReasonText(reason);
    }
    writeErrorText(terminal, L"korvane: the log file [" + text(path) + L"] is refused: " + problem);
    return EXIT_REFUSED;
}

// Writes the last line of the log file, the exit status, and closes it. The
// exit status: status, or 1 for a run that went through when the log could
// not be written.
int endLogFile(Terminal* terminal, LogFile* log, int status) {
    if (!log->file) return status;
    writeLogFileLine(log, L"end of the run: exit status " + std::to_wstring(status));
    terminal->logFile = nullptr;
    if (closeLogFile(log)) return status;
    writeErrorText(terminal, L"korvane: the log file could not be written: " + log->failure);
    return status == EXIT_DONE ? EXIT_HAD_ERRORS : status;
}

// Keeps TO current until the watch ends, then closes the run log and tells
// the figures of all its passes; the exit status.
int watchAndReport(Terminal* terminal, const CliOptions& options, RunOptions runOptions, const WideString& logPath) {
    runOptions.synchronous = options.synchronous;
    runOptions.ruleExcludes = options.excludes;
    runOptions.showCopyFile = options.show;
    int result = RUN_OK;
    int status = watchFolders(terminal, options, runOptions, &result);
    bool logKept = closeRunLog();
    if (!logKept) {
        writeErrorText(terminal, L"korvane: the log [" + text(logPath) + L"] could not be written: " +
                                     text(runContext.log.failure));
        if (status == EXIT_DONE) status = EXIT_HAD_ERRORS;
    }
    RunFigures figures{status,
                       result,
                       false,
                       terminal->tally,
                       platformMicroseconds() - terminal->startedMicroseconds,
                       options.versionsGiven,
                       options.maxDeleteGiven && options.synchronous,
                       terminal->endReason};
    return writeClosingFigures(terminal, options, figures);
}

// A run of FROM and TO, a folder run or a list run, as the options say,
// its figures told and written to the log file when one is open; the exit status.
int runFolders(Terminal* terminal, const CliOptions& options, const std::vector<PathPattern>& patterns) {
    installTerminal(terminal, options);
    RunOptions runOptions = runOptionsOf(options);
    runOptions.patterns = patterns;

    const WideString& from = options.folders[0];
    const WideString& to = options.folders[1];
    MadeLevels made;
    bool toToBeMade = options.mkpath && to.length > 0 && !directoryExists(to);
    runOptions.toToBeMade = toToBeMade && options.dryRun;
    if (toToBeMade && options.dryRun) {
        WideString level;
        std::wstring reason;
        if (!folderCouldBeMade(to, &level, &reason)) {
            writeErrorText(terminal, L"korvane: --mkpath could not create [" + text(level) + L"]: " + reason);
            return EXIT_REFUSED;
        }
    } else if (toToBeMade) {
        WideString level;
        std::wstring reason;
        if (!makeFolder(to, from, &made, &level, &reason)) {
            unmakeFolder(made);
            writeErrorText(terminal, L"korvane: --mkpath could not create [" + text(level) + L"]: " + reason);
            return EXIT_REFUSED;
        }
    }

    WideString logPath;
    // The folder --mkpath is yet to make for a dry run takes no dry-run log.
    bool logFolderToBeMade = runOptions.toToBeMade && options.logGiven && !directoryExists(options.logDir) &&
                             madeByMkpath(options.logDir, to);
    if (options.logGiven && !logFolderToBeMade) {
        if (!directoryExists(options.logDir)) {
            unmakeFolder(made);
            return usageError(terminal, L"Log dir [" + text(options.logDir) + L"] is not exist.");
        }
        // A log the watch writes in FROM would be a change at each batch, for ever.
        if (options.watch && logFileInside(options.logDir, from)) {
            unmakeFolder(made);
            writeErrorText(terminal, L"korvane: the log dir [" + text(options.logDir) +
                                         L"] lies in FROM, which --watch watches: each line would be a change to "
                                         L"bring over; keep it elsewhere.");
            return EXIT_REFUSED;
        }
        // Another user could lead root's log onto a file of root's, or read it.
        if (storeOthersMayChange(options.logDir)) {
            unmakeFolder(made);
            writeErrorText(terminal, L"korvane: the log dir [" + text(options.logDir) +
                                         L"] can be changed by another user, or is reached through another "
                                         L"user's link; a run as root refuses it.");
            return EXIT_REFUSED;
        }
        // A dry run's log never replaces a real run's.
        logPath = options.logDir;
        logPath.AppendSeparator();
        logPath += runContext.appTitle + (options.dryRun ? L".dry-run.log" : L".log");
        int reason = 0;
        if (!openRunLog(logPath, &reason)) {
            // Refused before any change, not misused: another may hold the name.
            unmakeFolder(made);
            writeErrorText(terminal, L"korvane: the log file [" + text(logPath) + L"] cannot be written: " +
                                         platformReasonText(reason));
            return EXIT_REFUSED;
        }
    }
    platformOnInterrupt(requestRunStop);
    if (options.watch) return watchAndReport(terminal, options, runOptions, logPath);

    runContext.hadErrors = false;
    bool show = options.show || options.dryRun;  // a dry run's log lists what would change
    // What the run will look at is counted beside it, for the progress line alone.
    CountAhead count;
    if (terminal->progress) {
        EntryStatus list{};
        if (!options.listGiven) {
            countFolderAhead(&count, from);
        } else if (platformQueryEntry(options.listFile.buffer, &list) && list.isRegular) {
            countListAhead(&count, options.listFile);  // never a stream, which the run reads
        }
        terminal->count = &count;
        terminal->root = text(from);
    }
    runOptions.showCopyFile = show;
    int result;
    if (options.listGiven) {
        result = listRunWithOptions(runOptions, &terminal->tally, from, to, options.listFile);
    } else {
        runOptions.synchronous = options.synchronous;
        runOptions.ruleExcludes = options.excludes;
        result = folderRunWithOptions(runOptions, &terminal->tally, from, to, options.rules);
    }
    endCountAhead(&count);
    terminal->count = nullptr;
    clearProgress(terminal);
    bool logKept = closeRunLog();
    int status = exitStatusOf(result);
    if (status == EXIT_REFUSED) unmakeFolder(made);

    if (result == RUN_OK || result == RUN_HAD_ERRORS || result == RUN_DELETES_HELD || result == RUN_REPLACES_HELD) {
        if (!options.quiet) reportFinished(terminal, options, result, logPath);
    } else {
        reportEnded(terminal, options, result);
    }
    RunFigures figures{status,
                       result,
                       options.dryRun,
                       terminal->tally,
                       platformMicroseconds() - terminal->startedMicroseconds,
                       options.versionsGiven,
                       options.maxDeleteGiven && options.synchronous,
                       terminal->endReason};
    if (!logKept) {
        writeErrorText(terminal, L"korvane: the log [" + text(logPath) + L"] could not be written: " +
                                     text(runContext.log.failure));
        if (status == EXIT_DONE) status = EXIT_HAD_ERRORS;
        figures.exitStatus = status;
    }
    return writeClosingFigures(terminal, options, figures);
}

}  // namespace

int runCommandLine(const std::vector<std::wstring>& arguments) {
    Terminal terminal;
    terminal.colors = platformTerminalShowsColors(PLATFORM_STDERR);

    CliOptions options;
    std::wstring problem;
    std::vector<std::wstring> rest;
    if (!arguments.empty()) rest.assign(arguments.begin() + 1, arguments.end());  // the program's name goes
    if (!parseArguments(rest, &options, &problem)) return usageError(&terminal, problem);
    if (options.help) {
        writeStream(&terminal, PLATFORM_STDOUT, usageText());
        return statusAfterOutput(&terminal, EXIT_DONE);
    }
    if (options.version) {
        std::wstring commit = korvaneCommit();
        writeLine(&terminal, PLATFORM_STDOUT,
                  L"korvane " + std::wstring(korvaneVersion()) + (commit.empty() ? L"" : L" (commit " + commit + L")"));
        return statusAfterOutput(&terminal, EXIT_DONE);
    }
    // A file another user may change would choose what root reads and where it writes.
    if (options.settingsGiven && platformRunsAsRoot() && platformOthersMayChangeFile(settingsPathOf(options).buffer)) {
        writeErrorText(&terminal, L"korvane: the settings file [" + text(settingsPathOf(options)) +
                                      L"] can be changed by another user, or is reached through another user's "
                                      L"link; a run as root refuses it.");
        return EXIT_REFUSED;
    }
    if (options.settingsGiven && !applySettingsFile(&options, &problem)) {
        return usageError(&terminal, problem);
    }
    if (options.listGiven && (options.synchronous || options.ruleGiven || !options.patterns.empty()) &&
        !options.quiet) {
        writeErrorText(&terminal,
                       L"korvane: From File mode has no rule and no clean-up; "
                       L"--sync, --rule, --exclude and --include are ignored.");
    }
    std::vector<PathPattern> patterns;
    if (!options.listGiven && !readPatternOptions(options.patterns, &patterns, &problem)) {
        writeErrorText(&terminal, L"korvane: " + problem);
        return EXIT_REFUSED;
    }
    // Looking at versions changes nothing: there is nothing to log.
    if (options.listVersions) return listVersionsCommand(&terminal, options);
    LogFile logFile;
    if (options.logFileGiven) {
        WideString target = options.restoreToGiven       ? options.restoreTo
                            : options.restoreGiven       ? options.restorePath
                            : options.folders.size() > 1 ? options.folders[1]
                                                         : WideString();
        int refused = startLogFile(&terminal, options, arguments, target, &logFile);
        if (refused != EXIT_DONE) return refused;
    }
    int status = options.restoreGiven ? restoreCommand(&terminal, options) : runFolders(&terminal, options, patterns);
    return endLogFile(&terminal, &logFile, status);
}
