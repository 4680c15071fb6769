// What people who come from rsync and robocopy expect of the front end:
// links kept, shell patterns, a log file that keeps its history, versions
// listed and put back, closing lines that say what would happen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/program_harness.h"
#include "support/test_support.h"

namespace {

// The lines of a text file.
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

#ifndef _WIN32
TEST_F(Program, LinksAreKeptAsLinksUnlessLFollowsThem) {
    writeFile(temp.at("from/real/a.txt"), "a");
    fs::create_symlink("real", temp.at("from/folder-link"));
    fs::create_symlink("real/a.txt", temp.at("from/file-link"));
    fs::create_symlink("nowhere", temp.at("from/dangling"));
    Outcome kept = run({at("from"), at("to")});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(fs::read_symlink(temp.at("to/folder-link")), "real");
    EXPECT_EQ(fs::read_symlink(temp.at("to/file-link")), "real/a.txt");
    EXPECT_EQ(fs::read_symlink(temp.at("to/dangling")), "nowhere");

    Outcome followed = run({"-L", at("from"), at("followed")}, "mkdir " + ::quoted(at("followed")) + " && ");
    EXPECT_EQ(followed.status, 1) << followed.err;  // the dangling link fails, as it did before
    EXPECT_TRUE(contains(followed.err, "dangling")) << followed.err;
    EXPECT_FALSE(fs::is_symlink(temp.at("followed/folder-link")));
    EXPECT_EQ(readFile(temp.at("followed/folder-link/a.txt")), "a");
    EXPECT_EQ(readFile(temp.at("followed/file-link")), "a");

    Outcome both = run({"-L", "--links", at("from"), at("to")});
    EXPECT_EQ(both.status, 2);
    EXPECT_TRUE(contains(both.err, "contradict")) << both.err;
}
#endif

TEST_F(Program, ShellPatternsInAMirror) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/x.tmp"), "x");
    writeFile(temp.at("from/keep.tmp"), "keep");
    writeFile(temp.at("from/build/out.o"), "o");
    writeFile(temp.at("from/src/build/notes.txt"), "notes");
    writeFile(temp.at("to/old.tmp"), "To's own");
    writeFile(temp.at("to/build/mine.o"), "To's own");
    writeFile(temp.at("to/surplus.txt"), "goes");
    writeFile(temp.at("patterns.txt"),
              "# what the build leaves\n"
              "; and the editor\n"
              "\n"
              "- /build/\n"
              "+ keep.tmp\n"
              "*.tmp\n");
    Outcome done = run({"-s", "-y", "--exclude-from", at("patterns.txt"), at("from"), at("to")});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(tree("to"),
              (std::vector<std::string>{"a.txt a", "build", "build/mine.o To's own", "keep.tmp keep",
                                        "old.tmp To's own", "src", "src/build", "src/build/notes.txt notes"}));
    // Given on the command line, in order: the first that matches decides.
    writeFile(temp.at("from/x.tmp"), "x again");
    Outcome inOrder = run({"--include", "x.tmp", "--exclude", "*.tmp", at("from"), at("to")});
    EXPECT_EQ(inOrder.status, 0) << inOrder.err;
    EXPECT_EQ(readFile(temp.at("to/x.tmp")), "x again");
    // A line of "!" forgets what came before it.
    writeFile(temp.at("forget.txt"), "*.txt\n!\n/build/\n");
    Outcome forgotten = run({"-n", "-v", "--exclude-from", at("forget.txt"), at("from"), at("to")});
    EXPECT_FALSE(contains(forgotten.out, "build/out.o")) << forgotten.out;
}

TEST_F(Program, PatternMistakesAreToldBeforeAnyChange) {
    writeFile(temp.at("from/a.txt"), "a");
    // --exclude was once what -x is: an option after it is no pattern.
    Outcome old = run({"--exclude", "-r", "/build(/.*)?", at("from"), at("to")});
    EXPECT_EQ(old.status, 2);
    EXPECT_TRUE(contains(old.err, "--rules-exclude")) << old.err;
    EXPECT_EQ(run({"--exclude", "--rule=x", at("from"), at("to")}).status, 2);
    EXPECT_EQ(run({"--exclude", "", at("from"), at("to")}).status, 2);
    EXPECT_EQ(run({"--include", "[[:nonsense:]]", at("from"), at("to")}).status, 2);
    // -x keeps its meaning under its new long name.
    Outcome rulesExclude = run({"-x", "-r", ".*\\.txt", at("from"), at("to")});
    EXPECT_EQ(rulesExclude.status, 0) << rulesExclude.err;
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
    // A pattern file that cannot be read, or holds a bad line, refuses the run.
    Outcome missing = run({"--exclude-from", at("none.txt"), at("from"), at("to")});
    EXPECT_EQ(missing.status, 3);
    EXPECT_TRUE(contains(missing.err, "none.txt")) << missing.err;
    writeFile(temp.at("bad.txt"), "*.o\n[[:nonsense:]]\n");
    Outcome bad = run({"--exclude-from", at("bad.txt"), at("from"), at("to")});
    EXPECT_EQ(bad.status, 3);
    EXPECT_TRUE(contains(bad.err, "line 2")) << bad.err;
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
}

TEST_F(Program, WhatTheClosingLinesSay) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/sub/b.txt"), "b");
    writeFile(temp.at("to/old.txt"), "old");
    // A shell pattern given to -r is told where it belongs.
    Outcome hinted = run({"-r", "*.gz", at("from"), at("to")});
    EXPECT_EQ(hinted.status, 3);
    EXPECT_TRUE(contains(hinted.err, "--exclude '*.gz'")) << hinted.err;
    EXPECT_FALSE(contains(run({"-r", "(", at("from"), at("to")}).err, "--exclude"));
    // A missing To is told how to make.
    Outcome missing = run({at("from"), at("nowhere")});
    EXPECT_EQ(missing.status, 3);
    EXPECT_TRUE(contains(missing.err, "--mkpath")) << missing.err;
    // A dry run's closing line counts copies apart from deletions.
    Outcome dry = run({"-n", "-s", at("from"), at("to")});
    EXPECT_TRUE(contains(dry.out, "the run would copy 2 files, create 1 folder and delete 1 entry.")) << dry.out;
    // A rule that matches nothing changes nothing, not even To's own time.
    Outcome none = run({"-v", "-r", "nomatch", at("from"), at("to")});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_FALSE(contains(none.out, "MD:")) << none.out;
    EXPECT_TRUE(contains(none.out, "0 dirs and files updated.")) << none.out;
    Outcome pattern = run({"-v", "--exclude", "*", at("from"), at("to")});
    EXPECT_TRUE(contains(pattern.out, "0 dirs and files updated.")) << pattern.out;
}

// Each line of the log file: its time, the run's process number, the text.
const std::regex kLogLine("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[(\\d+)\\] (.*)$");

TEST_F(Program, LogFileKeepsEachRunsRecord) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/clash"), "a file where To has a folder");
    fs::create_directories(temp.at("to/clash"));
    std::string log = at("logs/korvane.log");
    EXPECT_EQ(run({"--log-file", log, at("from"), at("to")}).status, 1);
    writeFile(temp.at("from/b.txt"), "b");
    EXPECT_EQ(run({"-v", "--log-file", log, at("from"), at("to")}).status, 1);
    EXPECT_EQ(run({"--log-file", log, at("from"), at("nowhere")}).status, 3);
    std::vector<std::string> lines = linesOf(readFile(log));
    std::vector<std::string> starts;
    std::vector<std::string> ends;
    for (const std::string& line : lines) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, kLogLine)) << line;
        std::string text = parts[2];
        if (text.rfind("start of a run", 0) == 0) starts.push_back(text);
        if (text.rfind("end of the run", 0) == 0) ends.push_back(text);
    }
    ASSERT_EQ(starts.size(), 3u) << readFile(log);
    EXPECT_TRUE(contains(starts[0], "--log-file")) << starts[0];
    EXPECT_TRUE(contains(starts[0], " by ")) << starts[0];
    EXPECT_EQ(ends, (std::vector<std::string>{"end of the run: exit status 1", "end of the run: exit status 1",
                                              "end of the run: exit status 3"}));
    std::string whole = readFile(log);
    EXPECT_TRUE(contains(whole, "! Error => Copy failure: [")) << whole;
    EXPECT_TRUE(contains(whole, "clash]: ")) << whole;             // the reason
    EXPECT_TRUE(contains(whole, "figures: 2 examined")) << whole;  // the figures
    EXPECT_TRUE(contains(whole, "  CP: [")) << whole;              // -v: the changes
    EXPECT_TRUE(contains(whole, "is not exist.")) << whole;        // a refusal
    EXPECT_TRUE(contains(whole, "--mkpath")) << whole;             // and its hint
    // A log file of the run's own To is refused, as is a link in its place.
    Outcome inside = run({"--log-file", at("to/run.log"), at("from"), at("to")});
    EXPECT_EQ(inside.status, 3);
    EXPECT_FALSE(fs::exists(temp.at("to/run.log")));
#ifndef _WIN32
    writeFile(temp.at("elsewhere.txt"), "not a log");
    fs::create_symlink(temp.at("elsewhere.txt"), temp.at("logs/linked.log"));
    Outcome linked = run({"--log-file", at("logs/linked.log"), at("from"), at("to")});
    EXPECT_EQ(linked.status, 3);
    EXPECT_TRUE(contains(linked.err, "a link")) << linked.err;
    EXPECT_EQ(readFile(temp.at("elsewhere.txt")), "not a log");
#endif
}

#ifndef _WIN32
// Two jobs sharing one log file, at once: every line whole, each run's record complete.
TEST_F(Program, TwoJobsAppendToOneLogFile) {
    for (int i = 0; i < 300; ++i) writeFile(temp.at("from/f" + std::to_string(i)), std::string(100, 'x'));
    fs::create_directories(temp.at("to2"));
    std::string log = at("logs/shared.log");
    std::string job = ::quoted(programPath()) + " -v --log-file " + ::quoted(log) + " " + ::quoted(at("from")) + " ";
    std::string both =
        "(" + job + ::quoted(at("to")) + " >/dev/null 2>&1 & " + job + ::quoted(at("to2")) + " >/dev/null 2>&1 & wait)";
    ASSERT_EQ(std::system(both.c_str()), 0);
    std::map<std::string, std::vector<std::string>> byRun;
    for (const std::string& line : linesOf(readFile(log))) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, kLogLine)) << line;
        byRun[parts[1]].push_back(parts[2]);
    }
    ASSERT_EQ(byRun.size(), 2u);
    for (const auto& run : byRun) {
        const std::vector<std::string>& lines = run.second;
        ASSERT_GE(lines.size(), 303u);
        EXPECT_EQ(lines.front().rfind("start of a run", 0), 0u) << lines.front();
        EXPECT_EQ(lines.back(), "end of the run: exit status 0");
        size_t copies = 0;
        for (const std::string& line : lines) copies += line.rfind("  CP: [", 0) == 0 ? 1 : 0;
        EXPECT_EQ(copies, 300u);
    }
}
#endif

TEST_F(Program, VersionsListedAndPutBack) {
    writeFile(temp.at("from/docs/report.txt"), "first");
    shiftModified(temp.at("from/docs/report.txt"), -100);
    std::string versions = at("versions");
    EXPECT_EQ(run({"-s", "-y", "--versions", versions, at("from"), at("to")}).status, 0);
    writeFile(temp.at("from/docs/report.txt"), "second");
    EXPECT_EQ(run({"-s", "-y", "--versions", versions, at("from"), at("to")}).status, 0);
    fs::remove_all(temp.at("from/docs"));
    EXPECT_EQ(run({"-s", "-y", "--allow-empty-from", "--versions", versions, at("from"), at("to")}).status, 0);
    ASSERT_FALSE(fs::exists(temp.at("to/docs")));

    Outcome listed = run({"--list-versions", "--versions", versions, at("to/docs/report.txt")});
    EXPECT_EQ(listed.status, 0) << listed.err;
    std::vector<std::string> lines = linesOf(listed.out);
    ASSERT_EQ(lines.size(), 3u) << listed.out;
    EXPECT_TRUE(contains(lines[0], "newest first")) << lines[0];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  file    6 B  ")))
        << lines[1];
    EXPECT_TRUE(contains(lines[2], "file    5 B")) << lines[2];
    Outcome folder = run({"--list-versions", "--versions", versions, at("to/docs")});
    EXPECT_TRUE(contains(folder.out, "folder  1 entry, 6 B")) << folder.out;

    // The folder the mirror removed comes back, with the newest version of what it held.
    Outcome restored = run({"-v", "--restore", at("to/docs"), "--versions", versions});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(readFile(temp.at("to/docs/report.txt")), "second");
    EXPECT_TRUE(contains(restored.out, "Put back 2 entries of [")) << restored.out;
    // As of the first night's run: the version that run kept.
    std::string firstRun = lines[2].substr(0, 19);
    Outcome asOf = run({"--restore", at("to/docs/report.txt"), "--versions", versions, "--as-of", firstRun,
                        "--restore-to", at("elsewhere")},
                       "mkdir " + ::quoted(at("elsewhere")) + " && ");
    EXPECT_EQ(asOf.status, 0) << asOf.err;
    EXPECT_EQ(readFile(temp.at("elsewhere/docs/report.txt")), "first");
    EXPECT_EQ(readFile(temp.at("to/docs/report.txt")), "second");
    Outcome nowhere = run({"--restore", at("to/docs"), "--versions", versions, "--restore-to", at("nowhere")});
    EXPECT_EQ(nowhere.status, 3);
    EXPECT_TRUE(contains(nowhere.err, "--restore-to is not there; make it first")) << nowhere.err;

    EXPECT_EQ(run({"--restore", at("to/docs")}).status, 2);  // no --versions
    EXPECT_EQ(run({"--restore", at("to/docs"), "--versions", versions, "--as-of", "yesterday"}).status, 2);
    EXPECT_EQ(run({"--as-of", "2026-01-01", at("from"), at("to")}).status, 2);
    EXPECT_EQ(run({"--list-versions", "--versions", versions}).status, 2);
    Outcome unknown = run({"--restore", at("from/x"), "--versions", versions});
    EXPECT_EQ(unknown.status, 3);
    EXPECT_TRUE(contains(unknown.err, "no run folder")) << unknown.err;
}

}  // namespace
