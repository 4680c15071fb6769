// A run as root among other users' files: their links are followed only by
// their right, a To they may change is refused, a folder they move during
// the run takes nothing more, and no one's set-ID program becomes root's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "platform/platform.h"
#include "support/recording_host.h"

#ifndef _WIN32
#include <fcntl.h>
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
    RunTally tally;  // the last run's figures
    int run(bool synchronous = false) {
        runContext.hadErrors = false;
        tally = RunTally();
        options.synchronous = synchronous;
        options.showCopyFile = true;
        return folderRunWithOptions(options, &tally, from, to, {});
    }
    // Runs as the front end runs as root: owners kept, metadata mended.
    int faithfulRun(bool synchronous = false) {
        options.updateMetadata = true;
        options.keepOwners = true;
        options.folderTimes = true;
        return run(synchronous);
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
// links to the user's own files are, where she could reach them herself:
// her own folder behind root's is not; one that an ACL or her group lets
// her into is.
TEST_F(RootRun, UsersLinksAreFollowedOnlyByTheirRight) {
    writeFile(temp.at("secret/file"), "secret");
    chmod(temp.at("secret").c_str(), 0700);
    writeFile(temp.at("from/user/own"), "own");
    ownedBy("from/user/own", kOther);
    writeFile(temp.at("secret/hers/own"), "own");
    ownedBy("secret/hers", kOther);
    ownedBy("secret/hers/own", kOther);
    writeFile(temp.at("acl/hers/own"), "own");
    ownedBy("acl/hers", kOther);
    ownedBy("acl/hers/own", kOther);
    chmod(temp.at("acl").c_str(), 0700);
    writeFile(temp.at("aclgroup/hers/own"), "own");
    ownedBy("aclgroup/hers/own", kOther);
    chmod(temp.at("aclgroup").c_str(), 0700);
    writeFile(temp.at("denied/hers/own"), "own");
    ownedBy("denied/hers/own", kOther);
    writeFile(temp.at("grouped/hers/own"), "own");
    ownedBy("grouped/hers/own", kOther);
    chmod(temp.at("grouped").c_str(), 0750);
    writeFile(temp.at("rootgroup/hers/own"), "own");
    ownedBy("rootgroup/hers/own", kOther);
    chmod(temp.at("rootgroup").c_str(), 0750);
    ASSERT_EQ(chown(temp.at("grouped").c_str(), 0, kOther), 0);  // nobody's own group
    bool acls = std::system(("setfacl -m u:65534:x '" + temp.at("acl").string() + "' 2>/dev/null && setfacl -m " +
                             "u:65534:-,m::rx '" + temp.at("denied").string() + "' && setfacl -m g:65534:x '" +
                             temp.at("aclgroup").string() + "'")
                                .c_str()) == 0;
    struct Link {
        const char* name;
        const char* target;
        uid_t owner;
        bool followed;
    };
    const std::vector<Link> links = {
        {"user/to-secret", "secret/file", kOther, false},
        {"user/to-secret-folder", "secret", kOther, false},
        {"user/to-own", "from/user/own", kOther, true},
        {"user/roots", "secret/file", 0, true},
        {"roots-to-users", "from/user/to-secret", 0, false},  // root's link through a user's: judged link by link
        {"user/to-own-behind-roots", "secret/hers/own", kOther, false},
        {"user/to-own-folder-behind-roots", "secret/hers", kOther, false},
        {"user/to-own-through-a-group", "grouped/hers/own", kOther, true},
        {"user/to-own-in-roots-group", "rootgroup/hers/own", kOther, false},
        {"user/to-own-through-an-acl", "acl/hers/own", kOther, acls},
        {"user/to-own-through-an-acls-group", "aclgroup/hers/own", kOther, acls},
        {"user/to-own-an-acl-denies", "denied/hers/own", kOther, !acls},
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
        options.showCopyFile = true;
        EXPECT_EQ(folderRunWithOptions(options, &tally, from, temp.wide(unsafe), {}), RUN_DEST_UNSAFE) << unsafe;
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

// The set-group-ID bit follows the group as the set-user-ID bit follows
// the owner: a copy that keeps no owners (--no-owner) of a root:G program of
// mode 2755 is root's group's, without the bit, copied or mended.
TEST_F(RootRun, SetGroupIdGoesWithAnotherGroup) {
    writeFile(temp.at("from/tool"), "#!/bin/sh\nid -g\n");
    ASSERT_EQ(chown(temp.at("from/tool").c_str(), 0, kOther), 0);
    ASSERT_EQ(chmod(temp.at("from/tool").c_str(), 02755), 0);
    options.updateMetadata = true;
    options.keepOwners = false;
    struct stat st;
    EXPECT_EQ(run(), RUN_OK);
    ASSERT_EQ(stat(temp.at("to/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(chmod(temp.at("from/tool").c_str(), 02750), 0);
    EXPECT_EQ(run(), RUN_OK);
    EXPECT_EQ(tally.updated, 1);
    ASSERT_EQ(stat(temp.at("to/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// Another user's bytes in place of root's copy, of the same size and time,
// never take root's owner, a set-ID bit or a capability in place: the copy
// is written again, in a plain run and a mirror; a copy of root's own whose
// mode alone changed is still mended in place.
TEST_F(RootRun, AnothersBytesAreCopiedOverNeverMended) {
    // A file capability (version 2): cap_setuid, effective.
    const unsigned char capability[] = {1, 0, 0, 2, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        mode_t mode;
        bool capable;
    };
    const std::vector<Case> cases = {
        {"set-user-id", 04755, false}, {"set-group-id", 02755, false}, {"capable", 0755, true}, {"plain", 0644, false}};
    for (bool synchronous : {false, true}) {
        SCOPED_TRACE(synchronous ? "mirror" : "plain run");
        for (const Case& c : cases) {
            std::string path = temp.at(std::string("from/") + c.name).string();
            writeFile(path, "#!/bin/sh\nid -u\n");
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
            options.keepXattrs = true;
            if (c.capable) {
                ASSERT_EQ(setxattr(path.c_str(), "security.capability", capability, sizeof capability, 0), 0);
            }
        }
        EXPECT_EQ(faithfulRun(synchronous), RUN_OK);
        for (const Case& c : cases) {
            std::string copy = temp.at(std::string("to/") + c.name).string();
            fs::remove(copy);
            writeFile(copy, "#!/bin/sh\necho 0\n");
            ownedBy(std::string("to/") + c.name, kOther);
            copyModified(temp.at(std::string("from/") + c.name), copy);
        }
        EXPECT_EQ(faithfulRun(synchronous), RUN_OK);
        EXPECT_EQ(tally.copied, static_cast<long long>(cases.size()));
        EXPECT_EQ(tally.updated, 0);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::string copy = temp.at(std::string("to/") + c.name).string();
            struct stat st;
            ASSERT_EQ(lstat(copy.c_str(), &st), 0);
            EXPECT_EQ(readFile(copy), "#!/bin/sh\nid -u\n");
            EXPECT_EQ(st.st_uid, 0u);
            EXPECT_EQ(st.st_mode & 07777, c.mode);
        }
        // A mode changed alone on root's own copy is an MD, in place.
        ASSERT_EQ(chmod(temp.at("from/plain").c_str(), 0600), 0);
        EXPECT_EQ(faithfulRun(synchronous), RUN_OK);
        EXPECT_EQ(tally.updated, 1);
        EXPECT_EQ(tally.copied, 0);
        fs::remove_all(temp.at("from"));
        fs::remove_all(temp.at("to"));
        fs::create_directories(temp.at("from"));
        fs::create_directories(temp.at("to"));
    }
}

// A folder of another user's where From has root's is made anew, never
// given root's owner in place: what it held moves into the new folder, and
// a handle of the old one reaches nothing the run puts below.
TEST_F(RootRun, AnothersFolderIsRenewedNeverMended) {
    writeFile(temp.at("from/closed/open/secret"), "root's");
    chmod(temp.at("from/closed").c_str(), 0700);
    EXPECT_EQ(faithfulRun(), RUN_OK);
    fs::remove_all(temp.at("to/closed"));
    fs::create_directories(temp.at("to/closed/open"));
    writeFile(temp.at("to/closed/theirs.txt"), "theirs");
    for (const char* path : {"to/closed", "to/closed/open", "to/closed/theirs.txt"}) ownedBy(path, kOther);
    int held = open(temp.at("to/closed/open").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    struct stat before;
    ASSERT_EQ(stat(temp.at("to/closed").c_str(), &before), 0);
    EXPECT_EQ(faithfulRun(), RUN_OK);
    EXPECT_EQ(tally.created, 2);  // the folder and the one inside it, each made anew
    EXPECT_EQ(tally.updated, 0);
    struct stat after;
    ASSERT_EQ(stat(temp.at("to/closed").c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_EQ(after.st_mode & 07777, 0700u);
    EXPECT_EQ(readFile(temp.at("to/closed/open/secret")), "root's");
    EXPECT_EQ(readFile(temp.at("to/closed/theirs.txt")), "theirs");  // a plain run keeps what it held
    EXPECT_LT(openat(held, "secret", O_RDONLY), 0);
    close(held);
    EXPECT_EQ(faithfulRun(), RUN_OK);
    EXPECT_EQ(tally.created + tally.updated + tally.copied, 0);
}

// A folder of another user's that cannot be made anew (an entry in it that
// will not move: here immutable) stays hers as it was, fails with the
// reason, and takes nothing of From's below it.
TEST_F(RootRun, AnothersFolderThatCannotBeRenewedTakesNothing) {
    writeFile(temp.at("from/closed/secret"), "root's");
    chmod(temp.at("from/closed").c_str(), 0700);
    fs::create_directories(temp.at("to/closed"));
    writeFile(temp.at("to/closed/stuck"), "theirs");
    writeFile(temp.at("to/closed/loose"), "theirs too");
    for (const char* path : {"to/closed", "to/closed/stuck", "to/closed/loose"}) ownedBy(path, kOther);
    if (std::system(("chattr +i '" + temp.at("to/closed/stuck").string() + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "needs chattr";
    }
    struct stat before;
    ASSERT_EQ(stat(temp.at("to/closed").c_str(), &before), 0);
    EXPECT_EQ(faithfulRun(), RUN_HAD_ERRORS);
    std::system(("chattr -i '" + temp.at("to/closed/stuck").string() + "'").c_str());
    struct stat after;
    ASSERT_EQ(stat(temp.at("to/closed").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, kOther);
    EXPECT_FALSE(fs::exists(temp.at("to/closed/secret")));
    EXPECT_EQ(readFile(temp.at("to/closed/loose")), "theirs too");
    EXPECT_EQ(failures().size(), 1u);
    size_t left = 0;
    for (const auto& entry : fs::directory_iterator(temp.at("to"))) left += entry.path().filename() == "closed" ? 0 : 1;
    EXPECT_EQ(left, 0u);  // no folder made for it stays beside
}

// The same as the system finds the entry when it is opened for the change
// (another user may have swapped it since the run looked): nothing is
// changed of an entry that would take a grant in place, whatever the run
// decided; a change that gives nothing goes ahead.
TEST_F(RootRun, MetadataWriteTakesNoGrantAsFound) {
    const unsigned char capability[] = {1, 0, 0, 2, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        bool directory;
        uid_t owner;
        mode_t sourceMode;
        mode_t targetMode;
        bool capable;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"anothers-file", false, kOther, 0644, 0644, false, true},      // root's owner
        {"anothers-program", false, kOther, 04755, 0755, false, true},  // and a set-ID bit
        {"group-written", false, 0, 04775, 0775, false, true},          // a bit where others write
        {"capable", false, 0, 0755, 0755, true, true},                  // a capability
        {"anothers-folder", true, kOther, 0755, 0755, false, true},     // root's owner on a folder
        {"roots-mode", false, 0, 0600, 0644, false, false},             // nothing given: done in place
        {"roots-program", false, 0, 04755, 04711, false, false},        // root's bit, no one else writes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string source = temp.at(std::string("from/") + c.name).string();
        std::string target = temp.at(std::string("to/") + c.name).string();
        if (c.directory) {
            fs::create_directories(source);
            fs::create_directories(target);
        } else {
            writeFile(source, "x");
            writeFile(target, "x");
        }
        ASSERT_EQ(chmod(source.c_str(), c.sourceMode), 0);
        ASSERT_EQ(lchown(target.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(target.c_str(), c.targetMode), 0);
        if (c.capable) {
            ASSERT_EQ(setxattr(source.c_str(), "security.capability", capability, sizeof capability, 0), 0);
        }
        bool changed = false;
        SystemResult written = platformWriteMetadata(toWide(source).buffer, toWide(target).buffer,
                                                     KeptMetadata{true, true, false}, &changed);
        struct stat st;
        ASSERT_EQ(lstat(target.c_str(), &st), 0);
        if (c.refused) {
            EXPECT_FALSE(written.done);
            EXPECT_EQ(written.reason, FAILURE_GRANT_REFUSED);
            EXPECT_FALSE(changed);
            EXPECT_EQ(st.st_uid, c.owner);
            EXPECT_EQ(st.st_mode & 07777, c.targetMode);
            EXPECT_LT(getxattr(target.c_str(), "security.capability", nullptr, 0), 0);
        } else {
            EXPECT_TRUE(written.done);
            EXPECT_TRUE(changed);
            EXPECT_EQ(st.st_mode & 07777, c.sourceMode);
        }
    }
}

// Without -A a copy takes no ACL, and so its group bits are what its
// source's ACL lets the owning group do, not the mask the mode shows: a
// new copy and one mended in place alike; with -A the ACL goes with it.
TEST_F(RootRun, CopyWithoutItsAclIsNoMoreOpenThanItsSource) {
    struct Case {
        const char* name;
        const char* acl;  // for setfacl -m
        mode_t copied;    // the copy's mode without -A
    };
    const std::vector<Case> cases = {
        {"group-denied", "u:65534:r,g::-,m::r,o::-", 0600},   // the mask shows r, the group has nothing
        {"group-reads", "u:65534:rw,g::r,m::rw,o::-", 0640},  // the group reads, the mask shows rw
        {"no-acl", "", 0640},
    };
    for (const Case& c : cases) {
        std::string path = temp.at(std::string("from/") + c.name).string();
        writeFile(path, "private");
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        if (*c.acl && std::system(("setfacl -m " + std::string(c.acl) + " '" + path + "' 2>/dev/null").c_str()) != 0) {
            GTEST_SKIP() << "no ACLs here";
        }
    }
    auto modeOf = [this](const Case& c) {
        struct stat st {};
        EXPECT_EQ(lstat(temp.at(std::string("to/") + c.name).c_str(), &st), 0) << c.name;
        return st.st_mode & 07777;
    };
    EXPECT_EQ(faithfulRun(), RUN_OK);
    for (const Case& c : cases) EXPECT_EQ(modeOf(c), c.copied) << c.name << ": a new copy";
    EXPECT_EQ(faithfulRun(), RUN_OK);
    EXPECT_EQ(tally.updated, 0) << "a copy as its source's ACL says is up to date";
    for (const Case& c : cases) ASSERT_EQ(chmod(temp.at(std::string("to/") + c.name).c_str(), 0604), 0);
    EXPECT_EQ(faithfulRun(), RUN_OK);
    for (const Case& c : cases) EXPECT_EQ(modeOf(c), c.copied) << c.name << ": mended in place";
    options.keepAcls = true;
    EXPECT_EQ(faithfulRun(), RUN_OK);
    char acl[256];
    EXPECT_GT(getxattr(temp.at("to/group-denied").c_str(), "system.posix_acl_access", acl, sizeof acl), 0);
}

}  // namespace
#endif
