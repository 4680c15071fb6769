#include <gtest/gtest.h>

#include <vector>

#include "fs/paths.h"
#include "support/test_support.h"

namespace {

// The update test with the exact time comparison.
bool entriesDiffer(const WideString& source, const WideString& target) {
    EntryState sourceState;
    EntryState targetState;
    return entriesDifferWith(source, target, &sourceState, &targetState, 0, nullptr);
}

// Modification time and size as one status query reads them.
bool getTimeAndSize(const WideString& path, int64_t* modified, int64_t* size) {
    EntryStatus status;
    if (!platformQueryEntry(path.buffer, &status)) return false;
    *modified = status.modifiedSeconds;
    *size = status.size;
    return true;
}

TEST(Paths, DriveRoots) {
    struct Case {
        const wchar_t* path;
        bool expected;
    };
#ifdef _WIN32
    const std::vector<Case> cases = {{L"C:", true},  {L"C:\\", true}, {L"C:\\\\", false},    {L"C:\\data", false},
                                     {L"\\", false}, {L"", false},    {L"C:\\data\\", false}};
#else
    const std::vector<Case> cases = {{L"/", true}, {L"//", true},      {L"///", false}, {L"/data", false},
                                     {L"", false}, {L"/data/", false}, {L"data", false}};
#endif
    for (const Case& c : cases) {
        EXPECT_EQ(isDriveRoot(WideString(c.path)), c.expected) << fromWide(WideString(c.path));
    }
}

TEST(Paths, ExistenceTestsDropOneTrailingSeparator) {
    TempDir temp;
    writeFile(temp.at("file.txt"), "x");
    fs::create_directories(temp.at("dir"));
    WideString dir = temp.wide("dir");
    WideString file = temp.wide("file.txt");
    WideString sep = nativePath(L"\\");

    EXPECT_TRUE(directoryExists(dir));
    EXPECT_TRUE(directoryExists(dir + sep));
    EXPECT_FALSE(fileExists(dir));
    EXPECT_FALSE(directoryExists(file));
    EXPECT_FALSE(directoryExists(file + sep));
    EXPECT_TRUE(fileExists(file));
    EXPECT_TRUE(fileExists(file + sep));
    // Only one is dropped: two trailing separators name nothing.
    EXPECT_FALSE(fileExists(file + sep + sep));
    EXPECT_FALSE(directoryExists(dir + sep + sep));
    EXPECT_FALSE(fileExists(temp.wide("missing")));
    EXPECT_FALSE(directoryExists(WideString()));
    EXPECT_FALSE(fileExists(WideString()));
#ifdef _WIN32
    EXPECT_TRUE(directoryExists(WideString(L"C:")));
    EXPECT_TRUE(directoryExists(WideString(L"C:\\")));
    EXPECT_FALSE(directoryExists(WideString(L"\\")));
#else
    EXPECT_TRUE(directoryExists(WideString(L"/")));
#endif
}

TEST(Paths, CreateDirectoryPathMakesOnlyMissingLevels) {
    TempDir temp;
    Changes changes;
    fs::create_directories(temp.at("a"));
    EXPECT_TRUE(createDirectoryPath(&changes, WideString()));
    EXPECT_TRUE(createDirectoryPath(&changes, temp.wide("a")));
    EXPECT_TRUE(createDirectoryPath(&changes, temp.wide("a/b")));
    EXPECT_TRUE(fs::is_directory(temp.at("a/b")));
    EXPECT_TRUE(createDirectoryPath(&changes, temp.wide("x/y/z") + nativePath(L"\\")));
    EXPECT_TRUE(fs::is_directory(temp.at("x/y/z")));

    writeFile(temp.at("blocker"), "file");
    EXPECT_FALSE(createDirectoryPath(&changes, temp.wide("blocker/sub")));
}

// The levels are made from the root level on: a drive or a share is the
// root, never created; below it one level per separator, in order.
TEST(Paths, DirectoryLevelsStartAtTheRootLevel) {
    struct Case {
        const wchar_t* path;
        std::vector<std::wstring> levels;  // the root level first, marked with a leading '*'
    };
#ifdef _WIN32
    const std::vector<Case> cases = {
        {L"C:\\a\\b", {L"*C:\\", L"C:\\a\\", L"C:\\a\\b"}},
        {L"C:", {L"*C:"}},
        {L"\\\\srv\\share\\a\\b", {L"*\\\\srv\\share\\", L"\\\\srv\\share\\a\\", L"\\\\srv\\share\\a\\b"}},
        {L"\\\\srv\\share", {L"*\\\\srv\\share"}},
        {L"\\\\srv\\share\\\\a", {L"*\\\\srv\\share\\", L"\\\\srv\\share\\\\a"}},
        {L"\\\\srv", {L"*\\\\srv"}},
        {L"\\\\srv\\", {L"*\\\\srv\\"}},
        {L"//srv/share/a\\b", {L"*//srv/share/", L"//srv/share/a\\", L"//srv/share/a\\b"}},
        {L"\\\\?\\C:\\a", {L"*\\\\?\\C:\\", L"\\\\?\\C:\\a"}},
        {L"\\\\?\\UNC\\srv\\share\\a", {L"*\\\\?\\UNC\\srv\\share\\", L"\\\\?\\UNC\\srv\\share\\a"}},
        {L"a\\b", {L"a\\", L"a\\b"}},
        {L"C:a\\b", {L"C:a\\", L"C:a\\b"}},
        {L"\\a", {L"\\", L"\\a"}},  // the root of the current drive is no root level: it fails as it did
    };
#else
    const std::vector<Case> cases = {
        {L"/a/b", {L"*/", L"/a/", L"/a/b"}},
        {L"//a", {L"*/", L"//a"}},
        {L"a/b/", {L"a/", L"a/b/"}},
        {L"a//b", {L"a/", L"a//b"}},
        {L"", {}},
    };
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<std::wstring> levels;
        for (const DirectoryLevel& level : directoryLevels(WideString(c.path))) {
            levels.push_back((level.root ? L"*" : L"") + fromWide(level.path));
        }
        EXPECT_EQ(levels, c.levels);
    }
}

TEST(Paths, CreateDirectoryLikeCarriesTheAttributeWord) {
    TempDir temp;
    Changes changes;
    fs::create_directories(temp.at("source"));
    changeDirectoryAttributes(temp.at("source"));
    EXPECT_TRUE(entriesDiffer(temp.wide("source"), temp.wide("target")));
    ASSERT_TRUE(createDirectoryLike(&changes, temp.wide("source"), temp.wide("target")));
    EXPECT_FALSE(entriesDiffer(temp.wide("source"), temp.wide("target")));
#ifdef _WIN32
    EXPECT_TRUE(createDirectoryLike(&changes, temp.wide("source"), WideString(L"C:\\")));
#endif
}

TEST(Paths, UpdateTestComparesTimeAndSize) {
    TempDir temp;
    writeFile(temp.at("a"), "same");
    writeFile(temp.at("b"), "diff");
    copyModified(temp.at("a"), temp.at("b"));
    EXPECT_FALSE(entriesDiffer(temp.wide("a"), temp.wide("b")));  // contents not compared

    shiftModified(temp.at("b"), 1);
    EXPECT_TRUE(entriesDiffer(temp.wide("a"), temp.wide("b")));  // newer differs too
    shiftModified(temp.at("b"), -2);
    EXPECT_TRUE(entriesDiffer(temp.wide("a"), temp.wide("b")));

    writeFile(temp.at("c"), "longer");
    copyModified(temp.at("a"), temp.at("c"));
    EXPECT_TRUE(entriesDiffer(temp.wide("a"), temp.wide("c")));
    EXPECT_TRUE(entriesDiffer(temp.wide("a"), temp.wide("missing")));
    EXPECT_TRUE(entriesDiffer(temp.wide("missing"), temp.wide("a")));

    // A file facing a directory of the same name always differs.
    fs::create_directories(temp.at("d"));
    EXPECT_TRUE(entriesDiffer(temp.wide("a"), temp.wide("d")));
    EXPECT_TRUE(entriesDiffer(temp.wide("d"), temp.wide("a")));

    fs::create_directories(temp.at("e"));
    EXPECT_FALSE(entriesDiffer(temp.wide("d"), temp.wide("e")));
    changeDirectoryAttributes(temp.at("d"));
    EXPECT_TRUE(entriesDiffer(temp.wide("d"), temp.wide("e")));

    int64_t time = 0;
    int64_t size = 0;
    ASSERT_TRUE(getTimeAndSize(temp.wide("c"), &time, &size));
    EXPECT_EQ(size, 6);
    EXPECT_FALSE(getTimeAndSize(temp.wide("missing"), &time, &size));
}

#ifndef _WIN32
// Sizes and times are 64-bit: files past 4 GiB compare by their real size.
TEST(Paths, FilesBeyondFourGibibytesCompareBySize) {
    TempDir temp;
    const auto big = static_cast<std::uintmax_t>(5) << 30;
    writeFile(temp.at("big"), "");
    fs::resize_file(temp.at("big"), big);
    writeFile(temp.at("copy"), "");
    fs::resize_file(temp.at("copy"), big);
    writeFile(temp.at("other"), "");
    fs::resize_file(temp.at("other"), big + 4096);
    copyModified(temp.at("big"), temp.at("copy"));
    copyModified(temp.at("big"), temp.at("other"));
    EXPECT_FALSE(entriesDiffer(temp.wide("big"), temp.wide("copy")));
    EXPECT_TRUE(entriesDiffer(temp.wide("big"), temp.wide("other")));

    int64_t time = 0;
    int64_t size = 0;
    ASSERT_TRUE(getTimeAndSize(temp.wide("big"), &time, &size));
    EXPECT_EQ(size, static_cast<int64_t>(big));

    // A time past 2038 survives as well.
    auto later = fs::last_write_time(temp.at("copy")) + std::chrono::hours(24 * 365 * 30);
    fs::last_write_time(temp.at("copy"), later);
    ASSERT_TRUE(getTimeAndSize(temp.wide("copy"), &time, &size));
    EXPECT_GT(time, int64_t{2147483647});
    EXPECT_TRUE(entriesDiffer(temp.wide("big"), temp.wide("copy")));
}
#endif

TEST(Paths, CounterpartPaths) {
    struct Case {
        const wchar_t* path;
        const wchar_t* root;
        const wchar_t* otherRoot;
        const wchar_t* counterpart;
    };
    const std::vector<Case> cases = {
        {L"C:\\data\\x\\y.txt", L"C:\\data", L"D:\\b", L"D:\\b\\x\\y.txt"},
        {L"C:\\data", L"C:\\data", L"D:\\b", L"D:\\b"},
        {L"C:\\DATA\\x", L"C:\\data", L"D:\\b", L"D:\\b"},
        {L"C:\\database\\x", L"C:\\data", L"D:\\b", L"D:\\b\\base\\x"},
        {L"D:\\backup\\x\\y.txt", L"D:\\backup", L"C:\\data", L"C:\\data\\x\\y.txt"},
        {L"D:\\backup\\x\\y.txt", L"D:\\backup\\", L"C:\\data", L"C:\\data\\x\\y.txt"},
        {L"D:\\backup\\x\\y.txt", L"D:\\backup", L"C:\\", L"C:\\x\\y.txt"},
        {L"D:\\backup\\x\\y.txt", L"D:\\backup\\", L"C:\\", L"C:\\x\\y.txt"},
        {L"", L"C:\\data", L"D:\\b", L"D:\\b"},
    };
    for (const Case& c : cases) {
        WideString path = nativePath(c.path);
        WideString root = nativePath(c.root);
        SCOPED_TRACE(fromWide(path) + L" under " + fromWide(root));
        EXPECT_EQ(fromWide(counterpartPath(path, root, nativePath(c.otherRoot))), fromWide(nativePath(c.counterpart)));
    }
}

}  // namespace
