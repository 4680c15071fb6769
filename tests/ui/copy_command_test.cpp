// The window at work: "Copy" clicked, every box answered, the results read back.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "engine/run_context.h"
#include "support/recording_host.h"
#include "window_harness.h"

namespace {

struct CopyCommandTest : WindowTest {
    void SetUp() override {
        WindowTest::SetUp();
        fs::create_directories(temp.at("from"));
        fs::create_directories(temp.at("to"));
        fs::create_directories(temp.at("logs"));
    }
    void fillFolders() {
        setText(IDC_FROM_FOLDER_EDIT, temp.at("from").wstring());
        setText(IDC_TO_FOLDER_EDIT, temp.at("to").wstring());
        setText(IDC_LOG_FOLDER_EDIT, temp.at("logs").wstring());
    }
    std::vector<std::string> log() { return logLines(temp.at("logs/korvaneui.log")); }
    std::wstring logPath() { return temp.at("logs").wstring() + L"\\korvaneui.log"; }
    // The enabled state of every control, in identifier order.
    std::vector<bool> enabledStates() {
        std::vector<bool> states;
        for (int identifier = IDC_FROM_FOLDER_BUTTON; identifier <= IDC_STATUS_EDIT; ++identifier) {
            states.push_back(enabled(identifier));
        }
        return states;
    }
};

TEST_F(CopyCommandTest, SuccessfulFolderRun) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("from/sub/b.txt"), "b");
    createWindow();
    fillFolders();
    boxes.answers = {IDYES, IDOK};
    boxes.onBox = [](HWND box) {
        wchar_t caption[64] = {0};
        GetWindowTextW(box, caption, 64);
        if (GetDlgItem(box, IDYES) == nullptr) takeScreenshot("finished-run.png");
    };
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[0].text, L"Do you want to start copy?");
    EXPECT_EQ(boxes.seen[0].caption, L"korvaneui");
    EXPECT_EQ(boxes.seen[1].text, L"3 dirs and files updated.");
    EXPECT_EQ(readFile(temp.at("to/sub/b.txt")), "b");
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"Total: [1 dirs] and [2 files].");
    EXPECT_EQ(log().back(), "Updated: [3 dirs and files]. ");
    EXPECT_TRUE(enabled(IDC_COPY_BUTTON));
}

TEST_F(CopyCommandTest, SynchronousMirrorAndDeclinedQuestion) {
    writeFile(temp.at("from/a.txt"), "a");
    writeFile(temp.at("to/surplus.txt"), "s");
    createWindow();
    fillFolders();
    click(IDC_SYNCHRONOUS_CHECK);
    click(IDC_SHOW_COPY_FILE_CHECK);

    boxes.answers = {IDYES, IDNO};
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 2u);  // no result box after a declined question
    EXPECT_EQ(boxes.seen[1].text,
              L"[Synchronous] will delete the dirs and files from [To Folder]\nwhich is not exist in "
              L"[From Folder].\n\nDo you want to continue?");
    EXPECT_TRUE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_TRUE(enabled(IDC_COPY_BUTTON));
    EXPECT_TRUE(enabled(IDC_SYNCHRONOUS_CHECK));
    EXPECT_EQ(uiContext.statusColor, RGB(255, 0, 255));

    boxes.seen.clear();
    boxes.answers = {IDYES, IDYES, IDOK};
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 3u);
    EXPECT_EQ(boxes.seen[2].text, L"2 dirs and files updated.");
    EXPECT_FALSE(fs::exists(temp.at("to/surplus.txt")));
    EXPECT_TRUE(fs::exists(temp.at("to/a.txt")));
    std::vector<std::string> lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  DF: [" + logText(temp.wide("to/surplus.txt")) + "]"),
              lines.end());
}

TEST_F(CopyCommandTest, ErrorRunShowsRedStatusAndNamesTheLog) {
    writeFile(temp.at("from/clash"), "file");
    fs::create_directories(temp.at("to/clash"));
    createWindow();
    fillFolders();
    boxes.answers = {IDYES, IDOK};
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"There are errors when copy files. \n\nPlease referrence:\n[" + logPath() + L"]");
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"There are errors when copy files.");
    EXPECT_EQ(uiContext.statusColor, RGB(255, 0, 0));
}

// A mirror of a From that gives next to nothing (an unplugged disk's empty
// folder, its lost+found alone, a stray file) is refused in the window as
// in the front end, before any change: the error line names the From
// Folder and why, the status is red, the box names the log.
TEST_F(CopyCommandTest, MirrorOfNextToNothingIsRefused) {
    const std::vector<std::vector<std::string>> froms = {{}, {"lost+found/"}, {"Thumbs.db"}};
    for (size_t i = 0; i < froms.size(); ++i) {
        SCOPED_TRACE(i);
        fs::remove_all(temp.at("from"));
        fs::create_directories(temp.at("from"));
        for (const std::string& entry : froms[i]) {
            if (entry.back() == '/') {
                fs::create_directories(temp.at("from/" + entry));
            } else {
                writeFile(temp.at("from/" + entry), "stray");
            }
        }
        for (int file = 0; file < 20; ++file) writeFile(temp.at("to/backup" + std::to_string(file) + ".doc"), "b");
        createWindow();
        fillFolders();
        click(IDC_SYNCHRONOUS_CHECK);
        boxes.seen.clear();
        boxes.answers = {IDYES, IDYES, IDOK};
        click(IDC_COPY_BUTTON);
        ASSERT_EQ(boxes.seen.size(), 3u);
        EXPECT_EQ(boxes.seen[2].text,
                  L"There are errors when copy files. \n\nPlease referrence:\n[" + logPath() + L"]");
        EXPECT_EQ(uiContext.statusColor, RGB(255, 0, 0));
        for (int file = 0; file < 20; ++file)
            EXPECT_TRUE(fs::exists(temp.at("to/backup" + std::to_string(file) + ".doc")));
        EXPECT_FALSE(fs::exists(temp.at("to/Thumbs.db")));
        std::vector<std::string> lines = log();
        ASSERT_FALSE(lines.empty());
        std::string refusal = "! Error => Source dir [" + logText(WideString(temp.at("from").wstring().c_str())) + "] ";
        EXPECT_EQ(lines.back().rfind(refusal, 0), 0u) << lines.back();
        EXPECT_NE(lines.back().find("holds [20] files"), std::string::npos) << lines.back();
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("  DF: ["), std::string::npos) << line;
        }
        closeWindow();
    }
}

// A run that would replace most of To's files (From rewritten in place, as
// ransomware leaves it) asks first, in a Yes/No box of the main window with
// the figures and No for the default: No ends the run as a declined
// Synchronous question does, nothing replaced or deleted; Yes goes on.
TEST_F(CopyCommandTest, MassRewriteIsAskedFirst) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDNO ? "No" : "Yes");
        for (int file = 0; file < 30; ++file) {
            std::string name = "d" + std::to_string(file % 2) + "/doc" + std::to_string(file) + ".txt";
            writeFile(temp.at("to/" + name), "old");
            writeFile(temp.at("from/" + name), "encrypted");
            shiftModified(temp.at("from/" + name), 60);
        }
        writeFile(temp.at("to/surplus.txt"), "s");
        createWindow();
        fillFolders();
        click(IDC_SYNCHRONOUS_CHECK);
        boxes.seen.clear();
        boxes.answers = {IDYES, IDYES, answer, IDOK};
        HWND owner = nullptr;
        std::vector<int> defaults;  // the buttons drawn as the default one
        boxes.onBox = [&](HWND box) {
            if (boxes.seen.back().text.rfind(L"The copy would replace", 0) != 0) return;
            owner = GetWindow(box, GW_OWNER);
            for (int button : {IDYES, IDNO}) {
                LONG style = GetWindowLongW(GetDlgItem(box, button), GWL_STYLE);
                if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) defaults.push_back(button);
            }
        };
        click(IDC_COPY_BUTTON);
        boxes.onBox = nullptr;
        ASSERT_EQ(boxes.seen.size(), answer == IDNO ? 3u : 4u);
        const SeenBox& asked = boxes.seen[2];
        EXPECT_EQ(asked.caption, L"korvaneui");
        EXPECT_EQ(
            asked.text.rfind(L"The copy would replace [30] of the [30] files in [" + temp.at("to").wstring() + L"]", 0),
            0u)
            << testing::PrintToString(asked.text);
        EXPECT_EQ(owner, window);
        EXPECT_EQ(defaults, std::vector<int>{IDNO});
        EXPECT_EQ(readFile(temp.at("to/d1/doc7.txt")), answer == IDNO ? "old" : "encrypted");
        EXPECT_EQ(fs::exists(temp.at("to/surplus.txt")), answer == IDNO);
        if (answer == IDNO) {
            EXPECT_EQ(text(IDC_STATUS_EDIT), L"[Copy] would replace [30] of [30] files in [To Folder].");
        } else {
            EXPECT_EQ(boxes.seen[3].text, L"31 dirs and files updated.");
        }
        EXPECT_TRUE(enabled(IDC_COPY_BUTTON));
        closeWindow();
    }
}

TEST_F(CopyCommandTest, ListFileRun) {
    writeFile(temp.at("from/sub/a.txt"), "a");
    writeFile(temp.at("from/b.txt"), "b");
    writeFile(temp.at("list.txt"), "sub\\a.txt\r\n");
    createWindow();
    fillFolders();
    click(IDC_FROM_FILE_CHECK);
    click(IDC_SYNCHRONOUS_CHECK);  // disabled in list mode: the click has no effect on the run
    setText(IDC_FROM_FILE_EDIT, temp.at("list.txt").wstring());
    boxes.answers = {IDYES, IDOK};
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"1 dirs and files updated.");
    EXPECT_TRUE(fs::exists(temp.at("to/sub/a.txt")));
    EXPECT_FALSE(fs::exists(temp.at("to/b.txt")));
    EXPECT_EQ(log().back(), "Updated: [1 files]. ");
    EXPECT_TRUE(enabled(IDC_FROM_FILE_BUTTON));
    EXPECT_FALSE(enabled(IDC_REGEX_CHECK));
}

TEST_F(CopyCommandTest, EmptyLogFolderIsSaidAndTheRunGoesOn) {
    writeFile(temp.at("from/a.txt"), "a");
    createWindow();
    fillFolders();
    setText(IDC_LOG_FOLDER_EDIT, L"");
    boxes.answers = {IDYES, IDOK, IDOK};
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 3u);
    EXPECT_EQ(boxes.seen[1].text, L"Log dir [] is not exist.");
    EXPECT_EQ(boxes.seen[2].text, L"1 dirs and files updated.");
    // The log goes to the root of the current drive, as the empty folder
    // says: the test's folder, which the test's drive stands for.
    EXPECT_TRUE(fs::exists(temp.at("korvaneui.log")));
}

TEST_F(CopyCommandTest, NoToTheFirstQuestionLeavesEveryStateAsItWas) {
    createWindow();
    fillFolders();
    click(IDC_REGEX_CHECK);
    std::vector<bool> before = enabledStates();
    boxes.answers = {IDNO};
    click(IDC_COPY_BUTTON);
    EXPECT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(enabledStates(), before);
    EXPECT_FALSE(fs::exists(temp.at("logs/korvaneui.log")));
}

TEST_F(CopyCommandTest, SettingsRoundTrip) {
    createWindow();
    boxes.answers = {IDYES};
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(readFile(temp.at("korvaneui.ini")),
              "1012=\r\n1013=\r\n1014=\r\n1015=\r\n1006=0\r\n1007=0\r\n1009=0\r\n1008=0\r\n1010=0\r\n"
              "1011=.+\\\\\\.svn.*\r\n");
    closeWindow();

    createWindow();
    fillFolders();
    click(IDC_SYNCHRONOUS_CHECK);
    click(IDC_REGEX_CHECK);
    click(IDC_EXCLUDE_REGEX_CHECK);
    click(IDC_FROM_FILE_CHECK);
    // A rule character beyond U+00FF that the code page holds survives too.
    std::wstring rule = L".*\x20AC.*";
    bool codePageHoldsIt = WideString(rule.c_str()).ToNarrow().length > 0;
    if (codePageHoldsIt) setText(IDC_REGEX_EDIT, rule);
    boxes.answers = {IDNO};
    SendMessageW(window, WM_CLOSE, 0, 0);  // No: nothing written, nothing closed
    EXPECT_TRUE(IsWindow(window));
    boxes.answers = {IDYES};
    command(IDM_EXIT);
    EXPECT_FALSE(IsWindow(window));
    closeWindow();

    createWindow();
    EXPECT_EQ(text(IDC_FROM_FOLDER_EDIT), temp.at("from").wstring());
    EXPECT_EQ(text(IDC_LOG_FOLDER_EDIT), temp.at("logs").wstring());
    EXPECT_TRUE(checked(IDC_SYNCHRONOUS_CHECK));
    EXPECT_TRUE(checked(IDC_REGEX_CHECK));
    EXPECT_TRUE(checked(IDC_EXCLUDE_REGEX_CHECK));
    EXPECT_TRUE(checked(IDC_FROM_FILE_CHECK));
    EXPECT_TRUE(enabled(IDC_FROM_FILE_BUTTON));
    EXPECT_FALSE(enabled(IDC_SYNCHRONOUS_CHECK));
    EXPECT_FALSE(enabled(IDC_REGEX_EDIT));
    if (codePageHoldsIt) {
        EXPECT_EQ(text(IDC_REGEX_EDIT), rule);
    }
}

// A path field keeps whatever it holds through a quit and a start: a
// character the code page lacks, an "=" that once moved the line's split.
TEST_F(CopyCommandTest, PathFieldsKeepWhateverTheyHold) {
    const std::vector<std::pair<int, std::wstring>> fields = {
        {IDC_FROM_FOLDER_EDIT, temp.at("from").wstring() + L"\\\x65C5"},
        {IDC_TO_FOLDER_EDIT, L"D:\\a=b"},
        {IDC_LOG_FOLDER_EDIT, L"E:\\\xD800\U0001F600"},
        {IDC_FROM_FILE_EDIT, L"C:\\plain.txt"},
    };
    createWindow();
    for (const auto& field : fields) setText(field.first, field.second);
    boxes.answers = {IDYES};
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(boxes.seen.size(), 1u) << "a save that worked tells nothing";
    std::string saved = readFile(temp.at("korvaneui.ini"));
    EXPECT_NE(saved.find("\r\n1013=D:\\a=b\r\nutf8:1013=D:\\a%3Db\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\r\n1015=C:\\plain.txt\r\n1006=0\r\n"), std::string::npos) << saved;
    closeWindow();

    createWindow();
    for (const auto& field : fields) EXPECT_EQ(text(field.first), field.second);
}

// A save that fails at the quit is told in a box over the window, with the
// file and the system's reason, before the window goes; on each way out.
TEST_F(CopyCommandTest, FailedSaveIsToldBeforeTheWindowCloses) {
    struct Case {
        const char* name;
        bool heldFile;       // another program holds the file open; else a folder stands in its place
        bool duringCommand;  // quit while the copy command's first question is open; else the close box
    };
    const std::vector<Case> cases = {{"folder, close box", false, false},
                                     {"file held open, quit during a command", true, true}};
    const std::wstring path = temp.root.wstring() + L"\\korvaneui.ini";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.heldFile) {
            writeFile(temp.at("korvaneui.ini"), "1012=C:\\kept\r\n");
            held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        } else {
            fs::create_directories(temp.at("korvaneui.ini"));
        }
        createWindow();
        fillFolders();
        boxes.seen.clear();
        bool windowThere = false;
        HWND owner = nullptr;
        bool okOnly = false;
        boxes.onBox = [&](HWND box) {
            if (boxes.seen.back().text.rfind(L"Settings", 0) != 0) {
                if (c.duringCommand && boxes.seen.size() == 1) PostMessageW(window, WM_CLOSE, 0, 0);
                return;
            }
            windowThere = IsWindow(window) != 0;
            owner = GetWindow(box, GW_OWNER);
            okOnly = GetDlgItem(box, IDOK) && !GetDlgItem(box, IDYES) && !GetDlgItem(box, IDCANCEL);
        };
        if (c.duringCommand) {
            boxes.answers = {IDYES, IDYES, IDOK};
            click(IDC_COPY_BUTTON);
        } else {
            boxes.answers = {IDYES, IDOK};
            SendMessageW(window, WM_CLOSE, 0, 0);
        }
        EXPECT_FALSE(IsWindow(window));
        ASSERT_EQ(boxes.seen.size(), c.duringCommand ? 3u : 2u);
        const SeenBox& told = boxes.seen.back();
        // Named as the window names it: its current folder (the drive's root), a separator, the name.
        std::wstring start = L"Settings could not be saved to [" + drive.root + L"\\korvaneui.ini]: ";
        EXPECT_EQ(told.text.rfind(start, 0), 0u) << testing::PrintToString(told.text);
        EXPECT_GT(told.text.size(), start.size()) << "the system's reason";
        EXPECT_EQ(told.caption, L"korvaneui");
        EXPECT_TRUE(windowThere);
        EXPECT_EQ(owner, window);
        EXPECT_TRUE(okOnly);
        closeWindow();
        boxes.onBox = nullptr;
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        if (c.heldFile) {
            EXPECT_EQ(readFile(temp.at("korvaneui.ini")), "1012=C:\\kept\r\n");
        }
        fs::remove_all(temp.at("korvaneui.ini"));
    }
}

TEST_F(CopyCommandTest, SettingsLinesApplyWhateverTheirOrder) {
    writeFile(temp.at("korvaneui.ini"), "1008=1\n1010=1\n1011=a=b\n 1007 = 1\n1016=from the file\n=1\n1005=1\n");
    createWindow();
    EXPECT_TRUE(checked(IDC_FROM_FILE_CHECK));
    EXPECT_TRUE(checked(IDC_REGEX_CHECK));
    EXPECT_TRUE(checked(IDC_SHOW_COPY_FILE_CHECK));
    EXPECT_TRUE(enabled(IDC_FROM_FILE_BUTTON));
    EXPECT_FALSE(enabled(IDC_SYNCHRONOUS_CHECK));
    EXPECT_FALSE(enabled(IDC_REGEX_CHECK));
    EXPECT_FALSE(enabled(IDC_EXCLUDE_REGEX_CHECK));
    EXPECT_FALSE(enabled(IDC_REGEX_EDIT));
    EXPECT_EQ(text(IDC_REGEX_EDIT), L"b");
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"from the file");
}

// A settings line of a megabyte once overflowed the stack at every start;
// the window now starts with the lines around it applied.
TEST_F(CopyCommandTest, MegabyteSettingsLineLoads) {
    writeFile(temp.at("korvaneui.ini"), "1010=1\n1016=" + std::string(1024 * 1024, 's') +
                                            "\n1011=" + std::string(1024 * 1024, 'r') + "\n1007=1\n");
    createWindow();
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(checked(IDC_FROM_FILE_CHECK));
    EXPECT_TRUE(checked(IDC_SHOW_COPY_FILE_CHECK));
}

HWND closingWindow = nullptr;

LRESULT CALLBACK CloseOnFirstEntry(int code, WPARAM wParam, LPARAM lParam) {
    auto* call = reinterpret_cast<CWPSTRUCT*>(lParam);
    // An entry's path is the first text the run shows as information.
    if (code == HC_ACTION && call->message == WM_COPY_STATUS && call->wParam == STATUS_INFO && closingWindow) {
        PostMessageW(closingWindow, WM_CLOSE, 0, 0);
        closingWindow = nullptr;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Yes to the quit question during a run stops the run at its next entry; the
// window then saves, closes, and shows no result box.
TEST_F(CopyCommandTest, QuitDuringARun) {
    for (int i = 0; i < 300; ++i) writeFile(temp.at("from/f" + std::to_string(i) + ".txt"), "x");
    createWindow();
    fillFolders();
    click(IDC_SHOW_COPY_FILE_CHECK);
    boxes.answers = {IDYES, IDYES};
    // Once the walk shows its first entry, the user closes the window.
    closingWindow = window;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, CloseOnFirstEntry, nullptr, GetCurrentThreadId());
    click(IDC_COPY_BUTTON);
    UnhookWindowsHookEx(hook);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"Do you want to quit really?");
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(log().back(), "! Error => It is broken by user.");
    EXPECT_TRUE(fs::exists(temp.at("korvaneui.ini")));
    int copied = 0;
    for (auto& entry : fs::directory_iterator(temp.at("to"))) {
        (void)entry;
        ++copied;
    }
    EXPECT_LT(copied, 300);
    MSG message;
    bool quitPosted = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) quitPosted |= message.message == WM_QUIT;
    EXPECT_TRUE(quitPosted);
}

TEST_F(CopyCommandTest, QuitWhileTheStartQuestionIsOpen) {
    writeFile(temp.at("from/a.txt"), "a");
    createWindow();
    fillFolders();
    boxes.answers = {IDYES, IDYES};
    boxes.onBox = [this](HWND) {
        if (boxes.seen.size() == 1) PostMessageW(window, WM_CLOSE, 0, 0);
    };
    click(IDC_COPY_BUTTON);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"Do you want to quit really?");
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
    EXPECT_TRUE(fs::exists(temp.at("korvaneui.ini")));
}

// A quit confirmed while any box of the run is open stops the run before its
// first change: nothing is copied or deleted after it, no result box comes,
// and the window saves and closes.
TEST_F(CopyCommandTest, QuitWhileEachBoxOfTheRunIsOpen) {
    struct Case {
        const wchar_t* box;  // the start of the box's text that the quit comes during
        bool missingLog;
    };
    const std::vector<Case> cases = {{L"Log dir [", true}, {L"[Synchronous]", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::wstring(c.box));
        writeFile(temp.at("from/a.txt"), "a");
        writeFile(temp.at("to/extra.txt"), "x");
        createWindow();
        fillFolders();
        if (c.missingLog) setText(IDC_LOG_FOLDER_EDIT, temp.at("nowhere").wstring());
        click(IDC_SYNCHRONOUS_CHECK);
        boxes.seen.clear();
        if (c.missingLog) {
            boxes.answers = {IDYES, IDOK, IDYES, IDYES};
        } else {
            boxes.answers = {IDYES, IDYES, IDYES, IDYES};
        }
        const wchar_t* during = c.box;
        bool posted = false;
        boxes.onBox = [this, during, &posted](HWND) {
            if (!posted && boxes.seen.back().text.rfind(during, 0) == 0) {
                PostMessageW(window, WM_CLOSE, 0, 0);
                posted = true;
            }
        };
        click(IDC_COPY_BUTTON);
        EXPECT_TRUE(posted);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_TRUE(fs::exists(temp.at("to/extra.txt")));
        EXPECT_FALSE(fs::exists(temp.at("to/a.txt")));
        for (const SeenBox& box : boxes.seen) {
            EXPECT_EQ(box.text.find(L"updated"), std::wstring::npos) << "no result box";
            EXPECT_EQ(box.text.find(L"There are errors"), std::wstring::npos) << "no result box";
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {}
        fs::remove(temp.at("korvaneui.ini"));
    }
}

HWND probedWindow = nullptr;
DWORD slowestAnswer = 0;
int probesAnswered = 0;

// Asks the window from another thread, as another program would, how long it
// takes to answer while a run is under way.
DWORD probeStart = 0;
int slowAnswers = 0;
bool coverOnce = false;  // once, cover the window and take the screenshots

LRESULT CALLBACK CoverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// Handles this thread's messages for a while.
void pumpFor(DWORD milliseconds) {
    DWORD until = GetTickCount() + milliseconds;
    while (GetTickCount() < until) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
}

// Covers the window with a grey one of this thread, a little larger, then
// takes it away: the window, busy with its run, must paint itself again.
void coverAndUncover() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = CoverProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    windowClass.lpszClassName = L"korvane-test-cover";
    RegisterClassW(&windowClass);
    RECT area;
    GetWindowRect(probedWindow, &area);
    HWND cover = CreateWindowExW(WS_EX_TOPMOST, windowClass.lpszClassName, L"cover", WS_POPUP | WS_VISIBLE,
                                 area.left - 20, area.top - 20, area.right - area.left + 40,
                                 area.bottom - area.top + 40, nullptr, nullptr, windowClass.hInstance, nullptr);
    pumpFor(500);
    takeScreenshot("covered.png");
    DestroyWindow(cover);
    pumpFor(1000);
    takeScreenshot("redrawn.png");
    UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
}

HWND startBox = nullptr;  // the start question's box: probing begins once it is gone

DWORD WINAPI ProbeWindow(LPVOID done) {
    // Wine on a display without a window manager may hold the thread that
    // hides a window for up to 2 s; the start question's box is let go first.
    while (IsWindow(startBox) && !*static_cast<volatile bool*>(done)) Sleep(10);
    probeStart = GetTickCount();
    // The first message between two threads sets up what they share (slow
    // under Wine); it is not the window's answer time.
    DWORD_PTR first = 0;
    SendMessageTimeoutW(probedWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &first);
    while (!*static_cast<volatile bool*>(done)) {
        DWORD before = GetTickCount();
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(probedWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result)) {
            DWORD took = GetTickCount() - before;
            if (took > slowestAnswer) slowestAnswer = took;
            if (took >= 500) {
                ++slowAnswers;
                fprintf(stderr, "slow answer: %lu ms, %lu ms into the run\n", took, before - probeStart);
            }
            ++probesAnswered;
        }
        if (coverOnce && probesAnswered == 20) {
            coverOnce = false;
            coverAndUncover();
        }
        Sleep(50);
    }
    return 0;
}

// Clicks "Copy", answers Yes and OK, and probes the window from another
// thread while the run goes on: from the start question's box gone to the
// result box shown.
void clickCopyWhileProbing(CopyCommandTest* test) {
    test->boxes.answers = {IDYES, IDOK};
    probedWindow = test->window;
    slowestAnswer = 0;
    probesAnswered = 0;
    slowAnswers = 0;
    volatile bool done = false;
    HANDLE prober = nullptr;
    test->boxes.onBox = [&](HWND box) {
        if (test->boxes.seen.size() == 1) {
            startBox = box;
            prober = CreateThread(nullptr, 0, ProbeWindow, const_cast<bool*>(&done), 0, nullptr);
        } else {
            done = true;
        }
    };
    test->click(IDC_COPY_BUTTON);
    done = true;
    if (prober) {
        WaitForSingleObject(prober, 10000);
        CloseHandle(prober);
    }
    test->boxes.onBox = nullptr;
}

// Without "Show Copy File" a run shows nothing per entry, yet the window
// answers within half a second all through it, and paints itself again
// after another window covered it (screenshots covered.png and redrawn.png).
TEST_F(CopyCommandTest, WindowAnswersDuringAQuietRun) {
    for (int i = 0; i < 20000; ++i) {
        writeFile(temp.at("from/d" + std::to_string(i % 200) + "/f" + std::to_string(i) + ".txt"), "x");
    }
    createWindow();
    fillFolders();
    coverOnce = true;
    clickCopyWhileProbing(this);
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"20200 dirs and files updated.");
    // Every answer comes within half a second. (The stall of about 2 s seen
    // before came as the start question's box was hidden, not in the run.)
    EXPECT_GT(probesAnswered, 20);
    EXPECT_EQ(slowAnswers, 0);
    EXPECT_LT(slowestAnswer, 500u);
}

// One long copy (a big file to a slow volume, under Wine) keeps the window
// answering as well: the copy goes on beside the window's thread.
TEST_F(CopyCommandTest, WindowAnswersDuringOneLongCopy) {
    if (!mountTestVolume(temp.at("below"), temp.at("slow"), "slow")) GTEST_SKIP() << "needs Wine and /dev/fuse";
    writeFile(temp.at("from/big.bin"), std::string(size_t{8} << 20, 'b'));
    createWindow();
    fillFolders();
    setText(IDC_TO_FOLDER_EDIT, temp.at("slow").wstring());
    DWORD started = GetTickCount();
    clickCopyWhileProbing(this);
    DWORD took = GetTickCount() - started;
    uintmax_t copied = fs::file_size(temp.at("slow/big.bin"));
    unmountTestVolume(temp.at("slow"));
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].text, L"1 dirs and files updated.");
    EXPECT_EQ(copied, uintmax_t{8} << 20);
    EXPECT_GT(took, 1000u) << "the volume was not slow";
    EXPECT_GT(probesAnswered, 5);
    EXPECT_EQ(slowAnswers, 0);
}

}  // namespace
