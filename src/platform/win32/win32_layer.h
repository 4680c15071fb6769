// What the files of the Windows layer share: how a path is handed to the
// system, the guarded tree, the results of calls, and the small helpers more
// than one of them calls. Nothing outside src/platform/win32 includes it.
#ifndef KORVANE_PLATFORM_WIN32_WIN32_LAYER_H
#define KORVANE_PLATFORM_WIN32_WIN32_LAYER_H

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <string>

#include "platform/platform.h"

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

// Marks a reason that is the runtime's errno, told apart from Win32's numbers.
const int kErrnoReason = 0x20000000;

// A failure for a Win32 error code.
inline SystemResult Failure(DWORD error) { return SystemResult{false, static_cast<int>(error)}; }

// The result of a Win32 call that set GetLastError when it failed.
inline SystemResult Result(bool ok) { return ok ? SystemResult{true, 0} : Failure(GetLastError()); }

// The result of a runtime call that set errno when it failed.
inline SystemResult ErrnoResult(bool ok) {
    return ok ? SystemResult{true, 0} : SystemResult{false, kErrnoReason | errno};
}

// The result of a runtime removal (_wremove, _wrmdir) that set errno when it
// failed: errno's reason, or the system's own code where that is one that
// may pass (a file in use by another program), so that a retry can tell.
inline SystemResult RemovalResult(bool ok) {
    if (ok) return SystemResult{true, 0};
    int error = errno;
    DWORD code = static_cast<DWORD>(_doserrno);
    if (code != 0 && platformErrorMayPass(static_cast<int>(code))) return Failure(code);
    return SystemResult{false, kErrnoReason | error};
}

// True for either of the separators Windows takes.
inline bool IsSlash(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// FILETIME counts 100 ns ticks.
const int64_t kTicksPerSecond = 10000000;

// The ticks between FILETIME's epoch and the Unix one.
const int64_t kEpochDifference = 116444736000000000LL;

// The full path of path: the system's reading, except that a name it would
// rewrite stays as it is.
bool FullPathOf(const wchar_t* path, std::wstring* full);

// A FILETIME as whole seconds since 1970.
int64_t SecondsSince1970(const FILETIME& time);

// The part of a FILETIME below its whole second (SecondsSince1970), in nanoseconds.
int32_t NanosecondsOf(const FILETIME& time);

// True when path, as its last component, is a link the listing may not have
// shown: its final path is not its parent's final path followed by its own
// name. Only asked under Wine, and only before a change, never per entry
// walked. An entry whose final path cannot be read counts as such a link, so
// that a change never goes ahead on a guess. Wine's final path of an entry
// drops the last dots and spaces of its last name ("a." reads as "a",
// "..." as nothing), so names are compared without them.
bool IsHiddenLink(const wchar_t* path);

// The attribute word and reparse tag of path itself, as a listing shows them.
bool ReadOwnAttributes(const wchar_t* path, DWORD* attributes, DWORD* tag);

// A name beside target for a copy in progress; the process id keeps runs apart.
std::wstring TemporaryNameBeside(const std::wstring& target);

// Notes in this run's record that it is about to make the temporary at
// path (its folder's identity and its name), so that a later run may prove
// it the program's own should this run die before it is gone; nothing is
// noted where the run has no record.
void NoteTemporary(const std::wstring& path);

// Notes that the temporary at path, noted by NoteTemporary, has gone:
// moved into place, removed, or never made.
void NoteTemporaryGone(const std::wstring& path);

// The temporary a function makes, noted before it is made and noted gone
// when another takes its place or the function ends.
struct NotedTemporary {
    std::wstring path;  // the temporary noted last, or empty
    NotedTemporary() = default;
    NotedTemporary(const NotedTemporary&) = delete;
    NotedTemporary& operator=(const NotedTemporary&) = delete;
    // Notes temporary, the one noted before gone.
    void note(const std::wstring& temporary) {
        forget();
        path = temporary;
        NoteTemporary(path);
    }
    // Notes the temporary noted last gone.
    void forget() {
        if (!path.empty()) NoteTemporaryGone(path);
        path.clear();
    }
    ~NotedTemporary() { forget(); }
};

// A copy that failed for a Win32 error code.
CopyResult FailedCopy(DWORD error);

// The file time of seconds since 1970 UTC and the nanoseconds below them (to 100 ns).
FILETIME FileTimeOf(int64_t secondsSince1970, int32_t nanoseconds = 0);

// Symbolic links and junctions, by the attributes and reparse tag a listing shows.
bool IsLinkTag(DWORD attributes, DWORD tag);

// Copies source to the new file target (system paths), ticking the front
// end through a long copy; false with *error the reason.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target, DWORD* error);

// Removes a temporary of this process, read-only or not.
void RemoveTemporary(const std::wstring& temporary);

// True when path lies strictly below the guarded tree.
bool InsideGuardedTree(const wchar_t* path);

// The length of the guarded tree's root as the run spells it; 0 when none is guarded.
size_t GuardedRootLength();

// The guarded tree's root as the run spells it; empty when none is guarded.
const std::wstring& GuardedRoot();

// Lets go of what the run read of other runs' records of temporaries, so
// that the next run reads them afresh (runs may have ended since).
void ForgetRunRecords();

// True when a directory between the guarded root and path's own name is a
// link (or cannot be looked at): nothing is changed or read through it.
bool ThroughLink(const wchar_t* path);

// While a tree is guarded, changes are made below its root only, and never
// through a link on the way there.
bool RefusedChange(const wchar_t* path);

// True when path names the guarded root itself (trailing separators aside).
bool IsGuardedRoot(const wchar_t* path);

#endif
