// The window program started as a user starts it: one instance at a time.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "korvane_version.h"
#include "support/test_support.h"
#include "window_harness.h"

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
    // Its current folder and drive in one: what it puts at a drive's root stays in the test's folder.
    FolderDrive drive(temp.root.wstring());
    ASSERT_FALSE(drive.root.empty());
    PROCESS_INFORMATION first = {};
    ASSERT_TRUE(startProgram(drive.root, &first));
    for (int wait = 0; wait < 300 && mainWindows() == 0; ++wait) Sleep(100);
    ASSERT_EQ(mainWindows(), 1);

    PROCESS_INFORMATION second = {};
    ASSERT_TRUE(startProgram(drive.root, &second));
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

// A string of a version resource, from the table of its first translation
// (where Explorer's Properties page reads it); "" when missing.
std::wstring versionString(std::vector<char>* block, const wchar_t* name) {
    WORD* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block->data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
        length < 2 * sizeof(WORD)) {
        return L"";
    }
    wchar_t query[96];
    std::swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    wchar_t* value = nullptr;
    if (!VerQueryValueW(block->data(), query, reinterpret_cast<void**>(&value), &length) || length == 0) return L"";
    return std::wstring(value);
}

// Both programs carry the project's version, read back as Explorer reads it.
TEST(WindowProgram, BothProgramsCarryTheVersion) {
    struct Case {
        const char* program;
        const wchar_t* fileName;
    };
    for (const Case& c : {Case{KORVANE_WINDOW_PROGRAM, L"korvaneui.exe"}, Case{KORVANE_CLI_PROGRAM, L"korvane.exe"}}) {
        SCOPED_TRACE(c.program);
        std::wstring path = windowsPath(c.program);
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<char> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(KORVANE_VERSION_MAJOR << 16 | KORVANE_VERSION_MINOR));
        EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(KORVANE_VERSION_PATCH << 16 | KORVANE_VERSION_TWEAK));
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(versionString(&block, L"FileVersion"), L"" KORVANE_VERSION_TEXT);
        EXPECT_EQ(versionString(&block, L"ProductVersion"), L"" KORVANE_VERSION_TEXT);
        EXPECT_EQ(versionString(&block, L"ProductName"), L"korvane");
        EXPECT_EQ(versionString(&block, L"OriginalFilename"), c.fileName);
        EXPECT_NE(versionString(&block, L"FileDescription"), L"");
        EXPECT_NE(versionString(&block, L"LegalCopyright").find(L"MIT"), std::wstring::npos);
    }
}

}  // namespace
