// The manual page and the completion, written from the usage words.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/manual.h"
#include "cli/options.h"

namespace {

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// The words the completion offers after "-".
std::vector<std::wstring> offered(const std::wstring& completion) {
    const std::wstring start = L"compgen -W '";
    size_t from = completion.find(start) + start.size();
    std::wstring list = completion.substr(from, completion.find(L'\'', from) - from);
    std::vector<std::wstring> names;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find(L' ', at);
        if (end == std::wstring::npos) end = list.size();
        names.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

// The first line of the completion's branch for an option's value.
std::wstring actionAfter(const std::wstring& completion, const std::wstring& name) {
    for (size_t at = 0; at < completion.size();) {
        size_t end = completion.find(L'\n', at);
        std::wstring line = completion.substr(at, end - at);
        if (line.size() > 1 && line.back() == L')' &&
            (contains(line, L" " + name + L" ") || contains(line, L" " + name + L")"))) {
            size_t next = completion.find(L'\n', end + 1);
            std::wstring action = completion.substr(end + 1, next - end - 1);
            return action.substr(action.find_first_not_of(L' '));
        }
        at = end + 1;
    }
    return L"(no branch)";
}

// The real words with one option put in front of them.
UsageWords withOption(const OptionDoc& option) {
    UsageWords words = usageWords();
    words.options.insert(words.options.begin(), option);
    return words;
}

// Whatever is added to the table, the three texts can be written from it: an
// option without its help text, or that clashes with another, stops the build.
TEST(Manual, EveryOptionHasItsWords) {
    std::wstring problem;
    ASSERT_TRUE(checkOptionWords(usageWords(), &problem)) << problem;

    struct Case {
        OptionDoc option;
        const wchar_t* problem;
    };
    const std::vector<Case> cases = {
        {{L'j', L"jobs", true, L"N", nullptr}, L"option --jobs has no help text"},
        {{L'j', L"jobs", true, L"N", L""}, L"option --jobs has no help text"},
        {{0, L"jobs", true, L"N", L" \n "}, L"option --jobs has no help text"},
        {{0, L"jobs", true, L"", L"how many"}, L"option --jobs takes a value the usage text does not show"},
        {{0, L"jobs", false, L"N", L"how many"}, L"option --jobs shows a value it does not take"},
        {{0, L"sync", false, L"", L"again"}, L"option --sync is in the table twice"},
        {{L's', L"sideways", false, L"", L"clash"}, L"options --sideways and --sync share the short name -s"},
        {{L'?', L"what", false, L"", L"odd"}, L"option --what has a short name that is not a letter"},
        {{0, L"two words", false, L"", L"odd"}, L"option [two words] is not named"},
        {{0, L"-dash", false, L"", L"odd"}, L"option [-dash] is not named"},
        {{0, L"", false, L"", L"odd"}, L"option [] is not named"},
        {{0, nullptr, false, L"", L"odd"}, L"option [] is not named"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        problem.clear();
        EXPECT_FALSE(checkOptionWords(withOption(c.option), &problem));
        EXPECT_EQ(problem.compare(0, std::wcslen(c.problem), c.problem), 0) << problem;
    }
}

// The usage text, the manual page and the completion name the same options.
TEST(Manual, AllThreeNameEveryOption) {
    const UsageWords& words = usageWords();
    std::wstring usage = usageText();
    std::wstring page = manualPage(words, L"9.8", L"2026-01-02");
    std::wstring completion = bashCompletion(words);
    for (const OptionDoc& option : words.options) {
        std::wstring name = L"--" + std::wstring(option.longName);
        std::wstring manName;
        for (wchar_t c : name) manName += c == L'-' ? std::wstring(L"\\-") : std::wstring(1, c);
        SCOPED_TRACE(name);
        EXPECT_TRUE(contains(usage, name + (option.takesValue ? L" " : L"")));
        EXPECT_TRUE(contains(page, L".TP\n") && contains(page, L"\\fB" + manName + L"\\fR"));
        std::vector<std::wstring> names = offered(completion);
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
        if (option.shortName) {
            EXPECT_TRUE(contains(usage, std::wstring(L"  -") + option.shortName + L", " + name));
            EXPECT_TRUE(contains(page, std::wstring(L"\\fB\\-") + option.shortName + L"\\fR, \\fB" + manName));
        }
    }
    for (const ExitStatusDoc& status : words.exitStatuses) {
        EXPECT_TRUE(contains(page, L".TP\n.B " + std::to_wstring(status.status) + L"\n"));
    }
    EXPECT_TRUE(contains(page, L".TH KORVANE 1 2026\\-01\\-02 \"korvane 9.8\" \"User Commands\"\n"));
    size_t at = 0;
    for (const wchar_t* section :
         {L"NAME", L"SYNOPSIS", L"DESCRIPTION", L"OPTIONS", L"EXIT STATUS", L"FILES", L"EXAMPLES", L"SEE ALSO"}) {
        size_t next = page.find(L"\n.SH " + std::wstring(section) + L"\n", at);
        EXPECT_NE(next, std::wstring::npos) << section << " missing or out of order";
        if (next != std::wstring::npos) at = next;
    }
}

// What the formatter would take as its own is written so that it prints as
// it stands; a value's name tells what the completion offers for it.
TEST(Manual, WordsReachTheReaderAsWritten) {
    UsageWords words = withOption({0, L"odd", true, L"[DIR]", L".first\nback\\slash 'quoted' caf\u00e9 a-b"});
    words.options.push_back({L'k', L"keep", true, L"DIR", L"a folder"});
    words.options.push_back({0, L"pick", true, L"LIST", L"a list"});
    words.options.push_back({0, L"count", true, L"N", L"a number"});
    std::wstring page = manualPage(words, L"1.0", L"2026-01-02");
    EXPECT_TRUE(contains(page, L"\n\\&.first back\\eslash \\(aqquoted\\(aq caf\\[u00E9] a\\-b\n")) << page;
    EXPECT_TRUE(contains(page, L"\\fB\\-\\-odd\\fR [\\fIDIR\\fR]\n"));
    for (wchar_t c : page) EXPECT_LT(static_cast<unsigned>(c), 0x80u);

    std::wstring completion = bashCompletion(words);
    EXPECT_EQ(actionAfter(completion, L"--pick"), L"_filedir");
    EXPECT_EQ(actionAfter(completion, L"--keep"), L"_filedir -d");
    EXPECT_EQ(actionAfter(completion, L"-k"), L"_filedir -d");
    EXPECT_EQ(actionAfter(completion, L"--count"), L"return");
    // The program's own: a path of TO, a destination folder; an option in brackets of a form in bold.
    std::wstring program = bashCompletion(usageWords());
    EXPECT_EQ(actionAfter(program, L"--restore"), L"_filedir");
    EXPECT_EQ(actionAfter(program, L"--restore-to"), L"_filedir -d");
    EXPECT_TRUE(contains(manualPage(usageWords(), L"1.0", L"2026-01-02"), L"[\\fB\\-\\-as\\-of\\fR \\fITIME\\fR]"));
    // A value that may be left out gives way to the next option.
    EXPECT_EQ(actionAfter(completion, L"--odd"), L"if [[ $cur != -* ]]; then");
    EXPECT_TRUE(contains(completion, L"                _filedir -d\n                return\n            fi\n"));
}

// The README shows the usage text as it stands, in the block after the line that says so.
TEST(Manual, TheReadmeShowsTheUsageTextAsItStands) {
    std::ifstream readme(KORVANE_SOURCE_TREE "/README.md", std::ios::binary);
    ASSERT_TRUE(readme.good());
    std::stringstream whole;
    whole << readme.rdbuf();
    std::string text = whole.str();
    size_t said = text.find("`korvane --help` prints this");
    ASSERT_NE(said, std::string::npos) << "the README no longer says where the usage text is";
    size_t start = text.find("```\n", said);
    ASSERT_NE(start, std::string::npos);
    start += 4;
    size_t end = text.find("```\n", start);
    ASSERT_NE(end, std::string::npos);
    std::wstring usage = usageText();
    std::string expected;
    for (wchar_t c : usage) expected += static_cast<char>(c);  // the usage text is ASCII
    EXPECT_EQ(text.substr(start, end - start), expected) << "paste `korvane --help` into the README's block";
}

}  // namespace
