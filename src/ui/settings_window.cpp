// The settings file as the window reads and writes it: the controls hold the
// state, the file keeps it between sessions.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/run_context.h"
#include "platform/platform.h"
#include "settings/settings_file.h"
#include "settings/settings_keys.h"
#include "ui/ui_context.h"

namespace {

// Writes each line with its CR LF; false, with the system's reason, at the first that fails.
bool WriteLines(FILE* file, const std::vector<std::string>& lines, std::wstring* reason) {
    for (const std::string& line : lines) {
        std::string bytes = line + "\r\n";
        SystemResult written = platformWriteBytes(file, bytes.data(), bytes.size());
        if (!written) {
            *reason = platformReasonText(written.reason);
            return false;
        }
    }
    return true;
}

void ApplyCheck(HWND window, int identifier, bool wasChecked) {
    switch (identifier) {
        case IDC_SYNCHRONOUS_CHECK: ToggleSynchronousCheck(window, wasChecked); break;
        case IDC_SHOW_COPY_FILE_CHECK: ToggleShowCopyFileCheck(window, wasChecked); break;
        case IDC_REGEX_CHECK: ToggleRegexCheck(window, wasChecked); break;
        case IDC_EXCLUDE_REGEX_CHECK: ToggleExcludeRegexCheck(window, wasChecked); break;
        case IDC_FROM_FILE_CHECK: ToggleFromFileCheck(window, wasChecked); break;
        default: break;
    }
}

}  // namespace

// The settings file's keys are the controls' identifiers.
static_assert(IDC_FROM_FOLDER_EDIT == 1012 && IDC_TO_FOLDER_EDIT == 1013 && IDC_LOG_FOLDER_EDIT == 1014 &&
                  IDC_FROM_FILE_EDIT == 1015 && IDC_SYNCHRONOUS_CHECK == 1006 && IDC_SHOW_COPY_FILE_CHECK == 1007 &&
                  IDC_EXCLUDE_REGEX_CHECK == 1009 && IDC_REGEX_CHECK == 1008 && IDC_FROM_FILE_CHECK == 1010 &&
                  IDC_REGEX_EDIT == 1011 && IDC_STATUS_EDIT == 1016,
              "the settings keys are the control identifiers");

bool LoadSettings(HWND window) {
    WideString path = SettingsFilePath(runContext.appTitle);
    std::vector<SettingLine> lines;
    if (path.length == 0 || !ReadSettingLines(path, &lines)) return false;
    for (const SettingLine& line : lines) {
        SettingValue value;
        if (!ReadSettingValue(line, &value)) continue;
        if (value.key->kind == SETTING_CHECK) {
            ApplyCheck(window, value.key->key, value.number == 0);
        } else {
            SetDlgItemTextW(window, value.key->key, value.text.buffer);
        }
    }
    RestoreControlStates(window);
    return true;
}

// A text that the line earlier versions wrote would lose gets a second,
// "utf8:" line after it (SettingTextLines tells its form), so that older
// versions read the file as before and this one reads every text whole.
bool SaveSettings(HWND window, WideString* path, std::wstring* reason) {
    *path = SettingsFileToWrite(runContext.appTitle);
    if (path->length == 0) {
        *path = runContext.appTitle + L".ini";
        *reason = L"the current folder cannot be read";
        return false;
    }
    int why = 0;
    FILE* file = platformOpenOwnFile(path->buffer, &why);
    if (!file) {
        *reason = platformReasonText(why);
        if (reason->empty()) *reason = L"the file cannot be made";
        return false;
    }
    bool written = true;
    for (size_t index = 0; index < kSettingKeyCount && written; ++index) {
        const SettingKey& key = kSettingKeys[index];
        if (!key.saved) continue;
        std::vector<std::string> lines;
        if (key.kind == SETTING_CHECK) {
            lines.push_back(std::to_string(key.key) + "=" + std::to_string(IsDlgButtonChecked(window, key.key)));
        } else {
            wchar_t text[MAX_PATH] = {0};
            GetDlgItemTextW(window, key.key, text, MAX_PATH - 1);
            lines = SettingTextLines(key, WideString(text));
        }
        written = WriteLines(file, lines, reason);
    }
    SystemResult closed = platformCloseFile(file);
    if (!closed && written) {
        *reason = platformReasonText(closed.reason);
        written = false;
    }
    if (!written && reason->empty()) *reason = L"write error";
    return written;
}
