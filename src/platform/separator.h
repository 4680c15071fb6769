// The path separator and line end of the system the program is built for.
#ifndef KORVANE_PLATFORM_SEPARATOR_H
#define KORVANE_PLATFORM_SEPARATOR_H

#ifdef _WIN32
#define PATH_SEPARATOR L'\\'   // the one separator of Windows paths
#define LINE_END "\r\n"        // line end of the text files we write
#else
#define PATH_SEPARATOR L'/'    // the one separator of POSIX paths
#define LINE_END "\n"          // line end of the text files we write
#endif

#endif
