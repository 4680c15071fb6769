// The main window: its class, the window itself and its eighteen controls.
#include "engine/run_context.h"
#include "ui/ui_context.h"

namespace {

const wchar_t kHeaderText[] = L"korvane: Copy the directories and the files by the rules.  (For winXp 32bit)";

const DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
const DWORD kCheckStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_CHECKBOX;
const DWORD kPathStyle = WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL;
const DWORD kGroupStyle = WS_CHILD | WS_VISIBLE | BS_GROUPBOX;

// One control of the main window, in creation order.
struct ControlLayout {
    const wchar_t* className;
    const wchar_t* text;
    int identifier;  // 0 for the two group boxes
    DWORD extendedStyle;
    DWORD style;
    int x, y, width, height;  // client coordinates
};

HWND CreateControl(HWND window, const ControlLayout& layout) {
    return CreateWindowExW(layout.extendedStyle, layout.className, layout.text, layout.style, layout.x, layout.y,
                           layout.width, layout.height, window, FromApiInteger<HMENU>(layout.identifier),
                           uiContext.instance, nullptr);
}

// The path fields are read-only and clear on a double-click.
void MakePathField(HWND field) {
    SendMessageW(field, EM_SETREADONLY, TRUE, 0);
    uiContext.originalEditProc =
        FromApiInteger<WNDPROC>(SetWindowLongPtrW(field, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ClearableEditProc)));
}

}  // namespace

void RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KORVANEUI));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = FromApiInteger<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = uiContext.windowClassName;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    RegisterClassExW(&windowClass);
}

bool CreateMainWindow(HINSTANCE instance, int showCommand) {
    uiContext.instance = instance;
    int x = (GetSystemMetrics(SM_CXSCREEN) - 600) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - 450) / 2;
    HWND window =
        CreateWindowExW(WS_EX_WINDOWEDGE, uiContext.windowClassName, runContext.appTitle.buffer,
                        WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, 600, 450, nullptr, nullptr, instance, nullptr);
    uiContext.mainWindow = window;
    if (!window) return false;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

// Creates the controls in their order, which is also their Z-order and the
// order of keyboard navigation; the two group boxes are not tested.
bool CreateMainControls(HWND window) {
    uiContext.mainWindow = window;
    uiContext.headerText = kHeaderText;
    RECT client;
    GetClientRect(window, &client);
    int w = client.right - client.left;
    int h = client.bottom - client.top;

    const ControlLayout layouts[] = {
        {L"BUTTON", L"From Folder", IDC_FROM_FOLDER_BUTTON, 0, kButtonStyle, 10, 40, 100, 25},
        {L"EDIT", nullptr, IDC_FROM_FOLDER_EDIT, WS_EX_STATICEDGE, kPathStyle, 115, 44, 465, 18},
        {L"BUTTON", L"To Folder", IDC_TO_FOLDER_BUTTON, 0, kButtonStyle, 10, 75, 100, 25},
        {L"EDIT", nullptr, IDC_TO_FOLDER_EDIT, WS_EX_STATICEDGE, kPathStyle, 115, 78, 465, 18},
        {L"BUTTON", L"Log Folder", IDC_LOG_FOLDER_BUTTON, 0, kButtonStyle, 10, 110, 100, 25},
        {L"EDIT", nullptr, IDC_LOG_FOLDER_EDIT, WS_EX_STATICEDGE, kPathStyle, 115, 113, 465, 18},
        {L"BUTTON", L"From File", IDC_FROM_FILE_BUTTON, 0, kButtonStyle, 10, 145, 100, 25},
        {L"EDIT", nullptr, IDC_FROM_FILE_EDIT, WS_EX_STATICEDGE, kPathStyle, 115, 148, 465, 18},
        {L"BUTTON", L"From File", IDC_FROM_FILE_CHECK, 0, kCheckStyle, 10, 185, 180, 25},
        {L"BUTTON", L"Synchronous", IDC_SYNCHRONOUS_CHECK, 0, kCheckStyle, 200, 185, 180, 25},
        {L"BUTTON", L"Show Copy File", IDC_SHOW_COPY_FILE_CHECK, 0, kCheckStyle, 390, 185, 180, 25},
        {L"BUTTON", L"Regular Expression", 0, 0, kGroupStyle, 5, 225, w - 10, 83},
        {L"BUTTON", L"Regular Expression", IDC_REGEX_CHECK, 0, kCheckStyle, 10, 245, 180, 25},
        {L"BUTTON", L"Exclude Regular Expression", IDC_EXCLUDE_REGEX_CHECK, 0, kCheckStyle, 200, 245, 210, 25},
        {L"EDIT", L".+\\\\\\.svn.*", IDC_REGEX_EDIT, WS_EX_STATICEDGE,
         WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 10, 277, w - 20, 18},
        {L"BUTTON", L"Copy", IDC_COPY_BUTTON, 0, kButtonStyle, (w - 150) / 2, 345, 150, 30},
        {L"BUTTON", nullptr, 0, 0, kGroupStyle, 0, h - 32, w, 32},
        {L"EDIT", L"Ready", IDC_STATUS_EDIT, WS_EX_STATICEDGE, kPathStyle, 2, h - 21, w - 5, 18},
    };
    for (const ControlLayout& layout : layouts) {
        HWND control = CreateControl(window, layout);
        if (layout.identifier == 0) continue;
        if (!control) return false;
        uiContext.controls[layout.identifier - IDC_FROM_FOLDER_BUTTON] = control;
        switch (layout.identifier) {
            case IDC_FROM_FOLDER_EDIT:
            case IDC_TO_FOLDER_EDIT:
            case IDC_LOG_FOLDER_EDIT:
            case IDC_FROM_FILE_EDIT: MakePathField(control); break;
            case IDC_FROM_FILE_BUTTON:
            case IDC_EXCLUDE_REGEX_CHECK: EnableWindow(control, FALSE); break;
            case IDC_REGEX_EDIT:
                SendDlgItemMessageW(window, IDC_REGEX_EDIT, EM_LIMITTEXT, 127, 0);
                EnableWindow(control, FALSE);
                break;
            case IDC_COPY_BUTTON: SetFocus(control); break;
            case IDC_STATUS_EDIT: SendMessageW(control, EM_SETREADONLY, TRUE, 0); break;
            default: break;
        }
    }
    return true;
}
