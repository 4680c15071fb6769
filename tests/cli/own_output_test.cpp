// What the program writes outside To: its log is never written through a
// link or another name of a file, a list is read only from a plain file,
// and output that cannot be written is a failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/program_harness.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct PlantedLog {
    const char* name;        // what is planted in the log folder
    const char* dryRunFlag;  // "-n" for a dry run's log, else ""
    void (*plant)(const fs::path& log, const fs::path& victim);
    int status;  // the run's exit status
};

// Whatever stands at the log's name, the victim elsewhere keeps its contents;
// a log written is a plain file of one name. A FIFO there goes as a name; a
// folder is refused before any change, told (3), not taken for a misuse.
TEST_F(Program, LogIsNeverWrittenThroughAnotherName) {
    writeFile(temp.at("from/a.txt"), "a");
    const std::vector<PlantedLog> cases = {
        {"a link to a file", "", [](const fs::path& log, const fs::path& victim) { fs::create_symlink(victim, log); },
         0},
        {"a link, dry run", "-n", [](const fs::path& log, const fs::path& victim) { fs::create_symlink(victim, log); },
         0},
        {"a dangling link", "-n",
         [](const fs::path& log, const fs::path& victim) { fs::create_symlink(victim.string() + ".new", log); }, 0},
        {"a second name", "", [](const fs::path& log, const fs::path& victim) { fs::create_hard_link(victim, log); },
         0},
        {"a FIFO", "", [](const fs::path& log, const fs::path&) { mkfifo(log.c_str(), 0600); }, 0},
        {"a folder", "", [](const fs::path& log, const fs::path&) { fs::create_directory(log); }, 3},
    };
    for (const PlantedLog& planted : cases) {
        SCOPED_TRACE(planted.name);
        fs::remove_all(temp.at("logs"));
        fs::create_directories(temp.at("logs"));
        writeFile(temp.at("victim"), "secret");
        chmod(at("victim").c_str(), 0600);
        std::string name = std::string("logs/korvaneui") + (planted.dryRunFlag[0] ? ".dry-run.log" : ".log");
        planted.plant(temp.at(name), temp.at("victim"));
        std::vector<std::string> arguments = {"-l", at("logs"), at("from"), at("to")};
        if (planted.dryRunFlag[0]) arguments.insert(arguments.begin(), planted.dryRunFlag);
        Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, planted.status) << outcome.err;
        EXPECT_EQ(readFile(temp.at("victim")), "secret");
        EXPECT_FALSE(fs::exists(at("victim") + ".new"));
        struct stat st;
        ASSERT_EQ(lstat(at(name).c_str(), &st), 0);
        if (planted.status != 0) {
            EXPECT_TRUE(contains(outcome.err, "cannot be written: Is a directory")) << outcome.err;
            EXPECT_FALSE(contains(outcome.err, "--help")) << outcome.err;
            continue;
        }
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_nlink, 1u);
        if (geteuid() == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
        EXPECT_TRUE(contains(readFile(temp.at(name)), "Start to copy ["));
    }
}

// A write that fails on standard output or error fails the run (exit 1)
// with a line saying so, and the program's own files never take the
// numbers of the streams it was started without.
TEST_F(Program, OutputThatCannotBeWrittenIsAFailure) {
    writeFile(temp.at("from/a.txt"), "a");
    struct Case {
        std::vector<std::string> options;
        std::string redirect;
        const char* said;
    };
    const std::vector<Case> cases = {
        {{"--stats"}, ">/dev/full", "standard output could not be written: No space left on device"},
        {{"--json"}, ">/dev/full", "standard output could not be written"},
        {{"-v", "-l", at("logs")}, ">&-", "standard output could not be written: Bad file descriptor"},
        {{"--help"}, ">/dev/full", "standard output could not be written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.redirect);
        fs::remove_all(temp.at("to"));
        fs::create_directories(temp.at("to"));
        std::vector<std::string> arguments = c.options;
        if (c.options[0] != "--help") {
            arguments.push_back(at("from"));
            arguments.push_back(at("to"));
        }
        Outcome outcome = run(arguments, "", c.redirect);
        EXPECT_EQ(outcome.status, 1) << outcome.err;
        EXPECT_TRUE(contains(outcome.err, c.said)) << outcome.err;
    }
    // The log kept each line once, though standard output was closed.
    std::string log = readFile(temp.at("logs/korvaneui.log"));
    EXPECT_EQ(log.find("  CP: ["), log.rfind("  CP: ["));
}

// A list is read from a plain file, or from standard input: a FIFO or a
// device named otherwise would be read until killed.
TEST_F(Program, ListThatIsNoPlainFileIsRefused) {
    writeFile(temp.at("from/a.txt"), "a");
    mkfifo(at("fifo").c_str(), 0600);
    for (const std::string& list : {at("fifo"), std::string("/dev/zero")}) {
        Outcome outcome = run({"-f", list, at("from"), at("to")});
        EXPECT_EQ(outcome.status, 3) << list;
        EXPECT_TRUE(contains(outcome.err, "! Error => Copy list error. [")) << outcome.err;
        EXPECT_TRUE(contains(outcome.err, "not a plain file")) << outcome.err;
    }
    Outcome piped = run({"-f", "/dev/stdin", at("from"), at("to")}, "printf 'a.txt\\n' | ");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(readFile(temp.at("to/a.txt")), "a");
}

// A dry run of a To that --mkpath would make predicts the real run: its
// refusals and its lines.
TEST_F(Program, DryRunOfANewToPredictsTheRealRun) {
    writeFile(temp.at("from/a.txt"), "a");
    struct Case {
        std::vector<std::string> options;
        std::string to;
    };
    const std::vector<Case> cases = {
        {{"-r", "("}, "new/x"},           {{"-f", at("nolist")}, "new/x"}, {{}, "missing/../from/new"},
        {{"-l", at("new2/x")}, "new2/x"}, {{"-s", "-y"}, "new3/x"},        {{}, "from/inside"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"--mkpath", at("from"), at(c.to)});
        std::vector<std::string> dryArguments = arguments;
        dryArguments.insert(dryArguments.begin(), "-n");
        Outcome dry = run(dryArguments);
        Outcome real = run(arguments);
        EXPECT_EQ(dry.status, real.status) << dry.err << real.err;
        if (real.status == 0) {
            EXPECT_TRUE(contains(dry.out, "the run would copy 1 file.")) << dry.out;
        }
    }
}

}  // namespace
#endif
