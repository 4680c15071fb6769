#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/list_index.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "support/recording_host.h"

namespace {

// The entries of the last list file read, read back in the list's order.
std::vector<std::wstring> listedEntries() {
    std::vector<std::wstring> entries;
    std::wstring units;
    for (PackedAt at = 0; NextPacked(runContext.listEntries, &at, &units);) entries.push_back(units);
    return entries;
}

struct ListRun : FolderPairTest {
    WideString list = temp.wide("list.txt");

    int run(const std::string& contents, bool show = true) {
        writeFile(temp.at("list.txt"), contents);
        return runWith(show, from, to, list);
    }
    int runWith(bool show, const WideString& source, const WideString& target, const WideString& listFile) {
        host.statuses.clear();
        openRunLog(temp.wide("korvaneui.log"));
        runContext.hadErrors = false;
        int result = ListCopyRun(show, source, target, listFile);
        closeRunLog();
        return result;
    }
    std::vector<std::string> log() { return logLines(temp.at("korvaneui.log")); }
    std::string path(const std::string& relative) { return logText(temp.wide(relative)); }
};

TEST(ListFile, LinesMarksAndLineEnds) {
    TempDir temp;
    resetRunContext();
    struct Case {
        std::string contents;
        std::vector<std::wstring> entries;
    };
    const std::vector<Case> cases = {
        {"a.txt\nsub/b.txt\n", {L"a.txt", L"sub/b.txt"}},
        {"a.txt\r\nb.txt\r\n", {L"a.txt", L"b.txt"}},
        {"a.txt\nlast", {L"a.txt", L"last"}},
        {"\n\n\r\n", {}},
        {"\xEF\xBB\xBF"
         "first\n\xEF\xBB\xBF\nthird\xEF\xBB\xBF\n",
         {L"first", fromWide(WideString("third\xEF\xBB\xBF"))}},
        {"trailing  \n", {L"trailing  "}},
        {"", {}},
    };
    std::vector<ListLineFault> faults;
    for (const Case& c : cases) {
        writeFile(temp.at("list"), c.contents);
        int count = readListFile(temp.wide("list"), &faults);
        std::vector<std::wstring> entries = listedEntries();
        EXPECT_EQ(count, static_cast<int>(c.entries.size())) << c.contents;
        EXPECT_EQ(entries, c.entries) << c.contents;
    }
    EXPECT_EQ(readListFile(temp.wide("missing"), &faults), -1);
}

TEST(ListFile, EntriesLeavingTheFolder) {
    struct Case {
        const wchar_t* entry;
        bool leaves;
    };
    std::vector<Case> cases = {
        {L"a.txt", false},      {L"sub/b.txt", false}, {L"..", true},     {L"../x", true},
        {L"sub/../../x", true}, {L"sub/..", true},     {L"..x/y", false}, {L"x../y", false},
        {L"/etc/passwd", true}, {L" ../x", false},     {L"./a", false},
    };
    // Windows drops dots and blanks at a name's end: a name of nothing else may climb out.
    for (const wchar_t* dots : {L"...", L".. ", L"sub/.. /.. /x", L". ."}) cases.push_back({dots, onWindows()});
    if (onWindows()) {
        cases.push_back({L"..\\x", true});
        cases.push_back({L"sub\\..\\..\\x", true});
        cases.push_back({L"C:\\Windows\\x", true});
        cases.push_back({L"C:x", true});
        cases.push_back({L"\\\\server\\share\\x", true});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(listEntryLeavesFolder(WideString(c.entry)), c.leaves) << fromWide(WideString(c.entry));
    }
}

TEST_F(ListRun, CopiesListedEntriesAndReportsTotals) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/sub/b.txt"), "b");
    writeFile(temp.at("from/unlisted.txt"), "u");
    std::string sep = onWindows() ? "\\" : "/";
    EXPECT_EQ(run("a.txt\nsub" + sep + "b.txt\na.txt\n"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/sub/b.txt")), "b");
    EXPECT_FALSE(fs::exists(temp.at("to/unlisted.txt")));

    std::vector<std::string> lines = log();
    std::vector<std::string> expected = {
        "Start to copy [" + path("from") + "] -> [" + path("to") + "]...",
        "",
        "  CP: [" + path("from") + sep + "a.txt] -> [" + path("to") + sep + "a.txt]",
        "  CP: [" + path("from") + sep + "sub" + sep + "b.txt] -> [" + path("to") + sep + "sub" + sep + "b.txt]",
        "",
        "End of copy [" + path("from") + "] -> [" + path("to") + "].",
        "",
        "Total: [3 files].",
        "Updated: [2 files]. ",
    };
    ASSERT_EQ(lines.size(), expected.size() + 4);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()), expected);
    EXPECT_EQ(host.statuses.back(), std::make_pair(STATUS_INFO, std::wstring(L"Total: [3 files].")));
    EXPECT_EQ(runContext.listUpdatedCount, 2);
}

TEST_F(ListRun, EmptyListAndMissingEntry) {
    EXPECT_EQ(run("\n\n"), RUN_OK);
    EXPECT_EQ(log().back(), "Updated: [0 files]. ");
    EXPECT_EQ(log()[log().size() - 2], "Total: [0 files].");

    EXPECT_EQ(run("nothing-here.txt\n"), RUN_HAD_ERRORS);
    std::string sep = onWindows() ? "\\" : "/";
    std::vector<std::string> lines = log();
    EXPECT_EQ(lines[6], "! Error => Copy failure: [" + path("from") + sep + "nothing-here.txt] -> [" + path("to") +
                            sep + "nothing-here.txt]");
}

TEST_F(ListRun, ChecksComeInOrder) {
    EXPECT_EQ(runWith(true, temp.wide("missing"), to, temp.wide("nolist")), RUN_NO_SOURCE);
    EXPECT_EQ(runWith(true, from, to, temp.wide("nolist")), RUN_NO_LIST_FILE);
    EXPECT_EQ(log().back(), "! Error => List file [" + path("nolist") + "] is not exist.");
    fs::create_directories(temp.at("from2"));
    writeFile(temp.at("list.txt"), "x\n");
    EXPECT_EQ(runWith(true, from, temp.wide("from2"), list), RUN_DEST_INSIDE_SOURCE);
    EXPECT_EQ(log().size(), 5u);
}

TEST_F(ListRun, EntryOutsideTheFromFolderIsRefused) {
    writeFile(temp.at("secret.txt"), "secret");
    writeFile(temp.at("from/ok.txt"), "ok");
    fs::create_directories(temp.at("out/to"));
    std::string escape = onWindows() ? "..\\secret.txt" : "../secret.txt";
    writeFile(temp.at("list.txt"), escape + "\nok.txt\n");
    EXPECT_EQ(runWith(true, from, temp.wide("out/to"), list), RUN_HAD_ERRORS);
    EXPECT_TRUE(fs::exists(temp.at("out/to/ok.txt")));
    EXPECT_FALSE(fs::exists(temp.at("out/secret.txt")));
    std::vector<std::string> lines = log();
    EXPECT_EQ(lines[6], "! Error => List entry is outside the From Folder [" + escape + "].");
    EXPECT_EQ(lines[lines.size() - 2], "Total: [2 files].");
}

TEST_F(ListRun, UnreadableListIsAnError) {
    writeFile(temp.at("list.txt"), "a\n");
    fs::permissions(temp.at("list.txt"), fs::perms::none, fs::perm_options::replace);
    FILE* probe = std::fopen(temp.at("list.txt").string().c_str(), "rb");
    if (probe) {
        std::fclose(probe);
        GTEST_SKIP() << "this user can read any file";
    }
    EXPECT_EQ(runWith(true, from, to, list), RUN_LIST_READ_ERROR);
    EXPECT_EQ(log().back(), "! Error => Copy list error. [" + path("list.txt") + "]");
}

// Lines that cannot name an entry whole are errors for their line, never an
// empty or cut entry: bytes the code page rejects, a NUL, more than any path.
TEST(ListFile, LinesThatGiveNoEntryAreKeptAsFaults) {
    TempDir temp;
    resetRunContext();
    bool utf8 = WideString(L"\x00e9").ToNarrow().length == 2;
    struct Case {
        std::string contents;
        std::vector<std::wstring> entries;
        std::vector<long long> faultLines;
        std::vector<bool> tooLong;
        bool utf8Only;
    };
    const std::string longest(LIST_LINE_MAX_UNITS, 'p');
    const std::vector<Case> cases = {
        {"a.txt\ncaf\xe9.txt\n\nb.txt\n", {L"a.txt", L"b.txt"}, {2}, {false}, true},
        {"\xff\n\xc3\n", {}, {1, 2}, {false, false}, true},
        {std::string("a\0b.txt\nc\n", 10), {L"c"}, {1}, {false}, false},
        {std::string("\0\n", 2), {}, {1}, {false}, false},
        {longest + "\n" + longest + "q\nz", {std::wstring(longest.begin(), longest.end()), L"z"}, {2}, {true}, false},
        {std::string(LIST_LINE_MAX_BYTES + 10, 'x') + "\r\nok", {L"ok"}, {1}, {true}, false},
        {"\xEF\xBB\xBF"
         "caf\xe9\r\n",
         {},
         {1},
         {false},
         true},
    };
    std::vector<ListLineFault> faults;
    for (const Case& c : cases) {
        if (c.utf8Only && !utf8) continue;
        writeFile(temp.at("list"), c.contents);
        int count = readListFile(temp.wide("list"), &faults);
        std::vector<std::wstring> entries = listedEntries();
        std::vector<long long> lines;
        std::vector<bool> tooLong;
        for (const ListLineFault& fault : faults) {
            lines.push_back(fault.line);
            tooLong.push_back(fault.tooLong);
            EXPECT_GT(fault.shown.length, 0);
            EXPECT_LE(fault.shown.length, 203);
        }
        EXPECT_EQ(count, static_cast<int>(c.entries.size())) << c.contents.substr(0, 40);
        EXPECT_EQ(entries, c.entries) << c.contents.substr(0, 40);
        EXPECT_EQ(lines, c.faultLines) << c.contents.substr(0, 40);
        EXPECT_EQ(tooLong, c.tooLong) << c.contents.substr(0, 40);
    }
}

// The reproduction: a line the locale rejects copied From onto To itself and
// gave To From's mode. Now that line is an error with its number, the other
// entries are copied, and the run ends with failures.
TEST_F(ListRun, UndecodableLineIsAnErrorAndOthersGoOn) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/b.txt"), "b");
    writeFile(temp.at("from/a"), "only a");
    bool utf8 = WideString(L"\x00e9").ToNarrow().length == 2;
    std::string contents = std::string("a.txt\na\0junk\n", 13);
    if (utf8) contents += "caf\xe9.txt\n";
    contents += "b.txt\n";
    fs::permissions(temp.at("from"), fs::perms::owner_all, fs::perm_options::replace);
    fs::perms toBefore = fs::status(temp.at("to")).permissions();
    EXPECT_EQ(run(contents), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    EXPECT_EQ(readFile(temp.at("to/b.txt")), "b");
    EXPECT_FALSE(fs::exists(temp.at("to/a")));  // never the line cut at its NUL
    EXPECT_EQ(fs::status(temp.at("to")).permissions(), toBefore);
    std::vector<std::string> lines = log();
    std::string sep = onWindows() ? "\\" : "/";
    std::vector<std::string> expected = {
        "  CP: [" + path("from") + sep + "a.txt] -> [" + path("to") + sep + "a.txt]",
        "! Error => List entry is not valid text in the code page [a?junk] on line [2].",
    };
    if (utf8) expected.push_back("! Error => List entry is not valid text in the code page [caf?.txt] on line [3].");
    expected.push_back("  CP: [" + path("from") + sep + "b.txt] -> [" + path("to") + sep + "b.txt]");
    ASSERT_GE(lines.size(), 6 + expected.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.begin() + 6 + expected.size()), expected);
    EXPECT_EQ(lines[lines.size() - 2], utf8 ? "Total: [4 files]." : "Total: [3 files].");
    EXPECT_EQ(host.statuses.back().first, STATUS_INFO);
}

// A line far longer than any path is refused without being kept whole.
TEST_F(ListRun, HugeLineIsAnErrorForItsEntry) {
    writeFile(temp.at("from/ok.txt"), "ok");
    std::string huge(16 * 1024 * 1024, 'h');
    EXPECT_EQ(run(huge + "\nok.txt\n"), RUN_HAD_ERRORS);
    EXPECT_TRUE(fs::exists(temp.at("to/ok.txt")));
    std::vector<std::string> lines = log();
    EXPECT_EQ(lines[6],
              "! Error => List entry is longer than any path [" + std::string(200, 'h') + "...] on line [1].");
}

// The list is held packed: many lines, names of any script and the longest
// line a path may be come back as they were written, in their order.
TEST(ListFile, ManyEntriesComeBackAsWritten) {
    TempDir temp;
    resetRunContext();
    bool utf8 = WideString(L"\x00e9").ToNarrow().length == 2;
    std::string contents;
    std::vector<std::wstring> expected;
    for (int i = 0; i < 30000; ++i) {
        std::string number = std::to_string(i);
        contents += "d" + number + "/" + (utf8 ? "caf\xc3\xa9-\xe6\x96\x87" : "cafe") + number + "\n";
        expected.push_back(L"d" + std::wstring(number.begin(), number.end()) + L"/" +
                           (utf8 ? L"caf\x00e9-\x6587" : L"cafe") + std::wstring(number.begin(), number.end()));
        if (i == 12345) {
            contents += std::string(LIST_LINE_MAX_UNITS, 'p') + "\n";
            expected.push_back(std::wstring(LIST_LINE_MAX_UNITS, L'p'));
        }
    }
    writeFile(temp.at("list"), contents);
    std::vector<ListLineFault> faults;
    EXPECT_EQ(readListFile(temp.wide("list"), &faults), static_cast<int>(expected.size()));
    EXPECT_TRUE(faults.empty());
    EXPECT_EQ(listedEntries(), expected);
}

// Each entry finds the first entry of its path, however spelt ("./", "//",
// case where the system folds it), whether the table was sized for the
// list or has to grow.
TEST(ListIndex, EachEntryFindsTheFirstOfItsPath) {
    std::vector<std::wstring> lines = {L"a", L"b/c", L"./a", L"A", L"b//c", L"d", L"b/./c/", L"a", L"B/C"};
    for (int i = 0; i < 5000; ++i) lines.push_back(L"f" + std::to_wstring(i % 3000) + L"/g");
    PackedTexts entries;
    std::vector<PackedAt> places;
    std::map<std::wstring, PackedAt> firsts;
    std::vector<PackedAt> expected;
    for (const std::wstring& line : lines) {
        places.push_back(AppendPacked(&entries, line.data(), line.size()));
        expected.push_back(
            firsts.emplace(entryKey(normalEntry(WideString(line.c_str()))), places.back()).first->second);
    }
    EXPECT_EQ(expected[2], places[0]);
    EXPECT_EQ(expected[4], places[1]);
    for (size_t room : {lines.size(), size_t{0}}) {
        FirstEntries first;
        prepareFirstEntries(&first, room);
        for (size_t i = 0; i < lines.size(); ++i) {
            std::wstring key = entryKey(normalEntry(WideString(lines[i].c_str())));
            ASSERT_EQ(firstEntryOf(&first, entries, key, places[i]), expected[i]) << room << " " << i;
        }
        EXPECT_EQ(first.used, firsts.size());
    }
}

}  // namespace
