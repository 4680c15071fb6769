// Helpers shared by the test executables: per-test temporary folders, files
// with chosen contents and times, and conversions to the program's texts.
#ifndef KORVANE_TESTS_TEST_SUPPORT_H
#define KORVANE_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <string>

#include "text/wide_string.h"

namespace fs = std::filesystem;

// A fresh folder for one test, removed with everything in it afterwards.
struct TempDir {
    fs::path root;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The path of relative under the folder (relative uses "/"; empty for the root).
    fs::path at(const std::string& relative = std::string()) const;
    // The same as a WideString.
    WideString wide(const std::string& relative = std::string()) const;
};

// The path as the program's wide text.
WideString toWide(const fs::path& path);

// The text as a standard wide string, for comparisons in assertions.
std::wstring fromWide(const WideString& text);

// Writes contents to path, creating missing parent folders.
void writeFile(const fs::path& path, const std::string& contents);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const fs::path& path);

// Moves the modification time of path (a file or folder) by delta seconds.
void shiftModified(const fs::path& path, int delta);

// Gives target (a file or folder) the modification time of source.
void copyModified(const fs::path& source, const fs::path& target);

// Gives path (a file or folder) the modification time of seconds since 1970
// and nanoseconds, as exactly as its volume keeps them.
void setModified(const fs::path& path, int64_t seconds, int32_t nanoseconds);

// True when the platform is Windows (some cases exist there only).
bool onWindows();

// Gives a directory another attribute word (read-only or hidden on Windows,
// whichever the file system keeps; fewer permission bits elsewhere).
void changeDirectoryAttributes(const fs::path& directory);

// A path text written with "\\" as separator, in the platform's separator.
WideString nativePath(const wchar_t* text);

#ifdef _WIN32
// The host's (unix) path of a path under Wine; empty when not under Wine.
std::string hostPath(const fs::path& path);

// Runs a shell script on the host under Wine and waits for it; true when it
// ended with status 0, false when it failed or the test is not under Wine.
bool runOnHost(const std::string& script);

// Mounts below, a folder, at mount as a FUSE volume of the host of a kind
// tests/reliability/coarse_clock.py serves (down, up, exact, none, slow);
// false when the test is not under Wine or the host has no /dev/fuse.
bool mountTestVolume(const fs::path& below, const fs::path& mount, const std::string& kind);

// Unmounts a volume that mountTestVolume mounted.
void unmountTestVolume(const fs::path& mount);
#endif

#endif
