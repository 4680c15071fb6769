// Versions looked at and put back: what a versions folder keeps of a path,
// and the restore run, a file, a folder, as of a time, under the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/folder_run.h"
#include "engine/restore.h"
#include "engine/run_context.h"
#include "engine/versions.h"
#include "support/recording_host.h"

namespace {

// Three nights of a mirror that keeps versions, each run's start set an
// hour after the one before, from kFirstNight on.
struct Restore : FolderPairTest {
    WideString versions = temp.wide("versions");
    RunOptions options;
    static constexpr int64_t kFirstNight = 1800000000;  // 2027-01-15, in the night

    void SetUp() override {
        FolderPairTest::SetUp();
        options.versionsFolder = versions;
        options.folderTimes = true;
        fs::create_directories(temp.at("to"));
    }

    // A mirror of From into To, its run folder (if it made one) dated night hours after the first night.
    void night(int hour) {
        host.install();
        RunTally tally;
        options.synchronous = true;
        options.showCopyFile = true;
        ASSERT_EQ(folderRunWithOptions(options, &tally, from, to, {}), RUN_OK);
        for (const fs::path& folder : runFolders()) {
            RunRecord record;
            ASSERT_TRUE(readRunRecord(toWide(folder), &record));
            if (record.started >= kFirstNight) continue;  // dated already
            record.started = kFirstNight + 3600 * hour;
            ASSERT_TRUE(writeRunRecord(toWide(folder), record));
        }
    }

    std::vector<fs::path> runFolders() {
        std::vector<fs::path> folders;
        std::error_code error;
        for (auto& entry : fs::directory_iterator(temp.at("versions"), error)) {
            if (entry.is_directory() && isRunFolderName(entry.path().filename().wstring().c_str()))
                folders.push_back(entry.path());
        }
        std::sort(folders.begin(), folders.end());
        return folders;
    }

    // What a file was at each night: "v1" before night 1 and so on.
    void version(const std::string& name, const std::string& contents, int age) {
        writeFile(temp.at("from/" + name), contents);
        shiftModified(temp.at("from/" + name), -age);
    }

    VersionedPath found(const std::string& path) {
        VersionedPath versioned;
        WideString why;
        EXPECT_TRUE(findVersions(versions, temp.wide(path), &versioned, &why)) << fromWide(why);
        return versioned;
    }

    int restore(const std::string& path, const CalendarTime* asOf = nullptr, const std::string& into = "to") {
        host.install();
        host.watchReports();
        RunTally tally;
        RunOptions restoring = options;
        restoring.copyLinks = true;
        restoring.folderTimes = false;
        return RestoreRun(restoring, &tally, true, found(path), temp.wide(into), asOf);
    }

    CalendarTime at(int64_t seconds) {
        CalendarTime time{};
        EXPECT_TRUE(platformLocalCalendar(seconds, &time));
        return time;
    }
};

TEST_F(Restore, VersionsAreListedNewestFirst) {
    version("docs/report.txt", "v1", 300);
    night(0);
    version("docs/report.txt", "v2 longer", 200);
    night(1);
    version("docs/report.txt", "v3", 100);
    night(2);
    VersionedPath report = found("to/docs/report.txt");
    EXPECT_EQ(fromWide(report.relative), fromWide(nativePath(L"docs\\report.txt")));
    ASSERT_EQ(report.versions.size(), 2u);
    EXPECT_EQ(readFile(fs::path(fromWide(report.versions[0].path))), "v2 longer");
    EXPECT_EQ(report.versions[0].size, 9);
    EXPECT_EQ(readFile(fs::path(fromWide(report.versions[1].path))), "v1");
    EXPECT_GT(report.versions[0].record.started, report.versions[1].record.started);
    VersionedPath docs = found("to/docs");
    ASSERT_EQ(docs.versions.size(), 2u);
    EXPECT_TRUE(docs.versions[0].isDirectory);
    EXPECT_EQ(docs.versions[0].entries, 1);
    // Another spelling of To names the same job.
    VersionedPath dotted = found("to/../to/./docs/report.txt");
    EXPECT_EQ(dotted.versions.size(), 2u);
    // A path of no job, and one in the versions folder, are told.
    VersionedPath none;
    WideString why;
    EXPECT_FALSE(findVersions(versions, temp.wide("from/docs/report.txt"), &none, &why));
    EXPECT_FALSE(findVersions(versions, temp.wide("versions/x"), &none, &why));
}

TEST_F(Restore, AFileComesBackAndWhatItReplacesIsKept) {
    version("report.txt", "v1", 300);
    night(0);
    version("report.txt", "v2", 200);
    night(1);
    ASSERT_EQ(readFile(temp.at("to/report.txt")), "v2");
    ASSERT_EQ(restore("to/report.txt"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/report.txt")), "v1");
    // The restore's own run folder holds what it replaced.
    VersionedPath after = found("to/report.txt");
    ASSERT_EQ(after.versions.size(), 2u);
    EXPECT_EQ(readFile(fs::path(fromWide(after.versions[0].path))), "v2");
    EXPECT_EQ(host.reported(REPORT_KEPT).size(), 1u);
    // A second restore takes the newest version: what the first replaced.
    ASSERT_EQ(restore("to/report.txt"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/report.txt")), "v2");
}

TEST_F(Restore, AFolderAMirrorRemovedComesBackWhole) {
    version("project/src/main.c", "main", 300);
    version("project/src/deep/util.c", "util", 300);
    fs::create_directories(temp.at("from/project/empty"));
    version("other.txt", "other", 300);
    night(0);
    fs::remove_all(temp.at("from/project"));
    night(1);
    ASSERT_FALSE(fs::exists(temp.at("to/project")));
    ASSERT_EQ(restore("to/project"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/project/src/main.c")), "main");
    EXPECT_EQ(readFile(temp.at("to/project/src/deep/util.c")), "util");
    EXPECT_TRUE(fs::is_directory(temp.at("to/project/empty")));
    EXPECT_EQ(readFile(temp.at("to/other.txt")), "other");
    // Elsewhere, To untouched.
    fs::create_directories(temp.at("elsewhere"));
    ASSERT_EQ(restore("to/project/src", nullptr, "elsewhere"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("elsewhere/project/src/deep/util.c")), "util");
}

// As of a time: each entry as the first run since then kept it; what no run
// changed since stays as To has it.
TEST_F(Restore, AsOfTakesEachEntryFromTheFirstRunSince) {
    version("a.txt", "a1", 500);
    version("b.txt", "b1", 500);
    version("c.txt", "c1", 500);
    night(0);
    version("a.txt", "a2", 400);
    night(1);  // keeps a1
    version("a.txt", "a3", 300);
    version("b.txt", "b2", 300);
    night(2);  // keeps a2, b1
    version("c.txt", "c2 new", 200);
    CalendarTime afterNightOne = at(kFirstNight + 3600 + 60);
    ASSERT_EQ(restore("to", &afterNightOne), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a2");
    EXPECT_EQ(readFile(temp.at("to/b.txt")), "b1");
    EXPECT_EQ(readFile(temp.at("to/c.txt")), "c1");
    CalendarTime beforeAll = at(kFirstNight - 3600);
    ASSERT_EQ(restore("to/a.txt", &beforeAll), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a1");
    // No run since then kept anything: nothing to put back.
    CalendarTime later = at(kFirstNight + 36000);
    EXPECT_EQ(restore("to/a.txt", &later), RUN_NO_VERSION);
}

TEST_F(Restore, LinksComeBackAsLinks) {
    version("target.txt", "t", 300);
    std::error_code made;
    fs::create_symlink("target.txt", temp.at("from/link"), made);
    if (made) GTEST_SKIP() << "no link can be made here: " << made.message();
    options.copyLinks = true;
    night(0);
    fs::remove(temp.at("from/link"));
    night(1);
    ASSERT_FALSE(fs::exists(fs::symlink_status(temp.at("to/link"))));
    ASSERT_EQ(restore("to/link"), RUN_OK);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(temp.at("to/link"))));
    EXPECT_EQ(fs::read_symlink(temp.at("to/link")).string(), "target.txt");
}

// A restore changes To as a run does: never while another run holds it.
TEST_F(Restore, UnderTheLock) {
    version("report.txt", "v1", 300);
    night(0);
    version("report.txt", "v2", 200);
    night(1);
    std::atomic<int> state{0};
    std::thread holder([&] {
        TreeLock* lock = nullptr;
        long other = 0;
        int reason = 0;
        bool taken = platformGuardTree(to.buffer) && platformLockGuardedTree(&lock, &other, &reason) == LOCK_TAKEN;
        state = taken ? 1 : -1;
        while (state != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        platformUnlockTree(lock);
    });
    while (state == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(state, 1);
    EXPECT_EQ(restore("to/report.txt"), RUN_DEST_LOCKED);
    EXPECT_EQ(readFile(temp.at("to/report.txt")), "v2");
    options.waitForLock = true;
    state = 2;
    EXPECT_EQ(restore("to/report.txt"), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/report.txt")), "v1");
    holder.join();
}

}  // namespace
