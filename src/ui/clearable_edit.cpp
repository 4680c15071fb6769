// The path fields: a hint while focused, "Ready" on leaving, cleared by a double-click.
#include "ui/ui_context.h"

LRESULT CALLBACK ClearableEditProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETFOCUS:
            SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, STATUS_INFO,
                         reinterpret_cast<LPARAM>(L"Hint: Double click to clear text"));
            break;
        case WM_KILLFOCUS:
            SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, STATUS_INFO, reinterpret_cast<LPARAM>(L"Ready"));
            break;
        case WM_LBUTTONDBLCLK: SetWindowTextW(field, nullptr); break;
        default: break;
    }
    return CallWindowProcW(uiContext.originalEditProc, field, message, wParam, lParam);
}
