// A walk whose listings are read ahead hands over what a walk of its own would, in its order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/walker.h"
#include "fs/paths.h"
#include "support/test_support.h"

namespace {

// What a walk handed over, and what it was told was asked ahead.
struct Record {
    std::vector<std::wstring> entries;  // each entry, marked d (directory) or l (link)
    std::vector<std::wstring> after;    // the directories it went through
    std::vector<std::wstring> wrong;    // statuses asked ahead that a query now contradicts
    int sourceKnown = 0;                // entries asked ahead on the From side
    int targetKnown = 0;                // and on the To side
    int counterparts = 0;               // folders whose counterpart was listed ahead
    int stopAfter = -1;                 // ask for a stop once this many entries were handed over
    int breakAfter = -1;                // refuse the entry after this many
    bool skipOdd = false;               // enter no folder whose name ends in an odd digit
    void (*atFirst)() = nullptr;        // called once the first entry handed over is looked at
};
Record* record = nullptr;
std::wstring base;

std::wstring relative(const WideString& path) { return fromWide(path).substr(base.size()); }

bool sameStatus(const EntryStatus& a, const EntryStatus& b) {
    return a.isDirectory == b.isDirectory && a.size == b.size && a.modifiedSeconds == b.modifiedSeconds &&
           a.modifiedNanoseconds == b.modifiedNanoseconds && a.attributeWord == b.attributeWord;
}

bool onEntry(DirectoryWalker* walker, const WideString& path, const WideString& walkRoot, const WideString& otherRoot) {
    std::wstring mark = walker->current.isLink ? L" l" : walker->current.isDirectory ? L" d" : L"";
    record->entries.push_back(relative(path) + mark);
    const AheadStatuses& found = walker->aheadFound;
    EntryStatus now;
    if (found.sourceKnown) {
        ++record->sourceKnown;
        if (!platformQueryEntry(path.buffer, &now) || !sameStatus(now, found.source)) {
            record->wrong.push_back(relative(path));
        }
    }
    if (found.targetKnown) {
        ++record->targetKnown;
        WideString target = counterpartPath(path, walkRoot, otherRoot);
        if (!platformQueryEntry(target.buffer, &now) || !sameStatus(now, found.target)) {
            record->wrong.push_back(L"to: " + relative(path));
        }
    }
    wchar_t last = path.buffer[path.length - 1];
    if (record->skipOdd && walker->current.isDirectory && last >= L'0' && last <= L'9' && (last - L'0') % 2 == 1) {
        walker->skipDescent = true;
    }
    int count = static_cast<int>(record->entries.size());
    if (count == 1 && record->atFirst) record->atFirst();
    if (count == record->stopAfter) platformRequestStop();
    return count != record->breakAfter;
}

// The names the folder at path holds now, a folder's marked with a separator, sorted.
std::vector<std::wstring> namesIn(const std::vector<TargetName>& listed) {
    std::vector<std::wstring> names;
    for (const TargetName& one : listed) names.push_back(one.name + (one.isDirectory ? L"/" : L""));
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> namesIn(const WideString& path) {
    std::vector<TargetName> listed;
    int reason = 0;
    WideString folder = path;
    folder.AppendSeparator();
    DirectoryListing* listing = platformOpenListing(folder.buffer, &reason);
    DirectoryEntry entry;
    while (listing && platformNextEntry(listing, &entry)) {
        if (!isDotEntry(entry.name)) listed.push_back(TargetName{entry.name, entry.isDirectory, entry.isLink});
    }
    if (listing) platformCloseListing(listing);
    return namesIn(listed);
}

// A counterpart listed ahead must hold what the counterpart holds now.
bool onAfter(DirectoryWalker* walker, const WideString& path, const WideString& walkRoot, const WideString& otherRoot) {
    record->after.push_back(relative(path));
    const CounterpartListing& listed = walker->aheadCounterpart;
    if (listed.known) {
        ++record->counterparts;
        if (namesIn(listed.names) != namesIn(counterpartPath(path, walkRoot, otherRoot))) {
            record->wrong.push_back(L"listed: " + relative(path));
        }
    }
    return true;
}

// From: wide (folders side by side), deep (a chain of folders), a folder
// bigger than a few reads with folders among its files, empty folders and,
// where the system has them, a link to a folder and one to a file. To holds
// half of the files, some alike, some not.
struct ReadAheadWalk : testing::Test {
    TempDir temp;
    Record seen;
    void SetUp() override {
        record = &seen;
        base = fromWide(temp.wide());
        for (int folder = 0; folder < 40; ++folder) {
            std::string name = "from/wide/f" + std::to_string(folder);
            for (int file = 0; file < 3; ++file) writeFile(temp.at(name + "/x" + std::to_string(file)), "wide");
            if (folder % 4 == 0) fs::create_directories(temp.at(name + "/empty"));
        }
        std::string deep = "from/deep";
        for (int level = 0; level < 40; ++level) deep += "/l" + std::to_string(level);
        writeFile(temp.at(deep + "/bottom.txt"), "bottom");
        for (int file = 0; file < 700; ++file) {
            std::string name = "from/big/n" + std::to_string(file);
            writeFile(temp.at(name), std::string(static_cast<size_t>(file % 50), 'b'));
            if (file % 100 == 0) writeFile(temp.at(name + "d/inner.txt"), "inner");
            if (file % 2 == 0) {
                writeFile(temp.at("to/big/n" + std::to_string(file)), std::string(static_cast<size_t>(file % 7), 'c'));
            }
        }
        fs::create_directories(temp.at("to/wide/f1"));
        writeFile(temp.at("to/wide/f1/x0"), "wide");
        if (!onWindows()) {
            fs::create_directory_symlink(temp.at("from/wide/f2"), temp.at("from/linked"));
            fs::create_symlink(temp.at("from/big/n1"), temp.at("from/linked.txt"));
        }
    }
    // The walk of from with this many readers, and what it returned.
    int walkWith(int readers) {
        seen.entries.clear();
        seen.after.clear();
        seen.sourceKnown = 0;
        seen.targetKnown = 0;
        seen.counterparts = 0;
        DirectoryWalker walker = makeWalker(onEntry, onAfter);
        walker.readAhead.readers = readers;
        walker.readAhead.listsCounterparts = true;
        return walk(&walker, temp.wide("from"), temp.wide("to"));
    }
};

TEST_F(ReadAheadWalk, HandsOverWhatAWalkOfItsOwnDoesInItsOrder) {
    struct Case {
        int readers;
        bool skipOdd;
    };
    const Case cases[] = {{1, false}, {2, false}, {8, false}, {2, true}, {8, true}};
    for (bool skipOdd : {false, true}) {
        seen.skipOdd = skipOdd;
        ASSERT_EQ(walkWith(0), WALK_OK);
        std::vector<std::wstring> entries = seen.entries;
        std::vector<std::wstring> after = seen.after;
        EXPECT_EQ(seen.sourceKnown, 0);
        for (const Case& c : cases) {
            if (c.skipOdd != skipOdd) continue;
            SCOPED_TRACE(testing::Message() << c.readers << " readers" << (skipOdd ? ", odd folders passed by" : ""));
            ASSERT_EQ(walkWith(c.readers), WALK_OK);
            EXPECT_EQ(seen.entries, entries);
            EXPECT_EQ(seen.after, after);
            EXPECT_EQ(seen.wrong, std::vector<std::wstring>{});
            // Where listings tell no statuses, every entry but the links is
            // asked ahead; in To, what stands there: big and its even files,
            // wide, wide/f1 and, where f1 is entered, wide/f1/x0.
            if (onWindows()) continue;
            EXPECT_EQ(seen.sourceKnown, static_cast<int>(entries.size()) - 2);
            EXPECT_EQ(seen.targetKnown, 1 + 350 + 2 + (skipOdd ? 0 : 1));
            // The counterparts that stand (to, big, wide, wide/f1) are listed ahead, unless the walk came first.
            EXPECT_GE(seen.counterparts, 1);
            EXPECT_LE(seen.counterparts, skipOdd ? 3 : 4);
        }
    }
}

TEST_F(ReadAheadWalk, StopsBreaksAndFailuresEndAsAWalkOfItsOwn) {
    for (int readers : {0, 2, 8}) {
        SCOPED_TRACE(testing::Message() << readers << " readers");
        seen.stopAfter = 300;
        EXPECT_EQ(walkWith(readers), WALK_BROKEN);
        EXPECT_EQ(seen.entries.size(), 300u);
        platformClearStop();
        seen.stopAfter = -1;

        // Left in the middle of the big folder, whose readers are ahead of it.
        seen.breakAfter = 150;
        EXPECT_EQ(walkWith(readers), WALK_BROKEN);
        EXPECT_EQ(seen.entries.size(), 150u);
        seen.breakAfter = -1;

        DirectoryWalker walker = makeWalker(onEntry, onAfter);
        walker.readAhead.readers = readers;
        EXPECT_EQ(walk(&walker, temp.wide("missing"), temp.wide("to")), WALK_FIND_ERROR);
        EXPECT_EQ(walker.failedDirectory.length > 0, true);
    }
}

// Folders of a file each on both sides, which change once the readers
// have looked: From's files grow, a file comes beside each, To's go, and
// one comes in To's root.
TempDir* changing = nullptr;

void changeAll() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the readers read it all meanwhile
    for (int folder = 0; folder < 6; ++folder) {
        std::string name = "d" + std::to_string(folder);
        writeFile(changing->at("from/" + name + "/x"), "newer and longer");
        writeFile(changing->at("from/" + name + "/added"), "added");
        fs::remove(changing->at("to/" + name + "/x"));
    }
    writeFile(changing->at("to/surplus"), "surplus");            // To's root as listed ahead lacks it
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // what they read is older than they may stand for
}

TEST(ReadAheadFresh, WhatChangedSinceTheReadersLookedIsSeenOnceTheirLookIsOld) {
    for (int readers : {1, 2, 8}) {
        SCOPED_TRACE(testing::Message() << readers << " readers");
        TempDir temp;
        changing = &temp;
        for (int folder = 0; folder < 6; ++folder) {
            std::string name = "d" + std::to_string(folder);
            writeFile(temp.at("from/" + name + "/x"), "old");
            writeFile(temp.at("to/" + name + "/x"), "old");
        }
        Record seen;
        record = &seen;
        base = fromWide(temp.wide());
        seen.atFirst = changeAll;
        DirectoryWalker walker = makeWalker(onEntry, onAfter);
        walker.readAhead.readers = readers;
        walker.readAhead.freshForMs = 20;
        walker.readAhead.listsCounterparts = true;
        ASSERT_EQ(walk(&walker, temp.wide("from"), temp.wide("to")), WALK_OK);
        for (int folder = 0; folder < 6; ++folder) {
            std::wstring added = fromWide(nativePath((L"\\from\\d" + std::to_wstring(folder) + L"\\added").c_str()));
            EXPECT_NE(std::find(seen.entries.begin(), seen.entries.end(), added), seen.entries.end())
                << fromWide(WideString(added.c_str()));
        }
        EXPECT_EQ(seen.wrong, std::vector<std::wstring>{});
        EXPECT_LE(seen.targetKnown, 1);  // the first folder, told before the change; To's files went
    }
}

// The walk of from with readers, which read again whatever was read
// longer ago than freshForMs: the result, or -1 where it has not ended
// after a minute (its thread is then left as it stands).
int walkWithin(const WideString& from, const WideString& to, int readers, int freshForMs) {
    struct Walking {
        std::promise<int> done;
        DirectoryWalker walker;
    };
    auto* walking = new Walking{{}, makeWalker(onEntry, onAfter)};
    walking->walker.readAhead.readers = readers;
    walking->walker.readAhead.freshForMs = freshForMs;
    walking->walker.readAhead.listsCounterparts = true;
    std::future<int> result = walking->done.get_future();
    std::thread([walking, from, to] { walking->done.set_value(walk(&walking->walker, from, to)); }).detach();
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return -1;
    delete walking;
    return result.get();
}

// Listings read too long ago are read again by the walk, which finds the
// folders below them once more, some of them read ahead already, some big
// enough that their readers wait for the walk: each is read by one reader
// alone, every entry is handed over once, and the walk ends.
TEST(ReadAheadFresh, FoldersFoundAgainAreReadOnceAndTheWalkEnds) {
    struct Case {
        int readers;
        int freshForMs;
        const char* tree;
    };
    const Case cases[] = {{2, 0, "big"}, {3, 0, "big"}, {8, 0, "big"}, {8, 5, "small"}, {3, 5, "big"}, {2, 0, "small"}};
    TempDir temp;
    for (int folder = 0; folder < 6; ++folder) {
        std::string name = "d" + std::to_string(folder) + "/c/f";
        for (int file = 0; file < 700; ++file) writeFile(temp.at("big/" + name + std::to_string(file)), "x");
        for (int file = 0; file < 100; ++file) writeFile(temp.at("small/" + name + std::to_string(file)), "x");
    }
    fs::create_directories(temp.at("to"));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.readers << " readers, fresh for " << c.freshForMs << " ms, " << c.tree);
        Record seen;
        record = &seen;
        base = fromWide(temp.wide());
        ASSERT_EQ(walkWithin(temp.wide(c.tree), temp.wide("to"), c.readers, c.freshForMs), WALK_OK);
        std::vector<std::wstring> once = seen.entries;
        std::sort(once.begin(), once.end());
        once.erase(std::unique(once.begin(), once.end()), once.end());
        EXPECT_EQ(once.size(), seen.entries.size());
        EXPECT_EQ(seen.entries.size(), 12u + 6u * (std::string(c.tree) == "big" ? 700u : 100u));
    }
}

}  // namespace
