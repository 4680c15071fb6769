#include "settings/settings_file.h"

#include <cstdio>
#include <cstdlib>

#include "fs/line_reader.h"
#include "fs/paths.h"
#include "platform/platform.h"

// The split SETTING_LINE_PATTERN makes, written out so that a line of any
// length takes no recursion: "." matches every byte but CR and LF, so a line
// holding either does not match; the greedy key ends at the last "=", which
// must leave the key at least one byte.
bool ParseSettingLine(const std::string& line, std::string& key, std::string& value) {
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    size_t equals = line.rfind('=');
    if (equals == std::string::npos || equals == 0) return false;
    key = line.substr(0, equals);
    value = line.substr(equals + 1);
    return true;
}

WideString SettingRuleText(const std::string& value) {
    WideString text;
    if (DecodeNarrow(value.data(), value.size(), &text)) return text;
    return DecodeNarrowEscaped(value.data(), value.size());
}

int SettingNumber(const std::string& value) { return std::atoi(value.c_str()); }

namespace {

bool keepSettingLine(void* data, ReadLine* line) {
    std::string key;
    std::string value;
    if (!line->bytes.empty() && ParseSettingLine(line->bytes, key, value)) {
        static_cast<std::vector<SettingLine>*>(data)->push_back(SettingLine{std::atoi(key.c_str()), value});
    }
    return true;
}

}  // namespace

// Lines end in LF, with or without a CR before it; the last line needs no end.
bool ReadSettingLines(const WideString& path, std::vector<SettingLine>* lines, int* failure) {
    lines->clear();
    if (!fileExists(path)) return false;
    int reason = 0;
    bool read = readLines(path.buffer, static_cast<size_t>(-1), keepSettingLine, lines, &reason);
    if (failure) *failure = read ? 0 : (reason != 0 ? reason : FAILURE_NOT_PLAIN_FILE);
    return true;
}

WideString SettingsFilePath(const WideString& title) {
    wchar_t buffer[260] = {0};
    if (platformCurrentDirectory(buffer, 260) == 0) return WideString();
    WideString directory(buffer);
    if (!directoryExists(directory)) return WideString();
    directory.AppendSeparator();
    return directory + title + L".ini";
}
