// The main window as created, its toggles, status line, fields and navigation.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "engine/run_context.h"
#include "window_harness.h"

namespace {

struct Expected {
    int identifier;
    const wchar_t* className;
    const wchar_t* text;
    bool enabled;
    bool readOnly;
};

TEST_F(WindowTest, ControlsAsCreated) {
    createWindow();
    const std::vector<Expected> controls = {
        {IDC_FROM_FOLDER_BUTTON, L"Button", L"From Folder", true, false},
        {IDC_FROM_FOLDER_EDIT, L"Edit", L"", true, true},
        {IDC_TO_FOLDER_BUTTON, L"Button", L"To Folder", true, false},
        {IDC_TO_FOLDER_EDIT, L"Edit", L"", true, true},
        {IDC_LOG_FOLDER_BUTTON, L"Button", L"Log Folder", true, false},
        {IDC_LOG_FOLDER_EDIT, L"Edit", L"", true, true},
        {IDC_FROM_FILE_BUTTON, L"Button", L"From File", false, false},
        {IDC_FROM_FILE_EDIT, L"Edit", L"", true, true},
        {IDC_FROM_FILE_CHECK, L"Button", L"From File", true, false},
        {IDC_SYNCHRONOUS_CHECK, L"Button", L"Synchronous", true, false},
        {IDC_SHOW_COPY_FILE_CHECK, L"Button", L"Show Copy File", true, false},
        {IDC_REGEX_CHECK, L"Button", L"Regular Expression", true, false},
        {IDC_EXCLUDE_REGEX_CHECK, L"Button", L"Exclude Regular Expression", false, false},
        {IDC_REGEX_EDIT, L"Edit", L".+\\\\\\.svn.*", false, false},
        {IDC_COPY_BUTTON, L"Button", L"Copy", true, false},
        {IDC_STATUS_EDIT, L"Edit", L"Ready", true, true},
    };
    for (const Expected& c : controls) {
        SCOPED_TRACE(c.identifier);
        HWND control = ControlOf(c.identifier);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetDlgCtrlID(control), c.identifier);
        wchar_t className[32] = {0};
        GetClassNameW(control, className, 32);
        EXPECT_EQ(lstrcmpiW(className, c.className), 0) << className;
        EXPECT_EQ(text(c.identifier), c.text);
        EXPECT_EQ(enabled(c.identifier), c.enabled);
        LONG style = GetWindowLongW(control, GWL_STYLE);
        if (lstrcmpiW(className, L"Edit") == 0) {
            EXPECT_EQ((style & ES_READONLY) != 0, c.readOnly);
        }
        if (c.identifier >= IDC_SYNCHRONOUS_CHECK && c.identifier <= IDC_FROM_FILE_CHECK) {
            EXPECT_FALSE(checked(c.identifier));
            EXPECT_EQ(style & BS_TYPEMASK, BS_CHECKBOX);
        }
    }
    EXPECT_EQ(GetFocus(), ControlOf(IDC_COPY_BUTTON));
    EXPECT_EQ(SendMessageW(ControlOf(IDC_REGEX_EDIT), EM_GETLIMITTEXT, 0, 0), 127);

    // Size and place: 600 by 450, centred on the screen; "Copy" centred in the client.
    RECT frame;
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 600);
    EXPECT_EQ(frame.bottom - frame.top, 450);
    EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - 600) / 2);
    RECT client;
    GetClientRect(window, &client);
    RECT copy;
    GetWindowRect(ControlOf(IDC_COPY_BUTTON), &copy);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&copy), 2);
    EXPECT_EQ(copy.left, (client.right - 150) / 2);
    LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    EXPECT_NE(style & WS_MINIMIZEBOX, 0);
    takeScreenshot("main-window.png");
}

TEST_F(WindowTest, TogglesAndTheirEnablingTable) {
    createWindow();
    click(IDC_SYNCHRONOUS_CHECK);
    EXPECT_TRUE(checked(IDC_SYNCHRONOUS_CHECK));
    click(IDC_SYNCHRONOUS_CHECK);
    EXPECT_FALSE(checked(IDC_SYNCHRONOUS_CHECK));
    click(IDC_SHOW_COPY_FILE_CHECK);
    EXPECT_TRUE(checked(IDC_SHOW_COPY_FILE_CHECK));

    click(IDC_REGEX_CHECK);
    EXPECT_TRUE(enabled(IDC_EXCLUDE_REGEX_CHECK));
    EXPECT_TRUE(enabled(IDC_REGEX_EDIT));
    click(IDC_EXCLUDE_REGEX_CHECK);
    EXPECT_TRUE(checked(IDC_EXCLUDE_REGEX_CHECK));

    // List-file mode on: the folder-run options go grey, marks untouched.
    click(IDC_FROM_FILE_CHECK);
    EXPECT_TRUE(enabled(IDC_FROM_FILE_BUTTON));
    for (int identifier : {IDC_SYNCHRONOUS_CHECK, IDC_REGEX_CHECK, IDC_EXCLUDE_REGEX_CHECK, IDC_REGEX_EDIT}) {
        EXPECT_FALSE(enabled(identifier)) << identifier;
    }
    EXPECT_TRUE(checked(IDC_REGEX_CHECK));
    // Off again with the rule checked: the rule controls come back.
    click(IDC_FROM_FILE_CHECK);
    EXPECT_FALSE(enabled(IDC_FROM_FILE_BUTTON));
    EXPECT_TRUE(enabled(IDC_EXCLUDE_REGEX_CHECK));
    EXPECT_TRUE(enabled(IDC_REGEX_EDIT));

    // Off with "Regular Expression" clear: they stay disabled.
    click(IDC_REGEX_CHECK);
    EXPECT_FALSE(enabled(IDC_EXCLUDE_REGEX_CHECK));
    click(IDC_FROM_FILE_CHECK);
    click(IDC_FROM_FILE_CHECK);
    EXPECT_TRUE(enabled(IDC_SYNCHRONOUS_CHECK));
    EXPECT_TRUE(enabled(IDC_REGEX_CHECK));
    EXPECT_FALSE(enabled(IDC_EXCLUDE_REGEX_CHECK));
    EXPECT_FALSE(enabled(IDC_REGEX_EDIT));
}

TEST_F(WindowTest, StatusLineTextsAndColours) {
    createWindow();
    struct Case {
        WPARAM kind;
        const wchar_t* sent;
        const wchar_t* shown;
        COLORREF colour;
    };
    const COLORREF plain = GetSysColor(COLOR_WINDOWTEXT);
    const std::vector<Case> cases = {
        {STATUS_NOTICE, L"notice", L"notice", RGB(255, 0, 255)},
        {STATUS_INFO, L"info", L"info", plain},
        {STATUS_ERROR, L"error", L"error", RGB(255, 0, 0)},
        {3, L"ignored", L"error", plain},  // another kind changes only the colour
    };
    for (const Case& c : cases) {
        SendMessageW(window, WM_COPY_STATUS, c.kind, reinterpret_cast<LPARAM>(c.sent));
        EXPECT_EQ(text(IDC_STATUS_EDIT), c.shown);
        EXPECT_EQ(uiContext.statusColor, c.colour) << c.kind;
    }
    // The status line asks its colours of the window, which gives them.
    SendMessageW(window, WM_COPY_STATUS, STATUS_ERROR, reinterpret_cast<LPARAM>(L"red"));
    HDC context = GetDC(ControlOf(IDC_STATUS_EDIT));
    LRESULT brush = SendMessageW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                                 reinterpret_cast<LPARAM>(ControlOf(IDC_STATUS_EDIT)));
    EXPECT_NE(brush, 0);
    EXPECT_EQ(GetTextColor(context), RGB(255, 0, 0));
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(context),
                           reinterpret_cast<LPARAM>(ControlOf(IDC_SYNCHRONOUS_CHECK))),
              0);
    ReleaseDC(ControlOf(IDC_STATUS_EDIT), context);
}

TEST_F(WindowTest, PathFieldsClearOnDoubleClickAndShowTheHint) {
    createWindow();
    for (int identifier : {IDC_FROM_FOLDER_EDIT, IDC_TO_FOLDER_EDIT, IDC_LOG_FOLDER_EDIT, IDC_FROM_FILE_EDIT,
                           IDC_REGEX_EDIT, IDC_STATUS_EDIT}) {
        setText(identifier, L"C:\\somewhere");
        SendMessageW(ControlOf(identifier), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
        bool pathField = identifier >= IDC_FROM_FOLDER_EDIT && identifier <= IDC_FROM_FILE_EDIT;
        EXPECT_EQ(text(identifier), pathField ? L"" : L"C:\\somewhere") << identifier;
    }
    SendMessageW(window, WM_COPY_STATUS, STATUS_ERROR, reinterpret_cast<LPARAM>(L"red"));
    SetFocus(ControlOf(IDC_TO_FOLDER_EDIT));
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"Hint: Double click to clear text");
    EXPECT_EQ(uiContext.statusColor, GetSysColor(COLOR_WINDOWTEXT));
    SetFocus(ControlOf(IDC_LOG_FOLDER_EDIT));
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"Hint: Double click to clear text");
    SetFocus(ControlOf(IDC_COPY_BUTTON));
    EXPECT_EQ(text(IDC_STATUS_EDIT), L"Ready");
}

// What a field shows on screen: the pixels of its client area, read back
// from the window's device context after it has painted.
std::vector<COLORREF> shownPixels(HWND field, int* width) {
    RedrawWindow(field, nullptr, nullptr, RDW_UPDATENOW);
    RECT client;
    GetClientRect(field, &client);
    *width = client.right;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(field);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, client.right, client.bottom, screen, 0, 0, SRCCOPY);
    GdiFlush();
    std::vector<COLORREF> pixels;
    const DWORD* row = static_cast<const DWORD*>(bits);
    for (int i = 0; i < client.right * client.bottom; ++i) {
        DWORD p = row[i];
        pixels.push_back(RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF));
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(field, screen);
    return pixels;
}

// Pixels at or right of column from that differ from the window's colour.
int markedPixels(const std::vector<COLORREF>& pixels, int width, int from) {
    int marked = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (static_cast<int>(i % width) >= from && pixels[i] != GetSysColor(COLOR_BTNFACE)) ++marked;
    }
    return marked;
}

// A path field cleared by a double-click, or given a shorter text, shows on
// screen only what it holds: no pixel of the old text stays.
TEST_F(WindowTest, ClearedOrShortenedPathFieldShowsNoOldText) {
    createWindow();
    const std::wstring longText = L"C:\\WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW";
    for (int identifier : {IDC_FROM_FOLDER_EDIT, IDC_TO_FOLDER_EDIT, IDC_LOG_FOLDER_EDIT, IDC_FROM_FILE_EDIT}) {
        SCOPED_TRACE(identifier);
        HWND field = ControlOf(identifier);
        int width = 0;
        setText(identifier, longText);
        pump();
        std::vector<COLORREF> filled = shownPixels(field, &width);
        ASSERT_GT(markedPixels(filled, width, 0), 50) << "the text is not seen on screen";
        SendMessageW(field, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
        pump();
        EXPECT_EQ(markedPixels(shownPixels(field, &width), width, 0), 0);

        setText(identifier, longText);
        pump();
        shownPixels(field, &width);
        setText(identifier, L"C:");
        pump();
        std::vector<COLORREF> shortened = shownPixels(field, &width);
        EXPECT_GT(markedPixels(shortened, width, 0), 0);
        EXPECT_EQ(markedPixels(shortened, width, 40), 0);
    }
    takeScreenshot("cleared-fields.png");
}

TEST_F(WindowTest, HeaderDoubleClickOpensTheAboutBox) {
    createWindow();
    struct Case {
        int x, y;
        bool opens;
    };
    for (const Case& c : std::vector<Case>{{5, 5, true}, {5, 29, false}, {4, 10, false}, {300, 28, true}}) {
        boxes.seen.clear();
        SendMessageW(window, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(c.x, c.y));
        ASSERT_EQ(boxes.seen.size(), c.opens ? 1u : 0u) << c.x << "," << c.y;
        if (c.opens) {
            EXPECT_EQ(boxes.seen[0].caption, L"Version korvaneui");
            EXPECT_EQ(boxes.seen[0].text, L"korvaneui, Version 1.0");
        }
    }
    boxes.seen.clear();
    command(IDM_ABOUT);
    EXPECT_EQ(boxes.seen.size(), 1u);
}

// The order of Tab: every enabled control with a tab stop, wrapping both ways.
std::vector<int> TabOrder(WindowTest* test, bool forward) {
    std::vector<int> order;
    SetFocus(ControlOf(IDC_COPY_BUTTON));
    for (int step = 0; step < 12; ++step) {
        if (forward) {
            FocusNextControl(GetFocus());
        } else {
            FocusPreviousControl(GetFocus());
        }
        order.push_back(GetDlgCtrlID(GetFocus()));
        (void)test;
    }
    return order;
}

TEST_F(WindowTest, TabOrderFollowsTheEnabledControls) {
    createWindow();
    std::vector<int> forward = TabOrder(this, true);
    std::vector<int> expected = {IDC_FROM_FOLDER_BUTTON, IDC_TO_FOLDER_BUTTON,  IDC_LOG_FOLDER_BUTTON,
                                 IDC_FROM_FILE_CHECK,    IDC_SYNCHRONOUS_CHECK, IDC_SHOW_COPY_FILE_CHECK,
                                 IDC_REGEX_CHECK,        IDC_COPY_BUTTON,       IDC_FROM_FOLDER_BUTTON,
                                 IDC_TO_FOLDER_BUTTON,   IDC_LOG_FOLDER_BUTTON, IDC_FROM_FILE_CHECK};
    EXPECT_EQ(forward, expected);
    std::vector<int> backward = TabOrder(this, false);
    EXPECT_EQ(backward[0], IDC_REGEX_CHECK);
    EXPECT_EQ(backward[7], IDC_COPY_BUTTON);  // wrapped from "From Folder"

    click(IDC_FROM_FILE_CHECK);
    SetFocus(ControlOf(IDC_FROM_FILE_CHECK));
    FocusNextControl(GetFocus());
    EXPECT_EQ(GetDlgCtrlID(GetFocus()), IDC_SHOW_COPY_FILE_CHECK);
    FocusNextControl(GetFocus());
    EXPECT_EQ(GetDlgCtrlID(GetFocus()), IDC_COPY_BUTTON);
    SetFocus(ControlOf(IDC_LOG_FOLDER_BUTTON));
    FocusNextControl(GetFocus());
    EXPECT_EQ(GetDlgCtrlID(GetFocus()), IDC_FROM_FILE_BUTTON);
}

TEST_F(WindowTest, MinimiseHidesAndTheMenuShowsAgain) {
    createWindow();
    ShowWindow(window, SW_MINIMIZE);
    pump();
    EXPECT_FALSE(IsWindowVisible(window));
    command(IDM_DASH);
    EXPECT_FALSE(IsWindowVisible(window));
    command(IDM_SHOW_MAIN);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_FALSE(IsIconic(window));

    ShowWindow(window, SW_MINIMIZE);
    pump();
    SendMessageW(window, WM_TRAY_NOTIFY, IDI_KORVANEUI, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
}

TEST_F(WindowTest, TrayIconAndItsMenu) {
    createWindow();
    NOTIFYICONDATAW probe = {};
    probe.cbSize = sizeof probe;
    probe.hWnd = window;
    probe.uID = IDI_KORVANEUI;
    probe.uFlags = NIF_TIP;
    lstrcpynW(probe.szTip, L"korvane 1.0", 12);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &probe));

    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDC_KORVANEUI));
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    std::vector<std::wstring> items;
    std::vector<UINT> commands;
    for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        wchar_t item[64] = {0};
        GetMenuStringW(popup, i, item, 64, MF_BYPOSITION);
        items.push_back(item);
        commands.push_back(GetMenuItemID(popup, i));
    }
    DestroyMenu(menu);
    EXPECT_EQ(items, (std::vector<std::wstring>{L"Show Main", L"Exit", L"-", L"About"}));
    EXPECT_EQ(commands, (std::vector<UINT>{IDM_SHOW_MAIN, IDM_EXIT, IDM_DASH, IDM_ABOUT}));

    closeWindow();
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &probe));
}

}  // namespace
