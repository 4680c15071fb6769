// Deep trees: a run over paths of more than 600 characters does and logs what
// it does over the same tree made shallow.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "engine/folder_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "support/recording_host.h"

namespace {

// The fixture reaches its files whatever their length: on Windows through
// the long form, which the standard library's calls do not use.
#ifdef _WIN32
std::wstring longForm(const fs::path& path) {
    std::wstring text = path.wstring();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    return L"\\\\?\\" + text;
}

void makeDirectory(const fs::path& path) { ASSERT_TRUE(CreateDirectoryW(longForm(path).c_str(), nullptr)); }

void putFile(const fs::path& path, const std::string& contents) {
    HANDLE file = CreateFileW(longForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
}

void removeEntry(const fs::path& path) {
    std::wstring name = longForm(path);
    if (GetFileAttributesW(name.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((name + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring child = data.cFileName;
                if (child != L"." && child != L"..") removeEntry(path / child);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(name.c_str());
    } else {
        DeleteFileW(name.c_str());
    }
}

// Every entry below root, relative, directories with a trailing "/".
void listTree(const fs::path& root, const std::string& prefix, std::vector<std::string>* names) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((longForm(root) + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring child = data.cFileName;
        if (child == L"." || child == L"..") continue;
        std::string name = prefix + fs::path(child).string();
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            names->push_back(name + "/");
            listTree(root / child, name + "/", names);
        } else {
            names->push_back(name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}
#else
void makeDirectory(const fs::path& path) { ASSERT_TRUE(fs::create_directory(path)); }

void putFile(const fs::path& path, const std::string& contents) { writeFile(path, contents); }

void removeEntry(const fs::path& path) { fs::remove_all(path); }

void listTree(const fs::path& root, const std::string& prefix, std::vector<std::string>* names) {
    for (const auto& entry : fs::directory_iterator(root)) {
        std::string name = prefix + entry.path().filename().string();
        if (entry.is_directory()) {
            names->push_back(name + "/");
            listTree(entry.path(), name + "/", names);
        } else {
            names->push_back(name);
        }
    }
}
#endif

std::vector<std::string> treeOf(const fs::path& root) {
    std::vector<std::string> names;
    listTree(root, "", &names);
    std::sort(names.begin(), names.end());
    return names;
}

const int kLevels = 13;

// The name of a directory level: 48 characters deep, 3 shallow.
std::string levelName(int level, bool deep) {
    std::string number = std::to_string(10 + level);
    return deep ? std::string(46, 'd') + number : "d" + number;
}

struct DeepTree : testing::Test {
    TempDir temp;
    RecordingHost host;

    void SetUp() override { host.install(); }
    void TearDown() override {
        resetRunContext();
        removeEntry(temp.at("deep"));
        removeEntry(temp.at("shallow"));
    }

    fs::path top(bool deep) { return temp.at(deep ? "deep" : "shallow"); }
    // The chain of levels below a root, down to level (exclusive).
    fs::path chain(const fs::path& root, bool deep, int levels) {
        fs::path path = root;
        for (int level = 0; level < levels; ++level) path /= levelName(level, deep);
        return path;
    }
    // A From tree with a file on every level and, at the bottom, a folder of two files.
    void makeTrees(bool deep) {
        makeDirectory(top(deep));
        makeDirectory(top(deep) / "from");
        makeDirectory(top(deep) / "to");
        for (int level = 0; level < kLevels; ++level) {
            fs::path directory = chain(top(deep) / "from", deep, level + 1);
            makeDirectory(directory);
            putFile(directory / ("f" + std::to_string(level) + ".txt"), "level " + std::to_string(level));
        }
        fs::path bottom = chain(top(deep) / "from", deep, kLevels);
        makeDirectory(bottom / "leaf");
        putFile(bottom / "leaf" / "a.txt", "a");
        putFile(bottom / "leaf" / "b.txt", "b");
    }
    // Runs and gives the log, its lines sorted and the deep names made shallow.
    std::vector<std::string> run(bool deep, bool synchronous, int* result) {
        fs::path log = temp.at(deep ? "deep.log" : "shallow.log");
        openRunLog(toWide(log));
        runContext.hadErrors = false;
        *result =
            FolderCopyRun(synchronous, false, true, toWide(top(deep) / "from"), toWide(top(deep) / "to"), WideString());
        closeRunLog();
        std::vector<std::string> lines = logLines(log);
        for (std::string& line : lines) {
            for (size_t at; (at = line.find(logText(toWide(top(true))))) != std::string::npos;) {
                line.replace(at, logText(toWide(top(true))).size(), logText(toWide(top(false))));
            }
            for (int level = 0; level < kLevels; ++level) {
                std::string name = levelName(level, true);
                for (size_t at; (at = line.find(name)) != std::string::npos;) {
                    line.replace(at, name.size(), levelName(level, false));
                }
            }
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
};

// A first copy, a run that finds nothing to do, and a mirror that deletes a
// file and a folder in the deepest level: each as on the shallow tree.
TEST_F(DeepTree, RunsAsOnTheSameTreeMadeShallow) {
    makeTrees(true);
    makeTrees(false);
    fs::path deepBottom = chain(top(true) / "from", true, kLevels) / "leaf" / "b.txt";
    ASSERT_GT(deepBottom.wstring().size(), 600u);

    struct Step {
        const char* name;
        bool mirror;
        int updated;  // changes made: dirs and files copied, deleted, removed
    };
    const std::vector<Step> steps = {
        {"first copy", false, 2 * kLevels + 3}, {"no change", false, 0}, {"mirror with deletions", true, 4}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.mirror) {
            for (bool deep : {true, false}) {
                fs::path bottom = chain(top(deep) / "from", deep, kLevels);
                removeEntry(bottom / ("f" + std::to_string(kLevels - 1) + ".txt"));
                removeEntry(bottom / "leaf");
            }
        }
        int deepResult = 0;
        int shallowResult = 0;
        std::vector<std::string> deepLog = run(true, step.mirror, &deepResult);
        std::vector<std::string> shallowLog = run(false, step.mirror, &shallowResult);
        EXPECT_EQ(deepResult, RUN_OK);
        EXPECT_EQ(shallowResult, RUN_OK);
        EXPECT_EQ(deepLog, shallowLog);
        std::string updated = "Updated: [" + std::to_string(step.updated) + " dirs and files]. ";
        EXPECT_NE(std::find(deepLog.begin(), deepLog.end(), updated), deepLog.end()) << updated;
        EXPECT_EQ(treeOf(top(true) / "to"), treeOf(top(true) / "from"));
    }
    EXPECT_EQ(treeOf(top(true) / "to").size(), static_cast<size_t>(2 * kLevels - 1));
}

}  // namespace
