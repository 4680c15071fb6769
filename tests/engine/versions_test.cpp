// The net under a mirror: versions of what it replaces or deletes, their
// retention, the deletion guard, the refusal of an empty From, retries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "base/separator.h"
#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "engine/versions.h"
#include "support/recording_host.h"

namespace {

// What a tree holds: each entry below its root, "/"-separated, with its kind
// and a file's contents; skip (and what lies below it) left out, and so are
// the program's own marks and records.
using Tree = std::map<std::string, std::string>;

Tree treeOf(const fs::path& root, const std::string& skip = std::string()) {
    Tree tree;
    std::error_code error;
    if (!fs::is_directory(root, error)) return tree;
    for (auto at = fs::recursive_directory_iterator(root); at != fs::recursive_directory_iterator(); ++at) {
        std::string name = fs::relative(at->path(), root).generic_string();
        if (!skip.empty() && (name == skip || name.rfind(skip + "/", 0) == 0)) {
            at.disable_recursion_pending();
            continue;
        }
        if (isProgramsOwnName(at->path().filename().wstring().c_str())) continue;
        fs::file_status status = at->symlink_status();
        if (fs::is_symlink(status)) {
            tree[name] = "link " + fs::read_symlink(at->path()).generic_string();
        } else if (fs::is_directory(status)) {
            tree[name] = "dir";
        } else {
            tree[name] = "file " + readFile(at->path());
        }
    }
    return tree;
}

// The folders directly below root, sorted.
std::vector<std::string> foldersIn(const fs::path& root) {
    std::vector<std::string> names;
    std::error_code error;
    for (auto& entry : fs::directory_iterator(root, error)) {
        if (entry.is_directory() && !entry.is_symlink()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry of before stands, the same, in one of the trees after it.
void expectNothingLost(const Tree& before, const std::vector<Tree>& after) {
    for (const auto& [name, held] : before) {
        bool found = false;
        for (const Tree& tree : after) {
            auto at = tree.find(name);
            found = found || (at != tree.end() && at->second == held);
        }
        EXPECT_TRUE(found) << name << " (" << held << ") is lost";
    }
}

// No temporary of a copy is left in the tree.
void expectNoTemporaries(const Tree& tree) {
    for (const auto& entry : tree) {
        EXPECT_EQ(entry.first.find(".korvane-"), std::string::npos) << entry.first;
    }
}

std::string text(const WideString& value) { return logText(value); }

const int64_t kDay = 86400;

// Makes folder a run folder as a run of the job of to would have left it:
// started so many seconds since 1970, the order-th run of its job.
void makeRunFolder(const fs::path& folder, const fs::path& to, int64_t started, int64_t order) {
    fs::create_directories(folder);
    RunRecord record;
    ASSERT_TRUE(jobOfRun(toWide(to), &record));
    record.started = started;
    record.order = order;
    ASSERT_TRUE(writeRunRecord(toWide(folder), record).done);
}

// Makes the versions folder remember the job of to as run every night at
// this hour for a week up to nights ago (1: last night), keeping nothing:
// the job's usual interval, a day.
void ranNightly(const fs::path& versions, const fs::path& to, int64_t now, int nights = 1) {
    RunRecord job;
    ASSERT_TRUE(jobOfRun(toWide(to), &job));
    std::vector<int64_t> times;
    for (int night = nights + 7; night >= nights; --night) times.push_back(now - night * kDay);
    fs::create_directories(versions);
    ASSERT_TRUE(writeJobTimes(toWide(versions), job, times).done);
}

// A small volume of its own (tmpfs) at a folder, for as long as it lives;
// mounted only where the tests may mount (root; under Wine, on the host).
struct SmallVolume {
    fs::path at;
    bool mounted = false;
    SmallVolume(const fs::path& folder, const std::string& size) : at(folder) {
        fs::create_directories(at);
#ifdef _WIN32
        std::string host = hostPath(at);
        mounted = !host.empty() && runOnHost("mount -t tmpfs -o mode=0755,size=" + size + " tmpfs '" + host + "'");
#else
        std::string command = "mount -t tmpfs -o mode=0755,size=" + size + " tmpfs '" + at.string() + "' 2>/dev/null";
        mounted = std::system(command.c_str()) == 0;
#endif
    }
    ~SmallVolume() {
        if (!mounted) return;
#ifdef _WIN32
        runOnHost("umount -l '" + hostPath(at) + "'");
#else
        std::system(("umount -l '" + at.string() + "' 2>/dev/null").c_str());
#endif
    }
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
};

// A mirror's To Folder after a night of changes in From: a folder deleted,
// a file rewritten, a file gone, a folder that became a file; and the run
// that brings it up to date, keeping versions.
struct Versions : FolderPairTest {
    RunOptions options;
    RunTally tally;

    // Sets up From and To below base (made), as the night left them.
    static void lastNight(const fs::path& base) {
        writeFile(base / "to" / "doc.txt", "old doc");
        writeFile(base / "to" / "old.txt", "old");
        writeFile(base / "to" / "photos" / "a.jpg", "A");
        writeFile(base / "to" / "photos" / "b.jpg", "B");
        writeFile(base / "to" / "photos" / "2019" / "c.jpg", "C");
        writeFile(base / "to" / "flip" / "inner.txt", "I");
        writeFile(base / "to" / "same.txt", "same");
        writeFile(base / "from" / "same.txt", "same");
        copyModified(base / "to" / "same.txt", base / "from" / "same.txt");
        writeFile(base / "from" / "doc.txt", "new doc");
        shiftModified(base / "from" / "doc.txt", 60);
        writeFile(base / "from" / "flip", "now a file");
        writeFile(base / "from" / "new.txt", "new");
    }

    // What the run keeps of the night's To: every entry it replaced or deleted.
    static Tree keptOfLastNight() {
        return Tree{{"doc.txt", "file old doc"},
                    {"old.txt", "file old"},
                    {"photos", "dir"},
                    {"photos/a.jpg", "file A"},
                    {"photos/b.jpg", "file B"},
                    {"photos/2019", "dir"},
                    {"photos/2019/c.jpg", "file C"},
                    {"flip", "dir"},
                    {"flip/inner.txt", "file I"}};
    }

    int mirror(const fs::path& source, const fs::path& target, const std::vector<WideString>& rules = {}) {
        runContext.hadErrors = false;
        tally = RunTally();
        options.synchronous = true;
        return folderRunWithOptions(options, &tally, toWide(source), toWide(target), rules);
    }
    int mirror(const std::vector<WideString>& rules = {}) { return mirror(temp.at("from"), temp.at("to"), rules); }
};

// A deleted folder, a rewritten file, a file gone and a folder become a file:
// every old entry is kept, byte for byte, under one run folder at its path
// below To, wherever the versions folder lies and however it is reached,
// and To ends equal to From.
TEST_F(Versions, KeepEveryOldEntryUnderOneRunFolder) {
    struct Placement {
        const char* name;
        std::string versions;  // below the case's folder
        std::string inTo;      // the versions folder's top below To, when it lies there
        bool rule;             // a rule is active: the clean-up judges entry by entry
        bool ownVolume;        // the versions folder is a volume of its own
    };
    const std::vector<Placement> placements = {
        {"beside To", "versions", "", false, false},
        {"inside To", "to/.versions", ".versions", false, false},
        {"deep inside To, made by the run", "to/keep/versions", "keep", false, false},
        {"entry by entry under a rule", "versions", "", true, false},
        {"inside To, entry by entry", "to/.versions", ".versions", true, false},
        {"on a volume of its own", "volume/versions", "", false, true},
        {"on a volume of its own, entry by entry", "volume/versions", "", true, true},
    };
    host.watchReports();
    for (size_t i = 0; i < placements.size(); ++i) {
        const Placement& placement = placements[i];
        SCOPED_TRACE(placement.name);
        fs::path base = temp.at("case" + std::to_string(i));
        lastNight(base);
        SmallVolume volume(base / "volume", "16m");
        if (placement.ownVolume && !volume.mounted) {
            std::cout << "[  SKIPPED ] " << placement.name << ": no volume could be mounted here\n";
            continue;
        }
        Tree before = treeOf(base / "to");
        options.versionsFolder = toWide(base / fs::path(placement.versions).make_preferred());
        host.reports.clear();
        std::vector<WideString> rules;
        if (placement.rule) rules.push_back(WideString(L".*"));
        EXPECT_EQ(mirror(base / "from", base / "to", rules), RUN_OK);

        EXPECT_EQ(treeOf(base / "to", placement.inTo), treeOf(base / "from"));
        std::vector<std::string> runs = foldersIn(base / placement.versions);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_TRUE(isRunFolderName(toWide(fs::path(runs[0])).buffer)) << runs[0];
        Tree kept = treeOf(base / placement.versions / runs[0]);
        EXPECT_EQ(kept, keptOfLastNight());
        expectNothingLost(before, {treeOf(base / "to"), kept});
        expectNoTemporaries(treeOf(base));
        EXPECT_EQ(tally.kept, static_cast<long long>(kept.size()));
        EXPECT_EQ(host.reported(REPORT_KEPT).size(), kept.size());
        EXPECT_EQ(tally.failed, 0);

        // A second run finds nothing to keep, and never takes the versions folder for To's content.
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_OK);
        EXPECT_EQ(tally.kept + tally.deleted + tally.copied, 0);
        EXPECT_EQ(foldersIn(base / placement.versions), runs);
    }
}

// A dry run tells every version it would keep and makes nothing, not even the versions folder.
TEST_F(Versions, DryRunTellsWhatItWouldKeepAndMakesNothing) {
    lastNight(temp.root);
    Tree before = treeOf(temp.at("to"));
    host.watchReports();
    for (const char* place : {"versions", "to/.versions"}) {
        SCOPED_TRACE(place);
        host.reports.clear();
        options.dryRun = true;
        options.versionsFolder = temp.wide(place);
        EXPECT_EQ(mirror(), RUN_OK);
        EXPECT_EQ(treeOf(temp.at("to")), before);
        EXPECT_FALSE(fs::exists(temp.at(place)));
        std::vector<std::wstring> lines = host.reported(REPORT_KEPT);
        EXPECT_EQ(lines.size(), keptOfLastNight().size());
        std::wstring doc = L"  KV: [" + fromWide(temp.wide("to/doc.txt")) + L"] -> [" + fromWide(temp.wide(place));
        EXPECT_NE(
            std::find_if(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(doc) == 0; }),
            lines.end());
    }
}

// Three runs in quick succession, a list run among them: three run folders,
// never one merged into another, each with the version its run replaced.
TEST_F(Versions, ThreeQuickRunsKeepThreeVersions) {
    options.versionsFolder = temp.wide("versions");
    writeFile(temp.at("list.txt"), "doc.txt\n");
    for (int run = 1; run <= 3; ++run) {
        writeFile(temp.at("to/doc.txt"), "version " + std::to_string(run));
        writeFile(temp.at("from/doc.txt"), "version " + std::to_string(run + 1));
        shiftModified(temp.at("from/doc.txt"), 60);
        runContext.hadErrors = false;
        int result = run < 3 ? mirror() : listRunWithOptions(options, &tally, from, to, temp.wide("list.txt"));
        EXPECT_EQ(result, RUN_OK);
    }
    std::vector<std::string> runs = foldersIn(temp.at("versions"));
    ASSERT_EQ(runs.size(), 3u);
    std::vector<std::string> kept;
    for (const std::string& run : runs) {
        EXPECT_TRUE(isRunFolderName(toWide(fs::path(run)).buffer)) << run;
        kept.push_back(readFile(temp.at("versions") / run / "doc.txt"));
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"version 1", "version 2", "version 3"}));
    EXPECT_EQ(readFile(temp.at("to/doc.txt")), "version 4");
}

// Retention removes the job's run folders beyond the newest N or older than
// D days, the later of one second's runs counting as the newer; nothing else
// in the versions folder is touched: no other name, no link, no run folder
// of another job, nor one of no job (an older program's, without a record).
TEST_F(Versions, RetentionKeepsTheNewestAndNothingButRunFolders) {
    struct Case {
        long long keepVersions;
        long long keepDays;
        std::vector<std::string> stay;  // of the run folders made beforehand
    };
    const std::vector<Case> cases = {
        {2, -1, {"1"}},
        {-1, 10, {"1", "5"}},
        {4, 100, {"1", "5", "20-2"}},
    };
    const int64_t now = platformWallSeconds();
    fs::create_directories(temp.at("other"));
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        fs::path versions = temp.at("versions" + std::to_string(i));
        std::map<std::string, std::string> made;  // a made folder's mark: its name
        int64_t order = 0;
        for (auto [mark, age] :
             std::vector<std::pair<std::string, int>>{{"400", 400}, {"20", 20}, {"5", 5}, {"1", 1}}) {
            made[mark] = text(runFolderName(now - age * kDay));
            makeRunFolder(versions / made[mark], temp.at("to"), now - age * kDay, ++order);
            if (mark == "20") {
                made["20-2"] = made["20"] + "-2";
                makeRunFolder(versions / made["20-2"], temp.at("to"), now - age * kDay, ++order);
            }
        }
        for (const auto& folder : made) {
            writeFile(versions / folder.second / "sub" / "f.txt", "f");
            writeFile(versions / folder.second / "read-only.txt", "r");
            fs::permissions(versions / folder.second / "read-only.txt", fs::perms::owner_read);
        }
        std::vector<std::string> others = {"notes", "2025-13-01 000000", "2025-01-01 000000x", "2025-01-01 000000-0",
                                           "2025-01-01 000000-1"};
        for (const std::string& other : others) writeFile(versions / other / "kept.txt", "mine");
        others.push_back(text(runFolderName(now - 300 * kDay)));  // no record: no job's
        writeFile(versions / others.back() / "kept.txt", "an older program's");
        others.push_back(text(runFolderName(now - 200 * kDay)));  // another job's
        makeRunFolder(versions / others.back(), temp.at("other"), now - 200 * kDay, 1);
        writeFile(versions / text(runFolderName(now - 500 * kDay)), "a file named as a run folder");
        fs::create_directories(temp.at("outside"));
        writeFile(temp.at("outside/precious.txt"), "p");
        std::error_code error;
        fs::create_directory_symlink(temp.at("outside"), versions / text(runFolderName(now - 600 * kDay)), error);

        writeFile(temp.at("to/surplus" + std::to_string(i)), "s");  // this run keeps a version
        options.versionsFolder = toWide(versions);
        options.keepVersions = c.keepVersions;
        options.keepDays = c.keepDays;
        EXPECT_EQ(mirror(), RUN_OK);

        std::vector<std::string> expected = others;
        for (const std::string& mark : c.stay) expected.push_back(made[mark]);
        std::vector<std::string> standing = foldersIn(versions);
        EXPECT_EQ(standing.size(), expected.size() + 1);  // this run's folder too
        for (const std::string& name : expected) {
            EXPECT_NE(std::find(standing.begin(), standing.end(), name), standing.end()) << name;
        }
        EXPECT_EQ(tally.expired, static_cast<long long>(made.size() - c.stay.size()));
        EXPECT_EQ(tally.failed, 0);
        EXPECT_EQ(readFile(temp.at("outside/precious.txt")), "p");
        EXPECT_TRUE(fs::exists(versions / text(runFolderName(now - 500 * kDay))));
    }
}

// The cut-off of --keep-days lies exactly D days before the run: a run folder
// started an hour inside it stays, one started an hour past it goes,
// whatever its name says; by count, exactly the N newest stay.
TEST_F(Versions, RetentionCutsOffExactlyAtTheLimit) {
    const int64_t kHour = 3600;
    struct Case {
        long long keepVersions;
        long long keepDays;
        std::vector<std::pair<int64_t, bool>> runs;  // how long ago each started, oldest first, and whether it stays
    };
    const std::vector<Case> cases = {
        {-1, 1, {{kDay + kHour, false}, {kDay - kHour, true}}},
        {-1, 10, {{10 * kDay + kHour, false}, {10 * kDay - kHour, true}, {9 * kDay + kHour, true}}},
        {-1, 30, {{31 * kDay - kHour, false}, {30 * kDay + kHour, false}, {30 * kDay - kHour, true}}},
        {-1, 0, {{2 * kHour, false}, {kHour, false}}},
        {3, -1, {{4 * kDay, false}, {3 * kDay, false}, {2 * kDay, true}, {kDay, true}}},
        {1, -1, {{2 * kDay, false}, {kDay, false}}},
    };
    const int64_t now = platformWallSeconds();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        fs::path versions = temp.at("versions" + std::to_string(i));
        std::vector<std::pair<std::string, bool>> made;
        for (size_t run = 0; run < c.runs.size(); ++run) {
            // Names that say nothing of the age: retention goes by the record.
            std::string name = "2000-01-0" + std::to_string(run + 1) + " 000000";
            makeRunFolder(versions / name, temp.at("to"), now - c.runs[run].first, static_cast<int64_t>(run + 1));
            writeFile(versions / name / "f.txt", "f");
            made.emplace_back(name, c.runs[run].second);
        }
        ranNightly(versions, temp.at("to"), now);
        writeFile(temp.at("to/surplus" + std::to_string(i)), "s");  // this run keeps a version
        options.versionsFolder = toWide(versions);
        options.keepVersions = c.keepVersions;
        options.keepDays = c.keepDays;
        EXPECT_EQ(mirror(), RUN_OK);
        for (const auto& [name, stays] : made) {
            EXPECT_EQ(fs::exists(versions / name), stays) << name;
        }
        EXPECT_EQ(
            foldersIn(versions).size(),
            static_cast<size_t>(std::count_if(made.begin(), made.end(), [](const auto& run) { return run.second; })) +
                1);  // this run's folder stays whatever the limit
    }
}

// Retention counts the runs of its own job in the order they happened: run
// folders named and dated by a clock that ran ahead count as the older runs
// they are, never as newer than tonight's, and are told while they stay;
// another job's run folders, newer or not, are neither counted nor removed.
TEST_F(Versions, RetentionCountsItsOwnRunsInTheOrderTheyHappened) {
    const int64_t now = platformWallSeconds();
    fs::path versions = temp.at("versions");
    fs::create_directories(temp.at("other"));
    const std::vector<std::string> ahead = {"2099-01-01 000000", "2099-01-02 000000"};
    makeRunFolder(versions / ahead[0], temp.at("to"), now + 1000 * kDay, 1);
    makeRunFolder(versions / ahead[1], temp.at("to"), now + 1001 * kDay, 2);
    // An hour inside the limit, so that the seconds the test takes do not carry it past.
    const int64_t lastNightAt = now - kDay + 3600;
    std::string lastNight = text(runFolderName(lastNightAt));
    makeRunFolder(versions / lastNight, temp.at("to"), lastNightAt, 3);
    std::vector<std::string> another;
    for (int hours = 2; hours <= 4; ++hours) {
        another.push_back(text(runFolderName(now - hours * 3600)));
        makeRunFolder(versions / another.back(), temp.at("other"), now - hours * 3600, 10 - hours);
    }
    host.watchReports();

    // By days alone, the folders dated ahead stay, their age not known, and are told.
    writeFile(temp.at("to/surplus1"), "s");
    options.versionsFolder = toWide(versions);
    options.keepDays = 1;
    EXPECT_EQ(mirror(), RUN_OK);
    EXPECT_EQ(tally.expired, 0);
    std::vector<std::wstring> left = host.reported(REPORT_SKIPPED);
    ASSERT_EQ(left.size(), ahead.size());
    for (size_t i = 0; i < ahead.size(); ++i) {  // told newest first
        EXPECT_NE(left[i].find(fromWide(toWide(versions / ahead[ahead.size() - 1 - i]))), std::wstring::npos)
            << left[i];
        EXPECT_NE(left[i].find(L"dated in the future"), std::wstring::npos) << left[i];
    }

    // By count, tonight's run and last night's are the newest two.
    writeFile(temp.at("to/surplus2"), "s");
    options.keepDays = -1;
    options.keepVersions = 3;
    EXPECT_EQ(mirror(), RUN_OK);
    EXPECT_EQ(tally.expired, 2);
    EXPECT_FALSE(fs::exists(versions / ahead[0]));
    EXPECT_FALSE(fs::exists(versions / ahead[1]));
    EXPECT_TRUE(fs::exists(versions / lastNight));
    for (const std::string& name : another) {
        EXPECT_TRUE(fs::exists(versions / name)) << name;
    }
    EXPECT_EQ(foldersIn(versions).size(), another.size() + 3);  // last night's and this job's two runs
}

// Days are counted on the job's own clock. A night whose clock ran a year
// ahead ages the job's versions by twice its usual interval at most (told,
// and tonight's folder recorded as of then); a run folder dated back takes
// the time of the run before it; a recorded time by the job's clock wins
// over the clock's; a weekly job's usual interval is a week.
TEST_F(Versions, RetentionAgesOnTheJobsOwnClock) {
    struct Run {
        int64_t started;  // seconds from now
        int64_t aged;     // seconds from now, or 0: none recorded
        bool stays;
    };
    struct Case {
        const char* name;
        std::vector<Run> runs;   // oldest first
        int64_t lastRemembered;  // seconds from now: the job's last run the versions folder remembers, 0: none
        int64_t interval;        // of the remembered runs
        long long keepDays;
        bool capped;  // tonight's clock is told as past the job's
    };
    const std::vector<Case> cases = {
        {"clock a year ahead",
         {{-370 * kDay, 0, true}, {-368 * kDay, 0, true}, {-366 * kDay, 0, true}},
         -366 * kDay,
         kDay,
         30,
         true},
        {"a night dated a year back",
         {{-12 * kDay, 0, false}, {-5 * kDay, 0, true}, {-400 * kDay, 0, true}, {-3 * kDay, 0, true}},
         -kDay,
         kDay,
         10,
         false},
        {"the first night dated back", {{-400 * kDay, 0, false}, {-3 * kDay, 0, true}}, -kDay, kDay, 10, false},
        {"the job's clock recorded", {{365 * kDay, -40 * kDay, false}, {-2 * kDay, 0, true}}, -kDay, kDay, 30, false},
        {"a weekly job", {{-31 * kDay, 0, false}, {-24 * kDay, 0, true}}, -10 * kDay, 7 * kDay, 25, false},
        {"a daily job", {{-31 * kDay, 0, true}, {-24 * kDay, 0, true}}, -10 * kDay, kDay, 25, true},
    };
    const int64_t now = platformWallSeconds();
    RunRecord job;
    ASSERT_TRUE(jobOfRun(toWide(temp.at("to")), &job));
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path versions = temp.at("versions" + std::to_string(i));
        std::vector<std::string> names;
        for (size_t at = 0; at < c.runs.size(); ++at) {
            names.push_back("2000-01-0" + std::to_string(at + 1) + " 000000");
            RunRecord record = job;
            record.started = now + c.runs[at].started;
            record.aged = c.runs[at].aged != 0 ? now + c.runs[at].aged : 0;
            record.order = static_cast<int64_t>(at + 1);
            fs::create_directories(versions / names.back());
            ASSERT_TRUE(writeRunRecord(toWide(versions / names.back()), record).done);
        }
        std::vector<int64_t> remembered;
        for (int night = 6; night >= 0; --night) remembered.push_back(now + c.lastRemembered - night * c.interval);
        ASSERT_TRUE(writeJobTimes(toWide(versions), job, remembered).done);
        writeFile(temp.at("to/surplus" + std::to_string(i)), "s");  // this run keeps a version
        host.watchReports();
        host.reports.clear();
        options.versionsFolder = toWide(versions);
        options.keepDays = c.keepDays;
        EXPECT_EQ(mirror(), RUN_OK);
        for (size_t at = 0; at < c.runs.size(); ++at) {
            EXPECT_EQ(fs::exists(versions / names[at]), c.runs[at].stays) << names[at];
        }
        std::vector<std::wstring> told = host.reported(REPORT_SKIPPED);
        bool clockTold = std::any_of(told.begin(), told.end(), [](const std::wstring& line) {
            return line.find(L"the clock says") != line.npos;
        });
        EXPECT_EQ(clockTold, c.capped);
        // Tonight's folder is recorded as of tonight by the job's clock, and so is the memory.
        std::vector<std::string> standing = foldersIn(versions);
        ASSERT_FALSE(standing.empty());
        RunRecord tonight;
        ASSERT_TRUE(readRunRecord(toWide(versions / standing.back()), &tonight));
        std::vector<int64_t> times;
        ASSERT_TRUE(readJobTimes(toWide(versions), job, &times));
        if (c.capped) {
            EXPECT_EQ(tonight.aged, now + c.lastRemembered + 2 * c.interval);
            EXPECT_EQ(times.back(), tonight.aged);
        } else {
            EXPECT_GE(tonight.aged, now);
            EXPECT_LE(tonight.aged, platformWallSeconds());
        }
    }
}

// A run folder is its job's by its To's path as the run resolves it: one
// recorded with To's identity but another path (a disk used on other nights
// under the same device number) is neither counted nor removed; one made
// through a link to To is this job's.
TEST_F(Versions, RetentionTakesNoOtherPathsFoldersForItsOwn) {
    const int64_t now = platformWallSeconds();
    fs::path versions = temp.at("versions");
    RunRecord other;
    ASSERT_TRUE(jobOfRun(toWide(temp.at("to")), &other));
    other.toPath += L"-on-the-other-disk";
    other.started = now - 100 * kDay;
    other.order = 1;
    const std::string othersName = "2000-01-01 000000";
    fs::create_directories(versions / othersName);
    ASSERT_TRUE(writeRunRecord(toWide(versions / othersName), other).done);
    ranNightly(versions, temp.at("to"), now);
    options.versionsFolder = toWide(versions);
    options.keepVersions = 1;
    options.keepDays = 1;
    writeFile(temp.at("to/surplus1"), "s");
    EXPECT_EQ(mirror(), RUN_OK);
    EXPECT_EQ(tally.expired, 0);
    EXPECT_TRUE(fs::exists(versions / othersName));
    std::vector<std::string> first = foldersIn(versions);
    EXPECT_EQ(first.size(), 2u);
#ifndef _WIN32
    // The same To through a link: the same job, whose older folder goes by count.
    fs::create_directory_symlink(temp.at("to"), temp.at("tolink"));
    writeFile(temp.at("to/surplus2"), "s");
    EXPECT_EQ(mirror(temp.at("from"), temp.at("tolink")), RUN_OK);
    EXPECT_EQ(tally.expired, 1);
    EXPECT_TRUE(fs::exists(versions / othersName));
    EXPECT_EQ(foldersIn(versions).size(), 2u);
#endif
}

// Retention leaves whole every run folder a run holds: one that is or holds
// To, From or the run log, one a running job keeps its versions in, one
// another volume is mounted in (a disk, or a bind mount of the same volume);
// the last two are told. The job's other old folders go.
TEST_F(Versions, RetentionLeavesEveryFolderARunHolds) {
    const int64_t now = platformWallSeconds();
    fs::path versions = temp.at("versions");
    auto named = [&](int days) { return text(runFolderName(now - days * kDay)); };
    fs::path heldTo = versions / named(10) / "to";
    fs::path heldFrom = versions / named(11) / "from";
    fs::path heldLog = versions / named(12) / "logs" / "korvaneui.log";
    fs::path running = versions / named(13);
    fs::path plain = versions / named(14);
    writeFile(heldTo / "doc.txt", "old");
    writeFile(heldFrom / "doc.txt", "new");
    shiftModified(heldFrom / "doc.txt", 60);
    writeFile(heldLog, "");
    int64_t order = 0;
    for (const fs::path& folder : {versions / named(10), versions / named(11), versions / named(12), running, plain}) {
        makeRunFolder(folder, heldTo, now - (10 + order) * kDay, order + 1);
        ++order;
        writeFile(folder / "kept.txt", "k");
    }
    int reason = 0;
    RunFolderHold* hold = platformHoldRunFolder(toWide(running).buffer, &reason);
    ASSERT_NE(hold, nullptr) << reason;
    std::vector<fs::path> mounted;
#ifndef _WIN32
    // Mounts need root; a volume's folders look alike under Wine.
    fs::path disk = versions / named(15);
    fs::path bound = versions / named(16);
    makeRunFolder(disk, heldTo, now - 15 * kDay, 6);
    makeRunFolder(bound, heldTo, now - 16 * kDay, 7);
    writeFile(disk / "kept.txt", "k");
    writeFile(bound / "kept.txt", "k");
    SmallVolume volume(disk / "mnt", "1m");
    writeFile(temp.at("elsewhere/precious.txt"), "p");
    fs::create_directories(bound / "bind");
    bool bind = std::system(("mount --bind '" + temp.at("elsewhere").string() + "' '" + (bound / "bind").string() +
                             "' 2>/dev/null")
                                .c_str()) == 0;
    if (volume.mounted) {
        writeFile(disk / "mnt" / "precious.txt", "p");
        mounted.push_back(disk);
    }
    if (bind) mounted.push_back(bound);
#endif
    ranNightly(versions, heldTo, now);
    ASSERT_TRUE(openRunLog(toWide(heldLog)));
    host.watchReports();
    options.versionsFolder = toWide(versions);
    options.keepDays = 1;
    int result = mirror(heldFrom, heldTo);
    closeRunLog();
    platformReleaseRunFolder(hold);
#ifndef _WIN32
    if (bind) std::system(("umount '" + (bound / "bind").string() + "'").c_str());
    if (volume.mounted) {
        EXPECT_EQ(readFile(disk / "mnt" / "precious.txt"), "p");
    }
    EXPECT_EQ(readFile(temp.at("elsewhere/precious.txt")), "p");
#endif
    EXPECT_EQ(result, RUN_OK);
    EXPECT_EQ(tally.failed, 0);
    EXPECT_EQ(tally.expired, 1);
    EXPECT_FALSE(fs::exists(plain));
    for (const fs::path& folder : {versions / named(10), versions / named(11), versions / named(12), running}) {
        EXPECT_EQ(readFile(folder / "kept.txt"), "k") << folder;
    }
    std::vector<std::wstring> left = host.reported(REPORT_SKIPPED);
    EXPECT_EQ(left.size(), 1 + mounted.size());
    for (const fs::path& folder : mounted) {
        EXPECT_EQ(readFile(folder / "kept.txt"), "k") << folder;
        std::wstring line = L"  SK: [" + fromWide(toWide(folder)) + L"] (run folder left as it is: a volume is mounted";
        EXPECT_NE(
            std::find_if(left.begin(), left.end(), [&](const std::wstring& told) { return told.find(line) == 0; }),
            left.end())
            << fromWide(toWide(folder));
    }
}

// A process that keeps writing into a kept folder while retention removes
// it makes no failure: the folder is tried again, then told as left for a
// later run, and retention goes on with the other run folders.
TEST_F(Versions, RetentionOutlastsAWriterInAKeptFolder) {
    const int64_t now = platformWallSeconds();
    fs::path versions = temp.at("versions");
    fs::path written = versions / text(runFolderName(now - 20 * kDay));
    fs::path quiet = versions / text(runFolderName(now - 10 * kDay));
    makeRunFolder(written, temp.at("to"), now - 20 * kDay, 1);
    makeRunFolder(quiet, temp.at("to"), now - 10 * kDay, 2);
    writeFile(quiet / "kept.txt", "k");
    // Fewer files where each costs a round trip to a server (Wine).
    const int olderFiles = onWindows() ? 100 : 500;
    const int newFiles = onWindows() ? 400 : 3000;
    for (int n = 0; n < olderFiles; ++n) writeFile(written / "home" / ("old" + std::to_string(n)), "o");
    // A process whose folder went into the run folder writes on there, for a while.
    std::atomic<bool> stop{false};
    std::atomic<int> count{0};
    std::thread writer([&] {
        for (int n = 0; !stop && n < newFiles; ++n) {
            std::ofstream out(written / "home" / ("new" + std::to_string(n)));
            out << n;
            ++count;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    while (count < 100) std::this_thread::yield();
    writeFile(temp.at("to/surplus"), "s");  // this run keeps a version
    options.versionsFolder = toWide(versions);
    options.keepDays = 1;
    host.watchReports();
    int result = mirror();
    stop = true;
    writer.join();
    EXPECT_EQ(result, RUN_OK);
    EXPECT_EQ(tally.failed, 0);
    EXPECT_FALSE(fs::exists(quiet));
    if (fs::exists(written)) {
        std::vector<std::wstring> left = host.reported(REPORT_SKIPPED);
        ASSERT_EQ(left.size(), 1u);
        EXPECT_NE(left[0].find(L"left for a later run"), std::wstring::npos) << left[0];
    }
}

// The deletion guard counts every entry a mirror would delete, what a
// folder holds and a folder that a file replaces included; over the limit
// it deletes none of them and the copies stand. An empty From is refused
// while To holds anything but the versions folder.
TEST_F(Versions, GuardAndEmptyFromLeaveToUntouched) {
    struct Case {
        const char* name;
        long long maxDelete;
        std::vector<std::string> surplus;  // files of To that From lacks
        bool flip;                         // To holds a folder of two files where From has a file
        bool fileFlip;                     // To holds a file where From has a folder of two files
        long long count;                   // what the mirror would delete
        bool held;
    };
    // More loose files than a second has run folders: the count keeps no versions.
    std::vector<std::string> loose;
    for (int i = 0; i <= 1000; ++i) loose.push_back("x" + std::to_string(i));
    const std::vector<Case> cases = {
        {"nothing may go", 0, {"x.txt"}, false, false, 1, true},
        {"a folder counts with what it holds", 3, {"d/a", "d/b", "d/c"}, false, false, 4, true},
        {"within the limit", 4, {"d/a", "d/b", "d/c"}, false, false, 4, false},
        {"a folder a file replaces", 2, {}, true, false, 3, true},
        {"a folder a file replaces, within the limit", 3, {}, true, false, 3, false},
        {"a file a folder replaces", 0, {}, false, true, 1, true},
        {"a file a folder replaces, within the limit", 1, {}, false, true, 1, false},
        {"all of them, one over the limit", 7, {"d/a", "d/b", "d/c"}, true, true, 8, true},
        {"a thousand and one loose files", 1000, loose, false, false, 1001, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("case" + std::to_string(i));
        writeFile(base / "from" / "new.txt", "new");
        for (const std::string& file : c.surplus) writeFile(base / "to" / fs::path(file).make_preferred(), file);
        if (c.flip) {
            writeFile(base / "from" / "f", "file");
            writeFile(base / "to" / "f" / "one", "1");
            writeFile(base / "to" / "f" / "two", "2");
        }
        if (c.fileFlip) {
            writeFile(base / "to" / "g", "file");
            writeFile(base / "from" / "g" / "x", "x");
            writeFile(base / "from" / "g" / "deeper" / "y", "y");
        }
        Tree before = treeOf(base / "to");
        options.maxDelete = c.maxDelete;
        options.versionsFolder = toWide(base / "versions");
        int result = mirror(base / "from", base / "to");
        EXPECT_EQ(readFile(base / "to" / "new.txt"), "new");
        if (c.held) {
            EXPECT_EQ(result, RUN_DELETES_HELD);
            Tree after = treeOf(base / "to");
            after.erase("new.txt");
            EXPECT_EQ(after, before);
            EXPECT_EQ(tally.heldBack, c.count);
            EXPECT_EQ(tally.deleted + tally.kept, 0);
            EXPECT_EQ(tally.failed, (c.flip ? 1 : 0) + (c.fileFlip ? 1 : 0));  // what cannot take another's place
        } else {
            EXPECT_EQ(result, RUN_OK);
            EXPECT_EQ(tally.deleted, c.count);
            EXPECT_EQ(treeOf(base / "to"), treeOf(base / "from"));
            expectNothingLost(before,
                              {treeOf(base / "to"), treeOf(base / "versions" / foldersIn(base / "versions")[0])});
        }
    }

    struct Empty {
        const char* name;
        bool refuse;
        std::vector<std::string> inTo;
        int result;
    };
    const std::vector<Empty> empties = {
        {"To holds a file", true, {"a.txt"}, RUN_EMPTY_SOURCE},
        {"To holds a file deep down", true, {"d/e/a.txt"}, RUN_EMPTY_SOURCE},
        {"To holds nothing but the versions folder", true, {".versions/2026-01-01 000000/a.txt"}, RUN_OK},
        {"the check is off", false, {"a.txt"}, RUN_OK},
    };
    options = RunOptions();
    for (size_t i = 0; i < empties.size(); ++i) {
        const Empty& c = empties[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("empty" + std::to_string(i));
        fs::create_directories(base / "from");
        for (const std::string& file : c.inTo) writeFile(base / "to" / fs::path(file).make_preferred(), "x");
        Tree before = treeOf(base / "to");
        options.refuseEmptySource = c.refuse;
        options.versionsFolder = toWide(base / "to" / ".versions");
        EXPECT_EQ(mirror(base / "from", base / "to"), c.result);
        if (c.refuse) {
            EXPECT_EQ(treeOf(base / "to"), before);
        }
    }
}

// Asks for a stop once the run has told so many versions.
int stopAfter = 0;

void stopAtTheVersion(RecordingHost* host) {
    if (static_cast<int>(host->reported(REPORT_KEPT).size()) == stopAfter) requestRunStop();
}

// A stop while versions are being kept loses nothing: each entry is in To or
// in the versions folder, whole; nothing is left half made; the next run
// ends the work.
TEST_F(Versions, StopWhileKeepingLosesNothing) {
    struct Case {
        const char* name;
        bool rule;  // entry by entry, instead of folders whole
        int stopAfter;
    };
    const std::vector<Case> cases = {
        {"folders whole", false, 12},
        {"entry by entry", true, 17},
        {"at the first", false, 1},
    };
    host.watchReports();
    host.onReport = stopAtTheVersion;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("case" + std::to_string(i));
        for (int f = 0; f < 10; ++f) {
            std::string name = "f" + std::to_string(f) + ".txt";
            writeFile(base / "to" / name, "old " + name);
            writeFile(base / "from" / name, "new " + name);
            shiftModified(base / "from" / name, 60);
            for (int d = 0; d < 3; ++d) writeFile(base / "to" / ("d" + std::to_string(d)) / name, name);
        }
        Tree before = treeOf(base / "to");
        options.versionsFolder = toWide(base / "versions");
        std::vector<WideString> rules;
        if (c.rule) rules.push_back(WideString(L".*"));
        stopAfter = c.stopAfter;
        host.reports.clear();
        clearRunStop();
        EXPECT_EQ(mirror(base / "from", base / "to", rules), WALK_BROKEN);
        std::vector<std::string> runs = foldersIn(base / "versions");
        ASSERT_EQ(runs.size(), 1u);
        expectNothingLost(before, {treeOf(base / "to"), treeOf(base / "versions" / runs[0])});
        expectNoTemporaries(treeOf(base));

        clearRunStop();
        stopAfter = -1;
        EXPECT_EQ(mirror(base / "from", base / "to", rules), RUN_OK);
        EXPECT_EQ(treeOf(base / "to"), treeOf(base / "from"));
        std::vector<Tree> all = {treeOf(base / "to")};
        for (const std::string& run : foldersIn(base / "versions")) all.push_back(treeOf(base / "versions" / run));
        expectNothingLost(before, all);
    }
    clearRunStop();
}

// Every spelling of the versions folder that names the same place keeps the
// versions there (inside To: never taken for To's content); spellings of To,
// From, a folder inside From or a drive root are refused before any change.
TEST_F(Versions, EverySpellingBehavesTheSame) {
    const std::wstring sep(1, onWindows() ? L'\\' : L'/');
    struct Spelling {
        std::wstring given;  // below the case's folder, "/" for the separator
        std::string place;   // where the versions land, below the case's folder
        bool link;           // versions is a link named "vlink" to place
        bool raw;            // "/" stays "/" (Windows takes either separator)
    };
    const std::vector<Spelling> spellings = {
        {L"versions/", "versions", false, false},
        {L"versions//", "versions", false, false},
        {L"sub/../versions", "versions", false, false},
        {L"to/../versions", "versions", false, false},
        {L"to/.versions/", "to/.versions", false, false},
        {L"to/./.versions", "to/.versions", false, false},
        {L"to/../to/.versions", "to/.versions", false, false},
        {L"from/../to/.versions", "to/.versions", false, false},
        {L"from/../versions", "versions", false, false},
        {L"to/keep/versions", "to/keep/versions", false, true},
        {L"vlink", "versions", true, false},
        {L"vlink", "to/.versions", true, false},
    };
    auto spelt = [&](const fs::path& base, const std::wstring& relative, bool raw = false) {
        std::wstring path = toWide(base).buffer;
        path += sep;
        for (wchar_t unit : relative) path += unit == L'/' && !raw ? sep : std::wstring(1, unit);
        return WideString(path.c_str());
    };
    for (size_t i = 0; i < spellings.size(); ++i) {
        const Spelling& s = spellings[i];
        SCOPED_TRACE(fromWide(WideString(s.given.c_str())) + L" -> " + std::wstring(s.place.begin(), s.place.end()));
        fs::path base = temp.at("case" + std::to_string(i));
        lastNight(base);
        fs::create_directories(base / "sub");
        if (!s.raw) fs::create_directories(base / fs::path(s.place).make_preferred());
        if (s.link) {
            std::error_code error;
            fs::create_directory_symlink(base / fs::path(s.place).make_preferred(), base / "vlink", error);
            if (error || !fs::is_symlink(base / "vlink")) continue;  // no links here (Windows without the right)
        }
        options.versionsFolder = spelt(base, s.given, s.raw);
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_OK);
        std::string top = s.place.rfind("to/", 0) == 0 ? s.place.substr(3, s.place.find('/', 3) - 3) : std::string();
        EXPECT_EQ(treeOf(base / "to", top), treeOf(base / "from"));
        std::vector<std::string> runs = foldersIn(base / s.place);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(treeOf(base / s.place / runs[0]), keptOfLastNight());
    }

    struct Refusal {
        std::wstring given;  // below the case's folder, or a whole path when rooted
        const wchar_t* why;  // the end of the refusal's line
        const char* linkTo;  // "vlink" is a link to this, below the case's folder, when set
    };
    const std::wstring root = onWindows() ? L"C:\\" : L"/";
    const std::vector<Refusal> refusals = {
        {L"to", L"is the To Folder itself.", nullptr},
        {L"to/", L"is the To Folder itself.", nullptr},
        {L"to/.", L"is the To Folder itself.", nullptr},
        {L"sub/../to", L"is the To Folder itself.", nullptr},
        {L"vlink", L"is the To Folder itself.", "to"},
        {L"from/./", L"is the From Folder itself.", nullptr},
        {L"from/inner", L"lies inside the From Folder [", nullptr},
        {L"from/inner/not/made", L"lies inside the From Folder [", nullptr},
        {L"to/../from/inner", L"lies inside the From Folder [", nullptr},
        {L"from/../from/inner/new", L"lies inside the From Folder [", nullptr},
        {L"vlink/new", L"lies inside the From Folder [", "from/inner"},
        {L"afile", L"is not a folder.", nullptr},
        {L"afile/below", L"is not a folder.", nullptr},
        {root, L"is a drive root.", nullptr},
        {root + L".", L"is a drive root.", nullptr},
        {L"vlink", L"is a drive root.", "/"},
    };
    for (size_t i = 0; i < refusals.size(); ++i) {
        const Refusal& r = refusals[i];
        SCOPED_TRACE(r.given + L" " + r.why);
        fs::path base = temp.at("refusal" + std::to_string(i));
        lastNight(base);
        fs::create_directories(base / "sub");
        fs::create_directories(base / "from" / "inner");
        writeFile(base / "afile", "a file");
        if (r.linkTo) {
            fs::path target =
                std::string(r.linkTo) == "/" ? fs::path(root) : base / fs::path(r.linkTo).make_preferred();
            std::error_code error;
            fs::create_directory_symlink(target, base / "vlink", error);
            if (error || !fs::is_symlink(base / "vlink")) continue;
        }
        Tree before = treeOf(base);
        options.versionsFolder = isRootedPath(r.given.c_str()) ? WideString(r.given.c_str()) : spelt(base, r.given);
        host.statuses.clear();
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_BAD_VERSIONS);
        EXPECT_EQ(treeOf(base), before);
        std::wstring line = L"! Error => Versions dir [" + fromWide(options.versionsFolder) + L"] " + r.why;
        ASSERT_FALSE(host.statuses.empty());
        EXPECT_EQ(host.statuses.back().second.compare(0, line.size(), line), 0) << host.statuses.back().second;
    }
}

// What keeps a To entry busy for a while: held by another program, or (on
// Linux) a file mounted on it (a folder a volume is mounted on is never
// entered at all); released from a thread of its own.
struct Busy {
    fs::path at;
    bool held = false;
#ifdef _WIN32
    HANDLE handle = INVALID_HANDLE_VALUE;
#endif
    // Makes at busy: a file opened without letting it be deleted, or a file with another mounted on it.
    explicit Busy(const fs::path& path) : at(path) {
        writeFile(at, "busy");
#ifdef _WIN32
        handle = CreateFileW(at.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        held = handle != INVALID_HANDLE_VALUE;
#else
        fs::path cover = at.parent_path().parent_path() / "busy-cover";
        writeFile(cover, "cover");
        held = std::system(("mount --bind '" + cover.string() + "' '" + at.string() + "' 2>/dev/null").c_str()) == 0;
#endif
    }
    void release() {
        if (!held) return;
        held = false;
#ifdef _WIN32
        CloseHandle(handle);
#else
        std::system(("umount '" + at.string() + "'").c_str());
#endif
    }
    ~Busy() { release(); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

// A deletion that fails for a reason that may pass is tried again and goes
// once the entry is free; without retries it fails with that reason; a stop
// ends the wait between tries.
TEST_F(Versions, RetriesOutlastABusyEntry) {
    writeFile(temp.at("from/keep.txt"), "k");
    struct Case {
        int retries;
        bool versions;
        int result;
    };
    const std::vector<Case> cases = {{0, false, RUN_HAD_ERRORS}, {50, false, RUN_OK}, {50, true, RUN_OK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.retries) + (c.versions ? " retries, with versions" : " retries"));
        Busy busy(temp.at("to/busy"));
        if (!busy.held) GTEST_SKIP() << "no entry can be made busy here (mounting needs root)";
        options.retries = c.retries;
        options.retryMilliseconds = 100;
        options.versionsFolder = c.versions ? temp.wide("versions") : WideString();
        std::thread releaser([&busy] {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            busy.release();
        });
        int result = mirror();
        releaser.join();
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(fs::exists(temp.at("to/busy")), c.result != RUN_OK);
        if (c.versions) {
            EXPECT_EQ(tally.kept, 1);
        }
        std::error_code error;
        fs::remove_all(temp.at("to/busy"), error);
    }

    Busy busy(temp.at("to/busy"));
    options.retries = 5;
    options.retryMilliseconds = 3600 * 1000;
    options.versionsFolder = WideString();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        requestRunStop();
    });
    EXPECT_EQ(mirror(), WALK_BROKEN);  // a wait that ignored the stop would outlast the test
    stopper.join();
    clearRunStop();
}

// A versions folder whose volume is full: each entry whose version cannot
// be kept stays as it is and fails with the reason; the run goes on.
TEST_F(Versions, NoRoomForAVersionKeepsTheEntry) {
    SmallVolume volume(temp.at("small"), "64k");
    if (!volume.mounted) GTEST_SKIP() << "no volume could be mounted here";
    writeFile(temp.at("to/big.bin"), std::string(256 * 1024, 'b'));
    writeFile(temp.at("to/small.txt"), "s");
    writeFile(temp.at("from/keep.txt"), "k");
    options.versionsFolder = temp.wide("small/versions");
    host.watchReports();
    EXPECT_EQ(mirror(), RUN_HAD_ERRORS);
    EXPECT_EQ(readFile(temp.at("to/big.bin")).size(), 256u * 1024);
    EXPECT_FALSE(fs::exists(temp.at("to/small.txt")));
    EXPECT_EQ(tally.kept, 1);
    EXPECT_EQ(tally.failed, 1);
    std::vector<std::wstring> failures = host.reported(REPORT_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].find(L"! Error => Version not kept: [" + fromWide(temp.wide("to/big.bin")) + L"]"), 0u);
    expectNoTemporaries(treeOf(temp.at("small")));
}

// With many workers keeping a run's first versions side by side, the run
// folder (and the versions folder, on the first night) is still made once:
// every version of a run lies in one folder.
TEST_F(Versions, ManyWorkersKeepARunInOneFolder) {
    options.jobs = 16;
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        // Every other night is a first one, the versions folder yet to be made.
        fs::path versions = temp.at("versions" + std::to_string(round / 2) + "/deep");
        options.versionsFolder = toWide(versions);
        for (int folder = 0; folder < 16; ++folder) {
            for (int file = 0; file < 4; ++file) {
                std::string name = "d" + std::to_string(folder) + "/f" + std::to_string(file);
                writeFile(temp.at("to/" + name), "old");
                writeFile(temp.at("from/" + name), "new " + std::to_string(round));
                shiftModified(temp.at("from/" + name), 60 + round);
            }
        }
        size_t before = foldersIn(versions).size();
        EXPECT_EQ(mirror(), RUN_OK);
        EXPECT_EQ(tally.kept, 64);
        EXPECT_EQ(foldersIn(versions).size(), before + 1);
    }
}

#ifndef _WIN32
// Each level a run makes in its run folder is as open as the To folder it
// stands for and no more, its owner and group too (as root), set-ID bits
// aside: a private folder of To stays private in the run folder, whether
// its versions are kept entry by entry or a folder goes whole.
TEST_F(Versions, RunFolderLevelsAreNoMoreOpenThanTo) {
    struct Level {
        const char* path;  // below To
        unsigned mode;
        unsigned expected;  // the level's mode in the run folder
        bool inFrom;        // From has it: only the file in it goes
    };
    const std::vector<Level> levels = {
        {"private", 0700, 0700, true}, {"group", 0750, 0750, true},          {"open", 0755, 0755, true},
        {"setid", 02775, 0775, true},  {"private/deeper", 0711, 0711, true}, {"gone", 0710, 0710, false},
    };
    const bool root = geteuid() == 0;
    for (bool rule : {false, true}) {
        SCOPED_TRACE(rule ? "entry by entry" : "folders whole");
        fs::path base = temp.at(rule ? "rule" : "whole");
        for (const Level& level : levels) {
            writeFile(base / "to" / level.path / "old.txt", "o");
            if (level.inFrom) fs::create_directories(base / "from" / level.path);
        }
        for (size_t i = levels.size(); i-- > 0;) {  // the deepest first, while the folders above are open
            for (const char* side : {"to", "from"}) {
                fs::path path = base / side / levels[i].path;
                if (fs::exists(path)) {
                    ASSERT_EQ(chmod(path.c_str(), levels[i].mode), 0);
                }
            }
        }
        if (root) {
            ASSERT_EQ(chown((base / "to" / "private").c_str(), 1002, 1002), 0);
            ASSERT_EQ(chown((base / "from" / "private").c_str(), 1002, 1002), 0);
        }
        options.versionsFolder = toWide(base / "versions");
        std::vector<WideString> rules;
        if (rule) rules.push_back(WideString(L".*"));
        EXPECT_EQ(mirror(base / "from", base / "to", rules), RUN_OK);
        std::vector<std::string> runs = foldersIn(base / "versions");
        ASSERT_EQ(runs.size(), 1u);
        fs::path run = base / "versions" / runs[0];
        struct stat st;
        ASSERT_EQ(lstat(run.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        for (const Level& level : levels) {
            SCOPED_TRACE(level.path);
            ASSERT_EQ(lstat((run / level.path).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, level.expected);
            EXPECT_EQ(readFile(run / level.path / "old.txt"), "o");
            if (root && std::string(level.path) == "private") {
                EXPECT_EQ(st.st_uid, 1002u);
                EXPECT_EQ(st.st_gid, 1002u);
            }
        }
    }
}

// A FIFO, a socket or a device in To that From lacks holds no data to keep:
// a mirror deletes it with its line and the night ends well, whether the
// versions folder shares To's volume (the entry is kept as it is) or not.
TEST_F(Versions, SpecialFilesGoWithoutAVersionOfTheirData) {
    host.watchReports();
    for (bool ownVolume : {false, true}) {
        SCOPED_TRACE(ownVolume ? "versions on a volume of their own" : "versions on To's volume");
        fs::path base = temp.at(ownVolume ? "apart" : "beside");
        SmallVolume volume(base / "volume", "4m");
        if (ownVolume && !volume.mounted) {
            std::cout << "[  SKIPPED ] no volume could be mounted here\n";
            continue;
        }
        fs::create_directories(base / "from");
        fs::create_directories(base / "to");
        std::vector<std::string> special = {"pipe", "sock"};
        ASSERT_EQ(mkfifo((base / "to" / "pipe").c_str(), 0644), 0);
        int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string sock = (base / "to" / "sock").string();
        ASSERT_LT(sock.size(), sizeof address.sun_path);
        std::copy(sock.begin(), sock.end(), address.sun_path);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(listener);
        if (geteuid() == 0 && mknod((base / "to" / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
            special.push_back("null");
        }
        writeFile(base / "to" / "plain.txt", "p");
        options.versionsFolder = toWide(ownVolume ? base / "volume" / "versions" : base / "versions");
        options.dryRun = true;
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_OK);
        EXPECT_EQ(tally.failed, 0);
        options.dryRun = false;
        host.reports.clear();
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_OK);
        EXPECT_EQ(tally.failed, 0);
        EXPECT_EQ(tally.deleted, static_cast<long long>(special.size() + 1));
        EXPECT_EQ(host.reported(REPORT_DELETED).size(), special.size() + 1);
        EXPECT_TRUE(fs::is_empty(base / "to"));
        std::vector<std::string> runs = foldersIn(fs::path(fromWide(options.versionsFolder)));
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(readFile(fs::path(fromWide(options.versionsFolder)) / runs[0] / "plain.txt"), "p");
    }
}
#endif

// A versions folder inside To marks itself: a run that forgot --versions (a
// plain mirror, one under a rule, one keeping its versions elsewhere) never
// deletes or enters it, nor the folders holding it, and a From folder of its
// name is not copied into it; the rest of the night's work is done.
TEST_F(Versions, VersionsInsideToOutliveARunThatForgotThem) {
    struct Case {
        const char* name;
        std::string versions;       // below the case's folder
        bool rule;                  // the second run works under a rule
        std::string elsewhere;      // the second run keeps its versions there, when set
        bool fromHasIt;             // From holds a folder of the versions folder's name
        bool surplusBeside = true;  // To holds entries From lacks beside it, and below a folder beside it
    };
    const std::vector<Case> cases = {
        {"a plain mirror", "to/.versions", false, "", false},
        {"under a rule", "to/.versions", true, "", false},
        {"keeping versions elsewhere", "to/.versions", false, "versions2", false},
        {"deep in a folder From lacks", "to/old/deep/.versions", false, "", false},
        {"deep, keeping versions elsewhere", "to/old/deep/.versions", false, "versions2", false},
        {"From holds a folder of its name", "to/.versions", false, "", true},
        // Every name beside it is From's: the clean-up goes into it alone.
        {"From holds its name, nothing beside it to delete", "to/.versions", false, "", true, false},
    };
    host.watchReports();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        fs::path base = temp.at("case" + std::to_string(i));
        lastNight(base);
        fs::path versions = base / fs::path(c.versions).make_preferred();
        options.versionsFolder = toWide(versions);
        EXPECT_EQ(mirror(base / "from", base / "to"), RUN_OK);
        Tree kept = treeOf(versions);
        ASSERT_FALSE(kept.empty());
        EXPECT_TRUE(isMarkedVersionsFolder(toWide(versions)));

        if (c.surplusBeside) {
            writeFile(base / "to" / "late.txt", "late");
            writeFile(base / "to" / "old" / "other.txt", "other");
        }
        std::string name = versions.filename().string();
        if (c.fromHasIt) writeFile(base / "from" / name / "x.txt", "x");
        options.versionsFolder = c.elsewhere.empty() ? WideString() : toWide(base / c.elsewhere);
        std::vector<WideString> rules;
        if (c.rule) rules.push_back(WideString(L".*"));
        host.reports.clear();
        EXPECT_EQ(mirror(base / "from", base / "to", rules), c.fromHasIt ? RUN_HAD_ERRORS : RUN_OK);
        EXPECT_EQ(treeOf(versions), kept);
        EXPECT_TRUE(isMarkedVersionsFolder(toWide(versions)));
        EXPECT_FALSE(fs::exists(base / "to" / "late.txt"));
        EXPECT_FALSE(fs::exists(base / "to" / "old" / "other.txt"));
        if (c.fromHasIt) {
            std::vector<std::wstring> failures = host.reported(REPORT_FAILED);
            ASSERT_EQ(failures.size(), 1u);
            EXPECT_NE(failures[0].find(fromWide(toWide(base / "from" / name))), std::wstring::npos) << failures[0];
        }
    }
}

// Only a mark the program wrote for the very folder makes a versions
// folder: a mark copied or linked into another folder, a From entry bearing
// a mark's name (never copied, and told) or, as root, a mark another user
// owns, leaves a folder to the mirror's rules.
TEST_F(Versions, OnlyTheProgramsOwnMarkMakesAVersionsFolder) {
    writeFile(temp.at("to/doc.txt"), "old");
    options.versionsFolder = temp.wide("versions");
    EXPECT_EQ(mirror(), RUN_OK);
    fs::path mark = temp.at("versions") / fs::path(kVersionsMarkName);
    ASSERT_TRUE(fs::exists(mark));
    ASSERT_TRUE(isMarkedVersionsFolder(temp.wide("versions")));

    fs::create_directories(temp.at("to/copied"));
    fs::copy_file(mark, temp.at("to/copied") / fs::path(kVersionsMarkName));
    // A second name of the real mark marks neither its folder nor, ever after, the real one less.
    fs::create_directories(temp.at("to/linked"));
    std::error_code linkError;
    fs::create_hard_link(mark, temp.at("to/linked") / fs::path(kVersionsMarkName), linkError);
    writeFile(temp.at("to/copied/2026-01-01 000000/a.txt"), "a");
    writeFile(temp.at("from/carried/x.txt"), "x");
    fs::copy_file(mark, temp.at("from/carried") / fs::path(kVersionsMarkName));
    writeFile(temp.at("from/carried") / fs::path(kRunRecordName), "a record");
#ifndef _WIN32
    bool root = geteuid() == 0;
    if (root) {
        // A real versions folder whose mark another user took over.
        options.versionsFolder = temp.wide("to/taken");
        writeFile(temp.at("to/gone.txt"), "g");
        EXPECT_EQ(mirror(), RUN_OK);
        ASSERT_TRUE(isMarkedVersionsFolder(temp.wide("to/taken")));
        ASSERT_EQ(lchown((temp.at("to/taken") / fs::path(kVersionsMarkName)).c_str(), 1001, 1001), 0);
    }
#endif
    EXPECT_FALSE(isMarkedVersionsFolder(temp.wide("to/copied")));
    host.watchReports();
    options.versionsFolder = WideString();
    EXPECT_EQ(mirror(), RUN_OK);
    EXPECT_FALSE(fs::exists(temp.at("to/copied")));
    EXPECT_FALSE(fs::exists(temp.at("to/linked")));
    EXPECT_TRUE(isMarkedVersionsFolder(temp.wide("versions")));
    EXPECT_EQ(readFile(temp.at("to/carried/x.txt")), "x");
    EXPECT_FALSE(fs::exists(temp.at("to/carried") / fs::path(kVersionsMarkName)));
    EXPECT_FALSE(fs::exists(temp.at("to/carried") / fs::path(kRunRecordName)));
    std::vector<std::wstring> skipped = host.reported(REPORT_SKIPPED);
    EXPECT_EQ(skipped.size(), 2u);
    for (const std::wstring& line : skipped) {
        EXPECT_NE(line.find(L"program's own"), std::wstring::npos) << line;
    }
#ifndef _WIN32
    if (root) {
        EXPECT_FALSE(fs::exists(temp.at("to/taken")));
    }
#endif
}

// A job is its To Folder by its whole path as the run resolved it (a disk
// plugged in again under another volume number, a To made anew); an
// identity alone makes no two jobs one: the numbers are given again (two
// disks on alternate nights through one loop device).
TEST(RunRecords, AJobIsItsTo) {
    RunRecord job;
    job.to = DirectoryIdentity{7, 100};
    job.toPath = L"/backup/data";
    struct Case {
        DirectoryIdentity to;
        const wchar_t* path;
        bool same;
    };
    const std::vector<Case> cases = {
        {{7, 100}, L"/backup/data", true}, {{7, 100}, L"/mnt/link/data", false}, {{9, 100}, L"/backup/data", true},
        {{7, 555}, L"/backup/data", true}, {{7, 101}, L"/backup/data2", false},  {{9, 100}, L"/backup/Data", false},
        {{8, 100}, L"/mnt/other", false},
    };
    for (const Case& c : cases) {
        RunRecord other;
        other.to = c.to;
        other.toPath = c.path;
        EXPECT_EQ(sameJob(job, other), c.same) << c.path << " " << c.to.volume << ":" << c.to.index;
        EXPECT_EQ(sameJob(other, job), c.same) << c.path;
    }
    RunRecord unknown;  // nothing known of it: no one's job
    EXPECT_FALSE(sameJob(unknown, RunRecord()));
}

// A record reads back as written, whatever the path holds; copied into
// another folder it is no record there.
TEST(RunRecords, ARecordBelongsToItsFolder) {
    TempDir temp;
    const std::vector<std::wstring> paths = {L"/backup/data", L"/with space/100%/x;y", L"/caf\u00e9/\u6f22\u5b57",
                                             L"C:\\Backup\\Data"};
    for (size_t i = 0; i < paths.size(); ++i) {
        fs::path folder = temp.at("run" + std::to_string(i));
        fs::create_directories(folder);
        RunRecord written;
        written.to = DirectoryIdentity{12345678901ULL, 42};
        written.toPath = paths[i];
        written.started = 1765157400 + static_cast<int64_t>(i);
        written.order = 17 + static_cast<int64_t>(i);
        ASSERT_TRUE(writeRunRecord(toWide(folder), written).done);
        RunRecord read;
        ASSERT_TRUE(readRunRecord(toWide(folder), &read));
        EXPECT_TRUE(sameIdentity(read.to, written.to));
        EXPECT_EQ(read.toPath, written.toPath);
        EXPECT_EQ(read.started, written.started);
        EXPECT_EQ(read.order, written.order);

        fs::path copy = temp.at("copy" + std::to_string(i));
        fs::create_directories(copy);
        fs::copy_file(folder / fs::path(kRunRecordName), copy / fs::path(kRunRecordName));
        EXPECT_FALSE(readRunRecord(toWide(copy), &read));
    }
}

TEST(RunFolderNames, OnlyRunFolderNamesAreRunFolders) {
    const int64_t moment = 1765157400;  // a moment in December 2025
    std::wstring name = fromWide(runFolderName(moment));
    EXPECT_TRUE(isRunFolderName(name.c_str())) << name;
    EXPECT_EQ(name.size(), 17u);
    for (const wchar_t* good : {L"2026-12-08 013000", L"2026-12-08 013000-2", L"1999-01-31 235960-123456789"}) {
        EXPECT_TRUE(isRunFolderName(good)) << good;
    }
    for (const wchar_t* bad :
         {L"2026-12-08 01300", L"2026-12-08 013000-", L"2026-12-08 013000-1", L"2026-12-08 013000-02",
          L"2026-13-08 013000", L"2026-12-00 013000", L"2026-12-08 243000", L"2026-12-08T013000", L"2026-12-08 013000 ",
          L"2026-12-08 013000-1234567890", L"notes", L""}) {
        EXPECT_FALSE(isRunFolderName(bad)) << bad;
    }
}

}  // namespace
