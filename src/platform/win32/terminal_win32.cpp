// The console and the standard streams, clocks, and the interrupt that stops a run.

#include "platform/win32/win32_layer.h"

#include "base/separator.h"
#include "base/temporary_name.h"

#include <shellapi.h>
#include <winioctl.h>
#include <io.h>
#include <share.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

HANDLE StandardHandle(int stream) {
    if (stream == PLATFORM_STDIN) return GetStdHandle(STD_INPUT_HANDLE);
    return GetStdHandle(stream == PLATFORM_STDOUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

}  // namespace

bool platformIsTerminal(int stream) { return IsConsole(StandardHandle(stream)); }

int platformTerminalColumns(int stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE handle = StandardHandle(stream);
    if (!IsConsole(handle) || !GetConsoleScreenBufferInfo(handle, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// Windows ends no program for a file's size.
void platformKeepRunningPastFileLimits() {}

// The console shows ANSI sequences once asked to.
bool platformTerminalShowsColors(int stream) {
    HANDLE handle = StandardHandle(stream);
    DWORD mode;
    if (!IsConsole(handle) || !GetConsoleMode(handle, &mode)) return false;
    return SetConsoleMode(handle, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
}

// The runtime keeps the numbers of the standard streams for them, open or not.
void platformGuardStandardStreams() {}

SystemResult platformWriteText(int stream, const wchar_t* text) {
    HANDLE handle = StandardHandle(stream);
    DWORD written;
    if (IsConsole(handle)) {
        DWORD length = static_cast<DWORD>(wcslen(text));
        return Result(WriteConsoleW(handle, text, length, &written, nullptr) != 0 && written == length);
    }
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    std::string bytes;
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = text; *p; ++p) {
        int n = wctomb(piece, *p);
        if (n < 0) {
            bytes.push_back('?');
        } else {
            bytes.append(piece, static_cast<size_t>(n));
        }
    }
    bool whole = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return ErrnoResult(fflush(file) == 0 && whole);
}

bool platformReadLine(std::wstring* line) {
    HANDLE handle = StandardHandle(PLATFORM_STDIN);
    line->clear();
    if (IsConsole(handle)) {
        wchar_t unit;
        DWORD got = 0;
        bool any = false;
        while (ReadConsoleW(handle, &unit, 1, &got, nullptr) && got == 1) {
            any = true;
            if (unit == L'\n') return true;
            if (unit != L'\r') line->push_back(unit);
        }
        return any;
    }
    std::string bytes;
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') bytes.push_back(static_cast<char>(c));
    if (c == EOF && bytes.empty()) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    std::wstring text(bytes.size() + 1, L'\0');
    size_t count = mbstowcs(&text[0], bytes.c_str(), text.size());
    if (count == static_cast<size_t>(-1)) count = 0;
    text.resize(count);
    *line = text;
    return true;
}

void platformSleep(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

int64_t platformMicroseconds() {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                                now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

int64_t platformMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

namespace {

void (*interruptHandler)() = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (!interruptHandler) return FALSE;
    void (*handler)() = interruptHandler;
    interruptHandler = nullptr;  // a second Ctrl+C ends the program at once
    platformRequestStop();
    handler();
    platformWakeWatch();
    return TRUE;
}

}  // namespace

void platformOnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}
