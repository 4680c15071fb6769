#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/options.h"
#include "engine/run_codes.h"
#include "support/test_support.h"

namespace {

struct ParseCase {
    std::vector<std::wstring> arguments;
    bool ok;
    const wchar_t* check;  // a letter per option expected on, or the problem's start
};

std::wstring flagsOf(const CliOptions& o) {
    std::wstring flags;
    if (o.synchronous) flags += L's';
    if (o.ruleGiven) flags += L'r';
    if (o.excludes) flags += L'x';
    if (o.listGiven) flags += L'f';
    if (o.show) flags += L'v';
    if (o.logGiven) flags += L'l';
    if (o.yes) flags += L'y';
    if (o.dryRun) flags += L'n';
    if (o.settingsGiven) flags += L'S';
    if (o.help) flags += L'h';
    if (o.version) flags += L'V';
    if (o.checksum) flags += L'c';
    if (o.verify) flags += L'e';
    if (o.trustSource) flags += L't';
    return flags;
}

TEST(CliOptions, ParsesEveryForm) {
    const std::vector<ParseCase> cases = {
        {{L"a", L"b"}, true, L""},
        {{L"-s", L"-y", L"a", L"b"}, true, L"sy"},
        {{L"-sy", L"a", L"b"}, true, L"sy"},
        {{L"-syc", L"a", L"b"}, true, L"syc"},
        {{L"--sync", L"--yes", L"--show", L"--dry-run", L"a", L"b"}, true, L"svyn"},
        {{L"-r", L".*\\.txt", L"-x", L"a", L"b"}, true, L"rx"},
        {{L"-xr.*x", L"a", L"b"}, true, L"rx"},
        {{L"--rule=.*", L"a", L"b"}, true, L"r"},
        {{L"--rule", L"-s", L"a", L"b"}, true, L"r"},  // a value may begin with "-"
        {{L"-f", L"list.txt", L"-l", L"logs", L"a", L"b"}, true, L"fl"},
        {{L"--list=l", L"--log-dir=d", L"a", L"b"}, true, L"fl"},
        {{L"--settings"}, true, L"S"},
        {{L"--settings=job.ini", L"a", L"b"}, true, L"S"},
        {{L"-h"}, true, L"h"},
        {{L"--version"}, true, L"V"},
        {{L"--", L"-a", L"-b"}, true, L""},
        {{L"-", L"b"}, true, L""},
        {{L"a"}, false, L"FROM and TO"},
        {{}, false, L"FROM and TO"},
        {{L"a", L"b", L"c"}, false, L"too many"},
        {{L"--settings", L"job.ini"}, true, L"S"},  // a file after a space, as after "="
        {{L"--settings", L"job.ini", L"a"}, false, L"FROM and TO"},
        {{L"-Q", L"a", L"b"}, false, L"unknown option -Q"},
        {{L"--quick", L"a", L"b"}, false, L"unknown option --quick"},
        {{L"a", L"b", L"-r"}, false, L"option -r needs a value"},
        {{L"a", L"b", L"--log-dir"}, false, L"option --log-dir needs a value"},
        {{L"--rule=", L"a", L"b"}, false, L"option --rule needs a non-empty value"},
        {{L"--sync=yes", L"a", L"b"}, false, L"option --sync takes no value"},
        {{L"--settings=", L"a", L"b"}, false, L"option --settings= needs"},
        // A rule may come several times in any spelling; every other value once.
        {{L"-r", L"a", L"-r", L"b", L"x", L"y"}, true, L"r"},
        {{L"-ra", L"--rule=b", L"--rule", L"c", L"-xrd", L"x", L"y"}, true, L"rx"},
        {{L"-f", L"x", L"--list=y", L"a", L"b"}, false, L"option -f/--list is given more than once"},
        {{L"--list", L"x", L"-fy", L"a", L"b"}, false, L"option -f/--list is given more than once"},
        {{L"-f", L"x", L"-f", L"x", L"a", L"b"}, false, L"option -f/--list is given more than once"},
        {{L"-l", L"d", L"--log-dir=e", L"a", L"b"}, false, L"option -l/--log-dir is given more than once"},
        {{L"-vl", L"d", L"-ld", L"a", L"b"}, false, L"option -l/--log-dir is given more than once"},
        {{L"--settings", L"a", L"--settings=b"}, false, L"option --settings is given more than once"},
        {{L"--settings=a", L"--settings=a"}, false, L"option --settings is given more than once"},
        {{L"--settings", L"--settings"}, false, L"option --settings is given more than once"},
        // The net under a mirror: counts within their bounds, given once, and what they need.
        {{L"--versions", L"v", L"--keep-versions=3", L"--keep-days", L"30", L"-s", L"a", L"b"}, true, L"s"},
        {{L"--max-delete=0", L"--allow-empty-from", L"--retries", L"3", L"--retry-wait=0.25", L"a", L"b"}, true, L""},
        {{L"--settings", L"--versions=v", L"--max-delete=5"}, true, L"S"},
        {{L"--versions=v", L"--versions=w", L"a", L"b"}, false, L"option --versions is given more than once"},
        {{L"--keep-days=3", L"a", L"b"}, false, L"option --keep-days needs --versions DIR"},
        {{L"--keep-versions=3", L"a", L"b"}, false, L"option --keep-versions needs --versions DIR"},
        {{L"--versions=v", L"--keep-versions=0", L"a", L"b"},
         false,
         L"option --keep-versions needs a whole number from 1"},
        {{L"--versions=v", L"--keep-days=-1", L"a", L"b"}, false, L"option --keep-days needs a whole number from 1"},
        {{L"--max-delete=-1", L"a", L"b"}, false, L"option --max-delete needs a whole number from 0"},
        {{L"--max-delete=1e3", L"a", L"b"}, false, L"option --max-delete needs a whole number from 0"},
        {{L"--retries=1001", L"a", L"b"}, false, L"option --retries needs a whole number from 0 to 1000"},
        {{L"--retry-wait=1", L"a", L"b"}, false, L"option --retry-wait needs --retries N"},
        {{L"--retries=1", L"--retry-wait=0.1234", L"a", L"b"}, false, L"option --retry-wait needs seconds"},
        {{L"--retries=1", L"--retry-wait=3601", L"a", L"b"}, false, L"option --retry-wait needs seconds"},
        {{L"--retries=1", L"--retry-wait=.5", L"a", L"b"}, false, L"option --retry-wait needs seconds"},
        // Contents: flags that may come twice; trusting a damaged source needs the comparison.
        {{L"-c", L"--checksum", L"--verify", L"--verify", L"--checksum-trust-source", L"a", L"b"}, true, L"cet"},
        {{L"--checksum-trust-source", L"--verify", L"a", L"b"},
         false,
         L"option --checksum-trust-source needs -c/--checksum"},
        // The watch: its times need it, each once; a list or a dry run has nothing to keep current.
        {{L"--watch", L"--watch", L"--watch-delay=0.05", L"--watch-rescan=0", L"--watch-for=10", L"-s", L"a", L"b"},
         true,
         L"s"},
        {{L"--watch-delay=1", L"a", L"b"}, false, L"option --watch-delay needs --watch"},
        {{L"--watch-for=1", L"-s", L"a", L"b"}, false, L"option --watch-for needs --watch"},
        {{L"--watch", L"--watch-delay=1", L"--watch-delay=2", L"a", L"b"},
         false,
         L"option --watch-delay is given more than once"},
        {{L"--watch", L"--watch-delay=3601", L"a", L"b"}, false, L"option --watch-delay needs seconds from 0 to 3600"},
        {{L"--watch", L"--watch-rescan=-5", L"a", L"b"}, false, L"option --watch-rescan needs seconds"},
        {{L"--watch", L"--watch-rescan=0.5", L"a", L"b"}, false, L"option --watch-rescan needs 0 (no rescans)"},
        {{L"--watch", L"-f", L"list", L"a", L"b"}, false, L"option --watch takes none of -f/--list"},
        {{L"-n", L"--watch", L"a", L"b"}, false, L"option --watch takes none of -n/--dry-run"},
    };
    for (const ParseCase& c : cases) {
        CliOptions options;
        std::wstring problem;
        bool ok = parseArguments(c.arguments, &options, &problem);
        std::wstring joined;
        for (const auto& a : c.arguments) joined += a + L" ";
        SCOPED_TRACE(joined);
        ASSERT_EQ(ok, c.ok) << problem;
        if (ok) {
            EXPECT_EQ(flagsOf(options), std::wstring(c.check));
        } else {
            EXPECT_EQ(problem.compare(0, std::wcslen(c.check), c.check), 0) << problem;
        }
    }
}

TEST(CliOptions, ValuesAreKept) {
    CliOptions options;
    std::wstring problem;
    ASSERT_TRUE(parseArguments({L"-r", L"a b", L"--list=x y.txt", L"from dir", L"to"}, &options, &problem));
    EXPECT_EQ(fromWide(options.rules.at(0)), L"a b");
    EXPECT_EQ(fromWide(options.listFile), L"x y.txt");
    CliOptions several;
    ASSERT_TRUE(parseArguments({L"-ra", L"--rule=b", L"--rule", L"c", L"-r", L"d", L"x", L"y"}, &several, &problem));
    std::vector<std::wstring> rules;
    for (const WideString& rule : several.rules) rules.push_back(fromWide(rule));
    EXPECT_EQ(rules, (std::vector<std::wstring>{L"a", L"b", L"c", L"d"}));
    ASSERT_EQ(options.folders.size(), 2u);
    EXPECT_EQ(fromWide(options.folders[0]), L"from dir");
}

TEST(CliOptions, NetValuesAreKept) {
    CliOptions options;
    std::wstring problem;
    ASSERT_TRUE(parseArguments({L"--versions=/b/v", L"--keep-versions", L"7", L"--keep-days=30", L"--max-delete=0",
                                L"--retries=4", L"--retry-wait=2.5", L"a", L"b"},
                               &options, &problem))
        << problem;
    EXPECT_EQ(fromWide(options.versionsDir), L"/b/v");
    EXPECT_EQ(options.keepVersions, 7);
    EXPECT_EQ(options.keepDays, 30);
    EXPECT_EQ(options.maxDelete, 0);
    EXPECT_EQ(options.retries, 4);
    EXPECT_EQ(options.retryMilliseconds, 2500);
    CliOptions defaults;
    ASSERT_TRUE(parseArguments({L"--retries=2", L"a", L"b"}, &defaults, &problem));
    EXPECT_EQ(defaults.retryMilliseconds, 1000);
    EXPECT_FALSE(defaults.maxDeleteGiven);
}

TEST(CliOptions, SettingsFileFillsWhatTheCommandLineLeaves) {
    TempDir temp;
    std::string file =
        "1012=C:\\from\r\n1013=C:\\to\r\n1014=C:\\logs\r\n1015=C:\\list.txt\r\n1006=1\r\n"
        "1007=0\r\n1009=1\r\n1008=1\r\n1010=0\r\n1011=.+\\\\\\.svn.*\r\n";
    writeFile(temp.at("korvaneui.ini"), file);

    CliOptions options;
    std::wstring problem;
    ASSERT_TRUE(parseArguments({L"--settings=" + fromWide(temp.wide("korvaneui.ini"))}, &options, &problem));
    ASSERT_TRUE(applySettingsFile(&options, &problem)) << problem;
    EXPECT_EQ(fromWide(options.folders[0]), L"C:\\from");
    EXPECT_EQ(fromWide(options.folders[1]), L"C:\\to");
    EXPECT_EQ(fromWide(options.logDir), L"C:\\logs");
    EXPECT_EQ(flagsOf(options), L"srxlS");
    EXPECT_EQ(fromWide(options.rules.at(0)), L".+\\\\\\.svn.*");

    // The command line wins; a list file counts only with From File checked.
    CliOptions given;
    ASSERT_TRUE(
        parseArguments({L"--settings=" + fromWide(temp.wide("korvaneui.ini")), L"-r", L"x", L"-l", L"mine", L"a", L"b"},
                       &given, &problem));
    ASSERT_TRUE(applySettingsFile(&given, &problem));
    EXPECT_EQ(fromWide(given.folders[0]), L"a");
    EXPECT_EQ(fromWide(given.rules.at(0)), L"x");
    EXPECT_FALSE(given.excludes);
    EXPECT_EQ(fromWide(given.logDir), L"mine");
    EXPECT_FALSE(given.listGiven);

    // A text the line of earlier versions lost comes from the "utf8:" line after it.
    writeFile(temp.at("full.ini"), "1012=\r\nutf8:1012=C:\\%E6%97%85%3D1\r\n1013=C:\\to\r\n");
    CliOptions full;
    ASSERT_TRUE(parseArguments({L"--settings=" + fromWide(temp.wide("full.ini"))}, &full, &problem));
    ASSERT_TRUE(applySettingsFile(&full, &problem));
    EXPECT_EQ(fromWide(full.folders[0]), L"C:\\\x65C5=1");
    EXPECT_EQ(fromWide(full.folders[1]), L"C:\\to");

    CliOptions missing;
    ASSERT_TRUE(parseArguments({L"--settings=" + fromWide(temp.wide("none.ini"))}, &missing, &problem));
    EXPECT_FALSE(applySettingsFile(&missing, &problem));
}

TEST(CliOptions, ExitStatusOfEachResult) {
    const std::vector<std::pair<int, int>> cases = {
        {RUN_OK, 0},
        {RUN_HAD_ERRORS, 1},
        {RUN_DECLINED, 3},
        {RUN_NO_SOURCE, 3},
        {RUN_DEST_IS_DRIVE, 3},
        {RUN_NO_DEST, 3},
        {RUN_SAME_FOLDERS, 3},
        {RUN_DEST_INSIDE_SOURCE, 3},
        {RUN_NO_LIST_FILE, 3},
        {RUN_LIST_READ_ERROR, 3},
        {RUN_BAD_RULE, 3},
        {RUN_SOURCE_INSIDE_DEST, 3},
        {RUN_EMPTY_SOURCE, 3},
        {RUN_BAD_VERSIONS, 3},
        {RUN_DELETES_HELD, 5},
        {WALK_BROKEN, 4},
        {WALK_FIND_ERROR, 4},
        {WALK_NO_HANDLER, 4},
        {WALK_CLOSE_ERROR, 4},
    };
    for (const auto& c : cases) EXPECT_EQ(exitStatusOf(c.first), c.second) << c.first;
}

}  // namespace
