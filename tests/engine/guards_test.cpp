// The guards of a night that would take almost all of a backup: a mirror of
// a From that gives next to nothing, and a run that would replace most of
// To's files; held entries told in the walk's order, whatever the workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/guards.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "support/recording_host.h"

namespace {

// Each entry below root ("/"-separated) with a file's contents, or "dir".
std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto at = fs::recursive_directory_iterator(root); at != fs::recursive_directory_iterator(); ++at) {
        std::string name = fs::relative(at->path(), root).generic_string();
        tree[name] = at->is_directory() ? "dir" : readFile(at->path());
    }
    return tree;
}

// A path as wide text.
std::wstring wide(const fs::path& path) { return toWide(path).buffer; }

struct Guards : FolderPairTest {
    RunOptions options;
    RunTally tally;

    int runAt(const fs::path& base, bool synchronous, const std::vector<WideString>& rules = {},
              bool excludes = false) {
        runContext.hadErrors = false;
        tally = RunTally();
        host.statuses.clear();
        options.synchronous = synchronous;
        options.ruleExcludes = excludes;
        return folderRunWithOptions(options, &tally, toWide(base / "from"), toWide(base / "to"), rules);
    }
    // A list run of base's From into its To naming every file of From, as a
    // nightly job's list would; the window's own (its options aside) when window.
    int listAt(const fs::path& base, bool window = false) {
        runContext.hadErrors = false;
        tally = RunTally();
        host.statuses.clear();
        std::string list;
        for (auto at = fs::recursive_directory_iterator(base / "from"); at != fs::recursive_directory_iterator();
             ++at) {
            if (!at->is_directory()) list += fs::relative(at->path(), base / "from").generic_string() + "\n";
        }
        writeFile(base / "list.txt", list);
        if (window) return ListCopyRun(false, toWide(base / "from"), toWide(base / "to"), toWide(base / "list.txt"));
        return listRunWithOptions(options, &tally, toWide(base / "from"), toWide(base / "to"),
                                  toWide(base / "list.txt"));
    }
    // The error lines the run showed.
    std::vector<std::wstring> errors() const {
        std::vector<std::wstring> lines;
        for (const auto& status : host.statuses) {
            if (status.first == STATUS_ERROR) lines.push_back(status.second);
        }
        return lines;
    }
};

// A mirror of a From that gives no file, or ten or fewer while To holds
// more than ten times as many, is refused before any change, with the
// figures; everything else, and anything the user allows, goes through.
TEST_F(Guards, FromOfNextToNothingIsRefusedBeforeAnyChange) {
    struct Case {
        const char* name;
        std::vector<std::string> from;  // files, or folders ending in "/"
        int toFiles;                    // files t0... in To
        std::vector<std::string> rules;
        bool refused;
        const char* said;  // in the refusal
    };
    const std::vector<Case> cases = {
        {"an unmounted disk's folder: lost+found alone",
         {"lost+found/"},
         30,
         {},
         true,
         "] holds no file and destination dir ["},
        {"empty folders", {"a/", "b/", "c/"}, 30, {}, true, "holds no file"},
        {"folders of folders", {"a/b/c/", "a/d/"}, 3, {}, true, "holds no file"},
        {"nothing at all", {}, 1, {}, true, "] is empty and destination dir ["},
        {"a stray file", {".DS_Store"}, 30, {}, true, "] holds only [1] files and destination dir ["},
        {"files the rule does not take",
         {"x1.dat", "x2.dat", "x3.dat"},
         30,
         {".*\\.txt"},
         true,
         "holds no file the rules take and destination dir [%TO%] holds [30] files the rules take"},
        {"one file against eleven", {"kept"}, 11, {}, true, "holds only [1] files"},
        {"one file against ten", {"kept"}, 10, {}, false, ""},
        {"three files against thirty", {"a", "b", "c"}, 30, {}, false, ""},
        {"three against thirty-one", {"a", "b", "c"}, 31, {}, true, "holds only [3] files"},
        {"ten files against a hundred and one",
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
         101,
         {},
         true,
         "holds only [10] files and destination dir [%TO%] holds [101] files"},
        {"eleven files are no longer few",
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"},
         300,
         {},
         false,
         ""},
        {"a To of empty folders alone, From of folders", {"a/"}, 0, {}, false, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("case" + std::to_string(i));
        fs::create_directories(base / "from");
        for (const std::string& entry : c.from) {
            if (entry.back() == '/') {
                fs::create_directories(base / "from" / entry);
            } else {
                writeFile(base / "from" / entry, "f");
            }
        }
        fs::create_directories(base / "to" / "empty");
        for (int file = 0; file < c.toFiles; ++file)
            writeFile(base / "to" / ("t" + std::to_string(file) + ".txt"), "t");
        std::vector<WideString> rules;
        for (const std::string& rule : c.rules)
            rules.push_back(WideString(std::wstring(rule.begin(), rule.end()).c_str()));
        auto before = treeOf(base / "to");

        options.refuseEmptySource = true;
        int result = runAt(base, true, rules);
        if (!c.refused) {
            EXPECT_EQ(result, RUN_OK);
            continue;
        }
        EXPECT_EQ(result, RUN_EMPTY_SOURCE);
        EXPECT_EQ(treeOf(base / "to"), before);
        ASSERT_EQ(errors().size(), 1u);
        std::string said = c.said;
        std::string toText = logText(toWide(base / "to"));
        if (said.find("%TO%") != std::string::npos) said.replace(said.find("%TO%"), 4, toText);
        EXPECT_NE(logText(WideString(errors()[0].c_str())).find(said), std::string::npos)
            << logText(WideString(errors()[0].c_str()));
        EXPECT_EQ(errors()[0].find(L"! Error => Source dir [" + wide(base / "from") + L"]"), 0u);

        // The user may say so.
        options.refuseEmptySource = false;
        EXPECT_EQ(runAt(base, true, rules), RUN_OK);
        if (c.rules.empty()) {
            EXPECT_EQ(treeOf(base / "to"), treeOf(base / "from"));
        }
    }
}

// What To holds of the run's own (the versions folder inside it) and what
// the rules leave is not counted as To's; a plain run is never refused.
TEST_F(Guards, OnlyWhatTheMirrorWouldTakeIsWeighed) {
    fs::path base = temp.at("own");
    writeFile(base / "from" / "kept", "k");
    for (int file = 0; file < 40; ++file) writeFile(base / "to" / ".versions" / ("v" + std::to_string(file)), "v");
    for (int file = 0; file < 40; ++file) writeFile(base / "to" / ("t" + std::to_string(file) + ".svn"), "s");
    options.refuseEmptySource = true;
    options.versionsFolder = toWide(base / "to" / ".versions");
    EXPECT_EQ(runAt(base, true, {WideString(L".*\\.svn")}, true), RUN_OK) << testing::PrintToString(errors());
    EXPECT_EQ(runAt(base, false), RUN_OK);

    // A run not told of the versions folder finds it by its mark: its
    // versions are no files a mirror would take either.
    options.versionsFolder = WideString();
    EXPECT_EQ(runAt(base, true, {WideString(L".*\\.svn")}, true), RUN_OK) << testing::PrintToString(errors());
    EXPECT_TRUE(fs::exists(base / "to" / ".versions" / "v0"));
}

// A night that would replace more of To's files than the guard lets
// through replaces none of them (and, a mirror, deletes nothing) unless
// versions keep them or a limit allows it; the new copies stand. By
// default: more than half of the files compared, and more than twenty.
TEST_F(Guards, MassReplacementIsHeldBeforeAnyReplacement) {
    struct Case {
        const char* name;
        int compared;   // files both hold
        int rewritten;  // of them, rewritten in From
        bool synchronous;
        long long maxReplace;
        bool versions;
        bool dryRun;
        bool held;
    };
    const std::vector<Case> cases = {
        {"every file of fifty rewritten", 50, 50, true, -1, false, false, true},
        {"twenty-one of forty", 40, 21, true, -1, false, false, true},
        {"twenty of twenty: too few to hold", 20, 20, true, -1, false, false, false},
        {"twenty-one of forty-two: half", 42, 21, true, -1, false, false, false},
        {"twenty-two of forty-two", 42, 22, false, -1, false, false, true},
        {"a plain run too", 30, 30, false, -1, false, false, true},
        {"versions keep what is replaced", 50, 50, true, -1, true, false, false},
        {"the user allows it", 50, 50, true, 50, false, false, false},
        {"a limit holds with versions too", 10, 6, true, 5, true, false, true},
        {"a dry run predicts the hold", 50, 50, true, -1, false, true, true},
        {"a first copy into an empty To", 0, 0, true, -1, false, false, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("night" + std::to_string(i));
        for (int file = 0; file < c.compared; ++file) {
            std::string name = "d" + std::to_string(file % 3) + "/f" + std::to_string(file);
            writeFile(base / "to" / name, "old");
            writeFile(base / "from" / name, file < c.rewritten ? "rewritten" : "old");
            if (file < c.rewritten) {
                shiftModified(base / "from" / name, 60);
            } else {
                copyModified(base / "to" / name, base / "from" / name);
            }
        }
        writeFile(base / "from" / "new.txt", "new");
        writeFile(base / "to" / "surplus.txt", "surplus");
        options = RunOptions();
        options.replaceGuard = REPLACE_GUARD_HOLD;
        options.maxReplace = c.maxReplace;
        options.dryRun = c.dryRun;
        if (c.versions) options.versionsFolder = toWide(base / "versions");
        if (c.versions && c.maxReplace < 0) options.replaceGuard = REPLACE_GUARD_OFF;  // as the front end sets it
        auto before = treeOf(base / "to");

        int result = runAt(base, c.synchronous);
        if (!c.held) {
            EXPECT_EQ(result, RUN_OK) << testing::PrintToString(errors());
            EXPECT_EQ(tally.copied, c.rewritten + 1);
            EXPECT_EQ(readFile(base / "to" / "new.txt"), "new");
            if (c.rewritten > 0) {
                EXPECT_EQ(readFile(base / "to" / "d0" / "f0"), "rewritten");
            }
            EXPECT_EQ(tally.replacesHeld, 0);
            continue;
        }
        EXPECT_EQ(result, RUN_REPLACES_HELD);
        EXPECT_EQ(tally.replacesHeld, c.rewritten);
        auto after = treeOf(base / "to");
        if (!c.dryRun) {
            EXPECT_EQ(after["new.txt"], "new");  // the new copy stands
            after.erase("new.txt");
        }
        EXPECT_EQ(after, before);  // nothing replaced, nothing deleted
        EXPECT_FALSE(fs::exists(base / "versions"));
        ASSERT_EQ(errors().size(), 1u);
        std::wstring line = errors()[0];
        EXPECT_EQ(
            line.find(L"! Error => Replacement guard: the run would replace [" + std::to_wstring(c.rewritten) + L"]"),
            0u)
            << logText(WideString(line.c_str()));
        EXPECT_NE(line.find(c.synchronous ? L"nothing was replaced or deleted." : L"; nothing was replaced."),
                  std::wstring::npos);
    }
}

// A list run is held as a plain folder run is: a list naming every file of
// a From rewritten replaces none of them unless versions keep them or a
// limit allows it; the window asks, and a No ends the run.
TEST_F(Guards, MassReplacementByAListIsHeldToo) {
    struct Case {
        const char* name;
        int compared;   // files both hold, all listed
        int rewritten;  // of them, rewritten in From
        long long maxReplace;
        bool versions;
        bool dryRun;
        int guard;   // a REPLACE_GUARD_
        bool yes;    // the window's answer
        int result;  // the run's code
    };
    const std::vector<Case> cases = {
        {"every file of fifty rewritten", 50, 50, -1, false, false, REPLACE_GUARD_HOLD, false, RUN_REPLACES_HELD},
        {"twenty-one of forty", 40, 21, -1, false, false, REPLACE_GUARD_HOLD, false, RUN_REPLACES_HELD},
        {"twenty of twenty: too few to hold", 20, 20, -1, false, false, REPLACE_GUARD_HOLD, false, RUN_OK},
        {"twenty-one of forty-two: half", 42, 21, -1, false, false, REPLACE_GUARD_HOLD, false, RUN_OK},
        {"versions keep what is replaced", 50, 50, -1, true, false, REPLACE_GUARD_OFF, false, RUN_OK},
        {"the user allows it", 50, 50, 50, false, false, REPLACE_GUARD_HOLD, false, RUN_OK},
        {"a limit holds with versions too", 10, 6, 5, true, false, REPLACE_GUARD_HOLD, false, RUN_REPLACES_HELD},
        {"a dry run predicts the hold", 50, 50, -1, false, true, REPLACE_GUARD_HOLD, false, RUN_REPLACES_HELD},
        {"the window's No", 30, 30, -1, false, false, REPLACE_GUARD_ASK, false, RUN_DECLINED},
        {"the window's Yes", 30, 30, -1, false, false, REPLACE_GUARD_ASK, true, RUN_OK},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("list" + std::to_string(i));
        for (int file = 0; file < c.compared; ++file) {
            std::string name = "d" + std::to_string(file % 3) + "/f" + std::to_string(file);
            writeFile(base / "to" / name, "old");
            writeFile(base / "from" / name, file < c.rewritten ? "rewritten" : "old");
            if (file < c.rewritten) {
                shiftModified(base / "from" / name, 60);
            } else {
                copyModified(base / "to" / name, base / "from" / name);
            }
        }
        writeFile(base / "from" / "new.txt", "new");
        options = RunOptions();
        options.replaceGuard = c.guard;
        options.maxReplace = c.maxReplace;
        options.dryRun = c.dryRun;
        options.folderTimes = true;
        if (c.versions) options.versionsFolder = toWide(base / "versions");
        host.cautiousQuestions.clear();
        host.cautiousAnswer = c.yes;
        auto before = treeOf(base / "to");

        bool window = c.guard == REPLACE_GUARD_ASK;
        int result = listAt(base, window);
        EXPECT_EQ(result, c.result) << testing::PrintToString(errors());
        EXPECT_EQ(host.cautiousQuestions.size(), window ? 1u : 0u);
        if (c.result == RUN_OK) {
            if (!window) {
                EXPECT_EQ(tally.copied, c.rewritten + 1);
            }
            EXPECT_EQ(readFile(base / "to" / "new.txt"), "new");
            EXPECT_EQ(readFile(base / "to" / "d0" / "f0"), "rewritten");
            EXPECT_EQ(tally.replacesHeld, 0);
            continue;
        }
        auto after = treeOf(base / "to");
        if (!c.dryRun) after.erase("new.txt");  // a new copy may stand
        EXPECT_EQ(after, before);               // nothing replaced
        EXPECT_FALSE(fs::exists(base / "versions"));
        if (c.result == RUN_DECLINED) continue;
        EXPECT_EQ(tally.replacesHeld, c.rewritten);
        ASSERT_EQ(errors().size(), 1u);
        EXPECT_EQ(errors()[0].find(L"! Error => Replacement guard: the run would replace [" +
                                   std::to_wstring(c.rewritten) + L"]"),
                  0u);
        EXPECT_NE(errors()[0].find(L"; nothing was replaced."), std::wstring::npos);
    }
}

// On an ordinary night a replacement waits for the guard's count and goes
// after the copy walk: the folder holding it still takes its time without a
// line of its own, as the copy moved it, and a second run finds nothing to do.
TEST_F(Guards, WaitingReplacementTakesItsFoldersTimeAlong) {
    fs::path base = temp.at("night");
    writeFile(base / "to" / "d" / "f", "old");
    writeFile(base / "from" / "d" / "f", "new");
    shiftModified(base / "from" / "d" / "f", 60);
    shiftModified(base / "from" / "d", 120);  // saved by a rename: its folder's time moved
    options.replaceGuard = REPLACE_GUARD_HOLD;
    options.folderTimes = true;
    host.watchReports();
    EXPECT_EQ(runAt(base, true), RUN_OK);
    std::vector<std::wstring> told;
    for (const auto& report : host.reports) told.push_back(report.second.substr(0, 6));
    EXPECT_EQ(told, std::vector<std::wstring>{L"  CP: "});
    EXPECT_EQ(readFile(base / "to" / "d" / "f"), "new");
    host.reports.clear();
    EXPECT_EQ(runAt(base, true), RUN_OK);
    EXPECT_TRUE(host.reports.empty());
}

// Where a front end asks instead (the window), the question has the figures
// and No for its default: No ends the run as declined, with nothing replaced
// or deleted; Yes lets every replacement through.
TEST_F(Guards, WhereTheFrontEndAsksNoEndsTheRun) {
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes ? "Yes" : "No");
        fs::path base = temp.at(yes ? "yes" : "no");
        for (int file = 0; file < 30; ++file) {
            writeFile(base / "to" / ("f" + std::to_string(file)), "old");
            writeFile(base / "from" / ("f" + std::to_string(file)), "encrypted");
            shiftModified(base / "from" / ("f" + std::to_string(file)), 60);
        }
        writeFile(base / "to" / "surplus.txt", "surplus");
        options = RunOptions();
        options.replaceGuard = REPLACE_GUARD_ASK;
        host.cautiousQuestions.clear();
        host.cautiousAnswer = yes;
        int result = runAt(base, true);
        ASSERT_EQ(host.cautiousQuestions.size(), 1u);
        EXPECT_EQ(host.cautiousQuestions[0].find(L"The copy would replace [30] of the [30] files in [" +
                                                 wide(base / "to") + L"]"),
                  0u);
        EXPECT_EQ(result, yes ? RUN_OK : RUN_DECLINED);
        EXPECT_EQ(readFile(base / "to" / "f7"), yes ? "encrypted" : "old");
        EXPECT_EQ(fs::exists(base / "to" / "surplus.txt"), !yes);
        EXPECT_TRUE(errors().empty());
    }
}

// What waits for a guard is told in the walk's order, with eight workers as
// with one: From holds a file x and a folder y, To a folder x and a file y.
TEST_F(Guards, HeldEntriesAreToldInTheWalksOrder) {
    std::vector<std::vector<std::wstring>> told;
    for (int jobs : {1, 8}) {
        for (long long limit : {0LL, 3LL}) {
            fs::path base = temp.at("j" + std::to_string(jobs) + "-" + std::to_string(limit));
            writeFile(base / "from" / "x", "x");
            writeFile(base / "from" / "y" / "inside", "i");
            writeFile(base / "to" / "x" / "g", "g");
            writeFile(base / "to" / "y", "y");
            options = RunOptions();
            options.jobs = jobs;
            options.maxDelete = limit;
            host.reports.clear();
            host.watchReports();
            EXPECT_EQ(runAt(base, true), limit == 0 ? RUN_DELETES_HELD : RUN_OK);
            std::vector<std::wstring> lines;
            std::wstring root = wide(base);
            for (const auto& report : host.reports) {
                std::wstring line = report.second;
                for (size_t at; (at = line.find(root)) != std::wstring::npos;) line.erase(at, root.size());
                lines.push_back(line);
            }
            told.push_back(lines);
        }
    }
    EXPECT_EQ(told[0], told[2]);
    EXPECT_EQ(told[1], told[3]);
    ASSERT_GE(told[0].size(), 2u);
    EXPECT_NE(told[0][0].find(L"x]"), std::wstring::npos) << logText(WideString(told[0][0].c_str()));
}

#ifndef _WIN32
// A link in To where From has a file or a folder goes as a deletion: the
// deletion guard counts it, and the run tells it before the copy that takes
// its place, with eight workers as with one; what it names stays.
TEST_F(Guards, LinkInTheWayIsADeletionTheGuardCounts) {
    for (int jobs : {1, 8}) {
        for (long long limit : {1LL, 2LL}) {
            fs::path base = temp.at("j" + std::to_string(jobs) + "-" + std::to_string(limit));
            writeFile(base / "from" / "f", "f");
            writeFile(base / "from" / "d" / "inside", "i");
            writeFile(base / "outside" / "kept", "kept");
            fs::create_directories(base / "to");
            fs::create_symlink(base / "outside" / "kept", base / "to" / "f");
            fs::create_directory_symlink(base / "outside", base / "to" / "d");
            options = RunOptions();
            options.jobs = jobs;
            options.maxDelete = limit;
            runContext.showCopyFile = true;
            host.reports.clear();
            host.watchReports();
            SCOPED_TRACE(base.string());
            EXPECT_EQ(runAt(base, true), limit < 2 ? RUN_DELETES_HELD : RUN_OK);
            EXPECT_EQ(fs::is_symlink(base / "to" / "f"), limit < 2);
            EXPECT_EQ(fs::is_symlink(base / "to" / "d"), limit < 2);
            EXPECT_EQ(treeOf(base / "outside"), (std::map<std::string, std::string>{{"kept", "kept"}}));
            if (limit < 2) continue;
            std::vector<std::wstring> lines;
            for (const auto& report : host.reports) lines.push_back(report.second);
            std::wstring deleted = L"  DF: [" + wide(base / "to" / "f") + L"]";
            auto at = std::find(lines.begin(), lines.end(), deleted);
            ASSERT_NE(at, lines.end());
            ASSERT_NE(at + 1, lines.end());
            EXPECT_EQ(at[1].rfind(L"  CP: [", 0), 0u) << logText(WideString(at[1].c_str()));
            EXPECT_NE(std::find(lines.begin(), lines.end(), L"  DF: [" + wide(base / "to" / "d") + L"]"), lines.end());
        }
    }
}
#endif

}  // namespace
