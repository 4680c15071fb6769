// Start-up and the message loop, with Tab and Shift+Tab navigation.
#include "engine/run_context.h"
#include "platform/platform.h"
#include "ui/ui_context.h"

UiContext uiContext = {};

HWND ControlOf(int identifier) {
    int index = identifier - IDC_FROM_FOLDER_BUTTON;
    if (index < 0 || index >= CONTROL_COUNT) return nullptr;
    return uiContext.controls[index];
}

bool IsChecked(HWND window, int identifier) { return IsDlgButtonChecked(window, identifier) == 1; }

namespace {

bool IsEligible(HWND child) {
    LONG style = GetWindowLongW(child, GWL_STYLE);
    return (style & WS_TABSTOP) && (style & WS_VISIBLE) && !(style & WS_DISABLED);
}

// Keeps Tab and Shift+Tab moving the focus between the controls; every message
// still goes on to TranslateMessage and DispatchMessageW.
void HandleKeys(const MSG& message) {
    if (message.message == WM_KEYDOWN && message.wParam == VK_TAB) {
        if (uiContext.shiftDown) {
            FocusPreviousControl(message.hwnd);
        } else {
            FocusNextControl(message.hwnd);
        }
    } else if (message.message == WM_KEYDOWN && message.wParam == VK_SHIFT) {
        uiContext.shiftDown = true;
    } else if (message.message == WM_KEYUP && message.wParam == VK_SHIFT) {
        uiContext.shiftDown = false;
    }
}

}  // namespace

void PumpWindowMessages() {
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) return;
    if (!GetMessageW(&message, nullptr, 0, 0)) {
        PostQuitMessage(static_cast<int>(message.wParam));  // the main loop must see it
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

void FocusNextControl(HWND current) {
    if (!uiContext.mainWindow) return;
    HWND first = nullptr;
    bool passed = false;
    HWND child = nullptr;
    while ((child = FindWindowExW(uiContext.mainWindow, child, nullptr, nullptr)) != nullptr) {
        bool eligible = IsEligible(child);
        if (eligible && passed) {
            SetFocus(child);
            return;
        }
        if (eligible && !first) first = child;
        if (child == current) passed = true;
    }
    SetFocus(first);
}

void FocusPreviousControl(HWND current) {
    if (!uiContext.mainWindow) return;
    HWND candidate = nullptr;
    HWND child = nullptr;
    while ((child = FindWindowExW(uiContext.mainWindow, child, nullptr, nullptr)) != nullptr) {
        if (child == current && candidate) break;
        if (IsEligible(child)) candidate = child;
    }
    SetFocus(candidate);
}

int RunProgram(HINSTANCE instance, int showCommand) {
    uiContext.statusColor = GetSysColor(COLOR_WINDOWTEXT);
    platformSetUserLocale();
    wchar_t title[128] = {0};
    LoadStringW(instance, IDS_APP_TITLE, title, 128);
    runContext.appTitle = title;
    LoadStringW(instance, IDS_WINDOW_CLASS, uiContext.windowClassName, 128);

    HANDLE mutex = CreateMutexW(nullptr, FALSE, title);
    if (!mutex) return -999;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 0;
    }
    RegisterMainWindowClass(instance);
    if (!CreateMainWindow(instance, showCommand)) {
        CloseHandle(mutex);
        return 0;
    }
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_KORVANEUI));

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0)) {
        if (TranslateAcceleratorW(message.hwnd, accelerators, &message)) continue;
        HandleKeys(message);
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CloseHandle(mutex);
    if (uiContext.statusBrush) DeleteObject(uiContext.statusBrush);
    return static_cast<int>(message.wParam);
}
