#include "cli/terminal.h"

#include <string>

#include "engine/walker.h"
#include "platform/platform.h"

namespace {

const wchar_t* const kRed = L"\x1b[31m";
const wchar_t* const kMagenta = L"\x1b[35m";
const wchar_t* const kPlain = L"\x1b[0m";
const wchar_t* const kClearLine = L"\r\x1b[K";

// Control characters in the text (a path's newline or escape sequence) are
// shown as "?", so that a text is one line and cannot move or colour the terminal.
void writeColored(Terminal* terminal, const wchar_t* color, const std::wstring& text) {
    clearProgress(terminal);
    WideString masked = ControlsAsQuestionMarks(WideString(text.c_str()));
    std::wstring shown(masked.buffer, masked.length);
    std::wstring line = terminal->colors && color ? color + shown + kPlain : shown;
    line += L"\n";
    platformWriteText(PLATFORM_STDERR, line.c_str());
}

void showOnTerminal(void* data, int kind, const wchar_t* text) {
    auto* terminal = static_cast<Terminal*>(data);
    if (kind == STATUS_ERROR) ++terminal->errors;
    if (terminal->quietStatus && kind != STATUS_NOTICE) return;
    const wchar_t* color = kind == STATUS_ERROR ? kRed : kind == STATUS_NOTICE ? kMagenta : nullptr;
    writeColored(terminal, color, text);
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
    platformWriteText(PLATFORM_STDERR, (std::wstring(text) + L" [y/N] ").c_str());
    std::wstring answer;
    if (!platformReadLine(&answer)) return false;
    return answer == L"y" || answer == L"Y" || answer == L"yes" || answer == L"Yes" || answer == L"YES";
}

void pumpNothing(void*) {}

void drawProgress(Terminal* terminal, int64_t now, long long examined, long long changed) {
    int64_t tenths = (now - terminal->started) / 100;
    std::wstring line = kClearLine + std::to_wstring(examined) + L" examined, " + std::to_wstring(changed) +
                        L" changed, " + std::to_wstring(terminal->errors) + L" failed, " +
                        std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" s";
    platformWriteText(PLATFORM_STDERR, line.c_str());
    terminal->lineShown = true;
    terminal->lastDrawn = now;
}

// Looks at the clock every 64 entries and redraws five times a second at most.
void tickProgress(void* data, long long examined, long long changed) {
    auto* terminal = static_cast<Terminal*>(data);
    if (!terminal->progress || ++terminal->ticks < 64) return;
    terminal->ticks = 0;
    int64_t now = platformMilliseconds();
    if (now - terminal->lastDrawn >= 200) drawProgress(terminal, now, examined, changed);
}

}  // namespace

Host terminalHost(Terminal* terminal) {
    terminal->started = platformMilliseconds();
    terminal->lastDrawn = terminal->started;
    return Host{showOnTerminal, askOnTerminal, pumpNothing, terminal, tickProgress};
}

void clearProgress(Terminal* terminal) {
    if (!terminal->lineShown) return;
    platformWriteText(PLATFORM_STDERR, kClearLine);
    terminal->lineShown = false;
}

void writeErrorText(Terminal* terminal, const std::wstring& text) { writeColored(terminal, kRed, text); }
