// Windows only: a copy goes through a temporary beside the target and then
// replaces it, so that whatever goes wrong the old target stays as it was.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "engine/run_context.h"
#include "engine/update_copy.h"
#include "fs/time_step.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

struct WindowsCopy : testing::Test {
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
    DWORD attributes(const std::string& relative) { return GetFileAttributesW(temp.at(relative).wstring().c_str()); }
    void setAttributes(const std::string& relative, DWORD word) {
        ASSERT_TRUE(SetFileAttributesW(temp.at(relative).wstring().c_str(), word));
    }
    // Names in a folder of To that a copy left behind besides the expected ones.
    int entriesIn(const std::string& relative) {
        int count = 0;
        for (auto& entry : fs::directory_iterator(temp.at(relative))) {
            (void)entry;
            ++count;
        }
        return count;
    }
};

std::string quotedHost(const fs::path& path) { return "'" + hostPath(path) + "'"; }

// Gives a file a modification time in whole seconds since 1970.
void setModifiedSeconds(const fs::path& path, int64_t seconds) {
    HANDLE file = CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint64_t ticks = static_cast<uint64_t>(seconds) * 10000000u + 116444736000000000u;
    FILETIME time = {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
}

// The protection contract stays: a read-only target is refused first, then
// cleared and replaced; the copy carries the source's attributes.
TEST_F(WindowsCopy, ProtectedTargetsAreReplacedAndTakeTheSourceAttributes) {
    for (DWORD protection : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                             FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}) {
        SCOPED_TRACE(protection);
        writeFile(temp.at("from/p.txt"), "new contents");
        writeFile(temp.at("to/p.txt"), "old");
        setAttributes("to/p.txt", protection);
        EXPECT_EQ(
            platformCopyFile(temp.wide("from/p.txt").buffer, temp.wide("to/p.txt").buffer, KeptMetadata{}).outcome,
            (protection & FILE_ATTRIBUTE_READONLY) ? COPY_ACCESS_DENIED : COPY_DONE);
        EXPECT_TRUE(copy("p.txt"));
        EXPECT_EQ(readFile(temp.at("to/p.txt")), "new contents");
        EXPECT_EQ(attributes("to/p.txt") & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                  0u);
        EXPECT_EQ(entriesIn("to"), 1);
        setAttributes("to/p.txt", FILE_ATTRIBUTE_NORMAL);
        fs::remove(temp.at("to/p.txt"));
    }
}

// A read-only source makes a read-only temporary; the replace still happens,
// over a missing, a plain and a read-only target, and the copy is read-only.
TEST_F(WindowsCopy, ReadOnlySourceReplacesAnyTarget) {
    writeFile(temp.at("from/r.txt"), "read-only source");
    setAttributes("from/r.txt", FILE_ATTRIBUTE_READONLY);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 0) {
            writeFile(temp.at("to/r.txt"), "old");
            if (round == 2) setAttributes("to/r.txt", FILE_ATTRIBUTE_READONLY);
        }
        EXPECT_TRUE(copy("r.txt"));
        EXPECT_TRUE(runContext.changeAttempted);
        EXPECT_EQ(readFile(temp.at("to/r.txt")), "read-only source");
        EXPECT_TRUE(attributes("to/r.txt") & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(entriesIn("to"), 1);
        EXPECT_TRUE(copy("r.txt"));
        EXPECT_FALSE(runContext.changeAttempted);
        setAttributes("to/r.txt", FILE_ATTRIBUTE_NORMAL);
        fs::remove(temp.at("to/r.txt"));
    }
    setAttributes("from/r.txt", FILE_ATTRIBUTE_NORMAL);
}

// A hard link in To to a file outside it gets a name of its own; the file
// outside keeps its contents.
TEST_F(WindowsCopy, HardLinkInToIsReplacedNeverWrittenThrough) {
    writeFile(temp.at("outside/shared.txt"), "outside, keep me");
    writeFile(temp.at("from/shared.txt"), "from the source");
    ASSERT_TRUE(CreateHardLinkW(temp.at("to/shared.txt").wstring().c_str(),
                                temp.at("outside/shared.txt").wstring().c_str(), nullptr));
    EXPECT_TRUE(copy("shared.txt"));
    EXPECT_EQ(readFile(temp.at("to/shared.txt")), "from the source");
    EXPECT_EQ(readFile(temp.at("outside/shared.txt")), "outside, keep me");
}

// Failures before the replace leave the old target exactly as it was and no
// temporary: a source that cannot be read, a directory under the target's name.
TEST_F(WindowsCopy, FailedCopyKeepsTheOldTargetAndLeavesNoTemporary) {
    writeFile(temp.at("from/locked.txt"), "new");
    writeFile(temp.at("to/locked.txt"), "old version");
    shiftModified(temp.at("to/locked.txt"), -100);
    HANDLE locked =
        CreateFileW(temp.at("from/locked.txt").wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(copy("locked.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    CloseHandle(locked);
    EXPECT_EQ(readFile(temp.at("to/locked.txt")), "old version");
    EXPECT_EQ(entriesIn("to"), 1);

    writeFile(temp.at("from/dir.txt"), "file");
    writeFile(temp.at("to/dir.txt/inside.txt"), "stays");
    EXPECT_FALSE(copy("dir.txt"));
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_EQ(readFile(temp.at("to/dir.txt/inside.txt")), "stays");
    EXPECT_EQ(entriesIn("to"), 2);
    EXPECT_EQ(runContext.updatedCount, 0);
}

// Under Wine, with To on a small full file system: the copy fails, the old
// version is whole and no temporary is left; after room is made it succeeds.
TEST_F(WindowsCopy, FullFileSystemKeepsTheOldVersion) {
    fs::create_directories(temp.at("small"));
    std::string small = quotedHost(temp.at("small"));
    if (hostPath(temp.at("small")).empty() || !runOnHost("mount -t tmpfs -o size=2m tmpfs " + small)) {
        GTEST_SKIP() << "needs Wine and the right to mount a small file system";
    }
    std::string old(600 * 1024, 'o');
    std::string big(1536 * 1024, 'n');
    writeFile(temp.at("small/big.bin"), old);
    writeFile(temp.at("from/big.bin"), big);
    WideString smallRoot = temp.wide("small");
    bool copied = static_cast<bool>(copyIfUpdated(from, smallRoot, temp.wide("from/big.bin")));
    bool oldIntact = readFile(temp.at("small/big.bin")) == old;
    int left = entriesIn("small");
    fs::remove(temp.at("small/big.bin"));
    bool copiedWithRoom = static_cast<bool>(copyIfUpdated(from, smallRoot, temp.wide("from/big.bin")));
    bool newWhole = readFile(temp.at("small/big.bin")) == big;
    runOnHost("umount " + small);
    EXPECT_FALSE(copied);
    EXPECT_TRUE(runContext.changeAttempted);
    EXPECT_TRUE(oldIntact);
    EXPECT_EQ(left, 1);
    EXPECT_TRUE(copiedWithRoom);
    EXPECT_TRUE(newWhole);
}

// Under Wine, a unix link in To to a file outside: replaced by the copy, and
// the file it named keeps its contents and its protection.
TEST_F(WindowsCopy, UnixFileLinkInToIsReplacedNeverWrittenThrough) {
    writeFile(temp.at("outside/target.txt"), "outside, keep me");
    writeFile(temp.at("from/link.txt"), "from the source");
    if (hostPath(temp.at("to")).empty() ||
        !runOnHost("chmod 444 " + quotedHost(temp.at("outside/target.txt")) + " && ln -s ../outside/target.txt " +
                   quotedHost(temp.at("to/link.txt")))) {
        GTEST_SKIP() << "needs Wine";
    }
    EXPECT_TRUE(copy("link.txt"));
    EXPECT_EQ(readFile(temp.at("to/link.txt")), "from the source");
    EXPECT_EQ(readFile(temp.at("outside/target.txt")), "outside, keep me");
    EXPECT_TRUE(attributes("outside/target.txt") & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(runOnHost("test ! -L " + quotedHost(temp.at("to/link.txt"))));
    setAttributes("outside/target.txt", FILE_ATTRIBUTE_NORMAL);
}

// Under Wine, with To on a volume that keeps 2-second times (a FUSE
// passthrough of the host's, as a USB disk's FAT keeps them): the step is
// learned from a file written there, and a second copy copies nothing.
TEST_F(WindowsCopy, SecondCopyToACoarseVolumeCopiesNothing) {
    if (!mountTestVolume(temp.at("below"), temp.at("coarse"), "down")) {
        GTEST_SKIP() << "needs Wine and /dev/fuse";
    }
    WideString coarse = temp.wide("coarse");
    const std::vector<std::string> names = {"odd.txt", "even.txt", "sub/odd.txt"};
    for (const std::string& name : names) writeFile(temp.at("from/" + name), name);
    for (const std::string& name : names) {
        setModifiedSeconds(temp.at("from/" + name), name == "even.txt" ? 1600000000 : 1600000001);
    }
    std::vector<bool> first;
    std::vector<bool> second;
    for (const std::string& name : names) {
        copyIfUpdated(from, coarse, temp.wide("from/" + name));
        first.push_back(runContext.changeAttempted);
    }
    for (const std::string& name : names) {
        EXPECT_TRUE(copyIfUpdated(from, coarse, temp.wide("from/" + name))) << name;
        second.push_back(runContext.changeAttempted);
    }
    Changes changes;
    TimeSteps steps;
    steps.changes = &changes;
    int64_t step = volumeTimeStep(coarse, &steps);
    std::string odd = readFile(temp.at("coarse/odd.txt"));
    unmountTestVolume(temp.at("coarse"));
    EXPECT_EQ(first, std::vector<bool>(3, true));
    EXPECT_EQ(second, std::vector<bool>(3, false));
    EXPECT_EQ(step, COARSE_TIME_STEP);
    EXPECT_EQ(odd, "odd.txt");
}

}  // namespace
#endif
