// Windows only: names that the system would rewrite or fold, as a folder of
// the host holds them (as a share's server would), are copied under their
// own names or told as failures: never copied over another entry, never left
// out without a line. The names are made on the host, under Wine.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "platform/platform.h"
#include "support/recording_host.h"

namespace {

std::string utf8(const std::wstring& text) {
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// One entry made on the host, its path below a folder written with "/"; a
// folder when contents is null.
struct HostEntry {
    std::wstring path;
    const char* contents;
};

const char* const kFolder = nullptr;

// The tree below folder as the system holds it, read in the long form so
// that every name is its own: each path below folder ("\"-separated) with
// its contents, "<dir>" for a folder.
void readTree(const std::wstring& folder, const std::wstring& below, std::map<std::wstring, std::string>* tree) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((L"\\\\?\\" + folder + below + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = below + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*tree)[path] = "<dir>";
            readTree(folder, path + L"\\", tree);
            continue;
        }
        std::string contents = "<unreadable>";
        HANDLE file = CreateFileW((L"\\\\?\\" + folder + path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[256];
            DWORD got = 0;
            contents.clear();
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) contents.append(buffer, got);
            CloseHandle(file);
        }
        (*tree)[path] = contents;
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// What the run told the front end: each report's kind and line.
std::vector<std::pair<int, std::wstring>>* told = nullptr;

void recordReport(void*, const RunReport* report) { told->emplace_back(report->kind, report->line); }

struct WindowsNames : FolderPairTest {
    std::vector<std::pair<int, std::wstring>> reports;

    void SetUp() override {
        FolderPairTest::SetUp();
        if (hostPath(temp.at()).empty()) GTEST_SKIP() << "needs Wine, whose host can make these names";
    }
    void TearDown() override {
        runOnHost("rm -rf '" + hostPath(temp.at("from")) + "' '" + hostPath(temp.at("to")) + "'");
        told = nullptr;
        FolderPairTest::TearDown();
    }
    // Makes entries below the side ("from" or "to") on the host.
    void make(const std::string& side, const std::vector<HostEntry>& entries) {
        std::string script = "cd '" + hostPath(temp.at(side)) + "'";
        for (const HostEntry& entry : entries) {
            std::string path = "'" + utf8(entry.path) + "'";
            script += entry.contents ? " && printf '%s' '" + std::string(entry.contents) + "' > " + path
                                     : " && mkdir -p " + path;
        }
        ASSERT_TRUE(runOnHost(script)) << script;
    }
    std::map<std::wstring, std::string> tree(const std::string& side) {
        std::map<std::wstring, std::string> result;
        readTree(temp.at(side).wstring() + L"\\", L"", &result);
        return result;
    }
    void fresh() {
        resetRunContext();
        runContext.host.reported = recordReport;
        reports.clear();
        told = &reports;
    }
    int run(bool synchronous, bool dryRun = false) {
        fresh();
        RunOptions options;
        options.dryRun = dryRun;
        options.synchronous = synchronous;
        options.showCopyFile = true;
        RunTally tally;
        openRunLog(temp.wide("run.log"));
        int result = folderRunWithOptions(options, &tally, from, to, {});
        closeRunLog();
        return result;
    }
    int runList(const std::vector<std::string>& lines) {
        fresh();
        {
            std::ofstream list(temp.at("list.txt"), std::ios::binary);
            for (const std::string& line : lines) list << line << "\n";
        }
        openRunLog(temp.wide("run.log"));
        int result = ListCopyRun(true, from, to, temp.wide("list.txt"));
        closeRunLog();
        return result;
    }
    std::vector<std::wstring> lines(int kind) const {
        std::vector<std::wstring> found;
        for (const auto& report : reports) {
            if (report.first == kind) found.push_back(report.second);
        }
        return found;
    }
    std::vector<std::wstring> changes() const {
        std::vector<std::wstring> found;
        for (const auto& report : reports) {
            if (report.first != REPORT_FAILED && report.first != REPORT_STOPPED) found.push_back(report.second);
        }
        return found;
    }
    std::wstring fromPath(const std::wstring& relative) const { return temp.at("from").wstring() + L"\\" + relative; }
};

// Every form the plain calls would rewrite: last dots and spaces, device
// names alone, with an extension, with spaces, in superscript, as folders
// and below a folder whose own name is rewritten. A dry run tells what the
// run does; the run copies each under its own name, beside "a" that "a."
// and "a " would otherwise become; a second run finds nothing to do; a
// mirror removes To's own entries of such names and nothing else.
TEST_F(WindowsNames, RewrittenNamesAreCopiedAndRemovedUnderTheirOwnNames) {
    make("from",
         {{L"a", "plain"},      {L"a.", "dot"},       {L"a ", "space"},      {L"a. .", "dots"},   {L"x..", "x"},
          {L"...", "three"},    {L"CON", "con"},      {L"nul.txt", "nul"},   {L"AUX.c", "aux"},   {L"LPT9", "lpt"},
          {L"conin$", "conin"}, {L"CON.txt.", "c"},   {L"com\u00b9", "com"}, {L"CON .txt", "cs"}, {L"prn", "prn"},
          {L"dir.", kFolder},   {L"dir./f.txt", "f"}, {L"dir./f.", "fd"},    {L"dir./nul", "n"},  {L"sp ", kFolder},
          {L"sp /g", "g"},      {L"nul.d", kFolder},  {L"nul.d/CON", "dc"},  {L"ok", kFolder}});
    std::map<std::wstring, std::string> source = tree("from");
    ASSERT_EQ(source.size(), 24u);

    EXPECT_EQ(run(false, true), RUN_OK);
    EXPECT_EQ(changes().size(), 24u);
    EXPECT_TRUE(tree("to").empty());

    EXPECT_EQ(run(false), RUN_OK);
    EXPECT_EQ(lines(REPORT_FAILED), std::vector<std::wstring>{});
    EXPECT_EQ(changes().size(), 24u);
    EXPECT_EQ(tree("to"), source);

    EXPECT_EQ(run(false), RUN_OK);
    EXPECT_EQ(changes(), std::vector<std::wstring>{});

    make("to", {{L"zz.", "z"},
                {L"PRN", "p"},
                {L"q ", "q"},
                {L"LPT1.log", "l"},
                {L"d.", kFolder},
                {L"d./f.", "f"},
                {L"d./CON", "c"},
                {L"ok/aux", "a"},
                {L"dir./f.txt.", "t"},
                {L"sp /g ", "g"}});
    EXPECT_EQ(run(true), RUN_OK);
    EXPECT_EQ(lines(REPORT_FAILED), std::vector<std::wstring>{});
    EXPECT_EQ(lines(REPORT_DELETED).size() + lines(REPORT_REMOVED).size(), 10u);
    EXPECT_EQ(tree("to"), source);
}

// Names equal but for case within one folder of From: To, which under Wine
// (and on Windows, unless a folder is marked case-sensitive) takes them for
// one name, gets the first of each group, and each other one is told as a
// failure naming the first; nothing is copied over the first, a folder left
// out takes its contents with it, and a later run or a mirror changes nothing.
TEST_F(WindowsNames, NamesEqualButForCaseAreToldNotCopiedOver) {
    struct Group {
        const wchar_t* folder;
        std::vector<HostEntry> entries;
        size_t names;  // names in the folder itself
    };
    const std::vector<Group> groups = {
        {L"files", {{L"Case.txt", "upper"}, {L"case.txt", "lower"}}, 2},
        {L"folders", {{L"Dir", kFolder}, {L"Dir/x", "1"}, {L"dir", kFolder}, {L"dir/x", "2"}}, 2},
        {L"mixed", {{L"a", "file"}, {L"A", kFolder}, {L"A/z", "3"}}, 2},
        {L"three", {{L"READ.me", "1"}, {L"read.me", "2"}, {L"Read.Me", "3"}}, 3},
        {L"accents", {{L"\u00c9t\u00e9.txt", "upper"}, {L"\u00e9t\u00e9.txt", "lower"}}, 2},
    };
    size_t expectedFailures = 0;
    for (const Group& group : groups) {
        std::vector<HostEntry> entries = {{group.folder, kFolder}};
        for (const HostEntry& entry : group.entries) {
            entries.push_back({std::wstring(group.folder) + L"/" + entry.path, entry.contents});
        }
        make("from", entries);
        expectedFailures += group.names - 1;
    }
    std::map<std::wstring, std::string> source = tree("from");
    for (int round = 0; round < 3; ++round) {
        bool synchronous = round == 2;
        SCOPED_TRACE(round);
        EXPECT_EQ(run(synchronous), RUN_HAD_ERRORS);
        std::vector<std::wstring> failures = lines(REPORT_FAILED);
        EXPECT_EQ(failures.size(), expectedFailures);
        for (const std::wstring& line : failures) {
            EXPECT_EQ(line.rfind(L"! Error => Same name but for case as [", 0), 0u) << line;
            EXPECT_NE(line.find(L"], which the To folder does not tell apart: [" + temp.at("from").wstring()),
                      std::wstring::npos);
        }
        // Each entry of To is From's entry of its own name, with its own
        // contents: one of each group, none merged into another.
        std::map<std::wstring, std::string> copy = tree("to");
        size_t kept = 0;
        for (const auto& entry : copy) {
            auto at = source.find(entry.first);
            ASSERT_NE(at, source.end()) << entry.first;
            EXPECT_EQ(at->second, entry.second) << entry.first;
            if (std::count(entry.first.begin(), entry.first.end(), L'\\') == 1) ++kept;
        }
        EXPECT_EQ(kept, groups.size());
        EXPECT_EQ(changes().size(), round == 0 ? copy.size() : 0u);
    }
}

// A list naming paths equal but for case: the first line's path is copied,
// a later one of another spelling told (the same spelling again is no
// clash); rewritten names in a list are copied under their own names.
TEST_F(WindowsNames, ListLinesEqualButForCaseAreToldNotCopiedOver) {
    make("from", {{L"Case.txt", "upper"},
                  {L"case.txt", "lower"},
                  {L"sub", kFolder},
                  {L"sub/Name", "1"},
                  {L"SUB", kFolder},
                  {L"SUB/name", "2"},
                  {L"dir.", kFolder},
                  {L"dir./f.", "f"},
                  {L"CON", "c"},
                  {L"nul.d", kFolder},
                  {L"nul.d/AUX.c", "a"}});
    std::vector<std::string> list = {"Case.txt", "case.txt", "Case.txt",   "sub/Name",   "SUB/name",
                                     "dir./f.",  "CON",      "./case.txt", "nul.d/AUX.c"};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(runList(list), RUN_HAD_ERRORS);
        EXPECT_EQ(lines(REPORT_FAILED),
                  (std::vector<std::wstring>{
                      L"! Error => Same name but for case as [Case.txt], which the To folder does not tell apart: [" +
                          fromPath(L"case.txt") + L"]",
                      L"! Error => Same name but for case as [sub\\Name], which the To folder does not tell apart: [" +
                          fromPath(L"SUB\\name") + L"]",
                      L"! Error => Same name but for case as [Case.txt], which the To folder does not tell apart: [" +
                          fromPath(L".\\case.txt") + L"]"}));
        EXPECT_EQ(tree("to"), (std::map<std::wstring, std::string>{{L"CON", "c"},
                                                                   {L"Case.txt", "upper"},
                                                                   {L"dir.", "<dir>"},
                                                                   {L"dir.\\f.", "f"},
                                                                   {L"nul.d", "<dir>"},
                                                                   {L"nul.d\\AUX.c", "a"},
                                                                   {L"sub", "<dir>"},
                                                                   {L"sub\\Name", "1"}}));
    }
}

// The short name of an entry of To (Windows' 8.3 name, which Wine makes up
// too) reaches that entry: a From entry of that name, file or folder, in a
// walk or a list, is told and never copied over it or into it. A mirror
// whose From holds an entry under its long name and To the same entry under
// both names removes the other one.
TEST_F(WindowsNames, ShortNamesOfOtherEntriesAreToldNotCopiedOver) {
    make("to", {{L"a ", "victim"}, {L"b.", kFolder}, {L"b./in", "i"}});
    std::map<std::wstring, std::wstring> shortNames;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((temp.at("to").wstring() + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        if (data.cAlternateFileName[0] != L'\0') shortNames[data.cFileName] = data.cAlternateFileName;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    if (shortNames.count(L"a ") == 0 || shortNames.count(L"b.") == 0) GTEST_SKIP() << "the volume makes no short names";
    const std::wstring fileAlias = shortNames[L"a "];
    const std::wstring folderAlias = shortNames[L"b."];
    make("from", {{fileAlias, "alias"}, {folderAlias, kFolder}, {folderAlias + L"/x", "x"}});
    std::map<std::wstring, std::string> before = tree("to");
    const std::vector<std::wstring> expected = {
        L"! Error => Name is the short name of [a ] in the To folder: [" + fromPath(fileAlias) + L"]",
        L"! Error => Name is the short name of [b.] in the To folder: [" + fromPath(folderAlias) + L"]"};

    EXPECT_EQ(run(false), RUN_HAD_ERRORS);
    std::vector<std::wstring> failures = lines(REPORT_FAILED);
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures, expected);
    EXPECT_EQ(tree("to"), before);

    EXPECT_EQ(runList({utf8(fileAlias), utf8(folderAlias) + "/x"}), RUN_HAD_ERRORS);
    EXPECT_EQ(lines(REPORT_FAILED),
              (std::vector<std::wstring>{expected[0], L"! Error => Name is the short name of [b.] in the To folder: [" +
                                                          fromPath(folderAlias + L"\\x") + L"]"}));
    EXPECT_EQ(tree("to"), before);

    // From holds "a " alone; To holds it and an entry named as its short name.
    runOnHost("rm -rf '" + hostPath(temp.at("from")) + "'/* '" + hostPath(temp.at("to")) + "'/*");
    make("from", {{L"a ", "kept"}, {L"Case.txt", "C"}});
    make("to", {{L"a ", "kept"}, {L"Case.txt", "C"}, {L"case.txt", "c"}});
    find = FindFirstFileW((L"\\\\?\\" + temp.at("from").wstring() + L"\\a ").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    ASSERT_NE(data.cAlternateFileName[0], L'\0');
    make("to", {{data.cAlternateFileName, "other"}});
    EXPECT_EQ(run(true), RUN_OK);
    EXPECT_EQ(lines(REPORT_FAILED), std::vector<std::wstring>{});
    EXPECT_EQ(tree("to"), tree("from"));
}

// A host's name holding a separator (Wine shows "a\b" as it is) names no
// path of its own: it is told, never joined to another path, on either side;
// a To entry of that name stays. Nothing is made outside the folders.
TEST_F(WindowsNames, NamesHoldingSeparatorsAreToldAndLeft) {
    make("from", {{L"ok", "o"}, {L"back\\slash", "b"}, {L"..\\..\\escaped", "e"}, {L"dir\\", kFolder}});
    make("to", {{L"q\\r", "q"}});
    EXPECT_EQ(run(true), RUN_HAD_ERRORS);
    std::vector<std::wstring> failures = lines(REPORT_FAILED);
    std::sort(failures.begin(), failures.end());
    EXPECT_EQ(failures,
              (std::vector<std::wstring>{
                  L"! Error => Name holds a path separator, left as it is: [" + temp.at("to").wstring() + L"\\q\\r]",
                  L"! Error => Name holds a path separator, not copied: [" + fromPath(L"..\\..\\escaped]"),
                  L"! Error => Name holds a path separator, not copied: [" + fromPath(L"back\\slash]"),
                  L"! Error => Name holds a path separator, not copied: [" + fromPath(L"dir\\]")}));
    EXPECT_TRUE(runOnHost("test -f '" + hostPath(temp.at("to")) + "/q\\r' && test ! -e '" + hostPath(temp.at()) +
                          "/../escaped' && test ! -e '" + hostPath(temp.at()) + "/escaped'"));
    EXPECT_EQ(readFile(temp.at("to/ok")), "o");
}

// Folders whose own names are rewritten are folders like any: a run copies
// from and into them, and the folder checks find them inside each other, or
// the same, under any spelling.
TEST_F(WindowsNames, FoldersOfRewrittenNamesAreCheckedOnDisk) {
    make("from", {{L"in.", kFolder}, {L"in./x", "x"}, {L"f", "f"}});
    make("to", {{L"t.", kFolder}, {L"t. ", kFolder}});
    const std::wstring base = temp.at().wstring();
    struct Case {
        std::wstring source;
        std::wstring target;
        bool synchronous;
        int expected;
    };
    const std::vector<Case> cases = {
        {base + L"\\from", base + L"/from/in.", false, RUN_DEST_INSIDE_SOURCE},
        {base + L"\\from\\in.", base + L"/from", true, RUN_SOURCE_INSIDE_DEST},
        {base + L"\\to\\t.\\", base + L"\\to\\.\\t.", false, RUN_SAME_FOLDERS},
        {base + L"\\from\\in.", base + L"\\to\\t.", true, RUN_OK},
        {base + L"\\from", base + L"\\to\\t. ", true, RUN_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        fresh();
        EXPECT_EQ(FolderCopyRun(c.synchronous, false, false, WideString(c.source.c_str()), WideString(c.target.c_str()),
                                WideString()),
                  c.expected);
    }
    EXPECT_EQ(tree("to"), (std::map<std::wstring, std::string>{{L"t.", "<dir>"},
                                                               {L"t.\\x", "x"},
                                                               {L"t. ", "<dir>"},
                                                               {L"t. \\f", "f"},
                                                               {L"t. \\in.", "<dir>"},
                                                               {L"t. \\in.\\x", "x"}}));
    EXPECT_EQ(tree("from").size(), 3u);
}

// A mirror of an empty From into an empty To keeps the To Folder, however
// the two folders are named beside each other.
TEST_F(WindowsNames, AMirrorKeepsItsToFolder) {
    EXPECT_EQ(run(true), RUN_OK);
    EXPECT_TRUE(fs::is_directory(temp.at("to")));
    EXPECT_EQ(reports, (std::vector<std::pair<int, std::wstring>>{}));
}

}  // namespace
#endif
