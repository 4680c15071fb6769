// The trees a run holds: the guarded To and the lock of a run's To.

#include "platform/win32/win32_layer.h"

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

// The tree a run changes, as the run spells it; see platformGuardTree.
std::wstring guardedRoot;

}  // namespace

size_t GuardedRootLength() { return guardedRoot.size(); }

const std::wstring& GuardedRoot() { return guardedRoot; }

// True when path lies strictly below the guarded tree.
bool InsideGuardedTree(const wchar_t* path) {
    if (guardedRoot.empty()) return false;
    size_t length = guardedRoot.size();
    if (wcsncmp(path, guardedRoot.c_str(), length) != 0) return false;
    if (path[length] != L'\\' && path[length] != L'/') return false;
    for (const wchar_t* rest = path + length; *rest; ++rest) {
        if (*rest != L'\\' && *rest != L'/') return true;
    }
    return false;
}

namespace {

// The deepest directory of the guarded tree whose way from the root is known
// to hold no link; a walk asks about one directory's entries after another,
// so each level is looked at once. Each thread keeps its own; a run's
// workers end with the run.
thread_local std::wstring linkFreeDirectory;

}  // namespace

// True when a directory between the guarded root and path's own name is a
// link (or cannot be looked at): nothing is changed or read through it.
bool ThroughLink(const wchar_t* path) {
    if (!InsideGuardedTree(path)) return false;
    std::wstring text(path);
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    size_t last = text.find_last_of(L"\\/");
    if (last == std::wstring::npos || last <= guardedRoot.size()) return false;
    std::wstring parent = text.substr(0, last);
    size_t start = guardedRoot.size();
    if (!linkFreeDirectory.empty() && parent.compare(0, linkFreeDirectory.size(), linkFreeDirectory) == 0 &&
        (parent.size() == linkFreeDirectory.size() || parent[linkFreeDirectory.size()] == L'\\' ||
         parent[linkFreeDirectory.size()] == L'/')) {
        start = linkFreeDirectory.size();
    }
    while (start < parent.size()) {
        size_t end = parent.find_first_of(L"\\/", start + 1);
        if (end == std::wstring::npos) end = parent.size();
        std::wstring level = parent.substr(0, end);
        DWORD attributes = GetFileAttributesW(platformSystemPath(level.c_str()).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            linkFreeDirectory = level.substr(0, start);
            return true;
        }
        start = end;
    }
    linkFreeDirectory = parent;
    return false;
}

// While a tree is guarded, changes are made below its root only, and never
// through a link on the way there.
bool RefusedChange(const wchar_t* path) {
    return (!guardedRoot.empty() && !InsideGuardedTree(path)) || ThroughLink(path);
}

bool IsGuardedRoot(const wchar_t* path) {
    if (guardedRoot.empty()) return false;
    std::wstring text(path);
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    return text == guardedRoot;
}

SystemResult platformGuardTree(const wchar_t* root) {
    std::wstring text(root);
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    if (GetFileAttributesW(platformSystemPath(text.c_str()).c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW(platformSystemPath(root).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Result(false);
    }
    guardedRoot = text;
    linkFreeDirectory.clear();
    ForgetRunRecords();  // a new run: the records of runs gone since are read afresh
    return Result(true);
}

// Windows follows no user's link into what the user may not read: the
// system checks each access as the user's own... and this process's; a
// From path reaches the system whole.
SystemResult platformReadTree(const wchar_t*) { return SystemResult{true, 0}; }

void platformReleaseReadTree() {}

bool platformOthersMayChange(const wchar_t*) { return false; }

bool platformOthersMayChangeFile(const wchar_t*) { return false; }

bool platformOthersMayAddTo(const wchar_t*) { return false; }

bool platformRunsAsRoot() { return false; }

void platformReleaseTree() {
    guardedRoot.clear();
    linkFreeDirectory.clear();
}
