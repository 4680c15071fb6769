// The korvane program run as a user runs it: a separate process, its output
// in files, standard input not a terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/recording_host.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/wait.h>
#else
#include <windows.h>
#endif

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& text) {
#ifdef _WIN32
    return "\"" + text + "\"";
#else
    std::string result = "'";
    for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
#endif
}

std::string programPath() {
    std::string path = KORVANE_PROGRAM;
#ifdef _WIN32
    // Built on the Linux side of Wine: its path lies on drive Z:.
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
    }
#endif
    return path;
}

struct Program : testing::Test {
    TempDir temp;
    void SetUp() override {
        fs::create_directories(temp.at("from"));
        fs::create_directories(temp.at("to"));
        fs::create_directories(temp.at("logs"));
    }
    std::string at(const std::string& relative) { return temp.at(relative).string(); }

    // Runs korvane with the arguments; prefix goes before the command (a shell setting).
    Outcome run(const std::vector<std::string>& arguments, const std::string& prefix = "") {
        std::string command = prefix + quoted(programPath());
        for (const std::string& argument : arguments) command += " " + quoted(argument);
        std::string nul = onWindows() ? "NUL" : "/dev/null";
        command += " <" + nul + " >" + quoted(at("out.txt")) + " 2>" + quoted(at("err.txt"));
#ifdef _WIN32
        int raw = std::system(("\"" + command + "\"").c_str());
        int status = raw;
#else
        int raw = std::system(command.c_str());
        int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
        return Outcome{status, readFile(at("out.txt")), readFile(at("err.txt"))};
    }
    std::vector<std::string> tree(const std::string& root) {
        std::vector<std::string> entries;
        for (auto& entry : fs::recursive_directory_iterator(temp.at(root))) {
            std::string line = fs::relative(entry.path(), temp.at(root)).generic_string();
            if (fs::is_regular_file(entry.path())) line += " " + readFile(entry.path());
            entries.push_back(line);
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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
    EXPECT_TRUE(contains(run({"-V"}).out, "korvane 1.0"));
}

TEST_F(Program, SynchronousQuestionWithoutATerminalIsDeclined) {
    writeFile(temp.at("to/keep.txt"), "k");
    Outcome declined = run({"-s", at("from"), at("to")});
    EXPECT_EQ(declined.status, 3);
    EXPECT_TRUE(contains(declined.err, "--yes")) << declined.err;
    EXPECT_TRUE(contains(declined.err, "(-100)")) << declined.err;
    EXPECT_TRUE(fs::exists(temp.at("to/keep.txt")));

    Outcome confirmed = run({"-s", "-y", at("from"), at("to")});
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
    EXPECT_EQ(dry.status, 1) << dry.err;
    EXPECT_EQ(tree("to"), before);
    std::vector<std::string> dryLog = logLines(temp.at("logs/korvaneui.dry-run.log"));

    Outcome real = run({"-v", "-s", "-y", "-l", at("logs"), at("from"), at("to")});
    EXPECT_EQ(real.status, 1) << real.err;
    // The dry run's log is the real run's with one line after the banner that says what it is.
    std::vector<std::string> realLog = logLines(temp.at("logs/korvaneui.log"));
    ASSERT_EQ(dryLog.size(), realLog.size() + 1);
    EXPECT_EQ(dryLog[4], "* Dry run: nothing was changed; the lines below tell what a run would change.");
    dryLog.erase(dryLog.begin() + 4);
    EXPECT_EQ(realLog, dryLog);
    EXPECT_TRUE(contains(dry.out, "  DF: [")) << dry.out;
    EXPECT_TRUE(contains(dry.out, "  RD: [")) << dry.out;
    EXPECT_TRUE(contains(dry.out, "Dry run: nothing was changed; the run would update 7 dirs and files and fail on 1 "))
        << dry.out;
    EXPECT_NE(tree("to"), before);
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
    writeFile(temp.at("to/surplus.txt"), "stays");
    Outcome stopped = run({"-s", "-y", at("from"), at("to")}, "ulimit -n 24; ");
    EXPECT_EQ(stopped.status, 4) << stopped.err;
    EXPECT_TRUE(contains(stopped.err, "Look for the files error")) << stopped.err;
    EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
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
#endif

}  // namespace
