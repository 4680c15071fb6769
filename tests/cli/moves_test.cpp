// Moves in a mirror: what From renamed or moved is renamed in To, never
// copied again, never a different file taken for a moved one.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "cli/program_harness.h"
#include "support/test_support.h"

namespace {

// One way of changing From after a first mirror, and what the next mirror must do.
struct MoveCase {
    const char* name;
    std::function<void(Program*)> change;  // what the user did in From
    std::vector<std::string> options;      // given to the second mirror besides -s -y -v
    int moved;                             // MV lines
    int copied;                            // files copied
};

// Renames through a name between: a volume may take a rename in case
// alone for no change (Wine's view of a unix folder).
void renameIn(Program* p, const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(p->at(to)).parent_path());
    fs::rename(p->at(from), p->at(from) + ".between");
    fs::rename(p->at(from) + ".between", p->at(to));
}

// Output with the run folder's name (the run's start) left out, and one line end.
std::string comparable(const std::string& text) {
    static const std::regex runFolder("versions([\\\\/])[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{6}");
    static const std::regex returns("\r");
    return std::regex_replace(std::regex_replace(text, runFolder, "versions$1RUN"), returns, "");
}

// Lines of text that begin with prefix.
int linesWith(const std::string& text, const std::string& prefix) {
    int count = 0;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) ++count;
    return count;
}

// The lines of text with tag (CP:, KV:) that name one of the files.
int fileLines(const std::string& text, const std::string& tag) {
    int count = 0;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(tag, 0) != 0) continue;
        for (const char* name : {".jpg]", ".raw]", ".bin]"}) {
            std::string suffix(name);
            if (line.size() > suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
                ++count;
        }
    }
    return count;
}

// The first mirror's From: a folder of files with a folder in it, and loose files.
void firstTree(Program* p) {
    writeFile(p->at("from/photos/a.jpg"), std::string(30000, 'a'));
    writeFile(p->at("from/photos/b.jpg"), std::string(40000, 'b'));
    writeFile(p->at("from/photos/raw/c.raw"), std::string(50000, 'c'));
    writeFile(p->at("from/docs/big.bin"), std::string(70000, 'd'));
    writeFile(p->at("from/docs/note.txt"), "note");
    fs::create_directories(p->at("from/other"));
}

const std::vector<MoveCase>& moveCases() {
    static const std::vector<MoveCase> cases = {
        {"a renamed folder", [](Program* p) { renameIn(p, "from/photos", "from/pictures"); }, {}, 1, 0},
        {"a folder moved deeper, below new folders",
         [](Program* p) { renameIn(p, "from/photos", "from/archive/2020/photos"); },
         {},
         1,
         0},
        {"a name whose case changed", [](Program* p) { renameIn(p, "from/photos", "from/Photos"); }, {}, 1, 0},
        {"a file moved to another folder",
         [](Program* p) { renameIn(p, "from/docs/big.bin", "from/other/big.bin"); },
         {},
         1,
         0},
        {"a file moved into a new folder",
         [](Program* p) { renameIn(p, "from/docs/big.bin", "from/new/big.bin"); },
         {},
         1,
         0},
        {"a renamed folder whose file changed: its other files move one by one",
         [](Program* p) {
             renameIn(p, "from/photos", "from/pictures");
             writeFile(p->at("from/pictures/a.jpg"), std::string(31000, 'A'));
         },
         {},
         2,
         1},
        {"equal size and time with other contents is no move",
         [](Program* p) {
             auto time = fs::last_write_time(p->at("from/docs/big.bin"));
             fs::remove(p->at("from/docs/big.bin"));
             writeFile(p->at("from/other/big.bin"), std::string(70000, 'D'));
             fs::last_write_time(p->at("from/other/big.bin"), time);
         },
         {},
         0,
         1},
        {"under a rule a move is a copy and a deletion",
         [](Program* p) { renameIn(p, "from/photos", "from/pictures"); },
         {"--exclude", "*.txt"},
         0,
         3},
        {"a folder moved onto the name of a file in To: its files move into the folder made",
         [](Program* p) {
             fs::remove(p->at("from/docs/note.txt"));
             renameIn(p, "from/photos", "from/docs/note.txt");
         },
         {},
         3,
         0},
        {"the old behaviour asked for",
         [](Program* p) { renameIn(p, "from/photos", "from/pictures"); },
         {"--no-moves"},
         0,
         3},
        {"a move is no deletion to the deletion guard",
         [](Program* p) { renameIn(p, "from/photos", "from/pictures"); },
         {"--max-delete", "0"},
         1,
         0},
        {"a folder moved into a new folder",
         [](Program* p) { renameIn(p, "from/photos", "from/archive/photos"); },
         {},
         1,
         0},
    };
    return cases;
}

// Each case: the dry run with one worker tells the lines the run with
// eight then tells, To ends as From, and what moved was neither copied nor
// kept as a version.
TEST_F(Program, MovesAreRenamedInTo) {
    for (const MoveCase& c : moveCases()) {
        SCOPED_TRACE(c.name);
        fs::remove_all(at("from"));
        fs::remove_all(at("to"));
        fs::remove_all(at("versions"));
        firstTree(this);
        ASSERT_EQ(run({"-s", "-y", "--mkpath", at("from"), at("to")}).status, 0);
        c.change(this);
        std::vector<std::string> arguments = {"-s", "-y", "-v", "--versions", at("versions")};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(at("from"));
        arguments.push_back(at("to"));
        // One worker predicts what eight do, line for line.
        std::vector<std::string> dryArguments = arguments;
        dryArguments.insert(dryArguments.begin(), {"-n", "-j", "1"});
        arguments.insert(arguments.begin(), {"-j", "8"});
        Outcome dry = run(dryArguments);
        Outcome done = run(arguments);
        EXPECT_EQ(done.status, 0) << done.err;
        EXPECT_EQ(tree("to"), tree("from")) << done.out;
        EXPECT_EQ(linesWith(done.out, "  MV: ["), c.moved) << done.out;
        EXPECT_EQ(fileLines(done.out, "  CP: ["), c.copied) << done.out;
        // No file a move took is kept as a version: nothing was lost.
        if (c.copied == 0) {
            EXPECT_EQ(fileLines(done.out, "  KV: ["), 0) << done.out;
        }
        // The dry run predicted every line but its closing one.
        std::string said = comparable(done.out);
        size_t closing = said.rfind('\n', said.find(" dirs and files"));
        std::string predicted = comparable(dry.out);
        EXPECT_EQ(predicted.substr(0, predicted.find("Dry run:")),
                  closing == std::string::npos ? std::string() : said.substr(0, closing + 1))
            << dry.out;
        Outcome again = run({"-s", "-y", "-v", at("from"), at("to")});
        EXPECT_TRUE(contains(again.out, "0 dirs and files updated.")) << again.out;
    }
}

}  // namespace
