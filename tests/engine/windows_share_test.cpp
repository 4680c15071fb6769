// Windows only: a From or To on a network share. \\server\share\ is the root
// level of such a path, as C:\ is of a drive path. Under Wine a share is a
// link in the prefix's dosdevices\unc folder to a folder of the host.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/paths.h"
#include "support/recording_host.h"

namespace {

struct ShareTest : FolderPairTest {
    std::wstring server = L"korvane-" + std::to_wstring(GetCurrentProcessId());
    std::string uncFolder;  // the host folder that holds the server's shares

    void SetUp() override {
        FolderPairTest::SetUp();
        fs::create_directories(temp.at("shared"));
        std::string drive = hostPath("C:\\");  // the prefix's dosdevices/c:
        if (drive.empty()) GTEST_SKIP() << "needs Wine, where a share can be made";
        while (!drive.empty() && drive.back() == '/') drive.pop_back();
        uncFolder = drive.substr(0, drive.find_last_of('/')) + "/unc/" + fs::path(server).string();
        ASSERT_TRUE(runOnHost("mkdir -p '" + uncFolder + "' && ln -s '" + hostPath(temp.at("shared")) + "' '" +
                              uncFolder + "/share'"));
    }
    void TearDown() override {
        if (!uncFolder.empty()) runOnHost("rm -r '" + uncFolder + "'");
        FolderPairTest::TearDown();
    }
    WideString share(const std::wstring& rest) { return WideString((L"\\\\" + server + L"\\share\\" + rest).c_str()); }
    int run(bool synchronous, const WideString& source, const WideString& target) {
        openRunLog(temp.wide("run.log"));
        runContext.hadErrors = false;
        int result = FolderCopyRun(synchronous, false, true, source, target, WideString());
        closeRunLog();
        return result;
    }
    std::vector<std::string> lines(const char* start) {
        std::vector<std::string> found;
        for (const std::string& line : logLines(temp.at("run.log"))) {
            if (line.rfind(start, 0) == 0) found.push_back(line);
        }
        return found;
    }
};

// The levels below a reachable share are made as below a drive; a share that
// cannot be reached is no folder to make.
TEST_F(ShareTest, LevelsBelowTheShareAreMade) {
    Changes changes;
    EXPECT_TRUE(createDirectoryPath(&changes, share(L"new\\a\\b")));
    EXPECT_TRUE(fs::is_directory(temp.at("shared/new/a/b")));
    // Wine reads the long UNC form too.
    EXPECT_TRUE(createDirectoryPath(&changes, WideString((L"\\\\?\\UNC\\" + server + L"\\share\\long\\c").c_str())));
    EXPECT_TRUE(fs::is_directory(temp.at("shared/long/c")));
    EXPECT_FALSE(createDirectoryPath(&changes, WideString((L"\\\\" + server + L"\\absent\\x").c_str())));
    EXPECT_FALSE(createDirectoryPath(&changes, WideString(L"\\\\korvane-nowhere\\share\\x")));
}

// A first copy, a run that finds nothing to do and a mirror, with To on the
// share under each spelling, and From on it too.
TEST_F(ShareTest, RunsToAndFromAShare) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/sub/deeper/b.txt"), "b");
    struct Case {
        const char* name;
        WideString source;
        WideString target;
        const char* targetFolder;  // below temp
    };
    fs::create_directories(temp.at("shared/to"));
    fs::create_directories(temp.at("shared/long"));
    fs::create_directories(temp.at("shared/slashes"));
    fs::create_directories(temp.at("back"));
    const std::vector<Case> cases = {
        {"to a share", from, share(L"to"), "shared/to"},
        {"to the long form", from, WideString((L"\\\\?\\UNC\\" + server + L"\\share\\long").c_str()), "shared/long"},
        {"to forward slashes", from, WideString((L"//" + server + L"/share/slashes").c_str()), "shared/slashes"},
        {"from a share", share(L"to"), temp.wide("back"), "back"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(false, c.source, c.target), RUN_OK);
        EXPECT_EQ(lines("  CP:").size(), 4u);
        EXPECT_EQ(readFile(temp.at(std::string(c.targetFolder) + "/sub/deeper/b.txt")), "b");
        EXPECT_EQ(run(false, c.source, c.target), RUN_OK);
        EXPECT_EQ(lines("Updated:"), std::vector<std::string>{"Updated: [0 dirs and files]. "});
        writeFile(temp.at(std::string(c.targetFolder) + "/sub/stray.txt"), "s");
        EXPECT_EQ(run(true, c.source, c.target), RUN_OK);
        EXPECT_EQ(lines("  DF:").size(), 1u);
        EXPECT_FALSE(fs::exists(temp.at(std::string(c.targetFolder) + "/sub/stray.txt")));
    }
    // The share itself is a drive's root to the folder checks.
    EXPECT_EQ(run(false, from, share(L"")), RUN_DEST_IS_DRIVE);
    EXPECT_EQ(run(false, from, WideString((L"\\\\?\\UNC\\" + server + L"\\share").c_str())), RUN_DEST_IS_DRIVE);
}

}  // namespace
#endif
