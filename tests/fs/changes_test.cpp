// The layer every change passes through: in a dry run it answers as the real
// operation would and leaves the disk as it was; after a stop it changes nothing.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fs/changes.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// Names, kinds, sizes and contents of everything below root.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> result;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        fs::file_status status = it->symlink_status();
        std::string value = std::to_string(static_cast<int>(status.type()));
        if (status.type() == fs::file_type::regular) value += ":" + readFile(it->path());
        result[fs::relative(it->path(), root).string()] = value;
    }
    return result;
}

struct DryRun : testing::Test {
    TempDir temp;
    void SetUp() override {
        writeFile(temp.at("file.txt"), "f");
        writeFile(temp.at("dir/inner.txt"), "i");
        writeFile(temp.at("full/keep.txt"), "k");
        fs::create_directories(temp.at("empty"));
#ifndef _WIN32
        fs::create_symlink(temp.at("file.txt"), temp.at("link"));
        mkfifo(temp.at("fifo").string().c_str(), 0600);
#endif
    }
    void TearDown() override { platformClearStop(); }
    Changes changes;
    std::wstring path(const std::string& relative) { return fromWide(temp.wide(relative)); }
};

TEST_F(DryRun, AnswersAsTheRealOperationsWithoutChangingTheDisk) {
    auto before = snapshot(temp.at());
    setUpChanges(&changes, true, 0, 0);
    struct Case {
        const char* what;
        SystemResult (*operation)(Changes*, const wchar_t*);
        std::string path;
        bool answer;
    };
    const std::vector<Case> cases = {
        {"create where nothing is", changeCreateDirectory, "new", true},
        {"create below what it created", changeCreateDirectory, "new/deeper", true},
        {"create where a file is", changeCreateDirectory, "file.txt", false},
        {"create where a directory is", changeCreateDirectory, "dir", false},
        {"clear protection of a file", changeClearProtection, "file.txt", true},
        {"clear protection of nothing", changeClearProtection, "missing", false},
        {"delete a file", changeDeleteFile, "dir/inner.txt", true},
        {"delete it again", changeDeleteFile, "dir/inner.txt", false},
        {"delete a directory as a file", changeDeleteFile, "empty", false},
        {"remove a directory emptied", changeRemoveDirectory, "dir", true},
        {"remove a directory that holds a file", changeRemoveDirectory, "full", false},
        {"remove an empty directory", changeRemoveDirectory, "empty", true},
        {"remove a file as a link", changeRemoveLink, "file.txt", false},
#ifndef _WIN32
        {"remove a link", changeRemoveLink, "link", true},
        {"remove it again", changeRemoveLink, "link", false},
#endif
    };
    for (const Case& c : cases) {
        SystemResult result = c.operation(&changes, path(c.path).c_str());
        EXPECT_EQ(result.done, c.answer) << c.what;
        EXPECT_EQ(result.reason != 0, !c.answer) << c.what;  // a failure comes with its reason
    }
    EXPECT_TRUE(changeWriteAttributeWord(&changes, path("new").c_str(), 0755)) << "a directory it created";
    EXPECT_FALSE(changeWriteAttributeWord(&changes, path("missing").c_str(), 0755));

    struct CopyCase {
        const char* what;
        std::string source;
        std::string target;
        CopyOutcome outcome;
    };
    const std::vector<CopyCase> copies = {
        {"a file to a new name", "file.txt", "copy.txt", COPY_DONE},
        {"a file over a file", "file.txt", "full/keep.txt", COPY_DONE},
        {"a missing file", "missing", "copy.txt", COPY_FAILED},
        {"a directory", "empty", "copy.txt", COPY_FAILED},
        {"a file over a directory", "file.txt", "full", COPY_FAILED},
#ifndef _WIN32
        {"a FIFO", "fifo", "copy.txt", COPY_NOT_REGULAR},
#endif
    };
    for (const CopyCase& c : copies) {
        EXPECT_EQ(changeCopyFile(&changes, path(c.source).c_str(), path(c.target).c_str(), KeptMetadata{}).outcome,
                  c.outcome)
            << c.what;
    }
    EXPECT_EQ(snapshot(temp.at()), before);

    // Setting the changes up again forgets what was simulated.
    setUpChanges(&changes, true, 0, 0);
    EXPECT_TRUE(changeDeleteFile(&changes, path("dir/inner.txt").c_str()));
}

TEST_F(DryRun, AfterAStopNothingIsChangedReallyOrInSimulation) {
    auto before = snapshot(temp.at());
    for (bool dry : {false, true}) {
        setUpChanges(&changes, dry, 0, 0);
        platformRequestStop();
        EXPECT_FALSE(changeCreateDirectory(&changes, path("new").c_str()));
        EXPECT_FALSE(changeWriteAttributeWord(&changes, path("dir").c_str(), 0700));
        EXPECT_FALSE(changeClearProtection(&changes, path("file.txt").c_str()));
        EXPECT_EQ(changeCopyFile(&changes, path("file.txt").c_str(), path("copy.txt").c_str(), KeptMetadata{}).outcome,
                  COPY_STOPPED);
        EXPECT_FALSE(changeDeleteFile(&changes, path("file.txt").c_str()));
        EXPECT_FALSE(changeRemoveDirectory(&changes, path("empty").c_str()));
#ifndef _WIN32
        EXPECT_FALSE(changeRemoveLink(&changes, path("link").c_str()));
#endif
        platformClearStop();
    }
    EXPECT_EQ(snapshot(temp.at()), before);
}

}  // namespace
