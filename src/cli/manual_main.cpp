// korvane_manual: writes the front end's manual page and bash completion at
// build time, from the option table the program itself reads.
//   korvane_manual MANPAGE COMPLETION DATE
#include <cstdio>
#include <fstream>
#include <string>

#include "cli/manual.h"
#include "cli/version.h"

namespace {

// Writes text, ASCII by construction, as bytes; false when it cannot.
bool writeAscii(const char* path, const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        if (static_cast<unsigned long>(c) > 0x7f) {
            std::fprintf(stderr, "korvane_manual: a character beyond ASCII for %s\n", path);
            return false;
        }
        bytes += static_cast<char>(c);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
        std::fprintf(stderr, "korvane_manual: cannot write %s\n", path);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: korvane_manual MANPAGE COMPLETION DATE\n");
        return 2;
    }
    const UsageWords& words = usageWords();
    std::wstring problem;
    if (!checkOptionWords(words, &problem)) {
        std::fprintf(stderr, "korvane_manual: %ls\n", problem.c_str());
        return 1;
    }
    std::string date = argv[3];
    std::wstring version = korvaneVersion();
    bool written = writeAscii(argv[1], manualPage(words, version, std::wstring(date.begin(), date.end()))) &&
                   writeAscii(argv[2], bashCompletion(words));
    return written ? 0 : 1;
}
