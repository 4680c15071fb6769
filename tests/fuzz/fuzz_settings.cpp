// Settings lines and files, as any bytes a settings file may hold.
#include <cstdint>
#include <cstdio>
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
        std::string key = "k";
        std::string value = "v";
        if (ParseSettingLine(text.substr(start, end - start), key, value)) {
            SettingNumber(key);
            SettingNumber(value);
        }
        start = end + 1;
    }
    std::vector<SettingLine> lines;
    ReadSettingLines(fuzzFile(data, size), &lines);
    for (const SettingLine& line : lines) WideString widened(line.value.c_str());
    return 0;
}
