// Queries and changes through the folders a guarded tree holds open: a
// folder's identity, its time and its versions mark are reached through
// the held folder itself, never through a link; and contents compared by
// the bytes each file held.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

#ifndef _WIN32

struct HeldFolders : testing::Test {
    TempDir temp;
    void SetUp() override {
        writeFile(temp.at("to/a/b/file.txt"), "b");
        writeFile(temp.at("outside/.korvane-versions"), "x");
        setModified(temp.at("outside"), 1000000000, 0);
        ASSERT_TRUE(platformGuardTree(temp.wide("to").buffer));
    }
    void TearDown() override { platformReleaseTree(); }
    struct stat statOf(const std::string& relative) {
        struct stat st {};
        EXPECT_EQ(lstat(temp.at(relative).c_str(), &st), 0) << relative;
        return st;
    }
    // Swaps the To folder at relative for a link to the outside folder.
    void swapForLink(const std::string& relative) {
        fs::rename(temp.at(relative), temp.at(relative + ".moved"));
        fs::create_directory_symlink(temp.at("outside"), temp.at(relative));
    }
};

TEST_F(HeldFolders, IdentityIsTheFolderItselfNeverALink) {
    fs::create_directory_symlink(temp.at("outside"), temp.at("to/link"));
    struct Case {
        const char* path;
        bool found;
    } cases[] = {{"to", true},      {"to/a", true},     {"to/a/b", true},
                 {"to/a/b/", true}, {"to/link", false}, {"to/a/b/file.txt", false},
                 {"to/none", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        DirectoryIdentity identity{0, 0};
        ASSERT_EQ(platformDirectoryIdentity(temp.wide(c.path).buffer, &identity), c.found);
        if (!c.found) continue;
        struct stat st = statOf(c.path);
        EXPECT_EQ(identity.volume, static_cast<uint64_t>(st.st_dev));
        EXPECT_EQ(identity.index, static_cast<uint64_t>(st.st_ino));
    }
}

TEST_F(HeldFolders, FolderTimeIsSetOnTheFolderKeepingItsAccessTime) {
    setModified(temp.at("to/a/b"), 1200000000, 0);
    struct stat before = statOf("to/a/b");
    DirectoryIdentity identity{0, 0};
    ASSERT_TRUE(platformDirectoryIdentity(temp.wide("to/a/b").buffer, &identity));  // now held
    ASSERT_TRUE(platformWriteModifiedTime(temp.wide("to/a/b").buffer, 1300000000, 5000));
    struct stat after = statOf("to/a/b");
    EXPECT_EQ(after.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(after.st_mtim.tv_nsec, 5000);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
}

// A folder swapped for a link, before it was ever held or after: the time
// never reaches what the link names, nor does a versions mark count there.
TEST_F(HeldFolders, FolderSwappedForALinkNeverLeadsOutside) {
    for (bool heldFirst : {false, true}) {
        SCOPED_TRACE(heldFirst ? "held before the swap" : "swapped before it was held");
        std::string folder = heldFirst ? "to/a/b" : "to/a";
        DirectoryIdentity identity{0, 0};
        if (heldFirst) {
            ASSERT_TRUE(platformDirectoryIdentity(temp.wide(folder).buffer, &identity));
        }
        swapForLink(folder);
        platformWriteModifiedTime(temp.wide(folder).buffer, 1300000000, 0);
        EXPECT_EQ(statOf("outside").st_mtim.tv_sec, 1000000000);
        std::string text;
        EXPECT_FALSE(platformReadMark(temp.wide(folder).buffer, L".korvane-versions", &text));
        fs::remove(temp.at(folder));
        fs::rename(temp.at(folder + ".moved"), temp.at(folder));
    }
}

#endif

// Contents are the same only when every byte is, whatever the sizes, the
// chunk a read takes, or where they differ.
TEST(SameContents, EveryByteDecides) {
    TempDir temp;
    const size_t chunk = size_t{256} * 1024;
    std::string big(chunk * 2 + 17, 'q');
    std::string lastDiffers = big;
    lastDiffers.back() = 'r';
    std::string secondChunkDiffers = big;
    secondChunkDiffers[chunk + 3] = 'r';
    struct Case {
        const char* name;
        std::string first;
        std::string second;
        bool same;
    } cases[] = {
        {"both empty", "", "", true},
        {"one empty", "", "a", false},
        {"equal and short", "abc", "abc", true},
        {"same size, last byte differs", "abc", "abd", false},
        {"one longer", "abc", "abcd", false},
        {"equal over chunks", big, big, true},
        {"differs at the very end", big, lastDiffers, false},
        {"differs in the second chunk", big, secondChunkDiffers, false},
        {"exactly one chunk", std::string(chunk, 'z'), std::string(chunk, 'z'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(temp.at("first"), c.first);
        writeFile(temp.at("second"), c.second);
        bool same = !c.same;
        EXPECT_TRUE(platformSameContents(temp.wide("first").buffer, temp.wide("second").buffer, &same));
        EXPECT_EQ(same, c.same);
    }
    bool same = true;
    EXPECT_FALSE(platformSameContents(temp.wide("first").buffer, temp.wide("none").buffer, &same));
    EXPECT_FALSE(same);
}

}  // namespace
