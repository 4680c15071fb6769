// Settings lines and files, as any bytes a settings file may hold. On lines
// short enough for the line pattern's matcher, the written-out split must
// give the pattern's key and value, and refuse what the pattern refuses.
// Every text a line gives a field must come back whole from the lines a
// save writes for it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "settings/settings_file.h"

namespace {

const size_t kPrefixLength = std::strlen(SETTING_FULL_TEXT_PREFIX);

void checkTextSurvives(const SettingValue& value) {
    if (value.key->kind == SETTING_CHECK) return;
    WideString back;
    bool found = false;
    for (const std::string& written : SettingTextLines(*value.key, value.text)) {
        std::string key;
        std::string stored;
        if (!ParseSettingLine(written, key, stored)) continue;
        bool full = key.compare(0, kPrefixLength, SETTING_FULL_TEXT_PREFIX) == 0;
        SettingValue read;
        if (ReadSettingValue(SettingLine{std::atoi(key.c_str() + (full ? kPrefixLength : 0)), stored, full}, &read)) {
            back = read.text;
            found = true;
        }
    }
    if (!found || back != value.text) __builtin_trap();
}

}  // namespace

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
        if (split) {
            // The value read both ways, under the key's number with or without the full-text prefix.
            bool prefixed = key.compare(0, kPrefixLength, SETTING_FULL_TEXT_PREFIX) == 0;
            int id = SettingNumber(prefixed ? key.substr(kPrefixLength) : key);
            for (bool full : {false, true}) {
                SettingValue read;
                if (ReadSettingValue(SettingLine{id, value, full}, &read)) checkTextSurvives(read);
            }
        }
        start = end + 1;
    }
    std::vector<SettingLine> lines;
    ReadSettingLines(fuzzFile(data, size), &lines);
    for (const SettingLine& line : lines) WideString widened(line.value.c_str());
    return 0;
}
