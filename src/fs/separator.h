// The path separator, line end and path rules of the system the program is
// built for; plain constants, so that every layer may read them.
#ifndef KORVANE_FS_SEPARATOR_H
#define KORVANE_FS_SEPARATOR_H

#ifdef _WIN32
#define PATH_SEPARATOR L'\\'      // the one separator of Windows paths
#define LINE_END "\r\n"           // line end of the text files we write
#define TEXT_ENDS_AT_CTRL_Z true  // a text file we read ends at a Ctrl+Z byte
#define TEMPORARY_TAG L"w"        // marks our temporaries: their process numbers are Windows'

#else
#define PATH_SEPARATOR L'/'        // the one separator of POSIX paths
#define LINE_END "\n"              // line end of the text files we write
#define TEXT_ENDS_AT_CTRL_Z false  // a Ctrl+Z byte is text like any other
#define TEMPORARY_TAG L""          // marks our temporaries: their process numbers are the system's

#endif

// True when unit separates path components (on Windows "/" does too).
inline bool isComponentSeparator(wchar_t unit) {
#ifdef _WIN32
    return unit == L'\\' || unit == L'/';
#else
    return unit == L'/';
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

#endif
