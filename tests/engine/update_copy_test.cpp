#include <gtest/gtest.h>

#include "engine/run_context.h"
#include "engine/update_copy.h"
#include "support/test_support.h"

namespace {

struct UpdateCopy : testing::Test {
    TempDir temp;
    WideString from = temp.wide("from");
    WideString to = temp.wide("to");

    void SetUp() override {
        resetRunContext();
        fs::create_directories(temp.at("from"));
        fs::create_directories(temp.at("to"));
    }
    bool copy(const std::string& relative) {
        return static_cast<bool>(copyIfUpdated(from, to, temp.wide("from/" + relative)));
    }
};

TEST_F(UpdateCopy, MissingTargetIsCopiedOnceThenLeftAlone) {
    writeFile(temp.at("from/a.txt"), "alpha");
    EXPECT_TRUE(copy("a.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 1);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "alpha");

    EXPECT_TRUE(copy("a.txt"));
    EXPECT_FALSE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 1);
}

TEST_F(UpdateCopy, SameTimeAndSizeIsNotCopiedNewerTargetIs) {
    writeFile(temp.at("from/a.txt"), "alpha");
    writeFile(temp.at("to/a.txt"), "omega");
    copyModified(temp.at("from/a.txt"), temp.at("to/a.txt"));
    EXPECT_TRUE(copy("a.txt"));
    EXPECT_FALSE(runContext.changeAttempted);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "omega");

    shiftModified(temp.at("to/a.txt"), 1);
    EXPECT_TRUE(copy("a.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "alpha");
    EXPECT_EQ(runContext.updatedCount, 1);
    EXPECT_EQ(fs::last_write_time(temp.at("to/a.txt")), fs::last_write_time(temp.at("from/a.txt")));
}

// A change of the same size made within the second of the copy is a change,
// where both volumes keep finer times than seconds: 1 us, 1 ms, 0.999 s.
TEST_F(UpdateCopy, ChangeWithinTheSameSecondIsCopied) {
    const int64_t second = 1700000000;
    for (int32_t later : {1000, 1000000, 999000000}) {
        SCOPED_TRACE(later);
        writeFile(temp.at("from/a.txt"), "first");
        setModified(temp.at("from/a.txt"), second, 0);
        ASSERT_TRUE(copy("a.txt"));
        EXPECT_EQ(readFile(temp.at("to/a.txt")), "first");
        writeFile(temp.at("from/a.txt"), "other");
        setModified(temp.at("from/a.txt"), second, later);
        ASSERT_TRUE(copy("a.txt"));
        EXPECT_TRUE(runContext.changeAttempted);
        EXPECT_EQ(readFile(temp.at("to/a.txt")), "other");
        EXPECT_TRUE(copy("a.txt"));
        EXPECT_FALSE(runContext.changeAttempted);  // and then it is up to date
    }
}

TEST_F(UpdateCopy, MissingParentIsCreatedAndOnlyTheFileCounted) {
    writeFile(temp.at("from/sub/deeper/b.txt"), "beta");
    EXPECT_TRUE(copy("sub/deeper/b.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 1);
    EXPECT_EQ(readFile(temp.at("to/sub/deeper/b.txt")), "beta");
}

TEST_F(UpdateCopy, FileFacingADirectoryFails) {
    writeFile(temp.at("from/name"), "file");
    fs::create_directories(temp.at("to/name"));
    EXPECT_FALSE(copy("name"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 0);
    EXPECT_TRUE(fs::is_directory(temp.at("to/name")));
}

TEST_F(UpdateCopy, VanishedSourceFails) {
    EXPECT_FALSE(copy("gone.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 0);
}

TEST_F(UpdateCopy, PreconditionsTouchNothing) {
    writeFile(temp.at("elsewhere.txt"), "x");
    runContext.changeAttempted = true;
    EXPECT_FALSE(copyIfUpdated(from, to, temp.wide("elsewhere.txt")));
    EXPECT_FALSE(copyIfUpdated(WideString(), to, temp.wide("from/x")));
    EXPECT_TRUE(runContext.changeAttempted);  // not written
}

TEST_F(UpdateCopy, DirectoryWithAnotherAttributeWordIsOneChange) {
    fs::create_directories(temp.at("from/d"));
    fs::create_directories(temp.at("to/d"));
    EXPECT_TRUE(copy("d"));
    EXPECT_FALSE(runContext.changeAttempted);

    changeDirectoryAttributes(temp.at("from/d"));
    EXPECT_TRUE(copy("d"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(runContext.updatedCount, 1);
    EXPECT_TRUE(copy("d"));
    EXPECT_FALSE(runContext.changeAttempted);
}

TEST_F(UpdateCopy, ReadOnlyTargetIsReplaced) {
    writeFile(temp.at("from/r.txt"), "new contents");
    writeFile(temp.at("to/r.txt"), "old");
    fs::permissions(temp.at("to/r.txt"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_TRUE(copy("r.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(readFile(temp.at("to/r.txt")), "new contents");
    EXPECT_TRUE(copy("r.txt"));
    EXPECT_FALSE(runContext.changeAttempted);
}

#ifndef _WIN32
TEST_F(UpdateCopy, CopyCarriesPermissionsAndLeavesNoTemporaryFile) {
    writeFile(temp.at("from/x.sh"), "#!/bin/sh\n");
    fs::permissions(temp.at("from/x.sh"), fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_TRUE(copy("x.sh"));
    EXPECT_EQ(fs::status(temp.at("to/x.sh")).permissions(), fs::perms::owner_all);
    int entries = 0;
    for (auto& entry : fs::directory_iterator(temp.at("to"))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}
#endif

}  // namespace
