// The window program started as a user starts it: one instance at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/test_support.h"

namespace {

std::wstring windowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

bool startProgram(const std::wstring& directory, PROCESS_INFORMATION* process) {
    std::wstring program = windowsPath(KORVANE_WINDOW_PROGRAM);
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                          &startup, process) != 0;
}

BOOL CALLBACK CountMainWindows(HWND window, LPARAM count) {
    wchar_t className[64] = {0};
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, L"KORVANEUI") == 0) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int mainWindows() {
    int count = 0;
    EnumWindows(CountMainWindows, reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST(WindowProgram, SecondStartEndsAtOnceLeavingOneWindow) {
    TempDir temp;
    PROCESS_INFORMATION first = {};
    ASSERT_TRUE(startProgram(temp.root.wstring(), &first));
    for (int wait = 0; wait < 300 && mainWindows() == 0; ++wait) Sleep(100);
    ASSERT_EQ(mainWindows(), 1);

    PROCESS_INFORMATION second = {};
    ASSERT_TRUE(startProgram(temp.root.wstring(), &second));
    EXPECT_EQ(WaitForSingleObject(second.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(second.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(mainWindows(), 1);
    EXPECT_EQ(WaitForSingleObject(first.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    TerminateProcess(first.hProcess, 0);
    WaitForSingleObject(first.hProcess, 10000);
    for (HANDLE handle : {first.hProcess, first.hThread, second.hProcess, second.hThread}) CloseHandle(handle);
}

}  // namespace
