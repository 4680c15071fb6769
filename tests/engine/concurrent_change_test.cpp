// What others do while a run goes on: a file rewritten while it is copied,
// a second run on the same To Folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/folder_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "support/recording_host.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

struct ConcurrentChange : FolderPairTest {
    RunOptions options;
    int run() {
        openRunLog(temp.wide("korvaneui.log"));
        runContext.hadErrors = false;
        RunTally tally;
        options.showCopyFile = true;
        int result = folderRunWithOptions(options, &tally, from, to, {});
        closeRunLog();
        return result;
    }
    std::string log() { return readFile(temp.at("korvaneui.log")); }
};

// Rewrites a file, same size and modification time, each time the run ticks,
// as many times as told.
struct Rewriter {
    fs::path path;
    int times = 0;
    int done = 0;
};
Rewriter rewriter;

void rewriteOnTick(void*, long long, long long) {
    if (rewriter.done >= rewriter.times) return;
    ++rewriter.done;
    auto modified = fs::last_write_time(rewriter.path);
    writeFile(rewriter.path, std::string(4096, static_cast<char>('a' + rewriter.done % 26)));
    fs::last_write_time(rewriter.path, modified);
}

std::vector<std::wstring> reasons;
void keepReason(void*, const RunReport* report) {
    if (report->kind == REPORT_FAILED) reasons.push_back(report->reason);
}

// A copy whose source changes under it is read again; one that never holds
// still fails with the reason, and nothing of it is left to pass for up to
// date at the next run.
TEST_F(ConcurrentChange, FileRewrittenWhileItIsCopied) {
    if (onWindows()) GTEST_SKIP() << "the copy's ticks come from a thread of their own there";
    struct Case {
        int rewrites;
        int result;
    };
    for (const Case& c : {Case{2, RUN_OK}, Case{1000, RUN_HAD_ERRORS}}) {
        SCOPED_TRACE(c.rewrites);
        fs::remove_all(temp.at("to"));
        fs::create_directories(temp.at("to"));
        writeFile(temp.at("from/moving.bin"), std::string(4096, 'z'));
        rewriter = Rewriter{temp.at("from/moving.bin"), c.rewrites, 0};
        reasons.clear();
        runContext.host.entryDone = rewriteOnTick;
        runContext.host.reported = keepReason;
        EXPECT_EQ(run(), c.result);
        if (c.result == RUN_OK) {
            EXPECT_EQ(readFile(temp.at("to/moving.bin")), readFile(temp.at("from/moving.bin")));
        } else {
            EXPECT_FALSE(fs::exists(temp.at("to/moving.bin")));
            EXPECT_EQ(reasons, std::vector<std::wstring>{L"the file changed while it was copied"});
        }
    }
}

// A run that changes To holds it: a second is refused before any change,
// or waits when asked to; a dry run changes nothing and waits for no one.
TEST_F(ConcurrentChange, SecondRunOnOneToIsRefusedOrWaits) {
    writeFile(temp.at("from/a.txt"), "a");
    std::atomic<int> state{0};  // 1: the holder has the lock; 2: it may let go
    std::thread holder([&] {
        // Another run's lock, taken as a run takes it; the guard goes to the run under test.
        TreeLock* lock = nullptr;
        long other = 0;
        int reason = 0;
        bool taken = platformGuardTree(to.buffer) && platformLockGuardedTree(&lock, &other, &reason) == LOCK_TAKEN;
        state = taken ? 1 : -1;
        while (state != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        platformUnlockTree(lock);
    });
    while (state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(state, 1);

    EXPECT_EQ(run(), RUN_DEST_LOCKED);
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
    EXPECT_NE(log().find("! Error => Destination dir is in use by another run ["), std::string::npos);

    options.dryRun = true;
    EXPECT_EQ(run(), RUN_OK);
    options.dryRun = false;

    options.waitForLock = true;
    state = 2;
    EXPECT_EQ(run(), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    holder.join();
}

// Runs on a folder inside another run's To, or around it, keep off each
// other whichever started first.
TEST_F(ConcurrentChange, NestedToFoldersKeepOffEachOther) {
    writeFile(temp.at("from/a.txt"), "a");
    fs::create_directories(temp.at("to/sub"));
    struct Case {
        const char* held;
        const char* run;
    };
    std::vector<Case> cases = {{"to", "to/sub"}, {"to/sub", "to"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.held);
        std::atomic<int> state{0};
        WideString held = temp.wide(c.held);
        std::thread holder([&] {
            TreeLock* lock = nullptr;
            long other = 0;
            int reason = 0;
            bool taken =
                platformGuardTree(held.buffer) && platformLockGuardedTree(&lock, &other, &reason) == LOCK_TAKEN;
            state = taken ? 1 : -1;
            while (state != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            platformUnlockTree(lock);
        });
        while (state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(state, 1);
        openRunLog(temp.wide("korvaneui.log"));
        RunTally tally;
        options.showCopyFile = true;
        EXPECT_EQ(folderRunWithOptions(options, &tally, from, temp.wide(c.run), {}), RUN_DEST_LOCKED);
        closeRunLog();
        EXPECT_FALSE(fs::exists(temp.at(std::string(c.run) + "/a.txt")));
        state = 2;
        holder.join();
    }
}

// A lock any other program takes on To or a folder above it (a cron
// wrapper's flock, another user's, or on Windows the named object an
// earlier build took) holds no run: a run's lock is a file of the runs' own.
TEST_F(ConcurrentChange, OtherProgramsLocksHoldNoRun) {
    writeFile(temp.at("from/a.txt"), "a");
    std::vector<std::string> held = {temp.at("to").string(), temp.root.string()};
#ifdef _WIN32
    std::vector<HANDLE> handles;
    for (const std::string& folder : held) {
        DirectoryIdentity identity;
        ASSERT_TRUE(platformDirectoryIdentity(toWide(fs::path(folder)).buffer, &identity));
        wchar_t name[96];
        swprintf(name, 96, L"Global\\korvane-tree-%016llx-%016llx", static_cast<unsigned long long>(identity.volume),
                 static_cast<unsigned long long>(identity.index));
        HANDLE mutex = CreateMutexW(nullptr, TRUE, name);
        ASSERT_NE(mutex, nullptr);
        handles.push_back(mutex);
    }
#else
    std::vector<int> handles;
    for (const std::string& folder : held) {
        int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        handles.push_back(fd);
    }
#endif
    EXPECT_EQ(run(), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    options.waitForLock = true;
    EXPECT_EQ(run(), RUN_OK);
#ifdef _WIN32
    for (HANDLE handle : handles) CloseHandle(handle);
#else
    for (int fd : handles) close(fd);
#endif
}

}  // namespace
