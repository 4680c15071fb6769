#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "settings/settings_keys.h"
#include "support/test_support.h"

namespace {

// What a start makes of the file: each field's text or number, the last line of a key winning.
std::map<int, std::wstring> loadTexts(const fs::path& file, std::map<int, int>* numbers = nullptr) {
    std::vector<SettingLine> lines;
    EXPECT_TRUE(ReadSettingLines(toWide(file), &lines));
    std::map<int, std::wstring> texts;
    for (const SettingLine& line : lines) {
        SettingValue value;
        if (!ReadSettingValue(line, &value)) continue;
        if (value.key->kind != SETTING_CHECK) {
            texts[value.key->key] = fromWide(value.text);
        } else if (numbers) {
            (*numbers)[value.key->key] = value.number;
        }
    }
    return texts;
}

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

// Each text is saved as earlier versions saved it, and, where that loses it,
// a "utf8:" line after it that earlier versions skip; a start reads every
// text back whole. A second line marked "always" must come whatever the
// code page; the others come where the code page lacks a character.
TEST(SettingsFile, EveryTextSurvivesASaveAndAStart) {
    struct Case {
        int key;
        std::wstring text;
        const char* first;  // the first line, where no code page changes it
        const char* full;   // the second line, where there is one
        bool always;        // the second line is there in every code page
    };
    const std::vector<Case> cases = {
        {1012, L"C:\\Data", "1012=C:\\Data", nullptr, false},
        {1012, L"", "1012=", nullptr, false},
        {1014, L"D:\\100% sure", "1014=D:\\100% sure", nullptr, false},
        // An "=" once moved the line's split: the path came back as its tail.
        {1013, L"D:\\a=b", "1013=D:\\a=b", "utf8:1013=D:\\a%3Db", true},
        {1011, L"a=b", "1011=a=b", "utf8:1011=a%3Db", true},
        // A lone surrogate, which Windows names may hold, fits no code page.
        {1015, L"E:\\\xD800.txt", "1015=", "utf8:1015=E:\\%ED%A0%80.txt", true},
        {1012, L"D:\\Fotos \x65C5", nullptr, "utf8:1012=D:\\Fotos%20%E6%97%85", false},
        {1013, L"E:\\\U0001F600", nullptr, "utf8:1013=E:\\%F0%9F%98%80", false},
        // A rule kept byte per character that UTF-8 would read otherwise.
        {1011, L".*caf\x00E9.*", nullptr, "utf8:1011=.*caf%C3%A9.*", false},
        {1011, L".*\x20AC.*", nullptr, "utf8:1011=.*%E2%82%AC.*", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const SettingKey* key = FindSettingKey(c.key);
        ASSERT_NE(key, nullptr);
        std::vector<std::string> lines = SettingTextLines(*key, WideString(c.text.c_str()));
        ASSERT_GE(lines.size(), 1u);
        ASSERT_LE(lines.size(), 2u);
        if (c.first) {
            EXPECT_EQ(lines[0], c.first);
        }
        EXPECT_EQ(std::atoi(lines[0].c_str()), c.key);
        if (c.always) {
            EXPECT_EQ(lines.size(), 2u);
        }
        if (lines.size() == 2) {
            ASSERT_NE(c.full, nullptr) << lines[1];
            EXPECT_EQ(lines[1], c.full);
            std::string key2;
            std::string value;
            ASSERT_TRUE(ParseSettingLine(lines[1], key2, value));
            EXPECT_EQ(std::atoi(key2.c_str()), 0) << "earlier versions skip it";
        }
        TempDir temp;
        std::string file;
        for (const std::string& line : lines) file += line + "\r\n";
        writeFile(temp.at("k.ini"), file);
        EXPECT_EQ(loadTexts(temp.at("k.ini"))[c.key], c.text);
    }
}

// Files of earlier versions load as they always did, and a "utf8:" line
// that does not hold a text is skipped, leaving what the lines before it set.
TEST(SettingsFile, EarlierFilesReadAsBeforeAndBrokenFullTextsAreSkipped) {
    struct Case {
        std::string file;
        int key;
        std::wstring text;
    };
    const std::vector<Case> cases = {
        {"1012=C:\\Data\r\n1013=\r\n", 1012, L"C:\\Data"},
        {"1012=C:\\Data\r\n1013=\r\n", 1013, L""},
        {"1013=D:\\a=b\r\n", 1013, L"b"},
        {"1012=utf8:C:%41\r\n", 1012, L"utf8:C:%41"},
        {"1011=.+\\\\\\.svn.*\r\n", 1011, L".+\\\\\\.svn.*"},
        {"1012=old\nutf8:1012=new%20one\n", 1012, L"new one"},
        {"utf8:1012=new\n1012=old\n", 1012, L"old"},
        {"1016=x\nutf8:1016=%E2%82%AC\n", 1016, L"\x20AC"},
        {"1012=old\nutf8:1012=Caf\xC3\xA9 raw\n", 1012, L"Caf\x00E9 raw"},
        {"1012=old\nutf8:1012=%ed%a0%80\n", 1012, L"\xD800"},
        {"1012=old\nutf8:1012=%zz\n", 1012, L"old"},
        {"1012=old\nutf8:1012=%4\n", 1012, L"old"},
        {"1012=old\nutf8:1012=a%00b\n", 1012, L"old"},
        {"1012=old\nutf8:1012=%C0%80\n", 1012, L"old"},
        {"1012=old\nutf8:1012=%E6%97\n", 1012, L"old"},
        {"1012=old\nutf8:1012=%F4%90%80%80\n", 1012, L"old"},
        {"1012=old\nutf8:1012=\xFF\n", 1012, L"old"},
        {"1012=old\nutf8:99=x\n", 1012, L"old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.file));
        TempDir temp;
        writeFile(temp.at("k.ini"), c.file);
        EXPECT_EQ(loadTexts(temp.at("k.ini"))[c.key], c.text);
    }
    // A check box takes no full text.
    TempDir temp;
    writeFile(temp.at("k.ini"), "1006=1\nutf8:1006=0\n1007=0\n");
    std::map<int, int> numbers;
    loadTexts(temp.at("k.ini"), &numbers);
    EXPECT_EQ(numbers[1006], 1);
    EXPECT_EQ(numbers[1007], 0);
}

}  // namespace
