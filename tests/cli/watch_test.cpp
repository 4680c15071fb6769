// The watch: each change in FROM reaches TO soon after it, nothing is
// missed, TO stays locked, and a FROM that empties deletes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/program_harness.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest a change may take to reach TO here: the delay, a batch, and a shared, slow machine.
const int kMostMilliseconds = 8000;

// One thing a user does in FROM while the watch runs.
struct WatchStep {
    const char* name;
    std::function<void(Program*)> change;
};

// Renames through a name between (see the moves' tests: Wine and case).
void renameIn(Program* p, const std::string& from, const std::string& to) { fs::rename(p->at(from), p->at(to)); }

const std::vector<WatchStep>& watchSteps() {
    static const std::vector<WatchStep> steps = {
        {"a file created", [](Program* p) { writeFile(p->at("from/new.txt"), "new"); }},
        {"a file changed", [](Program* p) { writeFile(p->at("from/docs/a.txt"), "a, longer now"); }},
        {"a file renamed", [](Program* p) { renameIn(p, "from/docs/b.txt", "from/docs/b2.txt"); }},
        {"a file deleted", [](Program* p) { fs::remove(p->at("from/new.txt")); }},
        {"a folder created with files",
         [](Program* p) {
             fs::create_directories(p->at("from/made/deeper"));
             for (int i = 0; i < 20; ++i) writeFile(p->at("from/made/deeper/f" + std::to_string(i)), "x");
             writeFile(p->at("from/made/top.txt"), "top");
         }},
        {"a folder renamed", [](Program* p) { renameIn(p, "from/made", "from/renamed"); }},
        {"a file in a deep folder changed", [](Program* p) { writeFile(p->at("from/keep/one/two/c.txt"), "c2!"); }},
        {"a folder deleted", [](Program* p) { fs::remove_all(p->at("from/renamed")); }},
        {"a folder renamed beside one whose name sorts between",
         [](Program* p) { renameIn(p, "from/proj", "from/proj2"); }},
        {"a file changed in the renamed folder, one made beside it",
         [](Program* p) {
             writeFile(p->at("from/proj2/src/deep/f.txt"), "changed after the rename");
             writeFile(p->at("from/proj2/src/new.txt"), "new");
         }},
        {"a file made in a folder moved in from outside",
         [](Program* p) {
             fs::create_directories(p->at("outside/pack/inner"));
             writeFile(p->at("outside/pack/inner/p.txt"), "p");
             fs::rename(p->at("outside/pack"), p->at("from/keep/pack"));
         }},
        {"a folder moved out of FROM", [](Program* p) { fs::rename(p->at("from/keep/pack"), p->at("moved-out")); }},
        {"FROM renamed away and back, then a file changed",
         [](Program* p) {
             fs::rename(p->at("from"), p->at("from-away"));
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             fs::rename(p->at("from-away"), p->at("from"));
             writeFile(p->at("from/top.txt"), "top, after FROM came back");
         }},
    };
    return steps;
}

// From before the watch starts.
void startingTree(Program* p) {
    writeFile(p->at("from/docs/a.txt"), "a");
    writeFile(p->at("from/docs/b.txt"), "b");
    writeFile(p->at("from/keep/one/two/c.txt"), "c");
    writeFile(p->at("from/top.txt"), "top");
    writeFile(p->at("from/proj/src/deep/f.txt"), "f");
    writeFile(p->at("from/proj-old/x.txt"), "x");
}

// The entries below root (Program::tree), listed again when the listing
// meets an entry that goes meanwhile (the watch's temporaries come and go).
std::vector<std::string> treeOf(Program* p, const std::string& root) {
    for (int attempt = 0;; ++attempt) {
        try {
            return p->tree(root);
        } catch (const fs::filesystem_error&) {
            if (attempt == 100) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// Waits until TO holds what FROM holds; the milliseconds it took, or -1 past the bound.
long long waitForMirror(Program* p, int most = kMostMilliseconds) {
    Clock::time_point start = Clock::now();
    for (;;) {
        long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (treeOf(p, "from") == treeOf(p, "to")) return waited;
        if (waited > most) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Waits until the file at path holds part.
bool waitForText(const std::string& path, const std::string& part, int most = kMostMilliseconds) {
    Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(most)) {
        if (contains(readFile(path), part)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A pattern for pkill -f that names the program watching p's FROM, not the shell that started it.
std::string watchPattern(Program* p) { return quoted("^" + programPath() + " --watch.*" + p->at("from")); }

// A watch running in the background; its outcome once it ends.
struct BackgroundWatch {
    std::thread thread;
    Outcome outcome{-1, "", ""};
    ~BackgroundWatch() {
        if (thread.joinable()) thread.join();
    }
    void start(Program* p, const std::vector<std::string>& arguments) {
        thread = std::thread([this, p, arguments] { outcome = p->run(arguments, "", "", "watch-"); });
    }
    // Ends it: a stop where signals reach it, else its --watch-for runs out.
    Outcome end(Program* p) {
        if (!onWindows()) {
            EXPECT_EQ(std::system(("pkill -TERM -f " + watchPattern(p)).c_str()), 0);
        }
        thread.join();
        return outcome;
    }
};

// A line seen when the watch has armed and made its first pass.
const char* const kFirstPass = "the first pass";

TEST_F(Program, WatchBringsEachChangeOverSoonAfterIt) {
    startingTree(this);
    BackgroundWatch watch;
    // Under Wine no signal reaches the program: its watch ends when its time runs out.
    watch.start(this, {"--watch", "--watch-for", onWindows() ? "40" : "90", "-s", "-y", "--versions", at("versions"),
                       at("from"), at("to")});
    ASSERT_TRUE(waitForText(at("watch-out.txt"), kFirstPass, 30000)) << readFile(at("watch-err.txt"));
    EXPECT_GE(waitForMirror(this), 0);
    for (const WatchStep& step : watchSteps()) {
        step.change(this);
        long long took = waitForMirror(this);
        EXPECT_GE(took, 0) << step.name << "\n" << readFile(at("watch-out.txt")) << readFile(at("watch-err.txt"));
    }
    // TO stays locked between batches: another run is refused, as it would be during one.
    Outcome other = run({"-s", "-y", at("from"), at("to")}, "", "", "other-");
    EXPECT_EQ(other.status, 3) << other.err;
    EXPECT_TRUE(contains(other.err, "in use by another run")) << other.err;
    // A FROM emptied during the watch deletes nothing: the guard holds each batch.
    std::vector<std::string> before = treeOf(this, "to");
    for (const auto& entry : fs::directory_iterator(at("from"))) fs::remove_all(entry.path());
    EXPECT_TRUE(waitForText(at("watch-err.txt"), "next to none"));
    EXPECT_EQ(treeOf(this, "to"), before);
    writeFile(at("from/docs/a.txt"), "back");
    if (onWindows()) return;  // the watch ends when --watch-for runs out
    Outcome ended = watch.end(this);
    // The batch that held was never brought over: the exit status says so.
    EXPECT_NE(ended.status, 0) << ended.out << ended.err;
}

TEST_F(Program, WatchMissesNothingChangedWhileItArms) {
    // Many files make the first pass take a while; one file changes all through it.
    for (int i = 0; i < 400; ++i) writeFile(at("from/bulk/f" + std::to_string(i)), std::string(100, 'b'));
    BackgroundWatch watch;
    watch.start(this, {"--watch", "--watch-for", onWindows() ? "15" : "60", "-s", "-y", at("from"), at("to")});
    Clock::time_point start = Clock::now();
    int version = 0;
    while (!contains(readFile(at("watch-out.txt")), kFirstPass) && Clock::now() - start < std::chrono::seconds(30)) {
        writeFile(at("from/busy.txt"), "version " + std::to_string(++version));
        writeFile(at("from/bulk/n" + std::to_string(version)), "n");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    writeFile(at("from/busy.txt"), "the last version " + std::to_string(++version));
    EXPECT_GE(waitForMirror(this), 0) << readFile(at("watch-out.txt")) << readFile(at("watch-err.txt"));
    Outcome ended = watch.end(this);
    EXPECT_EQ(ended.status, 0) << ended.out << ended.err;
    EXPECT_TRUE(contains(ended.out, "everything it saw is in TO")) << ended.out;
}

#ifndef _WIN32
// Signals reach the program alone here: a burst while it cannot read, and a stop during a copy.

TEST_F(Program, WatchWalksWhatTheSystemMayHaveLost) {
    writeFile(at("from/a.txt"), "a");
    BackgroundWatch watch;
    watch.start(this, {"--watch", "--watch-for", "60", "-s", "-y", at("from"), at("to")});
    ASSERT_TRUE(waitForText(at("watch-out.txt"), kFirstPass, 30000));
    // Stopped, it reads no notice: a burst past the system's queue is lost there.
    std::string program = watchPattern(this);
    ASSERT_EQ(std::system(("pkill -STOP -f " + program).c_str()), 0);
    for (int i = 0; i < 7000; ++i) writeFile(at("from/f" + std::to_string(i)), "x");
    writeFile(at("from/made-meanwhile/b.txt"), "b");
    ASSERT_EQ(std::system(("pkill -CONT -f " + program).c_str()), 0);
    EXPECT_GE(waitForMirror(this, 30000), 0);
    EXPECT_TRUE(waitForText(at("watch-err.txt"), "may have been lost")) << readFile(at("watch-err.txt"));
    // A folder made while notices were lost is watched from then on.
    writeFile(at("from/made-meanwhile/b.txt"), "b, changed");
    writeFile(at("from/made-meanwhile/c.txt"), "c");
    EXPECT_GE(waitForMirror(this), 0);
    Outcome ended = watch.end(this);
    EXPECT_EQ(ended.status, 0) << ended.out << ended.err;
}

TEST_F(Program, WatchStoppedDuringACopyLeavesNoPartFile) {
    writeFile(at("from/a.txt"), "a");
    BackgroundWatch watch;
    watch.start(this, {"--watch", "--watch-for", "60", "-s", "-y", at("from"), at("to")});
    ASSERT_TRUE(waitForText(at("watch-out.txt"), kFirstPass, 30000));
    // Whole before it comes: a file still being written is another case.
    writeFile(at("big.bin"), std::string(size_t{400} * 1024 * 1024, 'z'));
    fs::rename(at("big.bin"), at("from/big.bin"));
    // The stop comes once the copy has begun, or after it.
    Clock::time_point start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(10)) {
        bool begun = false;
        for (const auto& entry : fs::directory_iterator(at("to"))) begun = begun || entry.path().filename() != "a.txt";
        if (begun) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Outcome ended = watch.end(this);
    EXPECT_TRUE(ended.status == 0 || ended.status == 4) << ended.out << ended.err;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(at("to"))) names.push_back(entry.path().filename().string());
    for (const std::string& name : names) {
        EXPECT_TRUE(name == "a.txt" || name == "big.bin") << name;
        if (name == "big.bin") {
            EXPECT_EQ(fs::file_size(at("to/big.bin")), 400u * 1024 * 1024);
        }
    }
}
#endif

}  // namespace
