// The notification-area icon, its popup menu and the About box.
#include <windows.h>
#include <shellapi.h>

#include "engine/run_context.h"
#include "ui/ui_context.h"

namespace {

NOTIFYICONDATAW IconData(HWND window) {
    NOTIFYICONDATAW data;
    ZeroMemory(&data, sizeof data);
    data.cbSize = sizeof data;  // 956 in the 32-bit build
    data.hWnd = window;
    data.uID = IDI_KORVANEUI;
    data.hIcon = LoadIconW(uiContext.instance, MAKEINTRESOURCEW(IDI_SMALL));
    return data;
}

}  // namespace

void AddTrayIcon(HWND window) {
    NOTIFYICONDATAW data = IconData(window);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAY_NOTIFY;
    lstrcpynW(data.szTip, L"korvane 1.0", 12);
    Shell_NotifyIconW(NIM_ADD, &data);
}

void RemoveTrayIcon(HWND window) {
    NOTIFYICONDATAW data = IconData(window);
    Shell_NotifyIconW(NIM_DELETE, &data);
}

// The window comes to the foreground first, so that the menu closes when the
// user clicks elsewhere; the posted message lets it close cleanly.
void ShowTrayMenu(HWND window) {
    HMENU menu = LoadMenuW(uiContext.instance, MAKEINTRESOURCEW(IDC_KORVANEUI));
    HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
    POINT cursor;
    GetCursorPos(&cursor);
    if (popup) {
        SetForegroundWindow(window);
        if (TrackPopupMenuEx(popup, TPM_BOTTOMALIGN, cursor.x, cursor.y, window, nullptr)) {
            PostMessageW(window, WM_USER, 0, 0);
        }
    }
    if (menu) DestroyMenu(menu);
}

void ShowAboutBox(HWND window) {
    DialogBoxParamW(uiContext.instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, AboutDialogProc, 0);
}

// A third of the way into the main window, or into the screen when the
// window is parked off-screen.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        RECT window;
        GetWindowRect(uiContext.mainWindow, &window);
        int x;
        int y;
        if (window.left < 0 && window.top < 0 && window.right < 0 && window.bottom < 0) {
            x = (GetSystemMetrics(SM_CXSCREEN) - 170) / 3;
            y = (GetSystemMetrics(SM_CYSCREEN) - 85) / 3;
        } else {
            RECT client;
            GetClientRect(uiContext.mainWindow, &client);
            x = (client.right - 170) / 3 + window.left;
            y = (client.bottom - 85) / 3 + window.top;
        }
        SetWindowPos(dialog, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}
