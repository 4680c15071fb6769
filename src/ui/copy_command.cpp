// The copy command behind the "Copy" button, and the window as the engine's host.
#include "engine/folder_run.h"
#include "engine/list_run.h"
#include "engine/run_context.h"
#include "engine/run_log.h"
#include "fs/paths.h"
#include "ui/ui_context.h"

namespace {

void ShowOnStatusLine(void*, int kind, const wchar_t* text) {
    SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, static_cast<WPARAM>(kind), reinterpret_cast<LPARAM>(text));
}

bool AskInBox(void*, const wchar_t* text) {
    return MessageBoxW(uiContext.mainWindow, text, runContext.appTitle.buffer, MB_YESNO) != IDNO;
}

// A question whose safe answer is No: No is the default button.
bool AskCautiousInBox(void*, const wchar_t* text) {
    return MessageBoxW(uiContext.mainWindow, text, runContext.appTitle.buffer, MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

void PumpOne(void*) { PumpWindowMessages(); }

// The run tells of every entry it deals with; whatever the run shows, the
// window's waiting messages are handled at least every 100 ms, so that it
// repaints, moves and can be quit during a quiet run too.
void PumpWhenDue(void*, long long, long long) {
    static ULONGLONG last = 0;
    ULONGLONG now = GetTickCount64();
    if (now - last < 100) return;
    last = now;
    MSG message;
    for (int handled = 0; handled < 64 && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++handled) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // the main loop must see it
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// A field's text through a cleared buffer of MAX_PATH units.
WideString ReadField(HWND window, int identifier) {
    wchar_t buffer[MAX_PATH] = {0};
    GetDlgItemTextW(window, identifier, buffer, MAX_PATH);
    return WideString(buffer);
}

void ShowBox(HWND window, const WideString& message) {
    MessageBoxW(window, message.buffer, runContext.appTitle.buffer, MB_OK);
}

// "referrence" is the program's own spelling, kept on purpose: users know the box by it.
WideString ErrorsMessage(const WideString& logPath) {
    return WideString(L"There are errors when copy files. \n\nPlease referrence:\n[") + logPath + L"]";
}

void ReportErrors() {
    SendMessageW(uiContext.mainWindow, WM_COPY_STATUS, STATUS_ERROR,
                 reinterpret_cast<LPARAM>(L"There are errors when copy files."));
}

// The user confirmed quitting during the run: close as the quit question would have.
void FinishQuit(HWND window) {
    uiContext.quitRequested = false;
    SaveAndClose(window);
}

}  // namespace

void DisableRunControls(HWND) {
    const int controls[] = {IDC_FROM_FOLDER_BUTTON,   IDC_TO_FOLDER_BUTTON, IDC_LOG_FOLDER_BUTTON,
                            IDC_FROM_FILE_BUTTON,     IDC_FROM_FILE_CHECK,  IDC_SYNCHRONOUS_CHECK,
                            IDC_SHOW_COPY_FILE_CHECK, IDC_REGEX_CHECK,      IDC_EXCLUDE_REGEX_CHECK,
                            IDC_REGEX_EDIT,           IDC_COPY_BUTTON};
    for (int identifier : controls) EnableWindow(ControlOf(identifier), FALSE);
}

void RestoreControlStates(HWND window) {
    const int always[] = {IDC_FROM_FOLDER_BUTTON, IDC_TO_FOLDER_BUTTON,     IDC_LOG_FOLDER_BUTTON,
                          IDC_FROM_FILE_CHECK,    IDC_SHOW_COPY_FILE_CHECK, IDC_COPY_BUTTON};
    for (int identifier : always) EnableWindow(ControlOf(identifier), TRUE);
    bool listMode = IsDlgButtonChecked(window, IDC_FROM_FILE_CHECK) != 0;
    bool rule = IsDlgButtonChecked(window, IDC_REGEX_CHECK) != 0;
    EnableWindow(ControlOf(IDC_FROM_FILE_BUTTON), listMode);
    EnableWindow(ControlOf(IDC_SYNCHRONOUS_CHECK), !listMode);
    EnableWindow(ControlOf(IDC_REGEX_CHECK), !listMode);
    EnableWindow(ControlOf(IDC_EXCLUDE_REGEX_CHECK), !listMode && rule);
    EnableWindow(ControlOf(IDC_REGEX_EDIT), !listMode && rule);
}

// Reads the fields and options, opens the log in the Log Folder, runs the
// list run or the folder run, and reports the result in a box and on the
// status line. The window stays alive through the run's own message pump.
void CopyCommand(HWND window) {
    clearRunStop();
    DisableRunControls(window);
    uiContext.runInProgress = true;
    int answer = MessageBoxW(window, L"Do you want to start copy?", runContext.appTitle.buffer, MB_YESNO);
    if (uiContext.quitRequested) {
        uiContext.runInProgress = false;
        FinishQuit(window);
        return;
    }
    if (answer == IDNO) {
        uiContext.runInProgress = false;
        RestoreControlStates(window);
        return;
    }
    runContext.host = Host{ShowOnStatusLine, AskInBox, PumpOne, nullptr, PumpWhenDue, nullptr, AskCautiousInBox};
    runContext.hadErrors = false;
    WideString from = ReadField(window, IDC_FROM_FOLDER_EDIT);
    WideString to = ReadField(window, IDC_TO_FOLDER_EDIT);
    WideString logPath = ReadField(window, IDC_LOG_FOLDER_EDIT);
    if (!directoryExists(logPath)) ShowBox(window, WideString(L"Log dir [") + logPath + L"] is not exist.");
    logPath.AppendSeparator();
    logPath += runContext.appTitle + L".log";
    openRunLog(logPath);
    bool showCopyFile = IsChecked(window, IDC_SHOW_COPY_FILE_CHECK);

    if (IsChecked(window, IDC_FROM_FILE_CHECK)) {
        WideString listFile = ReadField(window, IDC_FROM_FILE_EDIT);
        int result = ListCopyRun(showCopyFile, from, to, listFile);
        uiContext.runInProgress = false;
        WideString message = WideString(runContext.listUpdatedCount) + L" dirs and files updated.";
        if (result != RUN_OK) {
            ReportErrors();
            message = ErrorsMessage(logPath);
        }
        if (uiContext.quitRequested) {
            closeRunLog();
            FinishQuit(window);
            return;
        }
        ShowBox(window, message);
        closeRunLog();
        RestoreControlStates(window);
        return;
    }

    bool synchronous = IsChecked(window, IDC_SYNCHRONOUS_CHECK);
    bool ruleExcludes = false;
    WideString rule;
    if (IsChecked(window, IDC_REGEX_CHECK)) {
        rule = ReadField(window, IDC_REGEX_EDIT);
        ruleExcludes = IsChecked(window, IDC_EXCLUDE_REGEX_CHECK);
    }
    int result = FolderCopyRun(synchronous, ruleExcludes, showCopyFile, from, to, rule);
    uiContext.runInProgress = false;
    closeRunLog();
    if (uiContext.quitRequested) {
        FinishQuit(window);
        return;
    }
    if (result == RUN_OK) {
        ShowBox(window, WideString(runContext.updatedCount) + L" dirs and files updated.");
    } else if (result != RUN_DECLINED) {
        ReportErrors();
        ShowBox(window, ErrorsMessage(logPath));
    }
    RestoreControlStates(window);
}
