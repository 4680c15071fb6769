// Settings lines and files, as any bytes a settings file may hold. On lines
// short enough for the line pattern's matcher, the written-out split must
// give the pattern's key and value, and refuse what the pattern refuses.
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "settings/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        std::string key = "k";
        std::string value = "v";
        bool split = ParseSettingLine(line, key, value);
        if (split) {
            SettingNumber(key);
            SettingNumber(value);
        }
        if (line.size() <= 512) {
            static const std::regex pattern(SETTING_LINE_PATTERN, std::regex::ECMAScript);
            std::smatch match;
            bool matched = std::regex_match(line, match, pattern);
            if (matched != split) __builtin_trap();
            if (matched && (match[1].str() != key || match[2].str() != value)) __builtin_trap();
            if (!matched && (key != "k" || value != "v")) __builtin_trap();
        }
        SettingRuleText(line);
        start = end + 1;
    }
    std::vector<SettingLine> lines;
    ReadSettingLines(fuzzFile(data, size), &lines);
    for (const SettingLine& line : lines) WideString widened(line.value.c_str());
    return 0;
}
