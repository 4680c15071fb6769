#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "support/test_support.h"

namespace {

TEST(SettingLine, SplitsAtTheLastEquals) {
    struct Case {
        std::string line;
        bool matches;
        std::string key;
        std::string value;
        int id;
    };
    const std::vector<Case> cases = {
        {"1013=D:\\backup", true, "1013", "D:\\backup", 1013},
        {"1011=a=b", true, "1011=a", "b", 1011},
        {" 1007 = 1", true, " 1007 ", " 1", 1007},
        {"1007=yes", true, "1007", "yes", 1007},
        {"1007=", true, "1007", "", 1007},
        {"abc=1", true, "abc", "1", 0},
        {"\xEF\xBB\xBF" "1006=1", true, "\xEF\xBB\xBF" "1006", "1", 0},
        {"=1", false, "", "", 0},
        {"1006", false, "", "", 0},
        {"", false, "", "", 0},
    };
    for (const Case& c : cases) {
        std::string key = "untouched";
        std::string value = "untouched";
        EXPECT_EQ(ParseSettingLine(c.line, key, value), c.matches) << c.line;
        if (!c.matches) {
            EXPECT_EQ(key, "untouched");
            continue;
        }
        EXPECT_EQ(key, c.key) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
        EXPECT_EQ(std::atoi(key.c_str()), c.id) << c.line;
    }
}

TEST(SettingLine, NumbersReadAsAtoiReads) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"1", 1}, {"0", 0}, {" 1", 1}, {"yes", 0}, {"", 0}, {"2", 2}, {"-1", -1}, {"1x", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(SettingNumber(c.first), c.second) << c.first;
}

TEST(SettingsFile, ReadsMatchingLinesInOrder) {
    TempDir temp;
    writeFile(temp.at("k.ini"), "\xEF\xBB\xBF" "1006=1\r\n\r\n1013=D:\\b\n=1\nnothing\n1013=later\n1011=x=y");
    std::vector<SettingLine> lines;
    ASSERT_TRUE(ReadSettingLines(temp.wide("k.ini"), &lines));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].id, 0);  // a byte-order mark spoils the first key
    EXPECT_EQ(lines[1].id, 1013);
    EXPECT_EQ(lines[1].value, "D:\\b");
    EXPECT_EQ(lines[2].value, "later");
    EXPECT_EQ(lines[3].id, 1011);
    EXPECT_EQ(lines[3].value, "y");
    EXPECT_FALSE(ReadSettingLines(temp.wide("missing.ini"), &lines));
}

}  // namespace
