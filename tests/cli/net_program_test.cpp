// The net under a mirror as a user meets it: the program's lines, figures
// and exit statuses with --versions, --max-delete and an empty FROM, and a
// job of the window program's settings file that takes them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/program_harness.h"
#include "support/recording_host.h"
#include "support/test_support.h"

namespace {

// The night of Program tests: a folder deleted and a file rewritten in FROM.
struct Net : Program {
    void SetUp() override {
        Program::SetUp();
        writeFile(temp.at("to/doc.txt"), "old doc");
        writeFile(temp.at("to/photos/a.jpg"), "A");
        writeFile(temp.at("from/doc.txt"), "new doc");
        shiftModified(temp.at("from/doc.txt"), 60);
    }
    // The one run folder below the versions folder (beside the folder's mark), or empty.
    std::string runFolder() {
        std::vector<std::string> runs;
        std::error_code error;
        for (auto& entry : fs::directory_iterator(temp.at("versions"), error)) {
            if (entry.is_directory()) runs.push_back(entry.path().filename().string());
        }
        return runs.size() == 1 ? runs[0] : std::string();
    }
};

// -v, the log, --stats and --json tell each version; a dry run tells them and makes nothing.
TEST_F(Net, VersionsAreToldWhereverTheRunTellsItsChanges) {
    Outcome dry = run({"-n", "-s", "--versions", at("versions"), at("from"), at("to")});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(contains(dry.out, "  KV: [" + at("to/doc.txt") + "] -> [" + at("versions"))) << dry.out;
    EXPECT_FALSE(fs::exists(temp.at("versions")));
    EXPECT_EQ(readFile(temp.at("to/doc.txt")), "old doc");

    Outcome real =
        run({"-v", "-s", "-y", "--stats", "-l", at("logs"), "--versions", at("versions"), at("from"), at("to")});
    EXPECT_EQ(real.status, 0) << real.err;
    std::string folder = runFolder();
    ASSERT_FALSE(folder.empty());
    std::string kept = "  KV: [" + at("to/photos/a.jpg") + "] -> [" + (temp.at("versions") / folder).string();
    EXPECT_TRUE(contains(real.out, kept)) << real.out;
    std::vector<std::string> log = logLines(temp.at("logs/korvaneui.log"));
    EXPECT_NE(std::find_if(log.begin(), log.end(), [&](const std::string& line) { return line.find(kept) == 0; }),
              log.end());
    EXPECT_TRUE(contains(real.out, "Kept                  3  versions of replaced or deleted entries")) << real.out;
    EXPECT_EQ(readFile(temp.at("versions") / folder / "doc.txt"), "old doc");
    EXPECT_EQ(readFile(temp.at("versions") / folder / "photos" / "a.jpg"), "A");

    writeFile(temp.at("to/late.txt"), "late");
    Outcome json =
        run({"-s", "-y", "--json", "--versions", at("versions"), "--keep-versions", "1", at("from"), at("to")});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_TRUE(contains(json.out, "\"kept\":1,\"expired\":1,\"held_back\":0")) << json.out;
    EXPECT_EQ(readFile(temp.at("versions") / runFolder() / "late.txt"), "late");
}

// The guard and the refusals as the program ends: exit statuses, their lines
// on standard error, and TO as it was.
TEST_F(Net, GuardAndRefusalsEndTheProgram) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string said;  // on standard error
        bool toKept;       // photos stays in TO
    };
    const std::vector<Case> cases = {
        {{"--max-delete", "1"}, 5, "the mirror would delete [2] entries, more than the limit [1]", true},
        {{"--max-delete=0", "--versions", at("versions")}, 5, "more than the limit [0]; nothing was deleted", true},
        {{"--versions", at("to")}, 3, "Versions dir [" + at("to") + "] is the To Folder itself.", true},
        {{"--versions", at("from") + "/sub"}, 3, "lies inside the From Folder", true},
        {{"--max-delete=2"}, 0, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        std::vector<std::string> arguments = {"-s", "-y"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        arguments.push_back(at("from"));
        arguments.push_back(at("to"));
        Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        EXPECT_TRUE(contains(outcome.err, c.said)) << outcome.err;
        EXPECT_EQ(fs::exists(temp.at("to/photos/a.jpg")), c.toKept);
        if (c.status == 5) {
            EXPECT_EQ(readFile(temp.at("to/doc.txt")), "new doc");  // the copies stand
            EXPECT_TRUE(contains(outcome.out, "nothing deleted: the deletion guard held 2 deletions back"))
                << outcome.out;
            writeFile(temp.at("to/doc.txt"), "old doc");
        }
    }

    fs::remove_all(temp.at("from"));
    fs::create_directories(temp.at("from"));
    writeFile(temp.at("to/photos/a.jpg"), "A");
    Outcome empty = run({"-s", "-y", at("from"), at("to")});
    EXPECT_EQ(empty.status, 3);
    EXPECT_TRUE(contains(empty.err, "--allow-empty-from")) << empty.err;
    EXPECT_TRUE(fs::exists(temp.at("to/photos/a.jpg")));
    Outcome allowed = run({"-s", "-y", "--allow-empty-from", at("from"), at("to")});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_FALSE(fs::exists(temp.at("to/photos")));
}

// The guards of a bad night as the program ends: a From that gives next to
// nothing is refused (exit 3), a From rewritten whole is held (exit 5), in a
// run of the command line as in a job of the window's settings file; each
// line names the figures, --json carries it, and the user's option lets the
// night through.
TEST_F(Net, GuardsOfABadNightHoldWhereverARunStarts) {
    fs::remove_all(temp.at("from"));
    writeFile(temp.at("from/.DS_Store"), "stray");
    for (int file = 0; file < 30; ++file) writeFile(temp.at("to/photos/p" + std::to_string(file) + ".jpg"), "P");
    std::vector<std::string> before = tree(at("to"));
    std::string job = "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n1006=1\r\n";
    writeFile(temp.at("job.ini"), job);
    const std::vector<std::vector<std::string>> starts = {{"-s", "-y", "--json", at("from"), at("to")},
                                                          {"--settings=" + at("job.ini"), "--yes", "--json"}};
    for (const std::vector<std::string>& start : starts) {
        SCOPED_TRACE(start[0]);
        Outcome refused = run(start);
        EXPECT_EQ(refused.status, 3) << refused.err;
        std::string line = "! Error => Source dir [" + at("from") + "] holds only [1] files and destination dir [" +
                           at("to") + "] holds [32] files: the mirror would delete nearly all.";
        EXPECT_TRUE(contains(refused.err, line)) << refused.err;
        EXPECT_TRUE(contains(refused.err, "--allow-empty-from")) << refused.err;
        EXPECT_TRUE(contains(refused.out, "\"run_code\":-114,\"reason\":\"! Error => Source dir [")) << refused.out;
        EXPECT_EQ(tree(at("to")), before);
    }

    // Every file of FROM rewritten in place, as ransomware leaves them.
    fs::remove_all(temp.at("from"));
    for (int file = 0; file < 30; ++file) {
        std::string name = "from/photos/p" + std::to_string(file) + ".jpg";
        writeFile(temp.at(name), "encrypted");
        shiftModified(temp.at(name), 60);
    }
    writeFile(temp.at("from/doc.txt"), "new doc");
    shiftModified(temp.at("from/doc.txt"), 60);
    for (const std::vector<std::string>& start : starts) {
        SCOPED_TRACE(start[0]);
        Outcome held = run(start);
        EXPECT_EQ(held.status, 5) << held.err;
        EXPECT_TRUE(contains(held.err,
                             "! Error => Replacement guard: the run would replace [31] of the [31] files it "
                             "compared in [" +
                                 at("to") + "], more than half of them; nothing was replaced or deleted."))
            << held.err;
        EXPECT_TRUE(contains(held.out, "\"replacements_held\":31")) << held.out;
        EXPECT_TRUE(contains(held.out, "\"reason\":\"! Error => Replacement guard:")) << held.out;
        EXPECT_EQ(readFile(temp.at("to/photos/p7.jpg")), "P");
    }
    Outcome dry = run({"-n", "-s", at("from"), at("to")});
    EXPECT_EQ(dry.status, 5) << dry.err;
    EXPECT_TRUE(contains(dry.out, "replace nothing: the replacement guard would hold 31 replacements back")) << dry.out;
    // A list naming every file of FROM is held as a folder run is.
    std::string list = "doc.txt\n";
    for (int file = 0; file < 30; ++file) list += "photos/p" + std::to_string(file) + ".jpg\n";
    writeFile(temp.at("list.txt"), list);
    Outcome listed = run({"-f", at("list.txt"), at("from"), at("to")});
    EXPECT_EQ(listed.status, 5) << listed.err;
    EXPECT_TRUE(contains(listed.err, "the run would replace [31] of the [31] files it compared in [" + at("to") +
                                         "], more than half of them; nothing was replaced."))
        << listed.err;
    EXPECT_EQ(readFile(temp.at("to/photos/p7.jpg")), "P");
    Outcome limited = run({"-s", "-y", "--max-replace", "30", at("from"), at("to")});
    EXPECT_EQ(limited.status, 5) << limited.err;
    EXPECT_TRUE(contains(limited.err, "the run would replace [31] files in [" + at("to") +
                                          "], more than the limit [30]; nothing was replaced or deleted."))
        << limited.err;
    Outcome kept = run({"--settings", at("job.ini"), "--yes", "--versions", at("versions")});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(readFile(temp.at("to/photos/p7.jpg")), "encrypted");
    EXPECT_EQ(readFile(temp.at("versions") / runFolder() / "photos" / "p7.jpg"), "P");
}

// The window program's job takes the net from the command line; its settings file stays as it is.
TEST_F(Net, SettingsJobTakesTheNet) {
    std::string file = "1012=" + at("from") + "\r\n1013=" + at("to") + "\r\n1006=1\r\n";
    writeFile(temp.at("job.ini"), file);
    Outcome held = run({"--settings=" + at("job.ini"), "--yes", "--max-delete", "0"});
    EXPECT_EQ(held.status, 5) << held.err;
    EXPECT_TRUE(fs::exists(temp.at("to/photos/a.jpg")));
    Outcome kept = run({"--settings", at("job.ini"), "--yes", "--versions", at("versions")});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(readFile(temp.at("versions") / runFolder() / "photos" / "a.jpg"), "A");
    EXPECT_EQ(readFile(temp.at("job.ini")), file);
}

}  // namespace
