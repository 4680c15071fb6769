// The front end hears from a run at every entry, in the clean-up pass and
// the list run as in the copy walk, and between the pieces of one long copy:
// the window handles its messages on these ticks, so it never freezes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "support/recording_host.h"

namespace {

// The changes made so far, at each tick.
std::vector<long long> ticks;

void recordTick(void*, long long, long long changed) { ticks.push_back(changed); }

struct Progress : FolderPairTest {
    void SetUp() override {
        FolderPairTest::SetUp();
        runContext.host.entryDone = recordTick;
        ticks.clear();
    }
    // Ticks that came before the run's first change.
    size_t ticksBeforeFirstChange() {
        size_t count = 0;
        while (count < ticks.size() && ticks[count] == 0) ++count;
        return count;
    }
};

TEST_F(Progress, EveryKindOfRunTicksTheFrontEnd) {
    const int entries = 40;
    struct Case {
        const char* name;
        size_t atLeast;  // ticks
    };
    for (const Case& c : std::vector<Case>{{"copy walk", entries}, {"clean-up pass", entries}, {"list run", entries}}) {
        SCOPED_TRACE(c.name);
        ticks.clear();
        std::string name = c.name;
        std::string list;
        for (int i = 0; i < entries; ++i) {
            std::string file = "f" + std::to_string(i) + ".txt";
            writeFile(temp.at((name == "clean-up pass" ? "to/" : "from/") + file), "x");
            list += file + "\n";
        }
        // A mirror of a From of next to nothing would be refused.
        if (name == "clean-up pass") {
            for (int i = 0; i < 4; ++i) writeFile(temp.at("from/kept" + std::to_string(i)), "k");
        }
        writeFile(temp.at("list.txt"), list);
        int result = name == "list run" ? ListCopyRun(false, from, to, temp.wide("list.txt"))
                                        : FolderCopyRun(name == "clean-up pass", false, false, from, to, WideString());
        EXPECT_EQ(result, RUN_OK);
        EXPECT_GE(ticks.size(), c.atLeast);
        fs::remove_all(temp.at("from"));
        fs::remove_all(temp.at("to"));
        fs::create_directories(temp.at("from"));
        fs::create_directories(temp.at("to"));
    }
}

// One big file: the front end hears from its copy, not only before it. The
// POSIX copy ticks between its pieces; the Windows copy ticks by time, so
// there its target is a slow volume (under Wine, where a copy is quick).
TEST_F(Progress, OneLongCopyTicksTheFrontEnd) {
    WideString target = to;
    uintmax_t size = uintmax_t{48} << 20;
#ifdef _WIN32
    if (!mountTestVolume(temp.at("below"), temp.at("slow"), "slow")) GTEST_SKIP() << "needs Wine and /dev/fuse";
    target = temp.wide("slow");
    size = uintmax_t{8} << 20;
#endif
    writeFile(temp.at("from/big.bin"), std::string(static_cast<size_t>(size), 'b'));
    int result = FolderCopyRun(false, false, false, from, target, WideString());
    uintmax_t copied = fs::file_size(fs::path(fromWide(target)) / "big.bin");
#ifdef _WIN32
    unmountTestVolume(temp.at("slow"));
#endif
    EXPECT_EQ(result, RUN_OK);
    EXPECT_EQ(copied, size);
    EXPECT_GE(ticksBeforeFirstChange(), 4u);
}

}  // namespace
