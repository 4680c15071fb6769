// Attacks on what a run may touch: other spellings of the folders, links in
// either tree, links swapped in while a run is under way, the run's own log.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "support/recording_host.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

struct Trust : FolderPairTest {
    int jobs = 0;  // workers of the runs; 0: as suits the To Folder's volume
    int run(bool synchronous, const WideString& source, const WideString& target) {
        openRunLog(temp.wide("logs/korvaneui.log"));
        runContext.hadErrors = false;
        RunOptions options;
        options.jobs = jobs;
        options.synchronous = synchronous;
        options.showCopyFile = true;
        RunTally tally;
        int result = folderRunWithOptions(options, &tally, source, target, {});
        closeRunLog();
        return result;
    }
    int mirror() { return run(true, from, to); }
    std::vector<std::string> log() { return logLines(temp.at("logs/korvaneui.log")); }
    bool logHas(const std::string& text) {
        for (const std::string& line : log()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    void SetUp() override {
        FolderPairTest::SetUp();
        fs::create_directories(temp.at("logs"));
    }
};

WideString spelled(const fs::path& path, const char* tail) { return toWide(fs::path(path.string() + tail)); }

// The checks decide on what the paths name, not on how they are written. An
// empty From keeps a failing check harmless: there is nothing to copy.
TEST_F(Trust, SafetyChecksSeeThroughSpellings) {
    fs::create_directories(temp.at("empty"));
    WideString empty = temp.wide("empty");
    struct Case {
        WideString source;
        WideString target;
        int code;
    };
    std::vector<Case> cases = {
        {empty, toWide(fs::path(temp.root.string() + "/./empty")), RUN_SAME_FOLDERS},
        {empty, spelled(temp.at("to"), "/../empty"), RUN_SAME_FOLDERS},
        {from, spelled(temp.at("from"), "/../from/./sub"), RUN_DEST_INSIDE_SOURCE},
        {spelled(temp.at("to"), "/./inner"), to, RUN_SOURCE_INSIDE_DEST},
    };
    fs::create_directories(temp.at("from/sub"));
    fs::create_directories(temp.at("to/inner"));
#ifdef _WIN32
    std::string drive = temp.root.root_name().string();
    cases.push_back({empty, toWide(fs::path(drive + "\\.")), RUN_DEST_IS_DRIVE});
    cases.push_back({empty, toWide(fs::path(drive + "\\..")), RUN_DEST_IS_DRIVE});
#else
    cases.push_back({empty, WideString(L"/."), RUN_DEST_IS_DRIVE});
    cases.push_back({empty, WideString(L"/.."), RUN_DEST_IS_DRIVE});
    cases.push_back({empty, WideString(L"//"), RUN_DEST_IS_DRIVE});
    cases.push_back({empty, WideString(L"/tmp/.."), RUN_DEST_IS_DRIVE});
    // Links in the spelling: To inside From, From inside To.
    fs::create_directory_symlink(temp.at("from"), temp.at("linked-from"));
    fs::create_directory_symlink(temp.at("to/inner"), temp.at("innerlink"));
    cases.push_back({from, spelled(temp.at("linked-from"), "/sub"), RUN_DEST_INSIDE_SOURCE});
    cases.push_back({temp.wide("innerlink"), to, RUN_SOURCE_INSIDE_DEST});
    cases.push_back({from, temp.wide("linked-from"), RUN_SAME_FOLDERS});
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(run(true, c.source, c.target), c.code) << fromWide(c.target);
    }
    EXPECT_FALSE(fs::exists(temp.at("from/sub/sub")));
    EXPECT_TRUE(fs::is_empty(temp.at("from/sub")));
    EXPECT_TRUE(fs::exists(temp.at("to/inner")));
}

#ifdef _WIN32
// Under Wine a unix link in To shows as a directory with a reparse point of
// no known kind: nothing is written through it, by a folder run or a list run.
TEST_F(Trust, UnixLinkInsideToIsNeverWrittenThrough) {
    writeFile(temp.at("elsewhere/mine.txt"), "mine");
    writeFile(temp.at("from/d/f.txt"), "new");
    writeFile(temp.at("from/deep/e/g.txt"), "new");
    fs::create_directories(temp.at("to/deep"));
    std::string toQuoted = "'" + hostPath(temp.at("to")) + "'";
    if (hostPath(temp.at("to")).empty() ||
        !runOnHost("cd " + toQuoted + " && ln -s ../elsewhere d && ln -s ../../elsewhere deep/e")) {
        GTEST_SKIP() << "needs Wine";
    }
    auto outsideIsWhole = [&] {
        EXPECT_EQ(readFile(temp.at("elsewhere/mine.txt")), "mine");
        EXPECT_FALSE(fs::exists(temp.at("elsewhere/f.txt")));
        EXPECT_FALSE(fs::exists(temp.at("elsewhere/g.txt")));
    };
    EXPECT_EQ(run(false, from, temp.wide("to")), RUN_HAD_ERRORS);
    outsideIsWhole();
    writeFile(temp.at("list.txt"), "d\\f.txt\ndeep\\e\\g.txt\n");
    openRunLog(temp.wide("logs/korvaneui.log"));
    runContext.hadErrors = false;
    EXPECT_EQ(ListCopyRun(true, from, temp.wide("to"), temp.wide("list.txt")), RUN_HAD_ERRORS);
    closeRunLog();
    outsideIsWhole();
    EXPECT_NE(mirror(), RUN_OK);  // Wine cannot remove a unix link as a link: it stays, reported
    outsideIsWhole();
    runOnHost("find '" + hostPath(temp.at()) + "' -type l -delete");
}
#endif

#ifndef _WIN32
// A From entry that cannot be followed or read still names what To keeps.
TEST_F(Trust, CleanUpKeepsWhatFromHasInAnyForm) {
    writeFile(temp.at("usb/photos/1.jpg"), "one");
    writeFile(temp.at("usb/2.jpg"), "two");
    fs::create_directory_symlink(temp.at("usb"), temp.at("from/usb"));
    fs::create_symlink(temp.at("usb/2.jpg"), temp.at("from/two.jpg"));
    ASSERT_EQ(mirror(), RUN_OK);
    ASSERT_EQ(readFile(temp.at("to/usb/photos/1.jpg")), "one");
    fs::rename(temp.at("usb"), temp.at("usb.gone"));
    EXPECT_EQ(mirror(), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("to/usb/photos/1.jpg")), "one");
    EXPECT_EQ(readFile(temp.at("to/usb/2.jpg")), "two");
    EXPECT_EQ(readFile(temp.at("to/two.jpg")), "two");
    EXPECT_FALSE(logHas("DF: "));
    EXPECT_FALSE(logHas("RD: "));
}

TEST_F(Trust, LinkInsideToIsNeverWrittenThrough) {
    writeFile(temp.at("elsewhere/mine.txt"), "mine");
    writeFile(temp.at("elsewhere/file.txt"), "theirs");
    fs::permissions(temp.at("elsewhere"), fs::perms(0751), fs::perm_options::replace);
    writeFile(temp.at("from/d/f.txt"), "new");
    writeFile(temp.at("from/deep/e/g.txt"), "new");
    writeFile(temp.at("from/file.txt"), "from");
    fs::create_directories(temp.at("to/deep"));
    fs::create_directory_symlink(temp.at("elsewhere"), temp.at("to/d"));
    fs::create_directory_symlink(temp.at("elsewhere"), temp.at("to/deep/e"));
    fs::create_symlink(temp.at("elsewhere/file.txt"), temp.at("to/file.txt"));
    auto outsideIsWhole = [&] {
        EXPECT_EQ(readFile(temp.at("elsewhere/mine.txt")), "mine");
        EXPECT_EQ(readFile(temp.at("elsewhere/file.txt")), "theirs");
        EXPECT_FALSE(fs::exists(temp.at("elsewhere/f.txt")));
        EXPECT_FALSE(fs::exists(temp.at("elsewhere/g.txt")));
        EXPECT_EQ(fs::status(temp.at("elsewhere")).permissions(), fs::perms(0751));
    };

    // A plain run leaves the links and reports each once.
    EXPECT_EQ(run(false, from, to), RUN_HAD_ERRORS);
    outsideIsWhole();
    EXPECT_TRUE(logHas("! Error => Destination is a link, not followed: [" + logText(temp.wide("to/d")) + "]"));
    EXPECT_TRUE(fs::is_symlink(temp.at("to/file.txt")));

    // A list run the same.
    writeFile(temp.at("list.txt"), "d/f.txt\ndeep/e/g.txt\nfile.txt\n");
    openRunLog(temp.wide("logs/korvaneui.log"));
    runContext.hadErrors = false;
    EXPECT_EQ(ListCopyRun(true, from, to, temp.wide("list.txt")), RUN_HAD_ERRORS);
    closeRunLog();
    outsideIsWhole();

    // A mirror puts the real entries in place of the links.
    EXPECT_EQ(mirror(), RUN_OK);
    outsideIsWhole();
    EXPECT_FALSE(fs::is_symlink(temp.at("to/d")));
    EXPECT_EQ(readFile(temp.at("to/d/f.txt")), "new");
    EXPECT_EQ(readFile(temp.at("to/deep/e/g.txt")), "new");
    EXPECT_EQ(readFile(temp.at("to/file.txt")), "from");
    EXPECT_FALSE(fs::is_symlink(temp.at("to/file.txt")));
}

TEST_F(Trust, HardLinkInToIsReplacedNotWrittenThrough) {
    writeFile(temp.at("outside.txt"), "outside");
    writeFile(temp.at("from/shared.txt"), "from, longer");
    fs::create_hard_link(temp.at("outside.txt"), temp.at("to/shared.txt"));
    EXPECT_EQ(run(false, from, to), RUN_OK);
    EXPECT_EQ(readFile(temp.at("outside.txt")), "outside");
    EXPECT_EQ(readFile(temp.at("to/shared.txt")), "from, longer");
}

// However a copy ends, the target's name holds the old entry or the whole
// copy, and no temporary is left: a new name, a replaced file, a directory
// in the way, a protected folder, a file grown past a sparse hole.
TEST_F(Trust, EveryWayACopyEndsLeavesNoTemporary) {
    writeFile(temp.at("from/new.txt"), "new");
    writeFile(temp.at("from/old.txt"), "from, longer");
    writeFile(temp.at("to/old.txt"), "to");
    shiftModified(temp.at("to/old.txt"), -100);
    writeFile(temp.at("from/in-the-way"), "file");
    writeFile(temp.at("to/in-the-way/kept.txt"), "kept");
    writeFile(temp.at("from/closed/inside.txt"), "inside");
    writeFile(temp.at("from/empty.txt"), "");
    fs::create_directories(temp.at("to/closed"));
    fs::permissions(temp.at("to/closed"), fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(run(false, from, to), RUN_HAD_ERRORS);
    fs::permissions(temp.at("to/closed"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(readFile(temp.at("to/new.txt")), "new");
    EXPECT_EQ(readFile(temp.at("to/old.txt")), "from, longer");
    EXPECT_EQ(readFile(temp.at("to/in-the-way/kept.txt")), "kept");
    EXPECT_EQ(readFile(temp.at("to/closed/inside.txt")), "inside");
    EXPECT_EQ(readFile(temp.at("to/empty.txt")), "");
    EXPECT_TRUE(logHas("Copy failure"));
    for (const auto& entry : fs::recursive_directory_iterator(temp.at("to"))) {
        EXPECT_EQ(entry.path().filename().string().find(".korvane-"), std::string::npos) << entry.path();
    }
    // A second run finds the copies whole: only the entry in the way is tried again.
    EXPECT_EQ(run(false, from, to), RUN_HAD_ERRORS);
    EXPECT_EQ(runContext.updatedCount, 0);
}

// Swaps a To directory with a link to an outside folder, again and again,
// while mirrors run, with one worker and with eight: whatever a run meets,
// the outside folder stays whole.
class TrustSwapped : public Trust, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Jobs, TrustSwapped, ::testing::Values(1, 8));
TEST_P(TrustSwapped, DirectorySwappedForLinkDuringRunsIsNeverFollowed) {
    jobs = GetParam();
    for (int i = 0; i < 60; ++i) writeFile(temp.at("outside/o" + std::to_string(i) + ".txt"), "keep");
    for (int d = 0; d < 4; ++d) {
        for (int i = 0; i < 500; ++i) {
            std::string name = "d" + std::to_string(d) + "/f" + std::to_string(i) + ".txt";
            writeFile(temp.at("to/" + name), "surplus");
            if (i % 2 == 0) writeFile(temp.at("from/" + name), "kept");
        }
    }
    fs::create_directory_symlink(temp.at("outside"), temp.at("swap"));
    std::atomic<bool> done{false};
    std::string link = temp.at("swap").string();
    std::thread swapper([&] {
        int n = 0;
        while (!done) {
            std::string inside = temp.at("to/d" + std::to_string(n++ % 4)).string();
            syscall(SYS_renameat2, AT_FDCWD, inside.c_str(), AT_FDCWD, link.c_str(), 2 /* RENAME_EXCHANGE */);
            syscall(SYS_renameat2, AT_FDCWD, inside.c_str(), AT_FDCWD, link.c_str(), 2);
        }
    });
    for (int round = 0; round < 3; ++round) {
        writeFile(temp.at("from/d1/late" + std::to_string(round) + ".txt"), "late");
        mirror();
    }
    done = true;
    swapper.join();
    int left = 0;
    for (const auto& entry : fs::directory_iterator(temp.at("outside"))) {
        EXPECT_EQ(readFile(entry.path()), "keep");
        ++left;
    }
    EXPECT_EQ(left, 60);
}

// The run's own log, inside the To Folder or a folder of its own there,
// survives the clean-up and is not counted.
TEST_F(Trust, CleanUpLeavesTheOpenRunLog) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/surplus.txt"), "s");
    for (std::string folder : {"to", "to/logs/deeper"}) {
        fs::create_directories(temp.at(folder));
        WideString logPath = temp.wide(folder + "/korvaneui.log");
        openRunLog(logPath);
        runContext.hadErrors = false;
        EXPECT_EQ(FolderCopyRun(true, false, true, from, to, WideString()), RUN_OK) << folder;
        closeRunLog();
        std::vector<std::string> lines = logLines(temp.at(folder + "/korvaneui.log"));
        ASSERT_FALSE(lines.empty()) << folder;
        EXPECT_EQ(lines.back(), folder == "to" ? "Updated: [2 dirs and files]. " : "Updated: [1 dirs and files]. ");
        EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
    }
    EXPECT_TRUE(fs::exists(temp.at("to/logs/deeper/korvaneui.log")));
}
#endif

#ifndef _WIN32
// Other ways to the same places: a file in From named as the open log, a To
// spelled with a doubled separator, a list entry naming the folder itself.
TEST_F(Trust, OtherWaysToTheLogAndTheRoot) {
    writeFile(temp.at("from/korvaneui.log"), "From's own file");
    writeFile(temp.at("from/d/f.txt"), "f");
    openRunLog(temp.wide("to/korvaneui.log"));
    runContext.hadErrors = false;
    EXPECT_EQ(FolderCopyRun(false, false, true, from, to, WideString()), RUN_HAD_ERRORS);
    closeRunLog();
    EXPECT_NE(readFile(temp.at("to/korvaneui.log")).find("Start to copy ["), std::string::npos);

    fs::remove_all(temp.at("to/d"));
    WideString doubled = toWide(fs::path(temp.root.string() + "//to"));
    EXPECT_EQ(run(false, from, doubled), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/d/f.txt")), "f");

    fs::permissions(temp.at("from"), fs::perms(0700), fs::perm_options::replace);
    fs::permissions(temp.at("to"), fs::perms(0755), fs::perm_options::replace);
    writeFile(temp.at("list.txt"), ".\n./\nd/.\n");
    openRunLog(temp.wide("logs/korvaneui.log"));
    runContext.hadErrors = false;
    ListCopyRun(true, from, to, temp.wide("list.txt"));
    closeRunLog();
    EXPECT_EQ(fs::status(temp.at("to")).permissions(), fs::perms(0755));
}
#endif

}  // namespace
