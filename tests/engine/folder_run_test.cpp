#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "base/temporary_name.h"
#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_checks.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/walker.h"
#include "platform/platform.h"
#include "support/recording_host.h"

namespace {

const std::vector<std::string> kBanner = {
    "*---------------------------------------------*",
    "| Descript : Copy dirs and files by rules.    |",
    "| Create on: 2010/10/3                        |",
    "*---------------------------------------------*",
};

std::vector<std::string> withBanner(std::vector<std::string> lines) {
    lines.insert(lines.begin(), kBanner.begin(), kBanner.end());
    return lines;
}

struct FolderRun : FolderPairTest {
    RunTally tally;
    void SetUp() override {
        FolderPairTest::SetUp();
        fs::create_directories(temp.at("logs"));
    }

    int run(bool synchronous, bool show, const WideString& rule = WideString(), bool excludes = true) {
        return runWith(synchronous, show, from, to, rule, excludes);
    }
    int runWith(bool synchronous, bool show, const WideString& source, const WideString& target,
                const WideString& rule = WideString(), bool excludes = true) {
        host.statuses.clear();
        openRunLog(temp.wide("logs/korvaneui.log"));
        runContext.hadErrors = false;
        int result = FolderCopyRun(synchronous, excludes, show, source, target, rule);
        closeRunLog();
        return result;
    }
    std::vector<std::string> log() { return logLines(temp.at("logs/korvaneui.log")); }
    std::string path(const std::string& relative) { return logText(temp.wide(relative)); }
};

TEST_F(FolderRun, RefusedRunLogsBannerAndOneError) {
    WideString missing = temp.wide("missing");
    EXPECT_EQ(runWith(false, true, missing, to), RUN_NO_SOURCE);
    std::string message = "! Error => Source dir [" + logText(missing) + "] is not exist.";
    EXPECT_EQ(log(), withBanner({message}));
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].first, STATUS_ERROR);
}

TEST_F(FolderRun, DeclinedSynchronousRunLogsBannerOnly) {
    writeFile(temp.at("to/keep.txt"), "k");
    host.answer = false;
    EXPECT_EQ(run(true, true), RUN_DECLINED);
    EXPECT_EQ(log(), kBanner);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0],
              L"[Synchronous] will delete the dirs and files from [To Folder]\nwhich is not exist "
              L"in [From Folder].\n\nDo you want to continue?");
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].first, STATUS_NOTICE);
    EXPECT_TRUE(fs::exists(temp.at("to/keep.txt")));
}

TEST_F(FolderRun, QuietRunWritesNothingBetweenStartAndEnd) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/sub/b.txt"), "b");
    EXPECT_EQ(run(false, false), RUN_OK);
    std::string start = "Start to copy [" + path("from") + "] -> [" + path("to") + "]...";
    std::string end = "End of copy [" + path("from") + "] -> [" + path("to") + "].";
    EXPECT_EQ(log(),
              withBanner({start, "", end, "", "Total: [1 dirs] and [2 files].", "Updated: [3 dirs and files]. "}));
    EXPECT_EQ(host.texts(), std::vector<std::wstring>{L"Total: [1 dirs] and [2 files]."});
    EXPECT_EQ(host.pumps, 0);
}

// One copied file, one folder replaced by the file From has in its place,
// one surplus file deleted, all shown.
TEST_F(FolderRun, ExampleRunWithReplacementAndDeletion) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/b.txt"), "b");
    fs::create_directories(temp.at("to/b.txt"));  // a mirror replaces a directory facing a file
    writeFile(temp.at("to/old.txt"), "old");
    EXPECT_EQ(run(true, true), RUN_OK);

    std::vector<std::string> lines = log();
    std::string copied = "  CP: [" + path("from/a.txt") + "] -> [" + path("to/a.txt") + "]";
    std::string removed = "  RD: [" + path("to/b.txt") + "]";
    std::string replaced = "  CP: [" + path("from/b.txt") + "] -> [" + path("to/b.txt") + "]";
    std::string deleted = "  DF: [" + path("to/old.txt") + "]";
    std::string start = "Start to copy [" + path("from") + "] -> [" + path("to") + "]...";
    std::string end = "End of copy [" + path("from") + "] -> [" + path("to") + "].";
    // The directory order of the copy walk is the system's; compare that part as a set.
    ASSERT_EQ(lines.size(), 15u);
    std::vector<std::string> walked(lines.begin() + 6, lines.begin() + 9);
    auto at = std::find(walked.begin(), walked.end(), removed);
    ASSERT_NE(at, walked.end());
    ASSERT_NE(at + 1, walked.end());
    EXPECT_EQ(*(at + 1), replaced);  // the folder goes right before the file takes its place
    std::sort(walked.begin(), walked.end());
    std::vector<std::string> expectedWalk = {copied, removed, replaced};
    std::sort(expectedWalk.begin(), expectedWalk.end());
    EXPECT_EQ(walked, expectedWalk);
    lines.erase(lines.begin() + 6, lines.begin() + 9);
    EXPECT_EQ(lines, withBanner({start, "", deleted, "", end, "", "Total: [0 dirs] and [2 files].",
                                 "Updated: [4 dirs and files]. "}));
    EXPECT_FALSE(fs::exists(temp.at("to/old.txt")));
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    EXPECT_EQ(readFile(temp.at("to/b.txt")), "b");
    EXPECT_GT(host.pumps, 0);
}

std::vector<std::string> walkOrder;

bool recordEntry(DirectoryWalker*, const WideString& entryPath, const WideString&, const WideString&) {
    walkOrder.push_back(logText(entryPath));
    return true;
}

// Without "Show Copy File" the copies run beside the walk. Failed copies and
// failed directories must still be logged in the order the walk met them, and
// every copy counted, before the run's closing lines.
TEST_F(FolderRun, QuietRunReportsCopiesInWalkOrder) {
    std::vector<std::string> expectedFailures;
    for (int d = 0; d < 6; ++d) {
        std::string dir = "d" + std::to_string(d);
        for (int f = 0; f < 40; ++f) {
            std::string file = dir + "/f" + std::to_string(f);
            writeFile(temp.at("from/" + file), file);
            if (f % 7 == 3 && d != 4) fs::create_directories(temp.at("to/" + file));  // a directory facing a file
        }
    }
    writeFile(temp.at("to/d4"), "a file where a directory must go");

    walkOrder.clear();
    DirectoryWalker walker = makeWalker(recordEntry, nullptr);
    ASSERT_EQ(walk(&walker, from, to), WALK_OK);
    int expectedUpdates = 0;
    for (const std::string& entry : walkOrder) {
        std::string relative = entry.substr(path("from").size() + 1);
        bool isDirectory = relative.find_first_of("/\\") == std::string::npos;
        if (relative.rfind("d4", 0) == 0 || (!isDirectory && fs::is_directory(temp.at("to/" + relative)))) {
            expectedFailures.push_back("! Error => Copy failure: [" + entry + "] -> [" + path("to") +
                                       entry.substr(path("from").size()) + "]");
        } else if (!isDirectory) {
            ++expectedUpdates;  // the other directories are there already
        }
    }

    EXPECT_EQ(run(false, false), RUN_HAD_ERRORS);
    std::vector<std::string> failures;
    for (const std::string& line : log()) {
        if (line.rfind("! Error", 0) == 0) failures.push_back(line);
    }
    EXPECT_EQ(failures, expectedFailures);
    EXPECT_EQ(log().back(), "Updated: [" + std::to_string(expectedUpdates) + " dirs and files]. ");
    EXPECT_EQ(readFile(temp.at("to/d5/f39")), "d5/f39");
}

TEST_F(FolderRun, ValidationCodesInOrder) {
    struct Case {
        WideString from;
        WideString to;
        int code;
        std::wstring message;
    };
    fs::create_directories(temp.at("from/inner"));
    fs::create_directories(temp.at("fromBackup"));
    fs::create_directories(temp.at("to/nested/src"));
    WideString root = nativePath(onWindows() ? L"C:\\" : L"\\");
    WideString upper = temp.wide("FROM");
    std::vector<Case> cases = {
        {temp.wide("missing"), root, RUN_NO_SOURCE,
         L"! Error => Source dir [" + fromWide(temp.wide("missing")) + L"] is not exist."},
        {from, root, RUN_DEST_IS_DRIVE,
         L"! Error => Destination dir must be the subdir of  [" + fromWide(root) + L"]."},
        {from, temp.wide("nowhere"), RUN_NO_DEST,
         L"! Error => Destination dir [" + fromWide(temp.wide("nowhere")) + L"] is not exist."},
        {from, temp.wide("from/inner"), RUN_DEST_INSIDE_SOURCE,
         L"! Error => Destination dir can be the subdir of [" + fromWide(from) + L"]."},
        {from, temp.wide("fromBackup"), RUN_DEST_INSIDE_SOURCE,
         L"! Error => Destination dir can be the subdir of [" + fromWide(from) + L"]."},
        {temp.wide("to/nested/src"), to, RUN_SOURCE_INSIDE_DEST,
         L"! Error => Source dir can not be the subdir of [" + fromWide(to) + L"]."},
        {temp.wide("to/nested/src"), to + nativePath(L"\\"), RUN_SOURCE_INSIDE_DEST,
         L"! Error => Source dir can not be the subdir of [" + fromWide(to) + fromWide(nativePath(L"\\")) + L"]."},
        {from, from, RUN_SAME_FOLDERS, L"! Error => Source dir and destination dir is same [" + fromWide(from) + L"]."},
    };
    if (onWindows()) {
        cases.push_back({from, upper, RUN_SAME_FOLDERS,
                         L"! Error => Source dir and destination dir is same [" + fromWide(from) + L"]."});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(runWith(false, false, c.from, c.to), c.code);
        ASSERT_EQ(host.statuses.size(), 1u);
        EXPECT_EQ(host.statuses[0], std::make_pair(STATUS_ERROR, c.message));
        EXPECT_EQ(log().size(), kBanner.size() + 1);
    }
}

#ifndef _WIN32
// A To Folder that stands but cannot be opened, as when the run has no file
// handle left, is told with why: "is not exist" would send its user to make it.
TEST_F(FolderRun, DestinationThatCannotBeOpenedIsNotToldMissing) {
    struct rlimit was;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    struct rlimit noneLeft = was;
    noneLeft.rlim_cur = static_cast<rlim_t>(lowestFree);
    openRunLog(temp.wide("logs/korvaneui.log"));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &noneLeft), 0);
    int result = guardDestination(to);
    setrlimit(RLIMIT_NOFILE, &was);
    platformReleaseTree();
    EXPECT_EQ(result, RUN_DEST_UNOPENED);
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].second, L"! Error => Destination dir can not be opened [" + fromWide(to) + L"]: " +
                                           platformReasonText(EMFILE) + L".");
    // Where it is not there, the checks' own line.
    host.statuses.clear();
    EXPECT_EQ(guardDestination(temp.wide("nowhere")), RUN_NO_DEST);
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].second,
              L"! Error => Destination dir [" + fromWide(temp.wide("nowhere")) + L"] is not exist.");
    closeRunLog();
    EXPECT_EQ(log().size(), 2u);  // each refusal's line in the log too
}
#endif

TEST_F(FolderRun, InvalidRuleIsRefusedBeforeAnyWalk) {
    writeFile(temp.at("from/a.txt"), "a");
    EXPECT_EQ(run(false, true, WideString(L"(unclosed")), RUN_BAD_RULE);
    EXPECT_EQ(log(), withBanner({"! Error => Regular expression is not valid [(unclosed]."}));
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
}

TEST_F(FolderRun, MirrorMatchesTheSourceAndASecondRunChangesNothing) {
    writeFile(temp.at("from/new.txt"), "new");
    writeFile(temp.at("from/changed.txt"), "changed, longer");
    writeFile(temp.at("from/same.txt"), "same");
    writeFile(temp.at("from/nested/deeper/file.bin"), std::string(5000, 'x'));
    writeFile(temp.at("from/nested/readonly.txt"), "ro");
    fs::permissions(temp.at("from/nested/readonly.txt"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::create_directories(temp.at("from/empty"));

    writeFile(temp.at("to/changed.txt"), "old");
    writeFile(temp.at("to/same.txt"), "same");
    copyModified(temp.at("from/same.txt"), temp.at("to/same.txt"));
    writeFile(temp.at("to/surplus.txt"), "gone");
    writeFile(temp.at("to/surplusdir/inner/x.txt"), "gone");
    writeFile(temp.at("to/nested/readonly-surplus.txt"), "gone");
    fs::permissions(temp.at("to/nested/readonly-surplus.txt"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);

    EXPECT_EQ(run(true, false), RUN_OK);
    std::vector<std::string> names;
    for (auto& entry : fs::recursive_directory_iterator(temp.at("to"))) {
        std::string relative = fs::relative(entry.path(), temp.at("to")).generic_string();
        names.push_back(relative);
        fs::path source = temp.at("from") / fs::relative(entry.path(), temp.at("to"));
        ASSERT_TRUE(fs::exists(source)) << relative;
        if (fs::is_regular_file(entry.path())) {
            EXPECT_EQ(readFile(entry.path()), readFile(source)) << relative;
            EXPECT_EQ(fs::last_write_time(entry.path()), fs::last_write_time(source)) << relative;
        }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"changed.txt", "empty", "nested", "nested/deeper", "nested/deeper/file.bin",
                                        "nested/readonly.txt", "new.txt", "same.txt"}));

    EXPECT_EQ(run(true, true), RUN_OK);
    EXPECT_EQ(log().back(), "Updated: [0 dirs and files]. ");
}

// Where To tells case apart (a Linux folder), names equal but for case are
// entries of their own: each is copied, and kept by a mirror; a list naming
// both copies both.
TEST_F(FolderRun, NamesEqualButForCaseAreCopiedWhereToTellsCaseApart) {
    if (onWindows() || platformFoldsCase(to.buffer)) GTEST_SKIP() << "To takes such names for one";
    const std::vector<std::string> files = {"Case.txt", "case.txt", "Dir/x", "dir/x", "a", "A/z"};
    for (const std::string& file : files) writeFile(temp.at("from/" + file), file);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(run(true, true), RUN_OK);
        for (const std::string& file : files) EXPECT_EQ(readFile(temp.at("to/" + file)), file);
        EXPECT_EQ(log().back(), round == 0 ? "Updated: [9 dirs and files]. " : "Updated: [0 dirs and files]. ");
    }
    fs::remove_all(temp.at("to"));
    fs::create_directories(temp.at("to"));
    writeFile(temp.at("list.txt"), "Case.txt\ncase.txt\nDir/x\ndir/x\n");
    EXPECT_EQ(ListCopyRun(false, from, to, temp.wide("list.txt")), RUN_OK);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(readFile(temp.at("to/" + files[i])), files[i]);
}

// The clean-up reads each From folder's names once per run; a second mirror
// in the same process must see what From lost since, at every depth.
TEST_F(FolderRun, SecondMirrorDeletesWhatFromLostSinceTheFirst) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/b.txt"), "b");
    writeFile(temp.at("from/sub/deep/c.txt"), "c");
    writeFile(temp.at("from/sub/d.txt"), "d");
    EXPECT_EQ(run(true, false), RUN_OK);
    ASSERT_TRUE(fs::exists(temp.at("to/sub/deep/c.txt")));

    fs::remove(temp.at("from/b.txt"));
    fs::remove(temp.at("from/sub/deep/c.txt"));
    fs::remove_all(temp.at("from/sub/deep"));
    EXPECT_EQ(run(true, true), RUN_OK);
    EXPECT_TRUE(fs::exists(temp.at("to/a.txt")));
    EXPECT_TRUE(fs::exists(temp.at("to/sub/d.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/b.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/sub/deep")));
    EXPECT_EQ(log().back(), "Updated: [3 dirs and files]. ");
}

// The clean-up goes only where the copy walk saw To hold a name From lacks,
// or a directory the copy walk did not go through: surplus below directories
// with nothing to delete is still found, and so is what lies in a directory
// facing a file. A second run, with surplus planted deep since, finds it too.
TEST_F(FolderRun, MirrorFindsSurplusBelowDirectoriesWithNothingToDelete) {
    writeFile(temp.at("from/a/b/c/keep.txt"), "k");
    writeFile(temp.at("from/clash"), "a file facing a directory");
    writeFile(temp.at("to/a/b/c/keep.txt"), "k");
    copyModified(temp.at("from/a/b/c/keep.txt"), temp.at("to/a/b/c/keep.txt"));
    writeFile(temp.at("to/a/b/c/x/surplus.txt"), "s");
    writeFile(temp.at("to/clash/inner.txt"), "i");
    EXPECT_EQ(run(true, true), RUN_OK);
    std::vector<std::string> lines = log();
    std::vector<std::string> cleaned;
    for (const std::string& line : lines) {
        if (line.rfind("  DF: ", 0) == 0 || line.rfind("  RD: ", 0) == 0) cleaned.push_back(line);
    }
    std::sort(cleaned.begin(), cleaned.end());
    EXPECT_EQ(cleaned,
              (std::vector<std::string>{"  DF: [" + path("to/a/b/c/x/surplus.txt") + "]",
                                        "  DF: [" + path("to/clash/inner.txt") + "]",
                                        "  RD: [" + path("to/a/b/c/x") + "]", "  RD: [" + path("to/clash") + "]"}));
    EXPECT_TRUE(fs::exists(temp.at("to/a/b/c/keep.txt")));
    EXPECT_EQ(readFile(temp.at("to/clash")), "a file facing a directory");

    writeFile(temp.at("to/a/b/late.txt"), "l");
    EXPECT_EQ(run(true, false), RUN_OK);
    EXPECT_FALSE(fs::exists(temp.at("to/a/b/late.txt")));
    EXPECT_TRUE(fs::exists(temp.at("to/a/b/c/keep.txt")));
    EXPECT_EQ(log().back(), "Updated: [1 dirs and files]. ");
}

// Where To does not tell case apart, a To folder spelt otherwise than
// From's is the same folder: the surplus in it, and below it, goes.
TEST_F(FolderRun, MirrorFindsSurplusInFoldersSpeltInAnotherCase) {
    if (!platformFoldsCase(to.buffer)) GTEST_SKIP() << "To tells case apart";
    writeFile(temp.at("from/Foo/deep/a.txt"), "a");
    writeFile(temp.at("to/foo/deep/a.txt"), "a");
    copyModified(temp.at("from/Foo/deep/a.txt"), temp.at("to/foo/deep/a.txt"));
    writeFile(temp.at("to/foo/surplus.txt"), "s");
    writeFile(temp.at("to/foo/deep/surplus.txt"), "s");
    EXPECT_EQ(run(true, true), RUN_OK);
    EXPECT_FALSE(fs::exists(temp.at("to/foo/surplus.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/foo/deep/surplus.txt")));
    EXPECT_TRUE(fs::exists(temp.at("to/foo/deep/a.txt")));
}

// A mirror replacing a folder by a file leaves what the rule protects in
// it, and tells why the folder stays.
TEST_F(FolderRun, FlipLeavesWhatTheRuleProtects) {
    writeFile(temp.at("from/y"), "a file where To has a folder");
    writeFile(temp.at("to/y/keep/important"), "i");
    writeFile(temp.at("to/y/other"), "o");
    std::string sep = onWindows() ? "\\\\" : "/";
    std::string keep = ".*" + sep + "keep(" + sep + ".*)?";
    EXPECT_EQ(run(true, true, WideString(std::wstring(keep.begin(), keep.end()).c_str())), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("to/y/keep/important")), "i");
    bool told = false;
    for (const std::string& line : log()) told = told || line.find("! Error => Copy failure: [") == 0;
    EXPECT_TRUE(told);
}

TEST_F(FolderRun, DefaultExclusionRuleKeepsSvnOutOfCopyAndCleanUp) {
    WideString rule(L".+\\\\\\.svn.*");
    if (!onWindows()) rule = WideString(L".+/\\.svn.*");
    writeFile(temp.at("from/lib/code.c"), "c");
    writeFile(temp.at("from/lib/.svn/entries"), "svn");
    writeFile(temp.at("from/lib/file.svn.txt"), "kept");
    writeFile(temp.at("to/gone/.svn/entries"), "svn");
    writeFile(temp.at("to/gone/x.txt"), "x");

    EXPECT_EQ(run(true, true, rule), RUN_HAD_ERRORS);
    EXPECT_TRUE(fs::exists(temp.at("to/lib/code.c")));
    EXPECT_TRUE(fs::exists(temp.at("to/lib/file.svn.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/lib/.svn")));
    EXPECT_TRUE(fs::exists(temp.at("to/gone/.svn/entries")));
    EXPECT_FALSE(fs::exists(temp.at("to/gone/x.txt")));
    std::vector<std::string> lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "! Error => Remove dir: [" + path("to/gone") + "]"), lines.end());
}

TEST_F(FolderRun, InclusionRuleCreatesParentsOfMatchingFiles) {
    writeFile(temp.at("from/sub/b.txt"), "b");
    writeFile(temp.at("from/a.txt.bak"), "bak");
    EXPECT_EQ(run(false, false, WideString(L".*\\.txt"), false), RUN_OK);
    EXPECT_TRUE(fs::exists(temp.at("to/sub/b.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt.bak")));
    EXPECT_EQ(log().back(), "Updated: [1 dirs and files]. ");
}

TEST_F(FolderRun, UnlistableDirectoryStopsTheRunBeforeAnyCleanUp) {
    writeFile(temp.at("to/surplus.txt"), "stays");
    fs::path locked = temp.at("from/locked");
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::none, fs::perm_options::replace);
    std::error_code error;
    bool listable = fs::directory_iterator(locked, error) != fs::directory_iterator() || !error;
    if (listable) {
        fs::permissions(locked, fs::perms::owner_all, fs::perm_options::replace);
        GTEST_SKIP() << "this user can list any directory";
    }
    EXPECT_EQ(run(true, false), WALK_FIND_ERROR);
    fs::permissions(locked, fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_EQ(log().back(), "! Error => Look for the files error. Please ensure the dir is valid.");
    EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
}

#ifndef _WIN32
TEST_F(FolderRun, CleanUpRemovesLinksNeverWhatTheyPointTo) {
    writeFile(temp.at("outside/precious.txt"), "keep me");
    fs::create_directory_symlink(temp.at("outside"), temp.at("to/link"));
    // The From Folder reached through a link: it lies inside the To Folder on
    // disk, so the run is refused before any change.
    writeFile(temp.at("to/real/src/data.txt"), "source data");
    fs::create_directory_symlink(temp.at("to/real/src"), temp.at("alias"));
    EXPECT_EQ(runWith(true, false, temp.wide("alias"), to), RUN_SOURCE_INSIDE_DEST);
    EXPECT_TRUE(fs::exists(fs::symlink_status(temp.at("to/link"))));
    writeFile(temp.at("from/kept.txt"), "k");  // a From of nothing would be refused
    EXPECT_EQ(run(true, false), RUN_OK);
    EXPECT_EQ(readFile(temp.at("outside/precious.txt")), "keep me");
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp.at("to/link"))));
    EXPECT_FALSE(fs::exists(temp.at("to/real/src/data.txt")));
}

TEST_F(FolderRun, LinkLoopIsReportedAndTheRestCopied) {
    writeFile(temp.at("from/a/file.txt"), "f");
    fs::create_directory_symlink(temp.at("from"), temp.at("from/a/loop"));
    EXPECT_EQ(run(false, false), RUN_HAD_ERRORS);
    std::vector<std::string> lines = log();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "! Error => Link loop is not entered [" + path("from/a/loop") + "]."),
        lines.end());
    EXPECT_TRUE(fs::exists(temp.at("to/a/file.txt")));
}

TEST_F(FolderRun, UnencodableNameIsLoggedWithQuestionMarks) {
    writeFile(temp.at("from") / fs::path(std::string("bad\xff") + "name.txt"), "x");
    EXPECT_EQ(run(false, true), RUN_OK);
    std::vector<std::string> lines = log();
    EXPECT_EQ(lines[6], "  CP: [" + path("from") + "/bad?name.txt] -> [" + path("to") + "/bad?name.txt]");
    EXPECT_EQ(readFile(temp.at("to") / fs::path(std::string("bad\xff") + "name.txt")), "x");
}
#else
TEST_F(FolderRun, NameOutsideTheCodePageIsLoggedWithQuestionMarks) {
    const wchar_t name[] = {L'b', L'a', L'd', 0x4E2D, L'.', L't', L'x', L't', L'\0'};
    if (WideString(name).ToNarrow().length > 0) GTEST_SKIP() << "the code page holds the name";
    writeFile(temp.at("from") / name, "x");
    EXPECT_EQ(run(false, true), RUN_OK);
    std::vector<std::string> lines = log();
    EXPECT_EQ(lines[6], "  CP: [" + path("from") + "\\bad?.txt] -> [" + path("to") + "\\bad?.txt]");
    EXPECT_EQ(readFile(temp.at("to") / name), "x");
}

std::string onHost(const fs::path& path) { return "'" + hostPath(path) + "'"; }

// Under Wine a unix link inside To looks like a directory (or, to a file, like
// a plain file), and every call that deletes or removes it acts on what it
// points to: the clean-up enters none and deletes nothing through them.
TEST_F(FolderRun, UnixLinksInToAreNeverFollowedByTheCleanUp) {
    writeFile(temp.at("outside/precious.txt"), "keep me");
    writeFile(temp.at("outside/sub/deep.txt"), "deep");
    fs::create_directories(temp.at("empty"));
    writeFile(temp.at("outfile.txt"), "outside file");
    writeFile(temp.at("to/real/gone.txt"), "surplus");
    writeFile(temp.at("from/kept.txt"), "k");  // a From of nothing would be refused
    std::string links = "ln -s ../outside " + onHost(temp.at("to/dirlink")) + " && ln -s ../empty " +
                        onHost(temp.at("to/emptylink")) + " && ln -s ../outfile.txt " + onHost(temp.at("to/filelink")) +
                        " && ln -s ../../outside " + onHost(temp.at("to/real/inner")) + " && chmod 444 " +
                        onHost(temp.at("outfile.txt"));
    if (hostPath(temp.at("to")).empty() || !runOnHost(links)) GTEST_SKIP() << "needs Wine";
    EXPECT_EQ(run(true, true), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("outside/precious.txt")), "keep me");
    EXPECT_EQ(readFile(temp.at("outside/sub/deep.txt")), "deep");
    EXPECT_TRUE(fs::is_directory(temp.at("empty")));
    EXPECT_EQ(readFile(temp.at("outfile.txt")), "outside file");
    EXPECT_TRUE(GetFileAttributesW(temp.at("outfile.txt").wstring().c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(fs::exists(temp.at("to/real/gone.txt")));
    // Wine cannot remove a unix link as a link, so each stays and is reported.
    EXPECT_TRUE(runOnHost("cd " + onHost(temp.at("to")) +
                          " && test -L dirlink && test -L emptylink && test -L filelink && test -L real/inner"));
    std::vector<std::string> lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "! Error => Delete file: [" + path("to/filelink") + "]"),
              lines.end());
    runOnHost("find " + onHost(temp.at()) + " -type l -delete; chmod 644 " + onHost(temp.at("outfile.txt")));
}

// A unix link back up the tree is a loop the copy walk reports and does not enter.
TEST_F(FolderRun, UnixLinkLoopIsReportedAndTheRestCopied) {
    writeFile(temp.at("from/sub/file.txt"), "f");
    if (hostPath(temp.at("from")).empty() || !runOnHost("ln -s .. " + onHost(temp.at("from/sub/up")))) {
        GTEST_SKIP() << "needs Wine";
    }
    EXPECT_EQ(run(false, false), RUN_HAD_ERRORS);
    std::vector<std::string> lines = log();
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "! Error => Link loop is not entered [" + path("from/sub/up") + "]."),
        lines.end());
    EXPECT_EQ(readFile(temp.at("to/sub/file.txt")), "f");
    EXPECT_FALSE(fs::exists(temp.at("to/sub/up/sub")));
    runOnHost("find " + onHost(temp.at()) + " -type l -delete");
}
#endif

TEST_F(FolderRun, QuitDuringTheRunStopsAtTheNextEntry) {
    for (int i = 0; i < 20; ++i) writeFile(temp.at("from/f" + std::to_string(i)), "x");
    host.onPump = [](RecordingHost*) { requestRunStop(); };
    EXPECT_EQ(run(false, true), WALK_BROKEN);
    EXPECT_EQ(log().back(), "! Error => It is broken by user.");
    EXPECT_EQ(runContext.updatedCount, 1);
}

// Each rule is checked before any change, and the refusal names the rule
// that failed and why; no rule is ever dropped.
TEST_F(FolderRun, EveryRuleIsCheckedAndTheRefusedOneNamed) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/surplus.txt"), "s");
    const wchar_t escaped[] = {L'.', L'*', L'c', L'a', L'f', static_cast<wchar_t>(0xDCE9), L'\0'};
    struct Case {
        std::vector<WideString> rules;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {{WideString(L"a"), WideString(L"(x)\\1")},
         {"! Error => Regular expression is not valid [(x)\\1].",
          "! Error => Regular expression with a back-reference is not supported [(x)\\1]."}},
        {{WideString(L"[bad"), WideString(L"(x)\\1")}, {"! Error => Regular expression is not valid [[bad]."}},
        {{WideString(L".*"), WideString(escaped)},
         {"! Error => Regular expression is not valid [.*caf?].",
          "! Error => Regular expression has characters the code page can not hold [.*caf?]."}},
        {{WideString(L"a{3000}b{3000}")},
         {"! Error => Regular expression is not valid [a{3000}b{3000}].",
          "! Error => Regular expression is too large [a{3000}b{3000}]."}},
    };
    for (const Case& c : cases) {
        host.statuses.clear();
        openRunLog(temp.wide("logs/korvaneui.log"));
        RunOptions options;
        options.synchronous = true;
        options.ruleExcludes = true;
        options.showCopyFile = true;
        EXPECT_EQ(folderRunWithOptions(options, &tally, from, to, c.rules), RUN_BAD_RULE);
        closeRunLog();
        EXPECT_EQ(log(), withBanner(c.lines));
        EXPECT_FALSE(runContext.ruleActive);
        EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
        EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
    }
}

// The reproduction: of two exclusion rules only the second was kept, and the
// clean-up deleted what the first protected.
TEST_F(FolderRun, AnyOfSeveralExclusionRulesKeepsAnEntry) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/keep/notes.txt"), "notes");
    writeFile(temp.at("to/.git/config"), "git");
    writeFile(temp.at("to/surplus.txt"), "s");
    std::string sep = onWindows() ? "\\\\" : "/";
    std::string keep = ".*" + sep + "keep(" + sep + ".*)?";
    std::string git = ".*" + sep + "\\.git(" + sep + ".*)?";
    std::vector<WideString> rules = {WideString(std::wstring(keep.begin(), keep.end()).c_str()),
                                     WideString(std::wstring(git.begin(), git.end()).c_str())};
    openRunLog(temp.wide("logs/korvaneui.log"));
    RunOptions options;
    options.synchronous = true;
    options.ruleExcludes = true;
    EXPECT_EQ(folderRunWithOptions(options, &tally, from, to, rules), RUN_OK);
    closeRunLog();
    EXPECT_EQ(readFile(temp.at("to/keep/notes.txt")), "notes");
    EXPECT_EQ(readFile(temp.at("to/.git/config")), "git");
    EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
}

// A file named as the program names its temporaries, whatever process
// number it holds (a long-gone one's, a live one's), is no proof of being
// one: a plain run keeps it; a mirror deletes it with its line and count.
TEST_F(FolderRun, FilesNamedLikeTemporariesAreEntries) {
    writeFile(temp.at("from/a.txt"), "a");
    std::vector<std::string> names;
    for (long process : {4000000L, 1L, 4L}) {
        std::wstring name = temporaryName(process, 7);
        names.emplace_back(name.begin(), name.end());
        writeFile(temp.at("to/" + names.back()), "a user's own");
    }
    EXPECT_EQ(run(false, true), RUN_OK);
    for (const std::string& name : names) EXPECT_EQ(readFile(temp.at("to/" + name)), "a user's own") << name;
    EXPECT_EQ(run(true, true), RUN_OK);
    std::vector<std::string> lines = log();
    for (const std::string& name : names) {
        EXPECT_FALSE(fs::exists(temp.at("to/" + name))) << name;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&name](const std::string& line) {
                                    return line.rfind("  DF: [", 0) == 0 && line.size() > name.size() + 1 &&
                                           line.compare(line.size() - name.size() - 1, name.size() + 1, name + "]") ==
                                               0;
                                }),
                  1)
            << name;
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Updated: [3 dirs and files]. "), lines.end());
}

#ifndef _WIN32
// The reproduction: under an exclusion rule a To-only entry whose name has no
// narrow form was judged as the empty text and deleted. An entry the rules
// cannot judge is now neither deleted nor copied, whatever the rule's kind.
TEST_F(FolderRun, EntryTheRulesCannotJudgeIsNeitherCopiedNorDeleted) {
    const std::string bad = std::string("bad\xff") + "name.txt";
    writeFile(temp.at("from/ok.txt"), "ok");
    writeFile(temp.at("from") / fs::path("new" + bad), "new");
    writeFile(temp.at("to") / fs::path(bad), "only in To");
    writeFile(temp.at("to/surplus.txt"), "s");
    EXPECT_EQ(run(true, false, WideString(L".+/\\.svn.*"), true), RUN_HAD_ERRORS);
    int reported = 0;
    for (const std::string& line : log()) {
        reported += line.rfind("! Error => The rule can not judge the path, left as it is: [", 0) == 0;
    }
    EXPECT_EQ(reported, 2);  // once in the copy walk, once in the clean-up
    EXPECT_EQ(readFile(temp.at("to") / fs::path(bad)), "only in To");
    EXPECT_FALSE(fs::exists(temp.at("to") / fs::path("new" + bad)));
    EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_EQ(readFile(temp.at("to/ok.txt")), "ok");
    writeFile(temp.at("to/surplus.txt"), "s");
    EXPECT_EQ(run(true, false, WideString(L".*"), false), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("to") / fs::path(bad)), "only in To");
    EXPECT_FALSE(fs::exists(temp.at("to") / fs::path("new" + bad)));
    EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
}

// A name holding a line end and control characters writes one log line, and
// no line of the log is the forged one.
TEST_F(FolderRun, NameCannotForgeALogLine) {
    const std::vector<std::string> names = {
        "x\n! Error => forged",
        "y\r! Error => forged too",
        "z\x1b[2K\xc2\x85! Error => forged C1",
    };
    for (const std::string& name : names) writeFile(temp.at("from") / fs::path(name), "f");
    EXPECT_EQ(run(false, true), RUN_OK);
    std::vector<std::string> lines = log();
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("! Error", 0), std::string::npos) << line;
        EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << line;
        EXPECT_EQ(line.find("\xc2\x85"), std::string::npos) << line;
    }
    std::string fromText = path("from");
    std::string toText = path("to");
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "  CP: [" + fromText + "/x?! Error => forged] -> [" + toText + "/x?! Error => forged]"),
              lines.end());
    EXPECT_NE(
        std::find(lines.begin(), lines.end(),
                  "  CP: [" + fromText + "/z?[2K?! Error => forged C1] -> [" + toText + "/z?[2K?! Error => forged C1]"),
        lines.end());
    EXPECT_EQ(readFile(temp.at("to") / fs::path(names[0])), "f");
}
#endif

}  // namespace
