// Paths as the system is handed them (the long form, names it would
// rewrite), the locale, the command line, names folded for case and the
// system's words for its failures.

#include "platform/win32/win32_layer.h"
#include "platform/system_reason.h"

#include "base/separator.h"
#include "base/temporary_name.h"

#include <shellapi.h>
#include <winioctl.h>
#include <io.h>
#include <share.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The system's message for an error code, without its closing period and line end.
std::wstring SystemWords(DWORD error) {
    wchar_t buffer[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                                  512, nullptr);
    std::wstring words(buffer, length);
    while (!words.empty() &&
           (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ' || words.back() == L'.')) {
        words.pop_back();
    }
    return words.empty() ? L"error " + std::to_wstring(error) : words;
}

// From this length on, a path is handed to the system in its long form: the
// plain form of some calls stops short of MAX_PATH (CreateDirectoryW keeps
// room for an 8.3 name).
const size_t kPlainPathLimit = MAX_PATH - 12;

// True for C:\ or \\x: a path the system resolves without the current directory.
bool IsFullyQualified(const wchar_t* path) {
    if (path[0] != L'\0' && path[1] == L':' && IsSlash(path[2])) return true;
    return IsSlash(path[0]) && IsSlash(path[1]);
}

// True for the long form (\\?\) and the device form (\\.\): the system takes them as they stand.
bool IsLongOrDeviceForm(const wchar_t* path) {
    return IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == L'?' || path[2] == L'.') && IsSlash(path[3]);
}

wchar_t UpperAscii(wchar_t unit) { return unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 32) : unit; }

// True when name (length units, no separator) begins with word, any case.
bool StartsWithWord(const wchar_t* name, size_t length, const wchar_t* word) {
    size_t i = 0;
    for (; word[i] != L'\0'; ++i) {
        if (i >= length || UpperAscii(name[i]) != word[i]) return false;
    }
    return true;
}

// True for a name the plain form takes for a device: CON, PRN, AUX, NUL,
// COM0 to COM9 and LPT0 to LPT9 (the superscript digits too), CONIN$,
// CONOUT$ and CLOCK$, alone or followed by spaces, an extension or a colon
// ("nul.txt", "AUX .c", "com1:").
bool IsDeviceName(const wchar_t* name, size_t length) {
    static const wchar_t* const devices[] = {L"CONIN$", L"CONOUT$", L"CLOCK$", L"CON", L"PRN", L"AUX", L"NUL"};
    size_t stem = 0;
    for (const wchar_t* device : devices) {
        if (StartsWithWord(name, length, device)) {
            stem = wcslen(device);
            break;
        }
    }
    if (stem == 0 && (StartsWithWord(name, length, L"COM") || StartsWithWord(name, length, L"LPT")) && length > 3 &&
        ((name[3] >= L'0' && name[3] <= L'9') || name[3] == 0xB9 || name[3] == 0xB2 || name[3] == 0xB3)) {
        stem = 4;
    }
    if (stem == 0) return false;
    while (stem < length && name[stem] == L' ') ++stem;
    return stem == length || name[stem] == L'.' || name[stem] == L':';
}

// True when the plain form would hand the system another name than this
// one: it drops a name's last dots and spaces ("a.", "a ", "...", "b. .")
// and takes a device name for the device. "." and ".." are resolved, as
// they are meant to be.
bool IsRewrittenName(const wchar_t* name, size_t length) {
    if (length == 0 || (name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.')))) return false;
    wchar_t last = name[length - 1];
    return last == L'.' || last == L' ' || IsDeviceName(name, length);
}

// True when a name of path (after its drive) is one the plain form rewrites.
bool HoldsRewrittenName(const wchar_t* path) {
    const wchar_t* start = path;
    if (path[0] != L'\0' && path[1] == L':') start += 2;
    for (const wchar_t* at = start;; ++at) {
        if (*at == L'\0' || IsSlash(*at)) {
            if (IsRewrittenName(start, static_cast<size_t>(at - start))) return true;
            if (*at == L'\0') return false;
            start = at + 1;
        }
    }
}

// The system's reading of path (separators, "." and ".." resolved against
// the current directory) into full; false when it has none.
bool SystemFullPath(const wchar_t* path, std::wstring* full) {
    DWORD room = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (room == 0) return false;
    full->assign(room, L'\0');
    DWORD length = GetFullPathNameW(path, room, &(*full)[0], nullptr);
    if (length == 0 || length >= room) return false;
    full->resize(length);
    return true;
}

// The full path of a path that holds a name the system would rewrite,
// built here so that every name stays as it is: the start of a path that
// is not fully qualified (the current directory, the current drive's root
// or a drive's current directory) comes from the system; "." and ".." are
// resolved by their text, never above the root; separators become "\\".
bool ExactFullPath(const wchar_t* path, std::wstring* full) {
    std::wstring text(path);
    if (text.empty()) return false;
    size_t rest = 0;
    if (IsFullyQualified(path)) {
        rest = static_cast<size_t>(rootLevelLength(path, static_cast<int>(text.size())));
        if (rest == 0) return false;  // a server without a share
        *full = text.substr(0, rest);
    } else {
        if (text.size() >= 2 && text[1] == L':') rest = 2;
        if (rest < text.size() && IsSlash(text[rest])) ++rest;
        std::wstring start = rest == 0 ? std::wstring(L".") : text.substr(0, rest);
        if (!SystemFullPath(start.c_str(), full) || !IsFullyQualified(full->c_str())) return false;
    }
    for (wchar_t& unit : *full) {
        if (unit == L'/') unit = L'\\';
    }
    if (full->back() != L'\\') full->push_back(L'\\');
    size_t root = static_cast<size_t>(rootLevelLength(full->c_str(), static_cast<int>(full->size())));
    if (root == 0) return false;
    while (rest < text.size()) {
        size_t end = rest;
        while (end < text.size() && !IsSlash(text[end])) ++end;
        std::wstring name = text.substr(rest, end - rest);
        if (name == L"..") {
            if (full->size() > root) {
                full->pop_back();
                full->resize(full->find_last_of(L'\\') + 1);
                if (full->size() < root) full->resize(root);
            }
        } else if (!name.empty() && name != L".") {
            *full += name;
            full->push_back(L'\\');
        }
        rest = end + 1;
    }
    // A trailing separator stays only where the path had one.
    if (!IsSlash(text.back()) && full->size() > root) full->pop_back();
    return true;
}

}  // namespace

// The full path of path: the system's reading, except that a name it would
// rewrite stays as it is.
bool FullPathOf(const wchar_t* path, std::wstring* full) {
    return HoldsRewrittenName(path) ? ExactFullPath(path, full) : SystemFullPath(path, full);
}

namespace {

// The long form of a full path (C:\ or \\server\share\), or empty for any other.
std::wstring LongFormOf(const std::wstring& full) {
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    if (full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' && full[2] != L'.') {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return std::wstring();
}

}  // namespace

std::wstring platformSystemPath(const wchar_t* path) {
    size_t length = wcslen(path);
    // Already in a form the system takes as it stands (long or device form).
    if (length >= 4 && IsLongOrDeviceForm(path)) return path;
    // A name the plain form would rewrite reaches the system in the long form,
    // whatever the path's length; no other path changes.
    if (HoldsRewrittenName(path)) {
        std::wstring full;
        std::wstring form = ExactFullPath(path, &full) ? LongFormOf(full) : std::wstring();
        return form.empty() ? std::wstring(path) : form;
    }
    if (IsFullyQualified(path) && length < kPlainPathLimit) return path;
    // The system's own reading of the path: separators, "." and ".." resolved
    // against the current directory as every plain call resolves them.
    std::wstring full;
    if (!SystemFullPath(path, &full)) return path;
    if (full.size() < kPlainPathLimit) return length < kPlainPathLimit ? std::wstring(path) : full;
    std::wstring form = LongFormOf(full);
    return form.empty() ? std::wstring(path) : form;  // a device name (\\.\CON) or anything else: as given
}

void platformSetUserLocale() { std::setlocale(LC_ALL, ""); }

std::wstring SystemReasonText(int reason) {
    if (reason & kErrnoReason) {
        const wchar_t* words = _wcserror(reason & ~kErrnoReason);
        return words ? words : L"error";
    }
    return SystemWords(static_cast<DWORD>(reason));
}

// Upper case as the file system compares names: one unit for one unit,
// the same whatever the user's language.
void platformFoldName(const wchar_t* name, std::wstring* folded) {
    int length = static_cast<int>(wcslen(name));
    folded->resize(static_cast<size_t>(length));
    bool ascii = true;
    for (int i = 0; i < length; ++i) {
        (*folded)[static_cast<size_t>(i)] = UpperAscii(name[i]);
        if (name[i] >= 0x80) ascii = false;
    }
    if (ascii) return;
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name, length, &(*folded)[0], length, nullptr, nullptr,
                      0) != length) {
        folded->assign(name);
        for (wchar_t& unit : *folded) unit = UpperAscii(unit);
    }
}

// A short name has at most eight units, a dot and three more, and the
// names the system makes up hold a "~".
bool platformNameMayAlias(const wchar_t* name, size_t length) {
    size_t tilde = length;
    size_t dot = length;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == L'~' && tilde == length) tilde = i;
        if (name[i] == L'.') {
            if (dot != length) return false;
            dot = i;
        }
    }
    return tilde < length && dot <= 8 && length - dot <= 4;
}

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(room), buffer);
    if (length == 0 || length >= room) {
        if (room > 0) buffer[0] = L'\0';
        return 0;
    }
    return length;
}

void platformCommandLine(int, char**, std::vector<std::wstring>* arguments) {
    arguments->clear();
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!list) return;
    for (int i = 0; i < count; ++i) arguments->push_back(list[i]);
    LocalFree(list);
}
