// The window program's process-wide state and the functions of its parts.
#ifndef KORVANE_UI_UI_CONTEXT_H
#define KORVANE_UI_UI_CONTEXT_H

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "engine/run_codes.h"
#include "resources/resource.h"
#include "text/wide_string.h"

// Number of identified controls (1001 to 1016).
#define CONTROL_COUNT 16

// The user interface's values; they live for the whole process.
struct UiContext {
    HINSTANCE instance;            // for every resource load
    HWND mainWindow;               // the main window; receiver of WM_COPY_STATUS
    wchar_t windowClassName[128];  // string resource 109
    const wchar_t* headerText;     // painted in the header band
    HWND controls[CONTROL_COUNT];  // handles by identifier - 1001
    COLORREF statusColor;          // colour of the status line text
    HBRUSH statusBrush;            // button-face brush of the status line, one per process
    bool shiftDown;                // a Shift key is held, as the message loop saw it
    WNDPROC originalEditProc;      // the EDIT procedure under the path fields
    bool runInProgress;            // a copy command is under way (its boxes or its run)
    bool quitRequested;            // the user confirmed quitting during a run
};

// The process-wide user-interface state.
extern UiContext uiContext;

// What the window API hands over in an integer (a message's parameter, a
// window long, a control's identifier or a colour number standing for a
// handle), as the pointer or handle it stands for: the one place such an
// integer is turned back.
template <typename T>
T FromApiInteger(INT_PTR value) {
    return reinterpret_cast<T>(value);  // NOLINT(performance-no-int-to-ptr): the API's contract
}

// The handle of an identified control.
HWND ControlOf(int identifier);

// True when a check box reports exactly BST_CHECKED.
bool IsChecked(HWND window, int identifier);

// Start-up and message loop: the program entry's work; returns the exit code.
int RunProgram(HINSTANCE instance, int showCommand);

// Moves the focus to the next eligible child of the main window, wrapping around.
void FocusNextControl(HWND current);

// Moves the focus to the previous eligible child of the main window, wrapping around.
void FocusPreviousControl(HWND current);

// Registers the main window class.
void RegisterMainWindowClass(HINSTANCE instance);

// Creates, shows and updates the main window; false when it cannot be created.
bool CreateMainWindow(HINSTANCE instance, int showCommand);

// Creates every control of the main window; false at the first that fails.
bool CreateMainControls(HWND window);

// The main window's procedure.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Asks "Do you want to quit really?"; on Yes saves, removes the icon and closes.
void ConfirmQuit(HWND window);

// Saves the settings, tells in a box over the window when they could not be
// kept, then removes the icon and destroys the window.
void SaveAndClose(HWND window);

// Check-box operations: set the new mark (wasChecked gives the old) and its effects.
void ToggleSynchronousCheck(HWND window, bool wasChecked);
void ToggleShowCopyFileCheck(HWND window, bool wasChecked);
void ToggleExcludeRegexCheck(HWND window, bool wasChecked);
void ToggleRegexCheck(HWND window, bool wasChecked);
void ToggleFromFileCheck(HWND window, bool wasChecked);

// Shows the folder dialog; 1 with the chosen path in buffer (260 units), else 0.
int BrowseForFolder(const wchar_t* title, UINT flags, wchar_t* buffer, HWND owner);

// Lets the user choose the list file; 1 with its path in buffer, else 0.
int ChooseListFile(wchar_t* buffer, HWND owner);

// The copy command behind the "Copy" button.
void CopyCommand(HWND window);

// Disables the run controls for the duration of a run.
void DisableRunControls(HWND window);

// Enables the run controls again, as the check marks say.
void RestoreControlStates(HWND window);

// The folder choice: file-system folders only, with an edit box, in the new dialog style.
constexpr UINT FOLDER_CHOICE_FLAGS = BIF_RETURNONLYFSDIRS | BIF_RETURNFSANCESTORS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
// The list-file choice: the folder choice that also shows files.
constexpr UINT LIST_FILE_CHOICE_FLAGS = FOLDER_CHOICE_FLAGS | BIF_BROWSEINCLUDEFILES;
static_assert(FOLDER_CHOICE_FLAGS == 0x59 && LIST_FILE_CHOICE_FLAGS == 0x4059, "the dialogs' flag words");

// Lets the window handle at most one waiting message; never waits.
void PumpWindowMessages();

// Fills the controls from the settings file; false when it is missing.
bool LoadSettings(HWND window);

// Writes the settings file from the controls; false, with the file's path and
// the system's reason, when it could not be written whole.
bool SaveSettings(HWND window, WideString* path, std::wstring* reason);

// Adds the notification-area icon.
void AddTrayIcon(HWND window);

// Removes the notification-area icon.
void RemoveTrayIcon(HWND window);

// Shows the icon's popup menu at the cursor.
void ShowTrayMenu(HWND window);

// The About box's dialog procedure.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Opens the About box over the main window.
void ShowAboutBox(HWND window);

// The path fields' procedure: hint on focus, "Ready" on leaving, clear on double-click.
LRESULT CALLBACK ClearableEditProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam);

#endif
