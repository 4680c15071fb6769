#include <gtest/gtest.h>

#include "engine/cleanup.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "platform/platform.h"
#include "support/recording_host.h"

namespace {

// The clean-up's operations as a run makes them: through the guarded To tree,
// not the plain paths used when no run holds one.
struct CleanUp : FolderPairTest {
    void SetUp() override {
        FolderPairTest::SetUp();
        ASSERT_TRUE(platformGuardTree(to.buffer));
    }
    void TearDown() override {
        platformReleaseTree();
        FolderPairTest::TearDown();
    }
};

TEST_F(CleanUp, FileWithCounterpartStaysOthersGo) {
    writeFile(temp.at("from/kept.txt"), "k");
    writeFile(temp.at("to/kept.txt"), "k");
    writeFile(temp.at("to/surplus.txt"), "s");
    fs::permissions(temp.at("to/surplus.txt"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);

    EXPECT_TRUE(deleteFileWithoutCounterpart(to, from, temp.wide("to/kept.txt")));
    EXPECT_FALSE(runContext.changeAttempted);
    EXPECT_TRUE(fs::exists(temp.at("to/kept.txt")));

    EXPECT_TRUE(deleteFileWithoutCounterpart(to, from, temp.wide("to/surplus.txt")));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_EQ(runContext.updatedCount, 1);

    // Not a file, or not under the root: nothing attempted.
    fs::create_directories(temp.at("to/dir"));
    EXPECT_FALSE(deleteFileWithoutCounterpart(to, from, temp.wide("to/dir")));
    EXPECT_FALSE(runContext.changeAttempted);
    EXPECT_FALSE(deleteFileWithoutCounterpart(to, from, temp.wide("elsewhere")));
    EXPECT_FALSE(runContext.changeAttempted);
}

TEST_F(CleanUp, KindsFacingEachOtherStay) {
    fs::create_directories(temp.at("from/name"));
    writeFile(temp.at("to/name"), "a file where the source has a directory");
    writeFile(temp.at("from/other"), "file");
    fs::create_directories(temp.at("to/other"));
    EXPECT_TRUE(deleteFileWithoutCounterpart(to, from, temp.wide("to/name")));
    EXPECT_TRUE(removeDirectoryWithoutCounterpart(to, from, temp.wide("to/other")));
    EXPECT_TRUE(fs::exists(temp.at("to/name")));
    EXPECT_TRUE(fs::exists(temp.at("to/other")));
}

TEST_F(CleanUp, HandlersReportDeletionsAndFailures) {
    writeFile(temp.at("to/gone/a.txt"), "a");
    writeFile(temp.at("to/full/b.txt"), "b");
    fs::create_directories(temp.at("from/full"));
    ASSERT_TRUE(openRunLog(temp.wide("log.txt")));
    runContext.showCopyFile = true;

    DefaultRun lone;
    CleanupState cleanup;
    FolderWalk folderWalk{&lone.run, &cleanup, {}, {}, {}};
    DirectoryWalker walker = makeWalker(deleteFileHandler, removeDirectoryHandler);
    walker.data = &folderWalk;
    deleteFileHandler(&walker, temp.wide("to/gone/a.txt"), to, from);
    removeDirectoryHandler(&walker, temp.wide("to/gone"), to, from);
    // A directory that still holds an entry cannot go.
    runContext.changeAttempted = false;
    removeDirectoryHandler(&walker, temp.wide("to/full"), to, from);
    fs::remove(temp.at("from/full"));
    removeDirectoryHandler(&walker, temp.wide("to/full"), to, from);
    removeDirectoryHandler(&walker, to, to, from);  // the root stays
    closeRunLog();

    EXPECT_EQ(logLines(temp.at("log.txt")),
              (std::vector<std::string>{"  DF: [" + logText(temp.wide("to/gone/a.txt")) + "]",
                                        "  RD: [" + logText(temp.wide("to/gone")) + "]",
                                        "! Error => Remove dir: [" + logText(temp.wide("to/full")) + "]"}));
    EXPECT_TRUE(runContext.hadErrors);
    EXPECT_EQ(runContext.updatedCount, 2);
    EXPECT_TRUE(fs::exists(to.buffer));
    ASSERT_EQ(host.statuses.size(), 5u);
    EXPECT_EQ(host.statuses[3].first, STATUS_ERROR);
    EXPECT_EQ(host.statuses[4], std::make_pair(STATUS_INFO, fromWide(to)));
}

#ifndef _WIN32
TEST_F(CleanUp, LinkWithoutCounterpartIsRemovedItsTargetKept) {
    writeFile(temp.at("outside/keep.txt"), "keep");
    fs::create_directory_symlink(temp.at("outside"), temp.at("to/dirlink"));
    fs::create_symlink(temp.at("outside/keep.txt"), temp.at("to/filelink"));
    fs::create_symlink(temp.at("nowhere"), temp.at("to/dangling"));
    fs::permissions(temp.at("outside/keep.txt"), fs::perms::owner_read, fs::perm_options::replace);
    for (const char* name : {"to/dirlink", "to/filelink", "to/dangling"}) {
        EXPECT_TRUE(deleteFileWithoutCounterpart(to, from, temp.wide(name))) << name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(temp.at(name)))) << name;
    }
    EXPECT_EQ(readFile(temp.at("outside/keep.txt")), "keep");
    EXPECT_EQ(fs::status(temp.at("outside/keep.txt")).permissions(), fs::perms::owner_read);
}
#else
// Under Wine deleting or removing a unix link acts on what it points to: the
// clean-up's operations refuse, and the file and empty folder outside stay.
TEST_F(CleanUp, UnixLinksAreNeverDeletedThrough) {
    writeFile(temp.at("outside/keep.txt"), "keep");
    fs::create_directories(temp.at("empty"));
    std::string toHost = "'" + hostPath(temp.at("to")) + "'";
    if (hostPath(temp.at("to")).empty() ||
        !runOnHost("cd " + toHost + " && ln -s ../outside/keep.txt filelink && ln -s ../empty emptylink")) {
        GTEST_SKIP() << "needs Wine";
    }
    EXPECT_FALSE(deleteFileWithoutCounterpart(to, from, temp.wide("to/filelink")));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_FALSE(removeDirectoryWithoutCounterpart(to, from, temp.wide("to/emptylink")));
    EXPECT_FALSE(deleteFileWithoutCounterpart(to, from, temp.wide("to/emptylink")));
    EXPECT_TRUE(platformIsLink(temp.wide("to/filelink").buffer));
    EXPECT_TRUE(platformIsLink(temp.wide("to/emptylink").buffer));
    EXPECT_FALSE(platformRemoveLink(temp.wide("to/emptylink").buffer));
    EXPECT_EQ(readFile(temp.at("outside/keep.txt")), "keep");
    EXPECT_TRUE(fs::is_directory(temp.at("empty")));
    EXPECT_EQ(runContext.updatedCount, 0);
    runOnHost("find " + toHost + " -type l -delete");
}
#endif

}  // namespace

namespace {

// The folders a clean-up's readers read ahead are those its marks may lead
// it into: marked, on the way to a mark, or below a folder walked whole.
TEST(CleanUpAhead, ReadersFollowTheMarks) {
    CleanupState marks;
    marks.pruning = true;
    marks.levels = {L"a", nativePath(L"b\\c").buffer};
    marks.trees = {L"t"};
    struct Case {
        const wchar_t* folder;
        bool enters;
    };
    const Case cases[] = {
        {L"\\r\\a\\", true},   {L"\\r\\b\\", true},       {L"\\r\\b\\c\\", true}, {L"\\r\\b\\d\\", false},
        {L"\\r\\t\\", true},   {L"\\r\\t\\x\\y\\", true}, {L"\\r\\z\\", false},   {L"\\r\\a\\inner\\", false},
        {L"\\r\\ab\\", false}, {L"\\r\\tt\\x\\", false},
    };
    WideString root = nativePath(L"\\r");
    for (const Case& c : cases) {
        EXPECT_EQ(cleanupMayEnter(&marks, nativePath(c.folder), root), c.enters) << fromWide(nativePath(c.folder));
    }
    marks.pruning = false;  // no marks: the clean-up goes everywhere
    EXPECT_TRUE(cleanupMayEnter(&marks, nativePath(L"\\r\\z\\"), root));
}

}  // namespace
