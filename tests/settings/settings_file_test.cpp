#include <gtest/gtest.h>

#include <regex>
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
        {"\xEF\xBB\xBF"
         "1006=1",
         true,
         "\xEF\xBB\xBF"
         "1006",
         "1", 0},
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
    writeFile(temp.at("k.ini"),
              "\xEF\xBB\xBF"
              "1006=1\r\n\r\n1013=D:\\b\n=1\nnothing\n1013=later\n1011=x=y");
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

// The written-out split gives what the line pattern gives, on lines the
// pattern's matcher can still take: a table of the odd cases, then every
// short line over a small alphabet that holds the bytes that matter.
TEST(SettingLine, SplitAgreesWithTheLinePattern) {
    const std::regex pattern(SETTING_LINE_PATTERN, std::regex::ECMAScript);
    std::vector<std::string> lines = {
        "a=b",
        "==",
        "===",
        "=a=",
        "a=\r",
        "a\r=b",
        "\r=",
        "a=b\n",
        "\n=a",
        std::string("a\0=b", 4),
        std::string("=\0", 2),
        std::string("\0=", 2),
        "\xff=\xfe",
        "\x85=\x85",
        "\xe2\x80\xa8=x",
        "k= v ",
        " = ",
        "a=b=c=",
    };
    const char alphabet[] = {'=', 'a', '\r', '\n', '\0', '\xff', ' '};
    std::vector<std::string> level = {""};
    for (int length = 1; length <= 5; ++length) {
        std::vector<std::string> next;
        for (const std::string& line : level) {
            for (char c : alphabet) next.push_back(line + c);
        }
        lines.insert(lines.end(), next.begin(), next.end());
        level = next;
    }
    for (const std::string& line : lines) {
        std::smatch match;
        bool expected = std::regex_match(line, match, pattern);
        std::string key = "untouched";
        std::string value = "untouched";
        ASSERT_EQ(ParseSettingLine(line, key, value), expected) << testing::PrintToString(line);
        if (expected) {
            EXPECT_EQ(key, match[1].str()) << testing::PrintToString(line);
            EXPECT_EQ(value, match[2].str()) << testing::PrintToString(line);
        } else {
            EXPECT_EQ(key, "untouched");
            EXPECT_EQ(value, "untouched");
        }
    }
}

// A line of a megabyte once overflowed the stack in the pattern's matcher.
TEST(SettingsFile, MegabyteLineIsRead) {
    TempDir temp;
    std::string rule(1024 * 1024, 'r');
    writeFile(temp.at("k.ini"), "1008=1\r\n1011=" + rule + "\r\n1006=" + std::string(1024 * 1024, '=') + "1\r\n");
    std::vector<SettingLine> lines;
    ASSERT_TRUE(ReadSettingLines(temp.wide("k.ini"), &lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].value, rule);
    EXPECT_EQ(lines[2].id, 1006);
    EXPECT_EQ(lines[2].value, "1");
}

// A rule kept one byte per character, a byte the code page rejects among
// them, is never loaded as the empty text: its bytes come back as escapes,
// which a run refuses as a rule.
TEST(SettingsFile, RuleThatDoesNotDecodeKeepsItsBytes) {
    bool utf8 = WideString(L"\x00e9").ToNarrow().length == 2;
    EXPECT_EQ(fromWide(SettingRuleText(".+/\\.svn.*")), L".+/\\.svn.*");
    WideString nul = SettingRuleText(std::string("a\0b", 3));
    EXPECT_EQ(nul.length, 3);
    EXPECT_TRUE(HasUnwritableUnit(nul));
    if (!utf8) return;
    WideString loaded = SettingRuleText(".*caf\xe9.*");
    EXPECT_EQ(loaded.length, 8);
    EXPECT_TRUE(HasUnwritableUnit(loaded));
    EXPECT_EQ(fromWide(SettingRuleText(".*caf\xc3\xa9.*")), L".*caf\x00e9.*");
}

}  // namespace
