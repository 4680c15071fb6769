// Shell patterns against the rules of rsync's filter rules as its manual
// writes them, its own examples among the rows; then the folder runs that
// take them, on both sides of a mirror.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/pattern.h"
#include "engine/rule.h"
#include "engine/run_context.h"
#include "platform/platform.h"
#include "support/recording_host.h"
#include "support/test_support.h"

namespace {

// One pattern against one path below the root.
struct MatchCase {
    const wchar_t* pattern;
    const char32_t* path;  // "/" between names
    bool isDirectory;
    bool matches;
};

PathPattern patternOf(const wchar_t* text, bool excludes = true) {
    PathPattern pattern;
    std::wstring problem;
    EXPECT_TRUE(readPattern(text, excludes, &pattern, &problem)) << problem;
    return pattern;
}

TEST(Pattern, MatchTable) {
    const bool DIR = true;
    const bool FILE = false;
    const std::vector<MatchCase> cases = {
        // "- *.o" would exclude all filenames ending with .o
        {L"*.o", U"a.o", FILE, true},
        {L"*.o", U"sub/deep/b.o", FILE, true},
        {L"*.o", U"a.oo", FILE, false},
        {L"*.o", U"a.o/x", FILE, false},
        // "- /foo" would exclude a file (or directory) named foo in the transfer-root directory
        {L"/foo", U"foo", FILE, true},
        {L"/foo", U"foo", DIR, true},
        {L"/foo", U"sub/foo", FILE, false},
        // "- foo/" would exclude any directory named foo
        {L"foo/", U"foo", DIR, true},
        {L"foo/", U"a/b/foo", DIR, true},
        {L"foo/", U"foo", FILE, false},
        // "- foo/*/bar": any file/directory named bar two levels below a directory named foo
        {L"foo/*/bar", U"foo/x/bar", FILE, true},
        {L"foo/*/bar", U"top/foo/x/bar", DIR, true},
        {L"foo/*/bar", U"foo/bar", FILE, false},
        {L"foo/*/bar", U"foo/x/y/bar", FILE, false},
        // "- /foo/**/bar": bar two or more levels below a top-level foo; /foo/bar is not excluded by this
        {L"/foo/**/bar", U"foo/x/bar", FILE, true},
        {L"/foo/**/bar", U"foo/x/y/bar", FILE, true},
        {L"/foo/**/bar", U"foo/bar", FILE, false},
        {L"/foo/**/bar", U"top/foo/x/bar", FILE, false},
        // "foo" means the final path component must be "foo"; "foo/bar" the last two elements
        {L"foo", U"a/b/foo", FILE, true},
        {L"foo", U"a/foo/b", FILE, false},
        {L"foo/bar", U"a/foo/bar", FILE, true},
        {L"foo/bar", U"a/xfoo/bar", FILE, false},
        // "?" any single character but a slash, "*" non-slash characters, "**" slashes too
        {L"a?c", U"abc", FILE, true},
        {L"a?c", U"ac", FILE, false},
        {L"/a?c", U"a/c", FILE, false},
        {L"/a*c", U"a/b/c", FILE, false},
        {L"/a**c", U"a/b/c", FILE, true},
        {L"**.txt", U"deep/er/a.txt", FILE, true},
        {L"*", U"anything/at/all", FILE, true},
        // "[" introduces a character class, such as [a-z] or [[:alpha:]]
        {L"[a-c]x", U"bx", FILE, true},
        {L"[a-c]x", U"dx", FILE, false},
        {L"[!a-c]x", U"dx", FILE, true},
        {L"[^a-c]x", U"ax", FILE, false},
        {L"[[:digit:]]*", U"7up", FILE, true},
        {L"[[:digit:]]*", U"up", FILE, false},
        {L"[]]", U"]", FILE, true},
        {L"/a[/]b", U"a/b", FILE, false},  // a class never matches "/"
        {L"[unclosed", U"[unclosed", FILE, true},
        // "dir_name/***" matches the directory (as "dir_name/") and everything in it (as "dir_name/**")
        {L"cache/***", U"cache", DIR, true},
        {L"cache/***", U"cache", FILE, false},
        {L"cache/***", U"cache/x/y", FILE, true},
        {L"cache/***", U"a/cache/x", FILE, true},
        // a backslash escapes a wildcard only when the pattern holds one
        {L"foo\\bar", U"foo\\bar", FILE, true},
        {L"foo\\*", U"foo*", FILE, true},
        {L"foo\\*", U"foox", FILE, false},
        {L"foo\\\\bar*", U"foo\\barx", FILE, true},
        // names of any script, one character each
        {L"?.txt", U"\u00e9.txt", FILE, true},
        {L"?.txt", U"\U0001F600.txt", FILE, true},
        // case counts, as rsync's own does
        {L"*.TXT", U"a.txt", FILE, false},
    };
    for (const MatchCase& c : cases) {
        PathPattern pattern = patternOf(c.pattern);
        EXPECT_EQ(patternMatches(pattern, c.path, c.isDirectory), c.matches)
            << fromWide(WideString(c.pattern)) << " against path of " << std::u32string(c.path).size() << " characters"
            << (c.isDirectory ? " (folder)" : "");
    }
}

// An ordered list of rules and what it decides for each entry, as rsync's
// examples tell it.
struct VerdictCase {
    std::vector<std::pair<bool, const wchar_t*>> rules;  // (excludes, pattern), in order
    std::vector<std::pair<const char32_t*, bool>> kept;  // entry ("/" at the end: a folder), taken
};

TEST(Pattern, FirstMatchDecidesAndFoldersTakeTheirContents) {
    const std::vector<VerdictCase> cases = {
        // "+ */ + *.c - *" would include all directories and .c source files but nothing else
        {{{false, L"*/"}, {false, L"*.c"}, {true, L"*"}},
         {{U"src/", true}, {U"src/a.c", true}, {U"src/a.h", false}, {U"README", false}, {U"src/deep/b.c", true}}},
        // "+ foo/ + foo/bar.c - *" would include only the foo directory and foo/bar.c
        {{{false, L"foo/"}, {false, L"foo/bar.c"}, {true, L"*"}},
         {{U"foo/", true}, {U"foo/bar.c", true}, {U"foo/baz.c", false}, {U"other", false}, {U"foo/sub/bar.c", false}}},
        // the manual's tree: "+ x/ + x/y/ + x/y/file.txt - *" sends x/y/file.txt and its folders alone
        {{{false, L"x/"}, {false, L"x/y/"}, {false, L"x/y/file.txt"}, {true, L"*"}},
         {{U"x/", true},
          {U"x/file.txt", false},
          {U"x/y/", true},
          {U"x/y/file.txt", true},
          {U"x/y/zzz.txt", false},
          {U"x/z/", false},
          {U"x/z/file.txt", false}}},
        // "+ file.txt - *" of the tree below x: file.txt alone, y and z left out with what they hold
        {{{false, L"file.txt"}, {true, L"*"}},
         {{U"file.txt", true}, {U"y/", false}, {U"y/file.txt", false}, {U"z/file.txt", false}}},
        // "- zzz.txt" omits zzz.txt, and everything else goes
        {{{true, L"zzz.txt"}}, {{U"x/y/zzz.txt", false}, {U"x/y/file.txt", true}, {U"x/", true}}},
        // an early exclude wins over a later include
        {{{true, L"*.tmp"}, {false, L"keep.tmp"}}, {{U"keep.tmp", false}}},
        {{{false, L"keep.tmp"}, {true, L"*.tmp"}}, {{U"keep.tmp", true}, {U"a/other.tmp", false}}},
        // a folder left out leaves out all below it, whatever a later rule says
        {{{true, L"cache/"}, {false, L"*.keep"}},
         {{U"a/cache/", false}, {U"a/cache/x.keep", false}, {U"a/x.keep", true}}},
        // no rule matches: taken
        {{{true, L"*.o"}}, {{U"a.c", true}, {U"o/", true}}},
    };
    for (const VerdictCase& c : cases) {
        PatternRules rules;
        for (const auto& rule : c.rules) rules.rules.push_back(patternOf(rule.second, rule.first));
        for (const auto& entry : c.kept) {
            std::u32string path = entry.first;
            bool isDirectory = !path.empty() && path.back() == U'/';
            if (isDirectory) path.pop_back();
            EXPECT_EQ(!patternsExclude(&rules, path, isDirectory), entry.second)
                << "entry of " << path.size() << " characters, rule " << fromWide(WideString(c.rules[0].second));
        }
    }
}

TEST(Pattern, VerdictsOfFoldersAreKeptAcrossAWalk) {
    PatternRules rules;
    rules.rules.push_back(patternOf(L"/skip/"));
    // The walk goes down, across and back up: each verdict is the one a fresh list gives.
    const std::vector<std::pair<const char32_t*, bool>> walk = {
        {U"a/b/c", true},     {U"skip/x", false}, {U"skip/y/z", false}, {U"a/skip/z", true}, {U"a/b/d", true},
        {U"skipped/a", true}, {U"skip/x", false}, {U"a/b/c/d/e", true}, {U"a", true},
    };
    for (const auto& step : walk) {
        PatternRules fresh;
        fresh.rules = rules.rules;
        EXPECT_EQ(patternsExclude(&rules, step.first, false), patternsExclude(&fresh, step.first, false));
        EXPECT_EQ(!patternsExclude(&fresh, step.first, false), step.second);
    }
}

TEST(Pattern, RefusedAndRecognised) {
    PathPattern pattern;
    std::wstring problem;
    EXPECT_FALSE(readPattern(L"", true, &pattern, &problem));
    EXPECT_FALSE(readPattern(L"/", true, &pattern, &problem));
    EXPECT_FALSE(readPattern(L"[[:nonsense:]]", true, &pattern, &problem));
    EXPECT_FALSE(readPattern(std::wstring(PATTERN_MAX_LENGTH + 1, L'a'), true, &pattern, &problem));
    EXPECT_TRUE(readPattern(std::wstring(PATTERN_MAX_LENGTH, L'*'), true, &pattern, &problem));
    // What a user types for --exclude, given to -r by mistake.
    for (const wchar_t* meant : {L"*.gz", L"**/cache", L"build/*", L"?.o", L"*.tmp"}) {
        EXPECT_TRUE(looksLikeShellPattern(meant)) << fromWide(WideString(meant));
    }
    for (const wchar_t* regex : {L".*\\.gz", L"/tmux(/.*)?", L".+/\\.svn.*", L"a+b"}) {
        EXPECT_FALSE(looksLikeShellPattern(regex)) << fromWide(WideString(regex));
    }
}

TEST(Pattern, TimeGrowsWithThePatternTimesThePath) {
    // Stars that a backtracking matcher would try in every way: a long name that almost matches.
    PathPattern pattern = patternOf(L"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b");
    std::u32string name(4000, U'a');
    EXPECT_FALSE(patternMatches(pattern, name, false));
    PathPattern across = patternOf(L"**a**a**a**a**a**a**a**a**a**a**b");
    std::u32string path;
    for (int level = 0; level < 500; ++level) path += U"aaaaaaa/";
    path += U"a";
    EXPECT_FALSE(patternMatches(across, path, false));
}

// The subject of an entry is its path below the root, "/" between names.
TEST(Pattern, SubjectIsThePathBelowTheRoot) {
    WideString root = nativePath(L"C:\\from");
    WideString entry = nativePath(L"C:\\from\\sub\\a.txt");
    EXPECT_EQ(patternSubject(entry.buffer, static_cast<size_t>(entry.length), static_cast<size_t>(root.length)),
              U"sub/a.txt");
}

struct PatternRun : testing::Test {
    TempDir temp;
    RecordingHost host;
    void SetUp() override { host.install(); }
    int mirror(const std::vector<std::pair<bool, const wchar_t*>>& rules) {
        RunOptions options;
        options.folderTimes = true;
        for (const auto& rule : rules) options.patterns.push_back(patternOf(rule.second, rule.first));
        RunTally tally;
        host.install();
        host.answer = true;
        options.synchronous = true;
        return folderRunWithOptions(options, &tally, temp.wide("from"), temp.wide("to"), {});
    }
};

// What the patterns leave out stays in To as it is, on both sides; what
// they take is mirrored; -r rules must take an entry as well.
TEST_F(PatternRun, MixedRulesProtectTheSameEntriesOnBothSides) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/x.tmp"), "from's temporary");
    writeFile(temp.at("from/keep.tmp"), "kept");
    writeFile(temp.at("from/cache/c.bin"), "cache");
    writeFile(temp.at("from/sub/cache/d.bin"), "deep cache");
    writeFile(temp.at("from/sub/b.txt"), "b");
    writeFile(temp.at("to/old.tmp"), "To's own temporary");
    writeFile(temp.at("to/cache/mine.bin"), "To's cache");
    writeFile(temp.at("to/sub/cache/mine.bin"), "To's deep cache");
    writeFile(temp.at("to/gone.txt"), "surplus");
    writeFile(temp.at("to/other.tmp.keep"), "surplus too");
    ASSERT_EQ(mirror({{false, L"keep.tmp"}, {true, L"*.tmp"}, {true, L"cache/"}}), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
    EXPECT_EQ(readFile(temp.at("to/keep.tmp")), "kept");
    EXPECT_EQ(readFile(temp.at("to/sub/b.txt")), "b");
    EXPECT_FALSE(fs::exists(temp.at("to/x.tmp")));
    EXPECT_FALSE(fs::exists(temp.at("to/cache/c.bin")));
    EXPECT_FALSE(fs::exists(temp.at("to/sub/cache/d.bin")));
    EXPECT_EQ(readFile(temp.at("to/old.tmp")), "To's own temporary");
    EXPECT_EQ(readFile(temp.at("to/cache/mine.bin")), "To's cache");
    EXPECT_EQ(readFile(temp.at("to/sub/cache/mine.bin")), "To's deep cache");
    EXPECT_FALSE(fs::exists(temp.at("to/gone.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/other.tmp.keep")));

    // An anchored folder left out at the top only.
    writeFile(temp.at("from/build/out.o"), "o");
    writeFile(temp.at("from/sub/build/out.o"), "o");
    writeFile(temp.at("to/build/mine.o"), "mine");
    ASSERT_EQ(mirror({{true, L"/build/"}}), RUN_OK);
    EXPECT_EQ(readFile(temp.at("to/build/mine.o")), "mine");
    EXPECT_FALSE(fs::exists(temp.at("to/build/out.o")));
    EXPECT_EQ(readFile(temp.at("to/sub/build/out.o")), "o");
}

// Patterns and -r rules together: an entry is handled when the patterns do
// not exclude it and the regular expression takes it.
TEST_F(PatternRun, PatternsAndRegularExpressionsTogether) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/b.log"), "b");
    writeFile(temp.at("from/skip/c.txt"), "c");
    fs::create_directories(temp.at("to"));
    RunOptions options;
    options.patterns.push_back(patternOf(L"skip/"));
    RunTally tally;
    host.install();
    ASSERT_EQ(folderRunWithOptions(options, &tally, temp.wide("from"), temp.wide("to"), {WideString(L".*\\.txt")}),
              RUN_OK);
    EXPECT_TRUE(fs::exists(temp.at("to/a.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/b.log")));
    EXPECT_FALSE(fs::exists(temp.at("to/skip")));
}

// A rule that matches nothing changes nothing, not even the To Folder's time.
TEST_F(PatternRun, ARuleThatMatchesNothingLeavesToAsItIs) {
    writeFile(temp.at("from/a.txt"), "a");
    fs::create_directories(temp.at("to"));
    shiftModified(temp.at("to"), -5 * 3600);
    EntryStatus before{};
    ASSERT_TRUE(platformQueryEntry(temp.wide("to").buffer, &before));
    for (bool pattern : {true, false}) {
        RunOptions options;
        options.folderTimes = true;
        if (pattern) options.patterns.push_back(patternOf(L"*"));
        RunTally tally;
        host.install();
        std::vector<WideString> rules;
        if (!pattern) rules.push_back(WideString(L"nomatch"));
        options.showCopyFile = true;
        ASSERT_EQ(folderRunWithOptions(options, &tally, temp.wide("from"), temp.wide("to"), rules), RUN_OK);
        EXPECT_EQ(runContext.updatedCount, 0);
        EXPECT_EQ(tally.updated, 0);
        EntryStatus after{};
        ASSERT_TRUE(platformQueryEntry(temp.wide("to").buffer, &after));
        EXPECT_EQ(after.modifiedSeconds, before.modifiedSeconds);
        EXPECT_EQ(after.modifiedNanoseconds, before.modifiedNanoseconds);
    }
}

}  // namespace
