// Names between wide text and the system's bytes, the locale, the command
// line and the system's words for its failures.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

#include "base/byte_escape.h"
#include "base/temporary_name.h"
#include "platform/platform.h"
#include "platform/posix/posix_layer.h"
#include "platform/system_reason.h"

namespace {

// Writes text in the locale's encoding; a character it cannot write becomes
// "?" and clears *whole, when given.
std::string Encode(const wchar_t* text, bool* whole) {
    // Plain ASCII, by far the most common, needs no conversion state: it is
    // copied unit by unit in one pass, through a pointer of its own.
    size_t length = std::wcslen(text);
    std::string bytes(length, '\0');
    char* out = &bytes[0];
    size_t plain = 0;
    while (plain < length && text[plain] < 0x80) {
        out[plain] = static_cast<char>(text[plain]);
        ++plain;
    }
    if (plain == length) return bytes;
    bytes.clear();
    std::mbstate_t state{};
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = text; *p; ++p) {
        if (*p >= BYTE_ESCAPE_BASE + 0x80 && *p <= BYTE_ESCAPE_BASE + 0xFF) {
            bytes.push_back(static_cast<char>(*p - BYTE_ESCAPE_BASE));
            continue;
        }
        size_t n = std::wcrtomb(piece, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes.push_back('?');
            if (whole) *whole = false;
        } else {
            bytes.append(piece, n);
        }
    }
    return bytes;
}

}  // namespace

// A text for the terminal or a temporary's name: what cannot be written is "?".
std::string ToSystem(const wchar_t* text) { return Encode(text, nullptr); }

// A path as the system takes it, or one marked as not writable.
SystemName PathName(const wchar_t* path) {
    SystemName name{std::string(), true};
    name.bytes = Encode(path, &name.ok);
    return name;
}

// Decodes bytes into out (room units, NUL included); false when it does not fit.
bool FromSystem(const char* bytes, wchar_t* out, size_t room) {
    const char* end = bytes;
    while (*end && static_cast<unsigned char>(*end) < 0x80) ++end;
    if (*end == '\0') {
        size_t count = static_cast<size_t>(end - bytes);
        if (count + 1 > room) return false;
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<wchar_t>(bytes[i]);
        out[count] = L'\0';
        return true;
    }
    std::mbstate_t state{};
    size_t used = 0;
    size_t left = std::strlen(bytes);
    while (left > 0) {
        if (used + 1 >= room) return false;
        wchar_t unit = 0;
        size_t n = std::mbrtowc(&unit, bytes, left, &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
            state = std::mbstate_t{};
            out[used++] = static_cast<wchar_t>(BYTE_ESCAPE_BASE + static_cast<unsigned char>(*bytes));
            n = 1;
        } else {
            out[used++] = unit;
        }
        bytes += n;
        left -= n;
    }
    out[used] = L'\0';
    return true;
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

SystemName WithoutTrailingSlashes(SystemName name) {
    name.bytes = WithoutTrailingSlashes(std::move(name.bytes));
    return name;
}

void platformSetUserLocale() {
    const char* chosen = std::setlocale(LC_ALL, "");
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    if (!chosen || !ctype || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0) {
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
    }
}

std::wstring FromSystemText(const char* bytes) {
    std::vector<wchar_t> wide(std::strlen(bytes) + 1);
    FromSystem(bytes, wide.data(), wide.size());
    return std::wstring(wide.data());
}

// The system's own words for errno values; the program's own reasons are the same on every system.
std::wstring SystemReasonText(int reason) { return FromSystemText(std::strerror(reason)); }

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    char bytes[PATH_MAX];
    if (room == 0 || !getcwd(bytes, sizeof bytes)) return 0;
    if (!FromSystem(bytes, buffer, room)) {
        buffer[0] = L'\0';
        return 0;
    }
    return std::wcslen(buffer);
}

void platformCommandLine(int argc, char** argv, std::vector<std::wstring>* arguments) {
    arguments->clear();
    for (int i = 0; i < argc; ++i) {
        size_t room = std::strlen(argv[i]) + 1;
        std::wstring text(room, L'\0');
        FromSystem(argv[i], &text[0], room);
        text.resize(std::wcslen(text.c_str()));
        arguments->push_back(text);
    }
}

// Upper case by the locale, one character for one.
void platformFoldName(const wchar_t* name, std::wstring* folded) {
    folded->assign(name);
    for (wchar_t& unit : *folded) {
        if (unit >= L'a' && unit <= L'z') {
            unit = static_cast<wchar_t>(unit - L'a' + L'A');
        } else if (unit >= 0x80) {
            unit = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(unit)));
        }
    }
}

// No short names stand for others here.
bool platformNameMayAlias(const wchar_t*, size_t) { return false; }
