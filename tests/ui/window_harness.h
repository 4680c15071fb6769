// Drives the real main window in the test process: creates it, clicks its
// controls, and answers the boxes it opens from a timer, as a user would.
#ifndef KORVANE_TESTS_WINDOW_HARNESS_H
#define KORVANE_TESTS_WINDOW_HARNESS_H

#include <gtest/gtest.h>
#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ui/ui_context.h"

// A box the program opened, as the answerer saw it.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    int answer;
};

// Answers every box (message box or dialog) the program opens, in order.
struct BoxAnswerer {
    std::deque<int> answers;          // IDYES, IDNO, IDOK ...; IDOK/IDCANCEL when empty
    std::vector<SeenBox> seen;        // every box answered, in order
    std::function<void(HWND)> onBox;  // runs before each answer, with the box
    UINT_PTR timer = 0;

    void start();
    void stop();
};

// The answerer that the timer serves.
extern BoxAnswerer* activeAnswerer;

// A drive letter that stands for a folder while it lives (as subst makes
// one): a program whose current folder is the drive's root writes what it
// puts at "the root of the current drive" into the folder, nowhere else.
struct FolderDrive {
    std::wstring folder;  // the folder the drive stands for
    std::wstring root;    // its root, "K:\\", or empty when no letter was free
    bool wine = false;    // made by Wine's mount manager (Wine keeps no DefineDosDevice drive)
    explicit FolderDrive(const std::wstring& folder);
    ~FolderDrive();
    FolderDrive(const FolderDrive&) = delete;
    FolderDrive& operator=(const FolderDrive&) = delete;
};

// A fresh main window for each test, its current folder a fresh temporary
// folder that is also the root of its current drive.
struct WindowTest : testing::Test {
    TempDir temp;
    FolderDrive drive{temp.root.wstring()};
    BoxAnswerer boxes;
    HWND window = nullptr;
    wchar_t previousDirectory[MAX_PATH] = {0};

    void SetUp() override;
    void TearDown() override;

    // Creates the main window (after settings were written, when a test wants them).
    void createWindow();
    // Destroys the window if it still exists and drains the quit message.
    void closeWindow();

    // Clicks a control as the user would (its BN_CLICKED command).
    void click(int identifier);
    // Sends a menu or accelerator command (lParam 0).
    void command(int identifier);
    std::wstring text(int identifier);
    bool enabled(int identifier);
    bool checked(int identifier);
    void setText(int identifier, const std::wstring& value);
    // Handles what is waiting in the queue.
    void pump();
};

// Saves a screenshot of the virtual display as build output (a PNG by ImageMagick).
void takeScreenshot(const std::string& name);

#endif
