// The front end's log file: lines appended one whole write each.
#include "cli/log_file.h"

#include <cstdio>
#include <string>

#include "base/text_file.h"
#include "platform/platform.h"

namespace {

// Room for the longest line as one write: a longer one may be split by the system.
const size_t kLineBuffer = 1 << 16;

// Two digits of a number below 100.
std::wstring twoDigits(int value) {
    return std::wstring(1, static_cast<wchar_t>(L'0' + value / 10 % 10)) + static_cast<wchar_t>(L'0' + value % 10);
}

// Now in local time, "2026-12-08 01:30:00"; UTC with a "Z" where no local time is known.
std::wstring timeStamp() {
    CalendarTime time{};
    int64_t now = platformWallSeconds();
    bool local = platformLocalCalendar(now, &time);
    if (!local) {
        int64_t day = now % 86400;
        time.hour = static_cast<int>(day / 3600);
        time.minute = static_cast<int>(day / 60 % 60);
        time.second = static_cast<int>(day % 60);
    }
    std::wstring text = std::to_wstring(time.year) + L"-" + twoDigits(time.month) + L"-" + twoDigits(time.day) + L" " +
                        twoDigits(time.hour) + L":" + twoDigits(time.minute) + L":" + twoDigits(time.second);
    return local ? text : text + L"Z";
}

bool plainCharacter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           std::wstring(L"_-./=:,+@%").find(c) != std::wstring::npos;
}

}  // namespace

std::wstring shellLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) line += L" ";
        bool plain = !argument.empty();
        for (wchar_t c : argument) plain = plain && plainCharacter(c);
        if (plain) {
            line += argument;
            continue;
        }
        line += L"'";
        for (wchar_t c : argument) line += c == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, c);
        line += L"'";
    }
    return line;
}

bool openLogFile(LogFile* log, const WideString& path, int* reason) {
    log->file = platformOpenOwnAppendFile(path.buffer, reason);
    if (!log->file) return false;
    std::setvbuf(log->file, nullptr, _IOFBF, kLineBuffer);
    return true;
}

void writeLogFileLine(LogFile* log, const std::wstring& text) {
    if (!log->file) return;
    std::wstring line = timeStamp() + L" [" + std::to_wstring(platformProcessNumber()) + L"] " + text;
    NarrowString bytes = ToNarrowLossy(ControlsAsQuestionMarks(WideString(line.c_str())));
    std::string whole(bytes.buffer, static_cast<size_t>(bytes.length));
    whole += LINE_END;
    SystemResult written = platformWriteBytes(log->file, whole.data(), whole.size());
    if (!written && log->failure.empty()) log->failure = platformReasonText(written.reason);
}

bool closeLogFile(LogFile* log) {
    if (!log->file) return log->failure.empty();
    SystemResult kept = platformCloseFile(log->file);
    log->file = nullptr;
    if (!kept && log->failure.empty()) log->failure = platformReasonText(kept.reason);
    return log->failure.empty();
}
