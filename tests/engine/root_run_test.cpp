// A run as root among other users' files: their links are followed only by
// their right, a To they may change is refused, a folder they move during
// the run takes nothing more, and no one's set-ID program becomes root's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "support/recording_host.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const uid_t kOther = 65534;  // nobody

struct RootRun : FolderPairTest {
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        FolderPairTest::SetUp();
        runContext.host.reported = keepFailure;
        failures().clear();
    }
    static std::vector<std::wstring>& failures() {
        static std::vector<std::wstring> kept;
        return kept;
    }
    static void keepFailure(void*, const RunReport* report) {
        if (report->kind == REPORT_FAILED) failures().push_back(std::wstring(report->path) + L": " + report->reason);
    }
    RunOptions options;
    int run(bool synchronous = false) {
        runContext.hadErrors = false;
        RunTally tally;
        return FolderCopyRunRules(options, &tally, synchronous, false, true, from, to, {});
    }
    void ownedBy(const std::string& relative, uid_t owner) {
        ASSERT_EQ(lchown(temp.at(relative).c_str(), owner, static_cast<gid_t>(-1)), 0) << relative;
    }
    bool failedFor(const std::string& relative, const std::wstring& reason) {
        std::wstring path = fromWide(temp.wide(relative));
        for (const std::wstring& failure : failures()) {
            if (failure == path + L": " + reason) return true;
        }
        return false;
    }
};

const std::wstring kRefused = L"a link whose owner may not read what it names, not followed";

// A user's link to what only root may read is not followed, in a folder run
// and a list run, on the way or at the end; root's own links and a user's
// links to the user's own files are.
TEST_F(RootRun, UsersLinksAreFollowedOnlyByTheirRight) {
    writeFile(temp.at("secret/file"), "secret");
    chmod(temp.at("secret").c_str(), 0700);
    writeFile(temp.at("from/user/own"), "own");
    ownedBy("from/user/own", kOther);
    struct Link {
        const char* name;
        const char* target;
        uid_t owner;
        bool followed;
    };
    const std::vector<Link> links = {
        {"user/to-secret", "secret/file", kOther, false},    {"user/to-secret-folder", "secret", kOther, false},
        {"user/to-own", "from/user/own", kOther, true},      {"user/roots", "secret/file", 0, true},
        {"roots-to-users", "from/user/to-secret", 0, false},  // root's link through a user's: judged link by link
    };
    for (const Link& link : links) {
        fs::create_symlink(temp.at(link.target), temp.at(std::string("from/") + link.name));
        ownedBy(std::string("from/") + link.name, link.owner);
    }
    EXPECT_EQ(run(), RUN_HAD_ERRORS);
    for (const Link& link : links) {
        SCOPED_TRACE(link.name);
        std::string copy = std::string("to/") + link.name;
        EXPECT_EQ(fs::exists(temp.at(copy)), link.followed);
        EXPECT_EQ(failedFor(std::string("from/") + link.name, kRefused), !link.followed);
    }
    // A list entry through the folder link goes no further.
    writeFile(temp.at("list.txt"), "user/to-secret-folder/file\nuser/to-own\n");
    fs::remove_all(temp.at("to"));
    fs::create_directories(temp.at("to"));
    failures().clear();
    EXPECT_EQ(ListCopyRun(true, from, to, temp.wide("list.txt")), RUN_HAD_ERRORS);
    EXPECT_FALSE(fs::exists(temp.at("to/user/to-secret-folder")));
    EXPECT_TRUE(failedFor("from/user/to-secret-folder/file", kRefused));
    EXPECT_EQ(readFile(temp.at("to/user/to-own")), "own");
    // Copied as links, they are what they are.
    options.copyLinks = true;
    EXPECT_EQ(run(true), RUN_OK);
    EXPECT_TRUE(fs::is_symlink(temp.at("to/user/to-secret")));
}

// A To that another user may change is refused; root's sticky folder is not.
TEST_F(RootRun, ToThatOthersMayChangeIsRefused) {
    writeFile(temp.at("from/a.txt"), "a");
    struct Case {
        mode_t mode;
        uid_t owner;
        int result;
    };
    for (const Case& c : {Case{0777, 0, RUN_DEST_UNSAFE}, Case{0755, kOther, RUN_DEST_UNSAFE}, Case{01777, 0, RUN_OK},
                          Case{0775, 0, RUN_OK}}) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(chown(temp.at("to").c_str(), c.owner, 0), 0);
        ASSERT_EQ(chmod(temp.at("to").c_str(), c.mode), 0);
        EXPECT_EQ(run(), c.result);
        EXPECT_EQ(fs::exists(temp.at("to/a.txt")), c.result == RUN_OK);
        fs::remove(temp.at("to/a.txt"));
    }
    // A root-owned To reached through a user's folder, or a user's link, or
    // written by a user through its ACL, is another user's to lead elsewhere.
    ASSERT_EQ(chmod(temp.at("to").c_str(), 0755), 0);
    fs::create_directories(temp.at("users/backup"));
    ownedBy("users", kOther);
    fs::create_directory_symlink(temp.at("to"), temp.at("link"));
    ownedBy("link", kOther);
    fs::create_directories(temp.at("acl"));
    // An access ACL: user_obj rwx, user nobody rwx, group_obj r-x, mask rwx, other r-x.
    const unsigned char acl[] = {2, 0,    0,    0,   1,   0,   7,    0, 255, 255, 255, 255, 2,   0,    7,
                                 0, 0xFE, 0xFF, 0,   0,   4,   0,    5, 0,   255, 255, 255, 255, 0x10, 0,
                                 7, 0,    255,  255, 255, 255, 0x20, 0, 5,   0,   255, 255, 255, 255};
    bool aclSet = setxattr(temp.at("acl").c_str(), "system.posix_acl_access", acl, sizeof acl, 0) == 0;
    for (const char* unsafe : {"users/backup", "link", "acl"}) {
        if (std::string(unsafe) == "acl" && !aclSet) continue;  // a volume without ACLs
        runContext.hadErrors = false;
        RunTally tally;
        EXPECT_EQ(FolderCopyRunRules(options, &tally, false, false, true, from, temp.wide(unsafe), {}), RUN_DEST_UNSAFE)
            << unsafe;
    }
}

// A folder another user moves out of To during the run takes nothing more:
// what was still to go there fails, with the reason.
TEST_F(RootRun, FolderMovedDuringTheRunTakesNothingMore) {
    for (int i = 0; i < 6; ++i) writeFile(temp.at("from/sub/f" + std::to_string(i)), "x");
    chmod(temp.at("to").c_str(), 01777);
    fs::create_directories(temp.at("to/sub"));
    ownedBy("to/sub", kOther);
    static fs::path movedFrom;
    static fs::path movedTo;
    static int entries;
    movedFrom = temp.at("to/sub");
    movedTo = temp.at("elsewhere");
    entries = 0;
    runContext.host.entryDone = [](void*, long long, long long) {
        if (++entries == 3) fs::rename(movedFrom, movedTo);
    };
    EXPECT_EQ(run(), RUN_HAD_ERRORS);
    size_t landed = 0;
    for (const auto& entry : fs::directory_iterator(movedTo)) landed += entry.is_regular_file() ? 1 : 0;
    EXPECT_LE(landed, 2u);
    size_t moved = 0;
    for (const std::wstring& failure : failures()) {
        moved += failure.find(L"a folder on its way was moved during the run") != std::wstring::npos ? 1 : 0;
    }
    EXPECT_GE(moved, 1u);
}

// Set-user-ID and set-group-ID bits stay only on a copy whose owner is its source's.
TEST_F(RootRun, OthersSetIdBitsAreNotKept) {
    struct Case {
        const char* name;
        bool directory;
        uid_t owner;
        mode_t mode;
        mode_t copied;
    };
    const std::vector<Case> cases = {
        {"users-program", false, kOther, 04755, 0755},
        {"users-group-program", false, kOther, 02755, 0755},
        {"roots-program", false, 0, 04755, 04755},
        {"users-folder", true, kOther, 02775, 0775},
    };
    for (const Case& c : cases) {
        std::string path = std::string("from/") + c.name;
        if (c.directory) {
            fs::create_directories(temp.at(path));
        } else {
            writeFile(temp.at(path), "#!/bin/sh\n");
        }
        ownedBy(path, c.owner);
        ASSERT_EQ(chmod(temp.at(path).c_str(), c.mode), 0);
    }
    EXPECT_EQ(run(), RUN_OK);
    for (const Case& c : cases) {
        struct stat st;
        ASSERT_EQ(stat(temp.at(std::string("to/") + c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.copied) << c.name;
    }
    EXPECT_EQ(run(), RUN_OK);  // and a second run finds nothing to change
    EXPECT_EQ(runContext.updatedCount, 0);
    // A set-user-ID copy under root, as older runs made it, is made again.
    ASSERT_EQ(chmod(temp.at("to/users-program").c_str(), 04755), 0);
    EXPECT_EQ(run(), RUN_OK);
    struct stat st;
    ASSERT_EQ(stat(temp.at("to/users-program").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
#endif
