// The terminal host: what the engine shows and asks, written to the standard streams.
#include "cli/terminal.h"

#include <string>

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
    writeColored(terminal, PLATFORM_STDERR, kRed, text);
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
        writeColored(terminal, PLATFORM_STDERR, kRed, line);
        keepFailure(terminal, report->line, report->path, reason, report->target ? report->target : L"");
        return;
    }
    if (report->kind == REPORT_STOPPED) {
        std::wstring line = L"korvane: the walk could not read [" + std::wstring(report->path) + L"]";
        if (!reason.empty()) line += L": " + reason;
        writeColored(terminal, PLATFORM_STDERR, kRed, line);
        keepFailure(terminal, L"the walk could not read the directory", report->path, reason);
        return;
    }
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

void drawProgress(Terminal* terminal, int64_t now, long long examined) {
    int64_t spent = now - terminal->started;
    int64_t tenths = spent / 100;
    const RunTally& tally = terminal->tally;
    long long rate = spent > 0 ? examined * 1000 / spent : 0;
    long long changed = tally.copied + tally.created + tally.updated + tally.deleted;
    std::wstring line = kClearLine + std::to_wstring(examined) + L" examined (" + std::to_wstring(rate) + L"/s), " +
                        std::to_wstring(changed) + L" changed, " + byteText(tally.bytes) + L" copied, " +
                        std::to_wstring(tally.failed) + L" failed, " + std::to_wstring(tenths / 10) + L"." +
                        std::to_wstring(tenths % 10) + L" s";
    writeStream(terminal, PLATFORM_STDERR, line);
    terminal->lineShown = true;
    terminal->lastDrawn = now;
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
    return Host{showOnTerminal, askOnTerminal, pumpNothing, terminal, tickProgress, reportOnTerminal, nullptr};
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
