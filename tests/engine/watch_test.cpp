// A watch's batches: which entries the changes told bring into a run, and
// a mirror of a batch that looks at those alone and deletes nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/separator.h"
#include "engine/folder_run.h"
#include "engine/run_log.h"
#include "engine/watch.h"
#include "support/recording_host.h"

namespace {

// A path below From written with '/', as the platform spells it.
std::wstring below(const char* path) {
    std::wstring text;
    for (const char* at = path; *at; ++at) text += *at == '/' ? PATH_SEPARATOR : static_cast<wchar_t>(*at);
    return text;
}

// What a batch of notices must take (look at, or enter on the way) and leave.
struct ScopeCase {
    const char* name;
    std::vector<WatchNotice> notices;
    std::vector<const char*> taken;    // entries handed over (a folder: "name/")
    std::vector<const char*> entered;  // folders entered
    std::vector<const char*> left;     // entries not handed over at all (a folder: "name/")
};

WatchNotice notice(int kind, const char* path) { return WatchNotice{kind, below(path), false}; }

const std::vector<ScopeCase>& scopeCases() {
    static const std::vector<ScopeCase> cases = {
        {"a file changed deep down",
         {notice(WATCH_CHANGED, "a/b/c.txt")},
         {"a/", "a/b/", "a/b/c.txt", "a/b/other.txt", "a/b/sub/"},
         {"a", "a/b"},
         {"a/x.txt", "top.txt", "z/", "a/b/sub/d.txt"}},
        {"a file at the top", {notice(WATCH_CHANGED, "top.txt")}, {"top.txt", "z/", "a/"}, {}, {"a/x.txt"}},
        {"a folder came: walked whole",
         {notice(WATCH_FOLDER_IN, "a/new")},
         {"a/", "a/x.txt", "a/new/", "a/new/f.txt", "a/new/deep/", "a/new/deep/g.txt"},
         {"a", "a/new", "a/new/deep"},
         {"top.txt", "a/b/c.txt"}},
        {"changes lost below a folder: walked whole",
         {WatchNotice{WATCH_LOST, below("z"), false}},
         {"z/", "z/q/", "z/q/r.txt", "top.txt"},
         {"z", "z/q"},
         {"a/x.txt"}},
        {"changes lost anywhere: everything",
         {WatchNotice{WATCH_LOST, L"", false}},
         {"z/q/r.txt", "a/b/c.txt", "top.txt"},
         {"a", "z/q"},
         {}},
        {"two changes in two branches",
         {notice(WATCH_CHANGED, "a/b/c.txt"), notice(WATCH_CHANGED, "z/q/r.txt")},
         {"a/b/c.txt", "z/q/r.txt", "z/q/"},
         {"a/b", "z/q"},
         {"a/x.txt", "z/y.txt", "top.txt"}},
    };
    return cases;
}

// The path of relative below a root "R", and whether it names a folder.
WideString entryOf(const char* relative, bool* isDirectory) {
    std::wstring text = below(relative);
    *isDirectory = !text.empty() && text.back() == PATH_SEPARATOR;
    if (*isDirectory) text.pop_back();
    return WideString((std::wstring(L"R") + PATH_SEPARATOR + text).c_str());
}

TEST(WatchScopes, NoticesBringTheirFoldersIntoARun) {
    const WideString root(L"R");
    for (const ScopeCase& c : scopeCases()) {
        WatchScope scope;
        for (const WatchNotice& told : c.notices) addToScope(&scope, told);
        bool isDirectory = false;
        bool enters = false;
        for (const char* entry : c.taken) {
            WideString path = entryOf(entry, &isDirectory);
            EXPECT_TRUE(scopeTakes(&scope, path, root, isDirectory, &enters)) << c.name << ": " << entry;
        }
        for (const char* folder : c.entered) {
            EXPECT_TRUE(scopeEnters(scope, below(folder))) << c.name << ": " << folder;
        }
        for (const char* entry : c.left) {
            WideString path = entryOf(entry, &isDirectory);
            EXPECT_FALSE(scopeTakes(&scope, path, root, isDirectory, &enters)) << c.name << ": " << entry;
        }
    }
}

TEST(WatchScopes, ABurstOfChangesBecomesTheWholeTree) {
    WatchScope scope;
    for (size_t i = 0; i <= kMostWatchedFolders; ++i) {
        addToScope(&scope, WatchNotice{WATCH_CHANGED, L"f" + std::to_wstring(i) + PATH_SEPARATOR + L"x", false});
    }
    EXPECT_TRUE(scope.whole);
    EXPECT_TRUE(scope.levels.empty() && scope.trees.empty() && scope.onTheWay.empty());
    // Merged into another, the whole tree stays whole.
    WatchScope other;
    addToScope(&other, WatchNotice{WATCH_CHANGED, L"a", false});
    mergeScope(&other, scope);
    EXPECT_TRUE(other.whole);
}

struct WatchBatchRun : FolderPairTest {};

// A batch's mirror brings over what changed where it looks, deletes what
// From lacks there, and leaves every other difference to its own batch.
TEST_F(WatchBatchRun, LooksAtTheChangedFoldersAlone) {
    for (const char* side : {"from", "to"}) {
        std::string root(side);
        writeFile(temp.at(root + "/a/b/c.txt"), "c");
        writeFile(temp.at(root + "/z/y.txt"), "y");
    }
    writeFile(temp.at("from/a/b/c.txt"), "c changed");
    writeFile(temp.at("to/a/b/gone.txt"), "deleted in From");
    writeFile(temp.at("from/z/y.txt"), "y changed, not told");
    writeFile(temp.at("to/z/surplus.txt"), "not told either");
    writeFile(temp.at("from/a/b/new/n.txt"), "a folder To lacks");
    openRunLog(temp.wide("logs/korvaneui.log"));
    WatchScope scope;
    addToScope(&scope, WatchNotice{WATCH_CHANGED, below("a/b/c.txt"), false});
    addToScope(&scope, WatchNotice{WATCH_CHANGED, below("a/b/gone.txt"), false});
    RunOptions options;
    options.synchronous = true;
    options.moves = true;
    options.folderTimes = true;
    options.scope = &scope;
    RunTally tally;
    EXPECT_EQ(folderRunWithOptions(options, &tally, from, to, {}), RUN_OK);
    closeRunLog();
    EXPECT_EQ(readFile(temp.at("to/a/b/c.txt")), "c changed");
    EXPECT_FALSE(fs::exists(temp.at("to/a/b/gone.txt")));
    // A folder To lacked where the batch looked is brought over whole, told or not.
    EXPECT_EQ(readFile(temp.at("to/a/b/new/n.txt")), "a folder To lacks");
    EXPECT_EQ(readFile(temp.at("to/z/y.txt")), "y");
    EXPECT_TRUE(fs::exists(temp.at("to/z/surplus.txt")));
}

}  // namespace
