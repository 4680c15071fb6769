#include "settings/settings_file.h"

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "fs/paths.h"
#include "platform/platform.h"

bool ParseSettingLine(std::string line, std::string& key, std::string& value) {
    const std::regex pattern(SETTING_LINE_PATTERN, std::regex::ECMAScript);
    std::smatch match;
    if (!std::regex_match(line, match, pattern)) return false;
    key = match[1].str();
    value = match[2].str();
    return true;
}

int SettingNumber(const std::string& value) { return std::atoi(value.c_str()); }

// Lines end in LF, with or without a CR before it; the last line needs no end.
bool ReadSettingLines(const WideString& path, std::vector<SettingLine>* lines) {
    lines->clear();
    if (!fileExists(path)) return false;
    FILE* file = platformOpenRead(path.buffer);
    if (!file) return true;
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    std::fclose(file);

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string key;
        std::string value;
        if (!ParseSettingLine(line, key, value)) continue;
        lines->push_back(SettingLine{std::atoi(key.c_str()), value});
    }
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
