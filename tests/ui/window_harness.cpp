#include "window_harness.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/run_context.h"

BoxAnswerer* activeAnswerer = nullptr;

namespace {

BOOL CALLBACK CollectText(HWND child, LPARAM data) {
    wchar_t className[64] = {0};
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") != 0) return TRUE;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
    wchar_t text[1024] = {0};
    GetWindowTextW(child, text, 1024);
    auto* collected = reinterpret_cast<std::wstring*>(data);
    if (text[0] && collected->empty()) *collected = text;
    return TRUE;
}

BOOL CALLBACK FindBox(HWND candidate, LPARAM data) {
    wchar_t className[64] = {0};
    GetClassNameW(candidate, className, 64);
    if (lstrcmpW(className, L"#32770") == 0 && IsWindowVisible(candidate)) {
        *reinterpret_cast<HWND*>(data) = candidate;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK AnswerBoxes(HWND, UINT, UINT_PTR, DWORD) {
    BoxAnswerer* answerer = activeAnswerer;
    if (!answerer) return;
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
    if (!box || GetPropW(box, L"korvane-answered")) return;
    SetPropW(box, L"korvane-answered", reinterpret_cast<HANDLE>(1));
    SeenBox seen;
    wchar_t caption[256] = {0};
    GetWindowTextW(box, caption, 256);
    seen.caption = caption;
    EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&seen.text));
    bool yesNo = GetDlgItem(box, IDYES) != nullptr;
    if (!answerer->answers.empty()) {
        seen.answer = answerer->answers.front();
        answerer->answers.pop_front();
    } else {
        seen.answer = yesNo ? IDNO : IDOK;
    }
    answerer->seen.push_back(seen);
    if (answerer->onBox) answerer->onBox(box);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(seen.answer, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, seen.answer)));
}

}  // namespace

void BoxAnswerer::start() {
    activeAnswerer = this;
    timer = SetTimer(nullptr, 0, 30, AnswerBoxes);
}

void BoxAnswerer::stop() {
    if (timer) KillTimer(nullptr, timer);
    timer = 0;
    if (activeAnswerer == this) activeAnswerer = nullptr;
}

namespace {

// Wine's mount manager request that gives a drive letter a Unix folder (as winecfg does).
struct WineUnixDrive {
    ULONG size;
    ULONG type;
    ULONG fileSystem;
    DWORD serial;
    ULONGLONG device;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};

const DWORD kDefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

// Asks Wine's mount manager to make letter stand for the Unix folder unixFolder, or, when empty, to forget it.
bool defineWineDrive(wchar_t letter, const std::string& unixFolder) {
    std::vector<char> request(sizeof(WineUnixDrive) + unixFolder.size() + 1, 0);
    WineUnixDrive drive{};
    drive.size = static_cast<ULONG>(request.size());
    drive.type = unixFolder.empty() ? DRIVE_NO_ROOT_DIR : DRIVE_FIXED;
    drive.letter = static_cast<WCHAR>(letter - L'A' + L'a');
    drive.mountPointOffset = unixFolder.empty() ? 0 : sizeof(WineUnixDrive);
    std::memcpy(request.data(), &drive, sizeof drive);
    std::memcpy(request.data() + sizeof drive, unixFolder.c_str(), unixFolder.size());
    HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    BOOL done = DeviceIoControl(manager, kDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()), nullptr,
                                0, &returned, nullptr);
    CloseHandle(manager);
    return done != 0;
}

// The Unix name of a folder under Wine; empty elsewhere.
std::string wineUnixName(const std::wstring& folder) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return std::string();
    char* name = unixName(folder.c_str());
    if (!name) return std::string();
    std::string text(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

}  // namespace

FolderDrive::FolderDrive(const std::wstring& folderPath) : folder(folderPath) {
    DWORD taken = GetLogicalDrives();
    for (wchar_t letter = L'Y'; letter >= L'K'; --letter) {
        if (taken & (1u << (letter - L'A'))) continue;
        std::wstring name = std::wstring(1, letter) + L":";
        std::wstring candidate = name + L"\\";
        if (DefineDosDeviceW(0, name.c_str(), folder.c_str())) {
            if (GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) {
                root = candidate;
                return;
            }
            DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, name.c_str(), folder.c_str());
        }
        std::string unixFolder = wineUnixName(folder);
        if (!unixFolder.empty() && defineWineDrive(letter, unixFolder) &&
            GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES) {
            root = candidate;
            wine = true;
            return;
        }
    }
}

FolderDrive::~FolderDrive() {
    if (root.empty()) return;
    if (wine) {
        defineWineDrive(root[0], std::string());
    } else {
        DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, root.substr(0, 2).c_str(), folder.c_str());
    }
}

void WindowTest::SetUp() {
    ASSERT_FALSE(drive.root.empty()) << "no drive letter is free for the test's folder";
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    ASSERT_TRUE(SetCurrentDirectoryW(drive.root.c_str()));
    boxes.start();
}

void WindowTest::TearDown() {
    closeWindow();
    boxes.stop();
    SetCurrentDirectoryW(previousDirectory);
}

void WindowTest::createWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    wchar_t title[128] = {0};
    LoadStringW(instance, IDS_APP_TITLE, title, 128);
    runContext.appTitle = title;
    LoadStringW(instance, IDS_WINDOW_CLASS, uiContext.windowClassName, 128);
    uiContext.statusColor = GetSysColor(COLOR_WINDOWTEXT);
    RegisterMainWindowClass(instance);
    ASSERT_TRUE(CreateMainWindow(instance, SW_SHOWNORMAL));
    window = uiContext.mainWindow;
    pump();
}

void WindowTest::closeWindow() {
    if (window && IsWindow(window)) DestroyWindow(window);
    window = nullptr;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    UnregisterClassW(uiContext.windowClassName, GetModuleHandleW(nullptr));
    UiContext fresh = {};
    fresh.statusBrush = uiContext.statusBrush;
    uiContext = fresh;
}

void WindowTest::click(int identifier) {
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(identifier, BN_CLICKED),
                 reinterpret_cast<LPARAM>(ControlOf(identifier)));
}

void WindowTest::command(int identifier) { SendMessageW(window, WM_COMMAND, MAKEWPARAM(identifier, 0), 0); }

std::wstring WindowTest::text(int identifier) {
    wchar_t buffer[1024] = {0};
    GetDlgItemTextW(window, identifier, buffer, 1024);
    return buffer;
}

bool WindowTest::enabled(int identifier) { return IsWindowEnabled(ControlOf(identifier)) != 0; }

bool WindowTest::checked(int identifier) { return IsDlgButtonChecked(window, identifier) == BST_CHECKED; }

void WindowTest::setText(int identifier, const std::wstring& value) {
    SetDlgItemTextW(window, identifier, value.c_str());
}

void WindowTest::pump() {
    MSG message;
    for (int round = 0; round < 200 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++round) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void takeScreenshot(const std::string& name) {
    std::string folder = KORVANE_SCREENSHOT_DIR;
    std::string command = "start /wait /unix /usr/bin/import -window root " + folder + "/" + name;
    std::system(command.c_str());
}
