// The terminal host: what the engine shows and asks, written to the standard streams.
#include "cli/terminal.h"

#include <algorithm>
#include <string>

#include "base/separator.h"
#include "cli/exit_codes.h"
#include "cli/report.h"
#include "engine/walker.h"
#include "platform/platform.h"

namespace {

const wchar_t* const kRed = L"\x1b[31m";
const wchar_t* const kPlain = L"\x1b[0m";
const wchar_t* const kClearLine = L"\r\x1b[K";

// Control characters in the text (a path's newline or escape sequence) are
// shown as "?", so that a text is one line and cannot move or colour the terminal.
void writeColored(Terminal* terminal, int stream, const wchar_t* color, const std::wstring& text) {
    clearProgress(terminal);
    WideString masked = ControlsAsQuestionMarks(WideString(text.c_str()));
    std::wstring shown(masked.buffer, static_cast<size_t>(masked.length));
    bool colored = terminal->colors && color && stream == PLATFORM_STDERR;
    std::wstring line;
    if (colored) line = color;
    line += shown;
    if (colored) line += kPlain;
    line += L"\n";
    writeStream(terminal, stream, line);
}

// Only errors (the refusals and the walk's lines) are printed: entry paths
// and totals are the window's status line, a line per change comes through
// the reports, and the Synchronous notice is the question's own text.
void showOnTerminal(void* data, int kind, const wchar_t* text) {
    if (kind != STATUS_ERROR) return;
    auto* terminal = static_cast<Terminal*>(data);
    writeErrorText(terminal, text);
    noteEndReason(terminal, text);
}

void keepFailure(Terminal* terminal, const std::wstring& message, const std::wstring& path, const std::wstring& reason,
                 const std::wstring& target = std::wstring()) {
    if (!terminal->keepFailures) return;
    if (terminal->failures.size() >= kFailuresKept) {
        ++terminal->failuresLeftOut;
        return;
    }
    terminal->failures.push_back(FailureNote{message, path, reason, target});
}

// A failure with the system's reason after its line; a walk that stopped
// names the directory it could not read; a change, in the log's own tags, with -v.
void reportOnTerminal(void* data, const RunReport* report) {
    auto* terminal = static_cast<Terminal*>(data);
    std::wstring reason = report->reason;
    if (report->kind == REPORT_FAILED) {
        std::wstring line = report->line;
        if (!reason.empty()) line += L": " + reason;
        writeErrorText(terminal, line);
        keepFailure(terminal, report->line, report->path, reason, report->target ? report->target : L"");
        return;
    }
    if (report->kind == REPORT_STOPPED) {
        std::wstring line = L"korvane: the walk could not read [" + std::wstring(report->path) + L"]";
        if (!reason.empty()) line += L": " + reason;
        writeErrorText(terminal, line);
        keepFailure(terminal, L"the walk could not read the directory", report->path, reason);
        return;
    }
    if (report->kind == REPORT_WARNED) {
        // What the user should look at is told without -v, and kept with the failures' lines.
        writeErrorText(terminal, report->line);
        if (terminal->logFile) writeLogFileLine(terminal->logFile, report->line);
        return;
    }
    if (terminal->logFile && terminal->logFile->changes) writeLogFileLine(terminal->logFile, report->line);
    if (terminal->verbose) writeColored(terminal, terminal->listStream, nullptr, report->line);
}

// Enter alone, or anything but y/yes, is No.
bool askOnTerminal(void* data, const wchar_t* text) {
    auto* terminal = static_cast<Terminal*>(data);
    if (terminal->yes) return true;
    if (!terminal->askable) {
        terminal->declinedUnasked = true;
        return false;
    }
    clearProgress(terminal);
    writeStream(terminal, PLATFORM_STDERR, std::wstring(text) + L" [y/N] ");
    std::wstring answer;
    if (!platformReadLine(&answer)) return false;
    return answer == L"y" || answer == L"Y" || answer == L"yes" || answer == L"Yes" || answer == L"YES";
}

void pumpNothing(void*) {}

// A time left as people say it: "40 s", "3 min 5 s", "2 h 10 min".
std::wstring timeLeftText(long long seconds) {
    if (seconds < 60) return std::to_wstring(seconds) + L" s";
    if (seconds < 3600) return std::to_wstring(seconds / 60) + L" min " + std::to_wstring(seconds % 60) + L" s";
    return std::to_wstring(seconds / 3600) + L" h " + std::to_wstring(seconds / 60 % 60) + L" min";
}

// How far the run is, once its count is done: the share of the entries it
// has looked at, and the time left at the pace so far; or why it cannot tell.
std::wstring estimateText(const Terminal* terminal, int64_t spent) {
    const CountAhead* count = terminal->count;
    if (!count) return std::wstring();
    int state = count->state;
    if (state == COUNT_GAVE_UP) return std::wstring(L", no estimate: ") + count->why;
    if (state != COUNT_DONE) return std::wstring();
    long long total = count->total;
    long long done = terminal->tally.directories + terminal->tally.files;
    if (total <= 0 || done <= 0) return std::wstring();
    long long percent = done >= total ? 99 : done * 100 / total;
    long long left = done >= total ? 0 : static_cast<long long>(spent) * (total - done) / done / 1000;
    return L", " + std::to_wstring(percent) + L"%, " + timeLeftText(left) + L" left";
}

// The entry at hand after the figures, its start cut away when the line
// would be wider than the terminal; the figures alone where it has no room.
std::wstring withEntry(const std::wstring& figures, const std::wstring& entry, int columns) {
    if (entry.empty()) return figures;
    if (columns <= 0) return figures + L"  " + entry;
    size_t room = static_cast<size_t>(columns) - 1;
    if (figures.size() + 2 + 8 > room) return figures.substr(0, std::min(room, figures.size()));
    size_t left = room - figures.size() - 2;
    if (entry.size() <= left) return figures + L"  " + entry;
    return figures + L"  ..." + entry.substr(entry.size() - (left - 3));
}

void drawProgress(Terminal* terminal, int64_t now, long long examined) {
    int64_t spent = now - terminal->started;
    int64_t tenths = spent / 100;
    const RunTally& tally = terminal->tally;
    long long rate = spent > 0 ? examined * 1000 / spent : 0;
    long long bytesRate = spent > 0 ? tally.bytes / spent * 1000 + tally.bytes % spent * 1000 / spent : 0;
    long long changed = tally.copied + tally.created + tally.updated + tally.deleted;
    std::wstring head = std::to_wstring(examined) + L" examined (" + std::to_wstring(rate) + L"/s), ";
    std::wstring bytes = byteText(tally.bytes) + L" copied (" + byteText(bytesRate) + L"/s), ";
    std::wstring failed = std::to_wstring(tally.failed) + L" failed";
    std::wstring estimate = estimateText(terminal, spent);
    std::wstring full = head + std::to_wstring(changed) + L" changed, " + bytes + failed + L", " +
                        std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" s" + estimate;
    // A narrow terminal keeps the figures that tell how the run goes, and room for the entry.
    std::wstring compact = head + bytes + (tally.failed > 0 ? failed : L"") + estimate;
    if (tally.failed == 0) compact = head + bytes.substr(0, bytes.size() - 2) + estimate;
    // A control character in a name would move the cursor: each shows as "?".
    std::wstring current = terminal->current;
    const std::wstring& root = terminal->root;
    if (!root.empty() && current.size() > root.size() && current.compare(0, root.size(), root) == 0) {
        current = current.substr(root.size());
        while (!current.empty() && isComponentSeparator(current[0])) current.erase(0, 1);
    }
    WideString entry = ControlsAsQuestionMarks(WideString(current.c_str()));
    std::wstring shownEntry(entry.buffer, static_cast<size_t>(entry.length));
    int columns = platformTerminalColumns(PLATFORM_STDERR);
    bool narrow =
        columns > 0 && full.size() + 2 + std::min<size_t>(shownEntry.size(), 24) >= static_cast<size_t>(columns);
    writeStream(terminal, PLATFORM_STDERR, kClearLine + withEntry(narrow ? compact : full, shownEntry, columns));
    terminal->lineShown = true;
    terminal->lastDrawn = now;
}

// The entry at hand, kept for the next drawing of the line.
void noteEntryAtHand(void* data, const wchar_t* path) {
    auto* terminal = static_cast<Terminal*>(data);
    if (terminal->progress) terminal->current.assign(path);
}

// Looks at the clock every 64 entries and redraws five times a second at most.
void tickProgress(void* data, long long examined, long long) {
    auto* terminal = static_cast<Terminal*>(data);
    if (!terminal->progress || ++terminal->ticks < 64) return;
    terminal->ticks = 0;
    int64_t now = platformMilliseconds();
    if (now - terminal->lastDrawn >= 200) drawProgress(terminal, now, examined);
}

}  // namespace

Host terminalHost(Terminal* terminal) {
    terminal->started = platformMilliseconds();
    terminal->startedMicroseconds = platformMicroseconds();
    terminal->lastDrawn = terminal->started;
    // The front end asks nothing a guard would ask: it holds, and its options let a run go on.
    return Host{showOnTerminal, askOnTerminal,    pumpNothing, terminal,
                tickProgress,   reportOnTerminal, nullptr,     noteEntryAtHand};
}

void clearProgress(Terminal* terminal) {
    if (!terminal->lineShown) return;
    writeStream(terminal, PLATFORM_STDERR, kClearLine);
    terminal->lineShown = false;
}

void noteEndReason(Terminal* terminal, const std::wstring& line) {
    if (!terminal->endReason.empty()) terminal->endReason += L"\n";
    terminal->endReason += line;
}

void writeErrorText(Terminal* terminal, const std::wstring& text) {
    if (terminal->logFile) writeLogFileLine(terminal->logFile, text);
    writeColored(terminal, PLATFORM_STDERR, kRed, text);
}

void writeLine(Terminal* terminal, int stream, const std::wstring& text) {
    writeColored(terminal, stream, nullptr, text);
}

void writeStream(Terminal* terminal, int stream, const std::wstring& text) {
    SystemResult written = platformWriteText(stream, text.c_str());
    if (written || stream < 0 || stream > 2) return;
    if (terminal->outputFailed[stream]) return;
    terminal->outputFailed[stream] = true;
    terminal->outputReason[stream] = platformReasonText(written.reason);
}

int statusAfterOutput(Terminal* terminal, int status) {
    static const wchar_t* const names[] = {L"input", L"output", L"error"};
    bool failed = false;
    for (int stream = PLATFORM_STDOUT; stream <= PLATFORM_STDERR; ++stream) {
        if (!terminal->outputFailed[stream]) continue;
        failed = true;
        std::wstring line = L"korvane: standard " + std::wstring(names[stream]) + L" could not be written";
        if (!terminal->outputReason[stream].empty()) line += L": " + terminal->outputReason[stream];
        platformWriteText(PLATFORM_STDERR, (line + L"\n").c_str());
    }
    return failed && status == EXIT_DONE ? EXIT_HAD_ERRORS : status;
}
