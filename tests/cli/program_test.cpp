// The korvane program run as a user runs it: a separate process, its output
// in files, standard input not a terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/program_harness.h"
#include "korvane_version.h"
#include "support/recording_host.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#else
#include <windows.h>
#endif

namespace {

TEST_F(Program, ExitStatuses) {
    writeFile(temp.at("from/a.txt"), "a");
    Outcome done = run({at("from"), at("to")});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_TRUE(contains(done.out, "1 dirs and files updated.")) << done.out;

    writeFile(temp.at("from/clash"), "file");
    fs::create_directories(temp.at("to/clash"));
    Outcome failed = run({at("from"), at("to"), "-l", at("logs")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(contains(failed.out, "There are errors when copy files.")) << failed.out;
    EXPECT_TRUE(contains(failed.out, at("logs"))) << failed.out;
    EXPECT_TRUE(contains(failed.err, "! Error => Copy failure: [")) << failed.err;

    EXPECT_EQ(run({"--frobnicate", at("from"), at("to")}).status, 2);
    EXPECT_EQ(run({at("from")}).status, 2);
    Outcome extra = run({at("from"), at("to"), at("logs")});
    EXPECT_EQ(extra.status, 2);
    EXPECT_TRUE(contains(extra.err, "too many folders")) << extra.err;
    EXPECT_EQ(run({at("from"), at("to"), "-l", at("nowhere")}).status, 2);

    Outcome missing = run({at("missing"), at("to")});
    EXPECT_EQ(missing.status, 3);
    EXPECT_TRUE(contains(missing.err, "! Error => Source dir [")) << missing.err;
    EXPECT_TRUE(contains(missing.err, "(-101)")) << missing.err;
    EXPECT_EQ(run({"-r", "(", at("from"), at("to")}).status, 3);
    EXPECT_EQ(run({"-f", at("nolist.txt"), at("from"), at("to")}).status, 3);

    EXPECT_EQ(run({"--help"}).status, 0);
}

TEST_F(Program, SynchronousQuestionWithoutATerminalIsDeclined) {
    writeFile(temp.at("to/keep.txt"), "k");
    Outcome declined = run({"-s", at("from"), at("to")});
    EXPECT_EQ(declined.status, 3);
    EXPECT_TRUE(contains(declined.err, "--yes")) << declined.err;
    EXPECT_TRUE(contains(declined.err, "(-100)")) << declined.err;
    EXPECT_TRUE(fs::exists(temp.at("to/keep.txt")));

    Outcome confirmed = run({"-s", "-y", "--allow-empty-from", at("from"), at("to")});
    EXPECT_EQ(confirmed.status, 0) << confirmed.err;
    EXPECT_FALSE(fs::exists(temp.at("to/keep.txt")));
}

TEST_F(Program, DryRunPredictsTheRealRunAndChangesNothing) {
    writeFile(temp.at("from/new.txt"), "new");
    writeFile(temp.at("from/sub/changed.txt"), "changed!");
    writeFile(temp.at("to/sub/changed.txt"), "old");
    writeFile(temp.at("to/gone/deeper/x.txt"), "x");
    writeFile(temp.at("to/sub/surplus.txt"), "s");
    writeFile(temp.at("from/clash"), "file");
    fs::create_directories(temp.at("to/clash/inner"));
    std::vector<std::string> before = tree("to");

    Outcome dry = run({"-n", "-s", "-l", at("logs"), at("from"), at("to")});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(tree("to"), before);
    std::vector<std::string> dryLog = logLines(temp.at("logs/korvaneui.dry-run.log"));

    Outcome real = run({"-v", "-s", "-y", "-l", at("logs"), at("from"), at("to")});
    EXPECT_EQ(real.status, 0) << real.err;
    // The dry run's log is the real run's with one line after the banner that says what it is.
    std::vector<std::string> realLog = logLines(temp.at("logs/korvaneui.log"));
    ASSERT_EQ(dryLog.size(), realLog.size() + 1);
    EXPECT_EQ(dryLog[4], "* Dry run: nothing was changed; the lines below tell what a run would change.");
    dryLog.erase(dryLog.begin() + 4);
    EXPECT_EQ(realLog, dryLog);
    EXPECT_TRUE(contains(dry.out, "  DF: [")) << dry.out;
    EXPECT_TRUE(contains(dry.out, "  RD: [")) << dry.out;
    // The folder where From has a file is replaced, with what it held.
    // Copies and deletions apart; the log keeps its own count.
    EXPECT_TRUE(contains(dry.out, "Dry run: nothing was changed; the run would copy 3 files and delete 6 entries."))
        << dry.out;
    EXPECT_NE(tree("to"), before);
    EXPECT_EQ(readFile(temp.at("to/clash")), "file");
    // Another dry run leaves the real run's log as it was.
    EXPECT_EQ(run({"-n", "-s", "-l", at("logs"), at("from"), at("to")}).status, 0);
    EXPECT_EQ(logLines(temp.at("logs/korvaneui.log")), realLog);
}

// Where To holds a file or a link in place of a folder From has, the dry
// run fails the same entries as the real run, in a folder run and in a list run.
TEST_F(Program, DryRunPredictsFailuresBelowWhatStandsInTheWay) {
    writeFile(temp.at("from/folder/sub/z.txt"), "z");
    writeFile(temp.at("to/folder"), "a file where From has a folder");
    writeFile(temp.at("from/listed/y.txt"), "y");
    writeFile(temp.at("to/listed"), "a file again");
    writeFile(temp.at("list.txt"), onWindows() ? "listed\\y.txt\n" : "listed/y.txt\n");
    const std::vector<std::vector<std::string>> runs = {
        {at("from"), at("to")},
        {"-f", at("list.txt"), at("from"), at("to")},
    };
    for (const std::vector<std::string>& arguments : runs) {
        std::vector<std::string> dryArguments = {"-n", "-l", at("logs")};
        dryArguments.insert(dryArguments.end(), arguments.begin(), arguments.end());
        Outcome dry = run(dryArguments);
        std::vector<std::string> dryLog = logLines(temp.at("logs/korvaneui.dry-run.log"));
        std::vector<std::string> realArguments = {"-v", "-l", at("logs")};
        realArguments.insert(realArguments.end(), arguments.begin(), arguments.end());
        Outcome real = run(realArguments);
        EXPECT_EQ(dry.status, 1) << dry.out;
        EXPECT_EQ(real.status, 1) << real.out;
        ASSERT_FALSE(dryLog.size() < 5);
        dryLog.erase(dryLog.begin() + 4);
        EXPECT_EQ(logLines(temp.at("logs/korvaneui.log")), dryLog);
    }
}

TEST_F(Program, SettingsFileSavedByTheWindowRunsUnchanged) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/.svn/entries"), "svn");
    writeFile(temp.at("to/surplus.txt"), "s");
    std::string rule = onWindows() ? ".+\\\\\\.svn.*" : ".+/\\.svn.*";
    std::string file = "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n1014=" + at("logs") +
                       "\r\n1015=\r\n1006=1\r\n1007=1\r\n1009=1\r\n1008=1\r\n1010=0\r\n1011=" + rule + "\r\n";
    writeFile(temp.at("job.ini"), file);
    Outcome job = run({"--settings=" + at("job.ini"), "--yes"});
    EXPECT_EQ(job.status, 0) << job.err;
    EXPECT_EQ(tree("to"), std::vector<std::string>{"a.txt a"});
    std::vector<std::string> log = logLines(temp.at("logs/korvaneui.log"));
    EXPECT_NE(std::find(log.begin(), log.end(), "  DF: [" + logText(temp.wide("to/surplus.txt")) + "]"), log.end());
}

TEST_F(Program, ListFileRun) {
    writeFile(temp.at("from/sub/a.txt"), "a");
    writeFile(temp.at("from/b.txt"), "b");
    writeFile(temp.at("list.txt"), onWindows() ? "sub\\a.txt\r\n" : "sub/a.txt\n");
    Outcome listed = run({"-f", at("list.txt"), at("from"), at("to")});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(tree("to"), (std::vector<std::string>{"sub", "sub/a.txt a"}));
}

#ifndef _WIN32
// With few file handles the walker cannot list a deep tree: the walk stops.
TEST_F(Program, WalkThatStopsEarly) {
    std::string deep = "from";
    for (int i = 0; i < 40; ++i) deep += "/d";
    writeFile(temp.at(deep + "/f.txt"), "f");
    // Files enough at the top that the empty-From guard's count ends in the first folder.
    for (int i = 0; i < 12; ++i) writeFile(temp.at("from/top" + std::to_string(i)), "t");
    writeFile(temp.at("to/surplus.txt"), "stays");
    // The handles run out at a different depth, and in a different phase, for each limit.
    for (int limit : {14, 19, 24}) {
        SCOPED_TRACE(limit);
        Outcome stopped = run({"-s", "-y", at("from"), at("to")}, "ulimit -n " + std::to_string(limit) + "; ");
        EXPECT_EQ(stopped.status, 4) << stopped.err;
        EXPECT_TRUE(contains(stopped.err, "Look for the files error")) << stopped.err;
        EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
    }
}
#endif

#ifdef _WIN32
// A run killed in the middle of copying a large file: the old version of the
// target is whole, and only a temporary beside it holds the part copied.
TEST_F(Program, KilledDuringALargeCopyKeepsTheOldVersion) {
    writeFile(temp.at("to/big.bin"), "old version");
    shiftModified(temp.at("to/big.bin"), -100);
    {
        HANDLE big =
            CreateFileW(temp.at("from/big.bin").wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(big, INVALID_HANDLE_VALUE);
        LARGE_INTEGER size;
        size.QuadPart = 1536LL * 1024 * 1024;
        SetFilePointerEx(big, size, nullptr, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(big));
        CloseHandle(big);
    }
    std::wstring command = L"\"" + fs::path(programPath()).wstring() + L"\" \"" + temp.at("from").wstring() + L"\" \"" +
                           temp.at("to").wstring() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    // Kill it once the copy is under way: something beside the target grows.
    bool underWay = false;
    for (int wait = 0; wait < 20000 && !underWay; wait += 5) {
        for (auto& entry : fs::directory_iterator(temp.at("to"))) {
            std::error_code error;
            if (entry.path().filename() != "big.bin" && fs::file_size(entry.path(), error) > 0) underWay = true;
        }
        std::error_code error;
        if (fs::file_size(temp.at("to/big.bin"), error) != 11) underWay = true;
        if (!underWay) Sleep(5);
    }
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_TRUE(underWay);
    EXPECT_EQ(readFile(temp.at("to/big.bin")), "old version");
    std::error_code error;
    for (auto& entry : fs::directory_iterator(temp.at("to"))) {
        std::string name = entry.path().filename().string();
        if (name == "big.bin") continue;
        EXPECT_EQ(name.rfind(".korvane-", 0), 0u) << name;
        EXPECT_LT(fs::file_size(entry.path(), error), 1536ULL * 1024 * 1024) << name;
    }
}
#endif

// The reproduction: "-x -r keep -r .git" kept only the second rule and the
// mirror deleted what the first protected. A refused rule is named, and the
// run changes nothing.
TEST_F(Program, SeveralRulesAnyMatches) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/keep/notes.txt"), "notes");
    writeFile(temp.at("to/.git/config"), "git");
    writeFile(temp.at("to/surplus.txt"), "s");
    std::string sep = onWindows() ? "\\\\" : "/";
    Outcome refused =
        run({"-s", "-y", "-x", "-r", ".*" + sep + "keep(" + sep + ".*)?", "--rule=(x)\\1", at("from"), at("to")});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(contains(refused.err, "! Error => Regular expression is not valid [(x)\\1].")) << refused.err;
    EXPECT_TRUE(contains(refused.err, "back-reference")) << refused.err;
    EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));

    Outcome done = run({"-s", "-y", "-x", "-r", ".*" + sep + "keep(" + sep + ".*)?",
                        "-r.*" + sep + "\\.git(" + sep + ".*)?", at("from"), at("to")});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(tree("to"),
              (std::vector<std::string>{".git", ".git/config git", "a.txt a", "keep", "keep/notes.txt notes"}));
    EXPECT_EQ(run({"-f", at("l1"), "--list=" + at("l2"), at("from"), at("to")}).status, 2);
    Outcome twice = run({"-l", at("logs"), "--log-dir", at("logs"), at("from"), at("to")});
    EXPECT_EQ(twice.status, 2);
    EXPECT_TRUE(contains(twice.err, "-l/--log-dir")) << twice.err;
    EXPECT_TRUE(contains(run({"--help"}).out, "several times"));
}

// A settings line of a megabyte once overflowed the stack of the line
// pattern's matcher: the front end reads it, and refuses a rule that long.
TEST_F(Program, MegabyteSettingsLine) {
    writeFile(temp.at("from/a.txt"), "a");
    std::string head = "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n";
    writeFile(temp.at("long.ini"), head + "1015=" + std::string(1024 * 1024, 'l') + "\r\n1010=0\r\n");
    Outcome read = run({"--settings=" + at("long.ini")});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    writeFile(temp.at("rule.ini"), head + "1008=1\r\n1011=" + std::string(1024 * 1024, 'r') + "\r\n");
    Outcome refused = run({"--settings=" + at("rule.ini")});
    EXPECT_EQ(refused.status, 3) << refused.err;
    EXPECT_TRUE(contains(refused.err, "Regular expression is too large")) << refused.err.substr(0, 200);
}

#ifndef _WIN32
// Text the locale cannot decode is never used as the empty text: a rule from
// the settings file or the command line is refused before any change, a list
// line is an error for its entry.
TEST_F(Program, UndecodableRuleAndListLine) {
    const std::string utf8 = "LC_ALL=C.UTF-8 ";
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/caf\xe9.txt"), "excluded by the rule");
    writeFile(temp.at("job.ini"),
              "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n1006=1\r\n1009=1\r\n1008=1\r\n1011=.*caf\xe9.*\r\n");
    Outcome settings = run({"--settings=" + at("job.ini"), "-y"}, utf8);
    EXPECT_EQ(settings.status, 3) << settings.err;
    EXPECT_TRUE(contains(settings.err, "! Error => Regular expression is not valid [.*caf")) << settings.err;
    EXPECT_TRUE(contains(settings.err, "characters the code page can not hold")) << settings.err;
    EXPECT_TRUE(fs::exists(temp.at("to/caf\xe9.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));

    Outcome given = run({"-s", "-y", "-x", "-r", ".*caf\xe9.*", at("from"), at("to")}, utf8);
    EXPECT_EQ(given.status, 3) << given.err;
    EXPECT_TRUE(fs::exists(temp.at("to/caf\xe9.txt")));

    writeFile(temp.at("from/caf\xe9.txt"), "source");
    writeFile(temp.at("list.txt"), "a.txt\ncaf\xe9.txt\n");
    fs::permissions(temp.at("from"), fs::perms::owner_all, fs::perm_options::replace);
    fs::perms toBefore = fs::status(temp.at("to")).permissions();
    Outcome listed = run({"-f", at("list.txt"), "-l", at("logs"), at("from"), at("to")}, utf8);
    EXPECT_EQ(listed.status, 1) << listed.err;
    EXPECT_TRUE(contains(listed.err, "] on line [2].")) << listed.err;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    EXPECT_EQ(readFile(temp.at("to/caf\xe9.txt")), "excluded by the rule");
    EXPECT_EQ(fs::status(temp.at("to")).permissions(), toBefore);
}

// A file name cannot write a line of its own into the log or onto the terminal.
TEST_F(Program, ForgedNameWritesNoLine) {
    writeFile(temp.at("from") / fs::path("x\n! Error => forged"), "x");
    Outcome shown = run({"-v", "-l", at("logs"), at("from"), at("to")});
    EXPECT_EQ(shown.status, 0) << shown.err;
    for (const std::string& line : logLines(temp.at("logs/korvaneui.log"))) {
        EXPECT_NE(line.rfind("! Error", 0), 0u) << line;
    }
    EXPECT_FALSE(contains(shown.out, "\n! Error")) << shown.out;
    EXPECT_TRUE(contains(shown.out, "x?! Error => forged")) << shown.out;
    EXPECT_EQ(readFile(temp.at("to") / fs::path("x\n! Error => forged")), "x");
}

// A name that turns its line around (a bidirectional control) shows "?"
// there; a name holding "] -> [" leaves its line one separator, and --json
// names both paths of a failure exactly.
TEST_F(Program, NamesThatForgeALineAreShownApart) {
    const std::string turned = "cod\xe2\x80\xaeslp.exe";  // U+202E: shows as "codexe.pls"
    const std::string isolated =
        "a\xe2\x81\xa6"
        "b\xe2\x80\x8f";  // U+2066, U+200F
    const std::string arrow = "x] -> [y";
    for (const std::string& name : {turned, isolated, arrow}) writeFile(temp.at("from") / fs::path(name), "n");
    writeFile(temp.at("from") / fs::path("in] -> [way"), "file");
    fs::create_directories(temp.at("to") / fs::path("in] -> [way"));
    Outcome shown = run({"-v", "-l", at("logs"), at("from"), at("to")});
    EXPECT_EQ(shown.status, 1) << shown.err;
    for (const std::string& text : {shown.out + shown.err, readFile(temp.at("logs/korvaneui.log"))}) {
        EXPECT_TRUE(contains(text, "/cod?slp.exe] -> [")) << text;
        EXPECT_TRUE(contains(text, "/a?b?] -> [")) << text;
        EXPECT_FALSE(contains(text, "\xe2\x80\xae")) << text;
        EXPECT_TRUE(contains(text, "  CP: [" + at("from") + "/x] ?> [y] -> [" + at("to") + "/x] ?> [y]")) << text;
        EXPECT_TRUE(contains(text, "Copy failure: [" + at("from") + "/in] ?> [way] -> [" + at("to") + "/in] ?> [way]"))
            << text;
    }
    std::string printed = shown.out + shown.err;
    for (size_t start = 0, end; start < printed.size(); start = end + 1) {
        end = printed.find('\n', start);
        if (end == std::string::npos) end = printed.size();
        std::string line = printed.substr(start, end - start);
        size_t first = line.find("] -> [");
        EXPECT_TRUE(first == std::string::npos || line.find("] -> [", first + 1) == std::string::npos) << line;
    }
    EXPECT_EQ(readFile(temp.at("to") / fs::path(turned)), "n");
    EXPECT_EQ(readFile(temp.at("to") / fs::path(arrow)), "n");

    Outcome json = run({"--json", at("from"), at("to")});
    EXPECT_EQ(json.status, 1) << json.err;
    EXPECT_TRUE(contains(json.out, "{\"path\":\"" + at("from") + "/in] -> [way\",\"target\":\"" + at("to") +
                                       "/in] -> [way\",\"reason\":"))
        << json.out;
}
#endif

// The lines of text, each without its line end.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The log's change lines (CP, DF, RD, SK), in order.
std::vector<std::string> changeLines(const std::vector<std::string>& lines) {
    std::vector<std::string> changes;
    for (const std::string& line : lines) {
        if (line.rfind("  CP: [", 0) == 0 || line.rfind("  DF: [", 0) == 0 || line.rfind("  RD: [", 0) == 0 ||
            line.rfind("  SK: [", 0) == 0) {
            changes.push_back(line);
        }
    }
    return changes;
}

// The number after a label in the --stats table, or -1.
long long statsFigure(const std::string& table, const std::string& label) {
    for (const std::string& line : linesOf(table)) {
        if (line.rfind(label, 0) != 0) continue;
        return std::atoll(line.substr(label.size()).c_str());
    }
    return -1;
}

// A mirror with two copies, a directory made, two deletions and unchanged
// entries, run once per way of talking: what each prints is what the run did.
TEST_F(Program, OutputSaysWhatChanged) {
    struct Case {
        std::vector<std::string> options;
        const char* name;
    };
    const std::vector<Case> cases = {
        {{}, "plain"}, {{"-v"}, "verbose"}, {{"-q"}, "quiet"}, {{"--stats"}, "stats"}, {{"--json"}, "json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temp.at("from"));
        fs::remove_all(temp.at("to"));
        for (int i = 0; i < 20; ++i) writeFile(temp.at("from/same/f" + std::to_string(i)), "unchanged");
        writeFile(temp.at("from/new.txt"), "new");
        writeFile(temp.at("from/made/changed.txt"), "changed!");
        fs::create_directories(temp.at("to"));
        fs::copy(temp.at("from/same"), temp.at("to/same"), fs::copy_options::recursive);
        for (int i = 0; i < 20; ++i)
            copyModified(temp.at("from/same/f" + std::to_string(i)), temp.at("to/same/f" + std::to_string(i)));
        writeFile(temp.at("to/surplus/old.txt"), "old");
        // The folders stand with their From times: only the five changes are due.
        copyModified(temp.at("from/same"), temp.at("to/same"));
        copyModified(temp.at("from"), temp.at("to"));
        std::vector<std::string> arguments = c.options;
        for (const char* more : {"-s", "-y", "-l"}) arguments.push_back(more);
        arguments.push_back(at("logs"));
        arguments.push_back(at("from"));
        arguments.push_back(at("to"));
        Outcome done = run(arguments);
        EXPECT_EQ(done.status, 0) << done.err;
        std::string verdict = "5 dirs and files updated.";
        std::vector<std::string> out = linesOf(done.out);
        std::string name = c.name;
        // Standard error holds no failure; with --json, the verdict that standard output leaves to it.
        EXPECT_EQ(linesOf(done.err), name == "json" ? std::vector<std::string>{verdict} : std::vector<std::string>{});
        if (name == "plain") {
            EXPECT_EQ(out, std::vector<std::string>{verdict});
        } else if (name == "verbose") {
            // One line per change, as the log has them; none for the 21 entries left as they were.
            std::vector<std::string> expected = changeLines(logLines(temp.at("logs/korvaneui.log")));
            EXPECT_EQ(expected.size(), 5u);
            expected.push_back(verdict);
            EXPECT_EQ(out, expected);
        } else if (name == "quiet") {
            EXPECT_EQ(done.out, "");
        } else if (name == "stats") {
            EXPECT_EQ(out.at(0), verdict);
            EXPECT_EQ(statsFigure(done.out, "Entries examined"), 24);
            EXPECT_EQ(statsFigure(done.out, "Copied"), 2);
            EXPECT_EQ(statsFigure(done.out, "Created"), 1);
            EXPECT_EQ(statsFigure(done.out, "Deleted"), 2);
            EXPECT_EQ(statsFigure(done.out, "Failed"), 0);
            EXPECT_EQ(statsFigure(done.out, "Bytes copied"), 11);
            EXPECT_TRUE(contains(done.out, "(2 dirs, 22 files)")) << done.out;
        } else {
            // Standard output holds the one object and nothing else.
            ASSERT_EQ(out.size(), 1u) << done.out;
            const std::string& json = out[0];
            for (const char* part :
                 {"{\"result\":\"done\",\"exit_status\":0,", "\"examined\":{\"directories\":2,\"files\":22}",
                  "\"copied\":2,\"created\":1,\"updated\":0,\"deleted\":2,\"skipped\":0,\"failed\":0,\"bytes_copied\":"
                  "11,",
                  "\"failures\":[]"}) {
                EXPECT_TRUE(contains(json, part)) << part << "\n" << json;
            }
            EXPECT_EQ(json.back(), '}');
        }
    }
}

// Each option a user of other mirroring tools reaches for, through the program.
TEST_F(Program, OptionsOfOtherMirroringTools) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("file"), "in the way");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* said;     // in standard error, or ""
        const char* made;     // a folder that exists afterwards, or ""
        const char* notMade;  // a folder that does not, or ""
    };
    const std::string deep = at("new/deeper/to");
    const std::vector<Case> cases = {
        {{at("from"), deep}, 3, "is not exist", "", "new"},
        {{"--mkpath", at("from"), at("from/inside/to")}, 3, "subdir of", "", "from/inside"},
        {{"--mkpath", at("from"), at("file/to")}, 3, "--mkpath could not create [", "", ""},
        {{"--mkpath", "-n", at("from"), deep}, 0, "", "", "new"},
        {{"--mkpath", at("from"), deep}, 0, "", "new/deeper/to", ""},
        {{"--modify-window=-1", at("from"), at("to")}, 2, "whole number of seconds", "", ""},
        {{"--modify-window", "abc", at("from"), at("to")}, 2, "whole number of seconds", "", ""},
        {{"--modify-window=99999999999", at("from"), at("to")}, 2, "whole number of seconds", "", ""},
        {{"--modify-window=", at("from"), at("to")}, 2, "needs a non-empty value", "", ""},
        {{"--modify-window=1", "--modify-window=2", at("from"), at("to")}, 2, "given more than once", "", ""},
        {{"-q", "-v", at("from"), at("to")}, 2, "contradict", "", ""},
        {{"--links=yes", at("from"), at("to")}, 2, "takes no value", "", ""},
        {{"-j", "0", at("from"), at("to")}, 2, "whole number from 1 to 64", "", ""},
        {{"--jobs=65", at("from"), at("to")}, 2, "whole number from 1 to 64", "", ""},
        {{"-j4x", at("from"), at("to")}, 2, "whole number from 1 to 64", "", ""},
        {{"-j2", "--jobs", "3", at("from"), at("to")}, 2, "given more than once", "", ""},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& argument : c.arguments) joined += argument + " ";
        SCOPED_TRACE(joined);
        Outcome done = run(c.arguments);
        EXPECT_EQ(done.status, c.status) << done.err;
        EXPECT_TRUE(contains(done.err, c.said)) << done.err;
        if (*c.made) {
            EXPECT_EQ(readFile(temp.at(std::string(c.made) + "/a.txt")), "a");
        }
        if (*c.notMade) {
            EXPECT_FALSE(fs::exists(temp.at(c.notMade)));
        }
    }
    if (!onWindows()) {
        EXPECT_TRUE(contains(run({"--mkpath", at("from"), at("file/to")}).err, "Not a directory"));
    }
}

// Times two seconds apart, as FAT keeps them: equal within a window of 2, not of 1.
TEST_F(Program, ModifyWindow) {
    writeFile(temp.at("from/a.txt"), "same size");
    writeFile(temp.at("to/a.txt"), "SAME SIZE");
    copyModified(temp.at("from/a.txt"), temp.at("to/a.txt"));
    shiftModified(temp.at("to/a.txt"), 2);
    Outcome within = run({"--modify-window=2", at("from"), at("to")});
    EXPECT_EQ(within.status, 0) << within.err;
    EXPECT_TRUE(contains(within.out, "0 dirs and files updated.")) << within.out;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "SAME SIZE");
    Outcome beyond = run({"--modify-window", "1", at("from"), at("to")});
    EXPECT_TRUE(contains(beyond.out, "1 dirs and files updated.")) << beyond.out;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "same size");
}

// A rule written once from the walked root protects the same entries in From and in To.
TEST_F(Program, RelativeRulesProtectBothSides) {
    writeFile(temp.at("from/keep/new.txt"), "not copied");
    writeFile(temp.at("from/sub/keep/a.txt"), "copied: not at the root");
    writeFile(temp.at("to/keep/mine.txt"), "not deleted");
    std::string rule = onWindows() ? "\\\\keep(\\\\.*)?" : "/keep(/.*)?";
    Outcome done = run({"-s", "-y", "-x", "-r", rule, "--relative-rules", at("from"), at("to")});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(tree("to"), (std::vector<std::string>{"keep", "keep/mine.txt not deleted", "sub", "sub/keep",
                                                    "sub/keep/a.txt copied: not at the root"}));
    // Without it the rule sees whole paths, matches none, and the mirror takes /keep as it is in From.
    Outcome whole = run({"-s", "-y", "-x", "-r", rule, at("from"), at("to")});
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(readFile(temp.at("to/keep/new.txt")), "not copied");
    EXPECT_FALSE(fs::exists(temp.at("to/keep/mine.txt")));
}

TEST_F(Program, SettingsFileAfterASpace) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("job.ini"), "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n");
    Outcome spaced = run({"--settings", at("job.ini")});
    EXPECT_EQ(spaced.status, 0) << spaced.err;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    EXPECT_EQ(run({"--settings", at("job.ini"), "--settings=" + at("job.ini")}).status, 2);
}

// The usage text names every option of the table and every exit status.
TEST_F(Program, HelpIsEnough) {
    Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const OptionDoc& option : usageWords().options) {
        std::string name = "--";
        for (const wchar_t* c = option.longName; *c; ++c) name += static_cast<char>(*c);
        EXPECT_TRUE(contains(help.out, name)) << name;
        if (option.shortName) {
            EXPECT_TRUE(contains(help.out, std::string("  -") + static_cast<char>(option.shortName) + ", " + name))
                << name;
        }
    }
    for (const char* status : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  "}) EXPECT_TRUE(contains(help.out, status));
}

// The version is the project's, the one the Windows programs' version
// resources carry, with the commit when built from a checkout.
TEST_F(Program, VersionNamesTheProjectVersionAndCommit) {
    Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    std::string line = version.out.substr(0, version.out.find_last_not_of("\r\n") + 1);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, std::regex("korvane ([0-9.]+)( \\(commit [0-9a-f]{7,}(-dirty)?\\))?")))
        << line;
    EXPECT_EQ(parts[1].str(), KORVANE_VERSION_TEXT);
    EXPECT_EQ(parts[2].matched, fs::exists(builtPath(KORVANE_SOURCE_TREE "/.git"))) << line;
}

#ifndef _WIN32
// A tree of links, dangling ones and links to directories among them, mirrored
// as rsync -a --delete mirrors it: every link as a link with the same text.
TEST_F(Program, LinksMirroredAsRsyncDoes) {
    writeFile(temp.at("from/dir/inside.txt"), "inside");
    writeFile(temp.at("from/file.txt"), "file");
    fs::create_symlink("nowhere", temp.at("from/dangling"));
    fs::create_symlink("dir", temp.at("from/dirlink"));
    fs::create_symlink("../file.txt", temp.at("from/dir/up"));
    fs::create_symlink("/usr/share", temp.at("from/outside"));
    // What stands in To: a file where From has a link, a link with another
    // text, and surplus links, one to a directory.
    writeFile(temp.at("to/dangling"), "a file in the link's place");
    fs::create_symlink("elsewhere", temp.at("to/dirlink"));
    fs::create_symlink("/usr", temp.at("to/surplus-dirlink"));
    fs::create_symlink("gone", temp.at("to/surplus-dangling"));
    fs::copy(temp.at("to"), temp.at("rsync"), fs::copy_options::recursive | fs::copy_options::copy_symlinks);

    Outcome done = run({"--links", "-s", "-y", "-v", at("from"), at("to")});
    EXPECT_EQ(done.status, 0) << done.err;
    ASSERT_EQ(std::system(("rsync -a --delete " + quoted(at("from") + "/") + " " + quoted(at("rsync") + "/")).c_str()),
              0);
    auto snapshot = [&](const std::string& root) {
        std::vector<std::string> entries;
        for (auto& entry : fs::recursive_directory_iterator(temp.at(root))) {
            std::string line = entry.path().lexically_relative(temp.at(root)).generic_string();
            if (fs::is_symlink(entry.symlink_status())) {
                line += " -> " + fs::read_symlink(entry.path()).string();
            } else if (fs::is_regular_file(entry.symlink_status())) {
                line += " " + readFile(entry.path());
            } else {
                line += "/";
            }
            entries.push_back(line);
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    EXPECT_EQ(snapshot("to"), snapshot("rsync"));
    EXPECT_EQ(snapshot("to"),
              (std::vector<std::string>{"dangling -> nowhere", "dir/", "dir/inside.txt inside", "dir/up -> ../file.txt",
                                        "dirlink -> dir", "file.txt file", "outside -> /usr/share"}));
    EXPECT_TRUE(fs::exists("/usr/share"));
    // The next run finds every link up to date: a dangling link no longer fails.
    Outcome again = run({"--links", "-s", "-y", "-v", at("from"), at("to")});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "0 dirs and files updated.\n");
}
#endif

}  // namespace
