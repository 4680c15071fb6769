#include "window_harness.h"

#include <gtest/gtest.h>

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

void WindowTest::SetUp() {
    GetCurrentDirectoryW(MAX_PATH, previousDirectory);
    SetCurrentDirectoryW(temp.root.c_str());
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
