// The main window procedure: each message goes to a handler of its own.
#include <windows.h>
#include <shlobj.h>
#include <windowsx.h>

#include "engine/run_context.h"
#include "fs/paths.h"
#include "ui/ui_context.h"

namespace {

const COLORREF kMagenta = RGB(255, 0, 255);
const COLORREF kRed = RGB(255, 0, 0);

// Sets the mark opposite to the old one: set when it was clear, cleared when it was set.
void SetOppositeCheck(HWND window, int identifier, bool wasChecked) {
    SendDlgItemMessageW(window, identifier, BM_SETCHECK, wasChecked ? 0 : 1, 0);
}

void Enable(int identifier, bool enabled) { EnableWindow(ControlOf(identifier), enabled ? TRUE : FALSE); }

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM) {
    if (message == BFFM_INITIALIZED) SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, 0);
    return 0;
}

void BrowseInto(HWND window, const wchar_t* title, int field) {
    wchar_t buffer[MAX_PATH] = {0};
    if (BrowseForFolder(title, FOLDER_CHOICE_FLAGS, buffer, window) == 1) SetDlgItemTextW(window, field, buffer);
}

LRESULT OnCreate(HWND window) {
    if (!CreateMainControls(window)) {
        MessageBoxW(window, L"Application initialize error!", runContext.appTitle.buffer, MB_OK);
        DestroyWindow(window);
        return 0;
    }
    LoadSettings(window);
    AddTrayIcon(window);
    return 0;
}

LRESULT OnDestroy(HWND window) {
    RemoveTrayIcon(window);
    PostQuitMessage(0);
    return 0;
}

LRESULT OnSize(HWND window, WPARAM kind) {
    if (kind == SIZE_MINIMIZED) ShowWindow(window, SW_HIDE);
    return 0;
}

void PaintHeaderFrame(HWND window, int right) {
    HDC context = GetDC(window);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(1, 0, 0));
    HGDIOBJ oldPen = SelectObject(context, pen);
    HGDIOBJ oldBrush = SelectObject(context, GetStockObject(NULL_BRUSH));
    Rectangle(context, 4, 4, right, 25);
    SelectObject(context, oldBrush);
    SelectObject(context, oldPen);
    DeleteObject(pen);
    ReleaseDC(window, context);
}

LRESULT OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC context = BeginPaint(window, &paint);
    HGDIOBJ oldBrush = SelectObject(context, GetStockObject(NULL_BRUSH));
    RECT client;
    GetClientRect(window, &client);
    PaintHeaderFrame(window, client.right - 4);
    SetBkMode(context, TRANSPARENT);
    SetTextColor(context, kRed);
    if (uiContext.headerText) {
        TextOutW(context, 10, 5, uiContext.headerText, static_cast<int>(wcslen(uiContext.headerText)));
    }
    SelectObject(context, oldBrush);
    EndPaint(window, &paint);
    return 0;
}

void OnControlClicked(HWND window, int identifier) {
    switch (identifier) {
        case IDC_FROM_FOLDER_BUTTON:
            BrowseInto(window, L"Please select the source folder:", IDC_FROM_FOLDER_EDIT);
            break;
        case IDC_TO_FOLDER_BUTTON:
            BrowseInto(window, L"Please select the destination folder:", IDC_TO_FOLDER_EDIT);
            break;
        case IDC_LOG_FOLDER_BUTTON: BrowseInto(window, L"Please select the log folder:", IDC_LOG_FOLDER_EDIT); break;
        case IDC_COPY_BUTTON: CopyCommand(window); break;
        case IDC_FROM_FILE_BUTTON: {
            wchar_t buffer[MAX_PATH] = {0};
            if (ChooseListFile(buffer, window) == 1) SetDlgItemTextW(window, IDC_FROM_FILE_EDIT, buffer);
            break;
        }
        case IDC_SYNCHRONOUS_CHECK: ToggleSynchronousCheck(window, IsChecked(window, identifier)); break;
        case IDC_SHOW_COPY_FILE_CHECK: ToggleShowCopyFileCheck(window, IsChecked(window, identifier)); break;
        case IDC_REGEX_CHECK: ToggleRegexCheck(window, IsChecked(window, identifier)); break;
        case IDC_EXCLUDE_REGEX_CHECK: ToggleExcludeRegexCheck(window, IsChecked(window, identifier)); break;
        case IDC_FROM_FILE_CHECK: ToggleFromFileCheck(window, IsChecked(window, identifier)); break;
        default: break;
    }
}

void OnMenuCommand(HWND window, int command) {
    switch (command) {
        case IDM_ABOUT: ShowAboutBox(window); break;
        case IDM_EXIT: ConfirmQuit(window); break;
        case IDM_SHOW_MAIN:
            ShowWindow(window, SW_SHOWNORMAL);
            UpdateWindow(window);
            break;
        default: break;  // IDM_DASH among them: no action
    }
}

LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    if (lParam != 0) {
        if (HIWORD(wParam) == BN_CLICKED) OnControlClicked(window, LOWORD(wParam));
    } else {
        OnMenuCommand(window, LOWORD(wParam));
    }
    return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
}

// One brush of the window's colour for the whole process.
HBRUSH WindowColourBrush() {
    if (!uiContext.statusBrush) uiContext.statusBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    return uiContext.statusBrush;
}

// The status line and the path fields are painted opaque in the window's
// colour, so that a field cleared or given a shorter text shows nothing of
// its old text.
LRESULT OnCtlColorStatic(HDC context, HWND control) {
    if (control == ControlOf(IDC_STATUS_EDIT)) {
        SetTextColor(context, uiContext.statusColor);
        SetBkColor(context, GetSysColor(COLOR_BTNFACE));
        SetBkMode(context, OPAQUE);
        return reinterpret_cast<LRESULT>(WindowColourBrush());
    }
    for (int field = IDC_FROM_FOLDER_EDIT; field <= IDC_FROM_FILE_EDIT; ++field) {
        if (control != ControlOf(field)) continue;
        SetBkColor(context, GetSysColor(COLOR_BTNFACE));
        SetBkMode(context, OPAQUE);
        return reinterpret_cast<LRESULT>(WindowColourBrush());
    }
    return 0;
}

LRESULT OnLeftDoubleClick(HWND window, LPARAM lParam) {
    int x = GET_X_LPARAM(lParam);
    int y = GET_Y_LPARAM(lParam);
    RECT client;
    GetClientRect(window, &client);
    if (x > 4 && x < client.right - 4 && y >= 5 && y <= 28) ShowAboutBox(window);
    return 0;
}

LRESULT OnTrayNotify(HWND window, WPARAM identifier, LPARAM mouseMessage) {
    if (identifier != IDI_KORVANEUI) return 0;
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        ShowWindow(window, SW_SHOWNORMAL);
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        UpdateWindow(window);
        SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    } else if (mouseMessage == WM_RBUTTONUP) {
        ShowTrayMenu(window);
    }
    return 0;
}

LRESULT OnCopyStatus(HWND window, WPARAM kind, LPARAM text) {
    switch (kind) {
        case STATUS_INFO:
            SetDlgItemTextW(window, IDC_STATUS_EDIT, FromApiInteger<const wchar_t*>(text));
            uiContext.statusColor = GetSysColor(COLOR_WINDOWTEXT);
            break;
        case STATUS_NOTICE:
            SetDlgItemTextW(window, IDC_STATUS_EDIT, FromApiInteger<const wchar_t*>(text));
            uiContext.statusColor = kMagenta;
            break;
        case STATUS_ERROR:
            SetDlgItemTextW(window, IDC_STATUS_EDIT, FromApiInteger<const wchar_t*>(text));
            uiContext.statusColor = kRed;
            break;
        default: uiContext.statusColor = GetSysColor(COLOR_WINDOWTEXT); break;
    }
    InvalidateRect(ControlOf(IDC_STATUS_EDIT), nullptr, TRUE);
    return 0;
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: return OnCreate(window);
        case WM_DESTROY: return OnDestroy(window);
        case WM_SIZE: return OnSize(window, wParam);
        case WM_SETFOCUS: SetFocus(ControlOf(IDC_COPY_BUTTON)); return 0;
        case WM_KILLFOCUS: return 0;
        case WM_PAINT: return OnPaint(window);
        case WM_CLOSE: ConfirmQuit(window); return 0;
        case WM_COMMAND: return OnCommand(window, wParam, lParam);
        case WM_CTLCOLORSTATIC:
            return OnCtlColorStatic(FromApiInteger<HDC>(static_cast<INT_PTR>(wParam)), FromApiInteger<HWND>(lParam));
        case WM_LBUTTONDBLCLK: return OnLeftDoubleClick(window, lParam);
        case WM_TRAY_NOTIFY: return OnTrayNotify(window, wParam, lParam);
        case WM_COPY_STATUS: return OnCopyStatus(window, wParam, lParam);
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

// During a copy command, Yes stops its run at the next entry; the command
// then saves and closes once the run has returned, so the window never goes
// away under a running command.
void ConfirmQuit(HWND window) {
    if (MessageBoxW(window, L"Do you want to quit really?", runContext.appTitle.buffer, MB_YESNO) != IDYES) {
        return;
    }
    if (uiContext.runInProgress) {
        uiContext.quitRequested = true;
        requestRunStop();
        return;
    }
    SaveAndClose(window);
}

// The box comes before the window goes, so that the user reads which file
// was not written while the window can still be seen.
void SaveAndClose(HWND window) {
    WideString path;
    std::wstring reason;
    if (!SaveSettings(window, &path, &reason)) {
        WideString message = WideString(L"Settings could not be saved to [") + path + L"]: " + reason.c_str();
        MessageBoxW(window, message.buffer, runContext.appTitle.buffer, MB_OK);
    }
    RemoveTrayIcon(window);
    DestroyWindow(window);
}

void ToggleSynchronousCheck(HWND window, bool wasChecked) {
    SetOppositeCheck(window, IDC_SYNCHRONOUS_CHECK, wasChecked);
}

void ToggleShowCopyFileCheck(HWND window, bool wasChecked) {
    SetOppositeCheck(window, IDC_SHOW_COPY_FILE_CHECK, wasChecked);
}

void ToggleExcludeRegexCheck(HWND window, bool wasChecked) {
    SetOppositeCheck(window, IDC_EXCLUDE_REGEX_CHECK, wasChecked);
}

void ToggleRegexCheck(HWND window, bool wasChecked) {
    SetOppositeCheck(window, IDC_REGEX_CHECK, wasChecked);
    Enable(IDC_EXCLUDE_REGEX_CHECK, !wasChecked);
    Enable(IDC_REGEX_EDIT, !wasChecked);
}

void ToggleFromFileCheck(HWND window, bool wasChecked) {
    SetOppositeCheck(window, IDC_FROM_FILE_CHECK, wasChecked);
    Enable(IDC_FROM_FILE_BUTTON, !wasChecked);
    Enable(IDC_SYNCHRONOUS_CHECK, wasChecked);
    Enable(IDC_REGEX_CHECK, wasChecked);
    if (!wasChecked) {
        Enable(IDC_EXCLUDE_REGEX_CHECK, false);
        Enable(IDC_REGEX_EDIT, false);
    } else if (IsChecked(window, IDC_REGEX_CHECK)) {
        Enable(IDC_EXCLUDE_REGEX_CHECK, true);
        Enable(IDC_REGEX_EDIT, true);
    }
}

int BrowseForFolder(const wchar_t* title, UINT flags, wchar_t* buffer, HWND owner) {
    static bool comReady = false;
    if (!comReady) comReady = SUCCEEDED(OleInitialize(nullptr));
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pszDisplayName = buffer;
    info.lpszTitle = title;
    info.ulFlags = flags;
    info.lpfn = BrowseCallback;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return 0;
    BOOL ok = SHGetPathFromIDListW(chosen, buffer);
    CoTaskMemFree(chosen);
    return ok ? 1 : 0;
}

int ChooseListFile(wchar_t* buffer, HWND owner) {
    if (BrowseForFolder(L"Please select the list file:", LIST_FILE_CHOICE_FLAGS, buffer, owner) != 1) return 0;
    if (fileExists(WideString(buffer))) {
        SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, STATUS_INFO, reinterpret_cast<LPARAM>(L"Ready"));
    } else {
        WideString notice = WideString(L"[From File] is not a file: [") + buffer + L"]";
        SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, STATUS_NOTICE, reinterpret_cast<LPARAM>(notice.buffer));
    }
    return 1;
}
