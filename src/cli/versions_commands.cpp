// --list-versions and --restore: what the versions folder keeps of a path,
// and putting it back.
#include "cli/versions_commands.h"

#include <string>

#include "cli/exit_codes.h"
#include "cli/log_file.h"
#include "cli/report.h"
#include "cli/run_options.h"
#include "engine/restore.h"
#include "fs/paths.h"
#include "platform/platform.h"

namespace {

std::wstring text(const WideString& value) { return std::wstring(value.buffer, static_cast<size_t>(value.length)); }

std::wstring twoDigits(int value) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + value / 10 % 10)) + static_cast<wchar_t>(L'0' + value % 10);
}

// What a version is, and how much it holds.
std::wstring kindText(const EntryVersion& version) {
    if (version.isLink) return L"link  ";
    if (!version.isDirectory) return L"file    " + byteText(version.size);
    return L"folder  " + std::to_wstring(version.entries) + (version.entries == 1 ? L" entry, " : L" entries, ") +
           byteText(version.size);
}

// Where the versions of the options' path are, or why none can be looked for; false after telling why.
bool versionsOf(Terminal* terminal, const CliOptions& options, const WideString& path, VersionedPath* found) {
    if (!directoryExists(options.versionsDir)) {
        writeErrorText(terminal, L"korvane: the versions folder [" + text(options.versionsDir) + L"] is not exist.");
        return false;
    }
    WideString why;
    if (findVersions(options.versionsDir, path, found, &why)) return true;
    writeErrorText(terminal, L"korvane: " + text(why) + L".");
    return false;
}

}  // namespace

std::wstring localTimeText(int64_t seconds) {
    CalendarTime time{};
    if (!platformLocalCalendar(seconds, &time)) return std::to_wstring(seconds) + L" s";
    return std::to_wstring(time.year) + L"-" + twoDigits(time.month) + L"-" + twoDigits(time.day) + L" " +
           twoDigits(time.hour) + L":" + twoDigits(time.minute) + L":" + twoDigits(time.second);
}

// One line a version: when its run started, what it is, where it lies.
int listVersionsCommand(Terminal* terminal, const CliOptions& options) {
    installTerminal(terminal, options);
    const WideString& path = options.folders[0];
    VersionedPath found;
    if (!versionsOf(terminal, options, path, &found)) return EXIT_REFUSED;
    if (found.versions.empty()) {
        writeLine(terminal, PLATFORM_STDOUT,
                  L"No version of [" + text(path) + L"] is kept in [" + text(options.versionsDir) + L"].");
        return statusAfterOutput(terminal, EXIT_DONE);
    }
    writeLine(terminal, PLATFORM_STDOUT,
              L"Versions of [" + text(path) + L"] (To Folder [" + text(found.to) + L"]), newest first:");
    for (const EntryVersion& version : found.versions) {
        writeLine(terminal, PLATFORM_STDOUT,
                  localTimeText(version.record.started) + L"  " + kindText(version) + L"  " + text(version.path));
    }
    return statusAfterOutput(terminal, EXIT_DONE);
}

// A restore is a run: its changes, failures and figures are told as a run's.
int restoreCommand(Terminal* terminal, const CliOptions& options) {
    installTerminal(terminal, options);
    VersionedPath found;
    if (!versionsOf(terminal, options, options.restorePath, &found)) return EXIT_REFUSED;
    RunOptions runOptions = runOptionsOf(options);
    // A version holds a link as a link, and the versions themselves need no guard.
    runOptions.copyLinks = true;
    runOptions.folderTimes = false;
    runOptions.replaceGuard = REPLACE_GUARD_OFF;
    runOptions.jobs = 1;
    WideString target = options.restoreToGiven ? options.restoreTo : found.to;
    platformOnInterrupt(requestRunStop);
    bool show = options.show || options.dryRun;
    int result =
        RestoreRun(runOptions, &terminal->tally, show, found, target, options.asOfGiven ? &options.asOf : nullptr);
    clearProgress(terminal);
    int status = exitStatusOf(result);
    const RunTally& tally = terminal->tally;
    long long changes = tally.copied + tally.created + tally.updated;
    WideString place = target;
    if (found.relative.length > 0) {
        place.AppendSeparator();
        place += found.relative;
    }
    if (result == RUN_OK || result == RUN_HAD_ERRORS) {
        std::wstring what =
            options.dryRun ? L"Dry run: nothing was changed; the restore would put back " : L"Put back ";
        std::wstring line =
            what + std::to_wstring(changes) + (changes == 1 ? L" entry" : L" entries") + L" of [" + text(place) + L"]";
        if (tally.kept > 0) line += L", keeping " + std::to_wstring(tally.kept) + L" it replaced as versions";
        if (changes == 0 && tally.failed == 0) line = L"[" + text(place) + L"] is as its versions keep it already";
        if (tally.failed > 0) line += L"; " + std::to_wstring(tally.failed) + L" entries failed (reasons above)";
        if (!options.quiet || tally.failed > 0) writeLine(terminal, terminal->listStream, line + L".");
    } else {
        std::wstring line = L"korvane: the restore was refused (" + std::to_wstring(result) + L").";
        if (result == RUN_NO_DEST && options.restoreToGiven) {
            line = L"korvane: the restore was refused (" + std::to_wstring(result) +
                   L"): the folder of --restore-to is not there; make it first.";
        }
        if (result < 0 && result >= WALK_CLOSE_ERROR) line = L"korvane: the restore stopped early.";
        writeErrorText(terminal, line);
        noteEndReason(terminal, line);
    }
    RunFigures figures{
        status, result, options.dryRun,     terminal->tally, platformMicroseconds() - terminal->startedMicroseconds,
        true,   false,  terminal->endReason};
    return writeClosingFigures(terminal, options, figures);
}
