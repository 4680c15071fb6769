// Folder times: each To folder takes its From folder's time once its
// contents are done, on both systems; only a time that alone differed is a
// change of its own.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/run_context.h"
#include "platform/platform.h"
#include "support/recording_host.h"

namespace {

struct FolderTimes : FolderPairTest {
    RunOptions options;
    RunTally tally;
    // A run with folder times kept; a mirror when synchronous.
    int run(bool synchronous) {
        options.folderTimes = true;
        options.synchronous = synchronous;
        tally = RunTally();
        runContext.hadErrors = false;
        return folderRunWithOptions(options, &tally, from, to, {});
    }
    // The folders whose To time is not their From time.
    std::vector<std::string> offTime() {
        std::vector<std::string> off;
        for (const char* folder : {"", "a", "a/b", "c"}) {
            fs::path mine = temp.at(std::string("to/") + folder);
            if (!fs::exists(mine)) continue;
            EntryStatus theirs;
            EntryStatus ours;
            platformQueryEntry(toWide(temp.at(std::string("from/") + folder)).buffer, &theirs);
            platformQueryEntry(toWide(mine).buffer, &ours);
            if (ours.modifiedSeconds != theirs.modifiedSeconds ||
                ours.modifiedNanoseconds != theirs.modifiedNanoseconds) {
                off.push_back(folder);
            }
        }
        return off;
    }
};

// From: a/b/f.txt, a/g.txt, c/h.txt, every folder of an old time; To a first
// copy of it. Each case changes something, runs, and looks at the counts.
TEST_F(FolderTimes, EachFolderTakesItsTimeAndOnlyATimeAloneIsAChange) {
    struct Case {
        const char* what;
        bool synchronous;
        bool dryRun;
        std::function<void(FolderTimes*)> change;
        long long updated;  // MD lines: times alone
        long long copied;
        long long deleted;
    };
    const std::vector<Case> cases = {
        {"nothing changed", true, false, [](FolderTimes*) {}, 0, 0, 0},
        {"a folder retimed alone", false, false, [](FolderTimes* t) { shiftModified(t->temp.at("to/a/b"), 60); }, 1, 0,
         0},
        {"two folders retimed, one below the other", true, false,
         [](FolderTimes* t) {
             shiftModified(t->temp.at("to/a/b"), 60);
             shiftModified(t->temp.at("to/a"), 60);
         },
         2, 0, 0},
        {"a copy into a folder", false, false,
         [](FolderTimes* t) {
             writeFile(t->temp.at("from/a/b/new.txt"), "new");
             shiftModified(t->temp.at("from/a/b/new.txt"), -100);
             shiftModified(t->temp.at("from/a/b"), -3000);
         },
         0, 1, 0},
        {"a deletion from a retimed folder", true, false,
         [](FolderTimes* t) {
             writeFile(t->temp.at("to/c/surplus.txt"), "old");
             shiftModified(t->temp.at("to/c"), 60);
         },
         0, 0, 1},
        {"a dry run tells, changes nothing", false, true, [](FolderTimes* t) { shiftModified(t->temp.at("to/c"), 60); },
         1, 0, 0},
    };
    for (int jobs : {1, 8}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(jobs == 1 ? "one worker" : "eight workers");
            fs::remove_all(temp.at("from"));
            fs::remove_all(temp.at("to"));
            fs::create_directories(temp.at("to"));
            writeFile(temp.at("from/a/b/f.txt"), "f");
            writeFile(temp.at("from/a/g.txt"), "g");
            writeFile(temp.at("from/c/h.txt"), "h");
            for (const char* folder : {"from/a/b", "from/a", "from/c", "from"}) shiftModified(temp.at(folder), -2000);
            options = RunOptions();
            options.jobs = jobs;
            ASSERT_EQ(run(true), RUN_OK) << c.what;
            EXPECT_TRUE(offTime().empty()) << c.what << ": the first copy";
            c.change(this);
            std::vector<std::string> before = offTime();
            options.dryRun = c.dryRun;
            EXPECT_EQ(run(c.synchronous), RUN_OK) << c.what;
            EXPECT_EQ(tally.updated, c.updated) << c.what;
            EXPECT_EQ(tally.copied, c.copied) << c.what;
            EXPECT_EQ(tally.deleted, c.deleted) << c.what;
            EXPECT_EQ(offTime(), c.dryRun ? before : std::vector<std::string>()) << c.what;
            options.dryRun = false;
            EXPECT_EQ(run(c.synchronous), RUN_OK) << c.what;
            EXPECT_EQ(tally.updated + tally.copied + tally.deleted, c.dryRun ? c.updated : 0) << c.what << ": again";
        }
    }
}

}  // namespace
