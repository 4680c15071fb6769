// Identifiers and constants of korvane, grouped by family. Plain macros, so
// that the resource compiler reads this header as well as the C++ code.
#ifndef KORVANE_RESOURCE_H
#define KORVANE_RESOURCE_H

// Strings, icons, menu, accelerators and dialog of the resource file.
#define IDS_APP_TITLE 103
#define IDD_ABOUTBOX 103
#define IDI_KORVANEUI 107
#define IDI_SMALL 108
#define IDC_KORVANEUI 109
#define IDS_WINDOW_CLASS 109

// Menu commands.
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_DASH 111
#define IDM_SHOW_MAIN 112

// Controls of the main window.
#define IDC_FROM_FOLDER_BUTTON 1001
#define IDC_TO_FOLDER_BUTTON 1002
#define IDC_LOG_FOLDER_BUTTON 1003
#define IDC_COPY_BUTTON 1004
#define IDC_FROM_FILE_BUTTON 1005
#define IDC_SYNCHRONOUS_CHECK 1006
#define IDC_SHOW_COPY_FILE_CHECK 1007
#define IDC_REGEX_CHECK 1008
#define IDC_EXCLUDE_REGEX_CHECK 1009
#define IDC_FROM_FILE_CHECK 1010
#define IDC_REGEX_EDIT 1011
#define IDC_FROM_FOLDER_EDIT 1012
#define IDC_TO_FOLDER_EDIT 1013
#define IDC_LOG_FOLDER_EDIT 1014
#define IDC_FROM_FILE_EDIT 1015
#define IDC_STATUS_EDIT 1016

// Window messages of our own (WM_USER is 0x0400).
#define WM_TRAY_NOTIFY (0x0400 + 153)
#define WM_COPY_STATUS (0x0400 + 154)

#endif
