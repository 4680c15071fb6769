// The one line reader of the list file and the settings file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/line_reader.h"
#include "base/text_file.h"
#include "base/separator.h"
#include "support/test_support.h"

namespace {

bool collect(void* data, ReadLine* line) {
    auto* lines = static_cast<std::vector<std::string>*>(data);
    lines->push_back(std::to_string(line->number) + (line->overflowed ? "+" : ":") + line->bytes);
    return true;
}

TEST(LineReader, SplitsKeepsAndNumbers) {
    struct Case {
        std::string contents;
        size_t keep;
        std::vector<std::string> lines;
    };
    const std::string ctrlZ = std::string("a\n\x1A") + "b\n";
    const std::vector<Case> cases = {
        {"", 100, {}},
        {"a", 100, {"1:a"}},
        {"a\nb\n", 100, {"1:a", "2:b"}},
        {"a\r\nb\r\n", 100, {"1:a", "2:b"}},
        {"a\r\r\n", 100, {"1:a\r"}},
        {"a\r", 100, {"1:a"}},
        {"\n\nc", 100, {"1:", "2:", "3:c"}},
        {"abcdef\nxy\n", 3, {"1+abc", "2:xy"}},
        {"abcdef", 3, {"1+abc"}},
        {ctrlZ, 100,
         TEXT_ENDS_AT_CTRL_Z ? std::vector<std::string>{"1:a"}
                             : std::vector<std::string>{"1:a",
                                                        "2:\x1A"
                                                        "b"}},
    };
    TempDir temp;
    for (const Case& c : cases) {
        writeFile(temp.at("lines.txt"), c.contents);
        std::vector<std::string> lines;
        EXPECT_TRUE(readLines(temp.wide("lines.txt").buffer, c.keep, collect, &lines));
        EXPECT_EQ(lines, c.lines) << c.contents;
    }
    std::vector<std::string> none;
    EXPECT_FALSE(readLines(temp.wide("missing.txt").buffer, 100, collect, &none));
}

}  // namespace
