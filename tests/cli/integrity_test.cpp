// Contents compared and copies checked: -c finds what size and time hide,
// one worker and eight tell the same, --verify reads each copy back, and a
// copy damaged in To is written again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/program_harness.h"
#include "support/test_support.h"

namespace {

// The number a --json object gives for key ("compared"), or -1.
long long jsonNumber(const std::string& json, const std::string& key) {
    size_t at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stoll(json.substr(at + key.size() + 3));
}

// The lines of text that begin with prefix.
int linesWith(const std::string& text, const std::string& prefix) {
    int count = 0;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) ++count;
    return count;
}

// Writes contents over path and gives it back the modification time it had.
void rewriteKeepingTime(const fs::path& path, const std::string& contents, const fs::path& timeOf) {
    writeFile(path, contents);
    copyModified(timeOf, path);
}

// A From of many files in folders, mirrored to To; then, with size and time
// kept, edited.bin and three files of the folders get other contents,
// retimed.bin another time alone, grown.bin another size.
struct Checksum : Program {
    void SetUp() override {
        Program::SetUp();
        for (int i = 0; i < 60; ++i) {
            writeFile(at("from/d" + std::to_string(i % 6) + "/f" + std::to_string(i)),
                      std::string(1000 + i * 97, static_cast<char>('a' + i % 26)));
        }
        writeFile(at("from/edited.bin"), std::string(70000, 'x'));
        writeFile(at("from/retimed.bin"), "the same words");
        writeFile(at("from/grown.bin"), "short");
        ASSERT_EQ(run({"-s", "-y", "--mkpath", at("from"), at("to")}).status, 0);
        rewriteKeepingTime(at("from/edited.bin"), std::string(69999, 'x') + "y", at("to/edited.bin"));
        for (int i : {7, 20, 41}) {
            std::string name = "/d" + std::to_string(i % 6) + "/f" + std::to_string(i);
            rewriteKeepingTime(at("from" + name), std::string(1000 + i * 97, '#'), at("to" + name));
        }
        shiftModified(at("from/retimed.bin"), -3600);
        writeFile(at("from/grown.bin"), "longer now");
    }
};

// Without -c the edits hide behind size and time; with it they are found,
// told why with -v, and one worker predicts what eight do.
TEST_F(Checksum, FindsWhatSizeAndTimeHideAndWorkersAgree) {
    Outcome plain = run({"-s", "-y", "-v", at("from"), at("to")});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(readFile(at("to/edited.bin")), readFile(at("from/edited.bin")));
    EXPECT_EQ(linesWith(plain.out, "  CP: ["), 2) << plain.out;  // retimed.bin and grown.bin

    Outcome dry = run({"-n", "-j", "1", "-c", "-s", "-y", "-v", at("from"), at("to")});
    Outcome done = run({"-j", "8", "-c", "-s", "-y", "-v", at("from"), at("to")});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(tree("to"), tree("from"));
    EXPECT_EQ(linesWith(done.out, "  Contents differ, size and time alike: ["), 4) << done.out;
    EXPECT_EQ(linesWith(done.out, "  CP: ["), 4) << done.out;
    std::string said = done.out.substr(0, done.out.find(" dirs and files"));
    std::string predicted = dry.out.substr(0, dry.out.find("Dry run:"));
    EXPECT_EQ(predicted, said.substr(0, said.rfind('\n') + 1));

    // Now every file is of its copy's size: each is read, both sides hashed, nothing copied.
    Outcome again = run({"-c", "-s", "-y", "--json", at("from"), at("to")});
    EXPECT_EQ(jsonNumber(again.out, "copied"), 0) << again.out;
    EXPECT_EQ(jsonNumber(again.out, "compared"), 63) << again.out;
    EXPECT_GT(jsonNumber(again.out, "bytes_hashed"), 2 * 70000) << again.out;
}

// Contents alike under another time: the time alone is given (an MD line),
// so that a run by time finds the copy up to date afterwards.
TEST_F(Checksum, AlikeContentsTakeTheTimeAlone) {
    writeFile(at("to/retimed.bin"), readFile(at("from/retimed.bin")));
    shiftModified(at("to/retimed.bin"), 7200);
    Outcome done = run({"-c", "-s", "-y", "-v", at("from"), at("to")});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_TRUE(contains(done.out, "  MD: [" + at("from/retimed.bin"))) << done.out;
    Outcome after = run({"-s", "-y", "-v", at("from"), at("to")});
    EXPECT_FALSE(contains(after.out, "retimed.bin")) << after.out;
}

// Each copy of a verifying run is read back and counted; alike contents
// under another time are left as they are.
TEST_F(Checksum, VerifiedCopiesAreCounted) {
    Outcome done = run({"--verify", "-s", "-y", "--json", at("from"), at("to")});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(jsonNumber(done.out, "copied"), 2) << done.out;
    EXPECT_EQ(jsonNumber(done.out, "verified"), 2) << done.out;
    EXPECT_EQ(jsonNumber(done.out, "verify_failed"), 0) << done.out;
    fs::remove_all(at("to2"));
    done = run({"--verify", "-j", "8", "-s", "-y", "--mkpath", "--json", at("from"), at("to2")});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(jsonNumber(done.out, "verified"), 63) << done.out;
    EXPECT_EQ(tree("to2"), tree("from"));
}

// A copy changed in To under its size and time no longer matches the record
// its copy carries: it is written again and told without -v, where the
// volume keeps records; elsewhere it is a difference like any other.
TEST_F(Checksum, ADamagedCopyIsWrittenAgain) {
    ASSERT_EQ(run({"-c", "-s", "-y", at("from"), at("to")}).status, 0);
    rewriteKeepingTime(at("to/d1/f7"), std::string(1000 + 7 * 97, '!'), at("from/d1/f7"));
    Outcome done = run({"-c", "-s", "-y", "--json", at("from"), at("to")});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(tree("to"), tree("from"));
    EXPECT_EQ(jsonNumber(done.out, "copied"), 1) << done.out;
    if (!onWindows()) {
        EXPECT_TRUE(contains(done.err, "  Damaged copy written again: [")) << done.err;
        EXPECT_EQ(jsonNumber(done.out, "copies_rewritten"), 1) << done.out;
    }
}

}  // namespace
