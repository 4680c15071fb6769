// The path separator and path rules of the system the program is built
// for; plain constants and tests of text, so that every layer may read them.
#ifndef KORVANE_BASE_SEPARATOR_H
#define KORVANE_BASE_SEPARATOR_H

#ifdef _WIN32
#define PATH_SEPARATOR L'\\'  // the one separator of Windows paths
#else
#define PATH_SEPARATOR L'/'  // the one separator of POSIX paths
#endif

// True when unit separates path components (on Windows "/" does too).
inline bool isComponentSeparator(wchar_t unit) {
#ifdef _WIN32
    return unit == L'\\' || unit == L'/';
#else
    return unit == L'/';
#endif
}

// True when a level's name (length units) is read as "." or ".." by the
// system: on Windows, which drops dots and blanks at a name's end, also a
// name of nothing but dots and blanks.
inline bool isDotName(const wchar_t* name, size_t length) {
    if (length == 0 || name[0] != L'.') return false;
#ifdef _WIN32
    for (size_t i = 0; i < length; ++i) {
        if (name[i] != L'.' && name[i] != L' ') return false;
    }
    return true;
#else
    return length == 1 || (length == 2 && name[1] == L'.');
#endif
}

// True when a path text is absolute or drive-relative, not relative to a folder.
inline bool isRootedPath(const wchar_t* path) {
#ifdef _WIN32
    return path[0] == L'\\' || path[0] == L'/' || (path[0] != L'\0' && path[1] == L':');
#else
    return path[0] == L'/';
#endif
}

// Length of the path's root level, the part no run creates: C:\ (or a bare
// C:), \\server\share\, the long forms \\?\C:\ and \\?\UNC\server\share\, or /.
// A server without a share is all root (and reaches no folder). 0 when the
// path has no such root: relative, drive-relative (C:a) or \a.
inline int rootLevelLength(const wchar_t* path, int length) {
#ifdef _WIN32
    if (length >= 2 && path[1] == L':' && path[0] != L'\\' && path[0] != L'/') {
        if (length == 2) return 2;
        return isComponentSeparator(path[2]) ? 3 : 0;
    }
    if (length < 2 || !isComponentSeparator(path[0]) || !isComponentSeparator(path[1])) return 0;
    int at = 2;
    int components = 2;  // server and share
    if (length >= 4 && (path[2] == L'?' || path[2] == L'.') && isComponentSeparator(path[3])) {
        at = 4;
        if (length >= 6 && path[5] == L':') {
            if (length == 6) return 6;
            return isComponentSeparator(path[6]) ? 7 : 0;
        }
        bool unc = length >= 8 && (path[4] == L'U' || path[4] == L'u') && (path[5] == L'N' || path[5] == L'n') &&
                   (path[6] == L'C' || path[6] == L'c') && isComponentSeparator(path[7]);
        if (unc) {
            at = 8;
        } else {
            components = 1;  // a device or volume name, as in \\?\Volume{...}, is one component
        }
    }
    for (int component = 0; component < components; ++component) {
        while (at < length && !isComponentSeparator(path[at])) ++at;
        if (at < length) ++at;  // the separator belongs to its level
    }
    return at;
#else
    return length > 0 && path[0] == L'/' ? 1 : 0;
#endif
}

#endif
