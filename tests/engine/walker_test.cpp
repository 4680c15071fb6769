#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/walker.h"
#include "support/test_support.h"

namespace {

// What the handlers saw, as paths relative to the walk's temporary folder.
struct Seen {
    std::vector<std::wstring> entries;
    std::vector<std::wstring> after;
    std::wstring stopAt;
    std::vector<std::wstring> refused;
};
Seen* seen = nullptr;
std::wstring base;

std::wstring relative(const WideString& path) {
    std::wstring text = fromWide(path);
    return text.size() >= base.size() ? text.substr(base.size()) : text;
}

bool onEntry(DirectoryWalker*, const WideString& path, const WideString&, const WideString&) {
    seen->entries.push_back(relative(path));
    return seen->entries.back() != seen->stopAt;
}

bool onAfter(DirectoryWalker*, const WideString& path, const WideString&, const WideString&) {
    seen->after.push_back(relative(path));
    return true;
}

#ifndef _WIN32
void onRefused(DirectoryWalker*, const WideString& path) { seen->refused.push_back(relative(path)); }
#endif

struct Walker : testing::Test {
    TempDir temp;
    Seen record;
    void SetUp() override {
        seen = &record;
        base = fromWide(temp.wide());
        writeFile(temp.at("tree/a.txt"), "a");
        writeFile(temp.at("tree/sub/b.txt"), "b");
        writeFile(temp.at("tree/sub/deep/c.txt"), "c");
        fs::create_directories(temp.at("tree/empty"));
    }
    std::wstring p(const wchar_t* text) { return fromWide(nativePath(text)); }
    size_t indexOf(const std::vector<std::wstring>& list, const wchar_t* text) {
        return std::find(list.begin(), list.end(), p(text)) - list.begin();
    }
};

TEST_F(Walker, PreOrderEntriesPostOrderDirectoriesAndCounts) {
    DirectoryWalker walker = makeWalker(onEntry, onAfter);
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_OK);
    EXPECT_EQ(walker.directoryCount, 3);
    EXPECT_EQ(walker.fileCount, 3);
    ASSERT_EQ(record.entries.size(), 6u);
    // A directory comes before its contents, its descent before the next sibling.
    EXPECT_LT(indexOf(record.entries, L"\\tree\\sub"), indexOf(record.entries, L"\\tree\\sub\\b.txt"));
    EXPECT_LT(indexOf(record.entries, L"\\tree\\sub\\deep"), indexOf(record.entries, L"\\tree\\sub\\deep\\c.txt"));
    // After-directory calls come after the contents, the root last of all.
    ASSERT_EQ(record.after.size(), 4u);
    EXPECT_EQ(record.after.back(), p(L"\\tree"));
    EXPECT_LT(indexOf(record.after, L"\\tree\\sub\\deep"), indexOf(record.after, L"\\tree\\sub"));

    // Counters run on across walks with the same record.
    walk(&walker, temp.wide("tree/empty"), WideString());
    EXPECT_EQ(walker.directoryCount, 3);
    EXPECT_EQ(record.after.back(), p(L"\\tree\\empty"));
}

TEST_F(Walker, RootWithTrailingSeparatorGivesTheSamePaths) {
    DirectoryWalker walker = makeWalker(onEntry, onAfter);
    walk(&walker, temp.wide("tree") + nativePath(L"\\"), WideString());
    std::vector<std::wstring> withSeparator = record.entries;
    EXPECT_EQ(record.after.back(), p(L"\\tree\\"));
    record = Seen();
    walk(&walker, temp.wide("tree"), WideString());
    std::sort(withSeparator.begin(), withSeparator.end());
    std::sort(record.entries.begin(), record.entries.end());
    EXPECT_EQ(withSeparator, record.entries);
}

TEST_F(Walker, SettingsNarrowWhatIsHandedOver) {
    DirectoryWalker walker = makeWalker(onEntry, onAfter);
    walker.visitFiles = false;
    walk(&walker, temp.wide("tree"), WideString());
    EXPECT_EQ(walker.fileCount, 0);
    EXPECT_EQ(walker.directoryCount, 3);
    EXPECT_EQ(record.entries.size(), 3u);

    record = Seen();
    walker = makeWalker(onEntry, onAfter);
    walker.recurse = false;
    walk(&walker, temp.wide("tree"), WideString());
    EXPECT_EQ(record.entries.size(), 3u);  // a.txt, sub, empty
    ASSERT_EQ(record.after.size(), 1u);    // the root only
}

TEST_F(Walker, FailuresAndStops) {
    DirectoryWalker walker = makeWalker(nullptr, nullptr);
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_NO_HANDLER);

    walker = makeWalker(onEntry, onAfter);
    EXPECT_EQ(walk(&walker, WideString(), WideString()), WALK_OK);
    EXPECT_TRUE(record.entries.empty());
    EXPECT_EQ(walk(&walker, temp.wide("missing"), WideString()), WALK_FIND_ERROR);

    walker.cancelled = true;
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_BROKEN);
    EXPECT_TRUE(record.entries.empty());

    // A handler that refuses a directory stops before entering it; no
    // directory still open gets its after-directory call.
    walker = makeWalker(onEntry, onAfter);
    record.stopAt = p(L"\\tree\\sub");
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_BROKEN);
    EXPECT_EQ(record.entries.back(), p(L"\\tree\\sub"));
    for (const std::wstring& directory : record.after) {
        EXPECT_NE(directory, p(L"\\tree"));
        EXPECT_NE(directory, p(L"\\tree\\sub"));
    }
}

// A directory of more names than one read of the system brings hands each
// over once; a walker keeping names gives the after-directory handler all of
// them, each marked entered only when the walk went through it.
TEST_F(Walker, BigDirectoryHandsEachNameOnceAndKeepsThem) {
    const int count = 1000;
    std::string stem(56, 'n');
    for (int i = 0; i < count; ++i) writeFile(temp.at("tree/big/" + stem + std::to_string(i)), "");
    fs::create_directories(temp.at("tree/big/inner"));
    static std::vector<ListedName> kept;
    auto after = [](DirectoryWalker* walker, const WideString& path, const WideString&, const WideString&) {
        if (relative(path) == fromWide(nativePath(L"\\tree\\big"))) kept = walker->completedNames;
        return true;
    };
    DirectoryWalker walker = makeWalker(onEntry, after);
    walker.keepNames = true;
    EXPECT_EQ(walk(&walker, temp.wide("tree/big"), WideString()), WALK_OK);
    std::vector<std::wstring> names = record.entries;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(walker.fileCount, count);
    ASSERT_EQ(kept.size(), static_cast<size_t>(count) + 1);
    for (const ListedName& name : kept) EXPECT_EQ(name.entered, name.name == L"inner");
}

TEST_F(Walker, HandlersReceiveTheTextsInOrder) {
    static std::vector<std::wstring> texts;
    static void* data = nullptr;
    texts.clear();
    auto handler = [](DirectoryWalker* walker, const WideString& entry, const WideString& root,
                      const WideString& other) {
        if (texts.empty()) {
            for (const WideString* text : {&entry, &root, &other}) texts.push_back(fromWide(*text));
            data = walker->data;
        }
        return true;
    };
    DirectoryWalker walker = makeWalker(handler, nullptr);
    int mine = 0;
    walker.data = &mine;
    walk(&walker, temp.wide("tree/empty"), WideString(L"O"));
    EXPECT_TRUE(texts.empty());
    walk(&walker, temp.wide("tree/sub/deep"), WideString(L"O"));
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[1], fromWide(temp.wide("tree/sub/deep")));
    EXPECT_EQ(texts[2], L"O");
    EXPECT_EQ(data, &mine);
}

#ifndef _WIN32
// A link back to a directory of the walk's own path would make it endless.
TEST_F(Walker, LinkLoopIsNotEnteredAgain) {
    fs::create_directory_symlink(temp.at("tree"), temp.at("tree/sub/back"));
    fs::create_directory_symlink(temp.at("tree/empty"), temp.at("tree/sub/side"));
    DirectoryWalker walker = makeWalker(onEntry, onAfter);
    walker.loopHandler = onRefused;
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_OK);
    ASSERT_EQ(record.refused.size(), 1u);
    EXPECT_EQ(record.refused[0], p(L"\\tree\\sub\\back"));
    // The link itself is handed over; a link that loops nowhere is entered.
    EXPECT_LT(indexOf(record.entries, L"\\tree\\sub\\back"), record.entries.size());
    EXPECT_LT(indexOf(record.after, L"\\tree\\sub\\side"), record.after.size());

    record = Seen();
    walker = makeWalker(onEntry, onAfter);
    walker.enterLinks = false;
    walk(&walker, temp.wide("tree"), WideString());
    EXPECT_TRUE(record.refused.empty());
    EXPECT_EQ(indexOf(record.after, L"\\tree\\sub\\side"), record.after.size());
}
#endif

bool passesAll(const DirectoryWalker*, const WideString&, const WideString&, const WideString&) { return true; }
bool passesNone(const DirectoryWalker*, const WideString&, const WideString&, const WideString&) { return false; }

TEST_F(Walker, AvoidedDirectoryIsNeverEntered) {
    struct Case {
        const char* name;
        PassHandler passesBy;
        bool handedOver;  // the avoided directory reaches the handler
    };
    const Case cases[] = {
        {"asked before it is handed over", nullptr, false},
        {"asked, the handler not passing it by", passesNone, false},
        // The test says it is passed by, yet the handler lets the walk enter
        // it: asked then, and still not entered.
        {"passed by, asked once it is to be entered", passesAll, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        record = Seen();
        DirectoryWalker walker = makeWalker(onEntry, onAfter);
        ASSERT_TRUE(platformDirectoryIdentity(temp.wide("tree/sub").buffer, &walker.avoided));
        walker.avoidIdentity = true;
        walker.passesBy = c.passesBy;
        walk(&walker, temp.wide("tree"), WideString());
        EXPECT_EQ(indexOf(record.entries, L"\\tree\\sub") < record.entries.size(), c.handedOver);
        EXPECT_EQ(indexOf(record.entries, L"\\tree\\sub\\b.txt"), record.entries.size());
        EXPECT_EQ(indexOf(record.after, L"\\tree\\sub"), record.after.size());
        // What is not avoided is entered as ever.
        EXPECT_LT(indexOf(record.after, L"\\tree\\empty"), record.after.size());
    }
}

}  // namespace

namespace {

// Entries whose listed status the handler saw, and those that differed from a query.
int listedKnown = 0;
std::vector<std::wstring> listedWrong;

bool compareListed(DirectoryWalker* walker, const WideString& path, const WideString&, const WideString&) {
    if (!walker->current.statusKnown) return true;
    ++listedKnown;
    const EntryStatus& listed = walker->current.status;
    EntryStatus queried{};
    bool same = platformQueryEntry(path.buffer, &queried) && listed.isDirectory == queried.isDirectory &&
                listed.isRegular == queried.isRegular && listed.attributeWord == queried.attributeWord &&
                listed.modifiedSeconds == queried.modifiedSeconds &&
                (listed.isDirectory || listed.size == queried.size);
    if (!same) listedWrong.push_back(fromWide(path));
    return true;
}

}  // namespace

// Where the listing tells an entry's status (Windows' find data), the copy
// walk compares by it instead of asking again: it must be what a query says,
// for files of any size and time, read-only ones and directories alike.
TEST_F(Walker, ListedStatusIsWhatAQuerySays) {
    writeFile(temp.at("tree/sub/big.bin"), std::string(70000, 'x'));
    shiftModified(temp.at("tree/sub/big.bin"), -86400 * 400);
    shiftModified(temp.at("tree/a.txt"), 7);
    fs::permissions(temp.at("tree/sub/deep/c.txt"), fs::perms::owner_write, fs::perm_options::remove);
    DirectoryWalker walker = makeWalker(compareListed, nullptr);
    listedKnown = 0;
    listedWrong.clear();
    EXPECT_EQ(walk(&walker, temp.wide("tree"), WideString()), WALK_OK);
    EXPECT_EQ(listedWrong, std::vector<std::wstring>{});
    EXPECT_EQ(listedKnown, onWindows() ? 7 : 0);  // no listing here tells times and sizes
    fs::permissions(temp.at("tree/sub/deep/c.txt"), fs::perms::owner_write, fs::perm_options::add);
}
