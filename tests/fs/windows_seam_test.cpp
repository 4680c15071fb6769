// Windows only: the form in which paths reach the system calls, and what
// the system tells of a volume's clock.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

std::wstring currentDirectory() {
    wchar_t buffer[4096] = {0};
    GetCurrentDirectoryW(4096, buffer);
    std::wstring text = buffer;
    if (text.back() != L'\\') text.push_back(L'\\');
    return text;
}

// A path is handed over as given until its resolved form reaches MAX_PATH - 12
// units; from there on it goes in its resolved long form, a share's with UNC.
TEST(WindowsSeam, LongPathsTakeTheLongFormWhenTheyNeedIt) {
    struct Case {
        std::wstring path;
        std::wstring expected;
    };
    const std::wstring name(300, L'n');
    auto atLength = [](const std::wstring& start, size_t length) {
        return start + std::wstring(length - start.size(), L'x');
    };
    const std::wstring below = atLength(L"C:\\", 247);
    const std::vector<Case> cases = {
        {below, below},
        {atLength(L"C:\\", 248), L"\\\\?\\" + atLength(L"C:\\", 248)},
        {atLength(L"C:\\", 259), L"\\\\?\\" + atLength(L"C:\\", 259)},
        {atLength(L"C:\\", 260), L"\\\\?\\" + atLength(L"C:\\", 260)},
        {atLength(L"C:\\", 261), L"\\\\?\\" + atLength(L"C:\\", 261)},
        // Resolved first: "/" becomes "\", "." and ".." are taken away.
        {L"C:/d/" + name + L"/./e/../f", L"\\\\?\\C:\\d\\" + name + L"\\f"},
        {L"C:\\d\\" + name + L"\\..\\f", L"C:\\d\\f"},
        {L"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        {L"//server/share/" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        // Given in the long form already: as it stands, however long.
        {L"\\\\?\\C:\\short", L"\\\\?\\C:\\short"},
        {L"\\\\?\\C:\\" + name, L"\\\\?\\C:\\" + name},
        {L"\\\\?\\UNC\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + name},
        // Relative: short ones as given, long ones resolved against the current directory.
        {L"short\\relative", L"short\\relative"},
        {name + L"\\x", L"\\\\?\\" + currentDirectory() + name + L"\\x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40) + L"... of " + std::to_wstring(c.path.size()));
        EXPECT_EQ(platformSystemPath(c.path.c_str()), c.expected);
    }
}

// A name the plain form would rewrite (last dots and spaces dropped, a device
// name taken for the device) sends the whole path in the long form, resolved
// here with every name kept; names that only look alike stay plain.
TEST(WindowsSeam, RewrittenNamesTakeTheLongFormKeptAsTheyAre) {
    struct Case {
        std::wstring path;
        std::wstring expected;
    };
    const std::wstring here = currentDirectory();
    const std::vector<Case> cases = {
        {L"C:\\d\\a.", L"\\\\?\\C:\\d\\a."},
        {L"C:\\d\\a ", L"\\\\?\\C:\\d\\a "},
        {L"C:\\d\\a. .", L"\\\\?\\C:\\d\\a. ."},
        {L"C:\\d\\...", L"\\\\?\\C:\\d\\..."},
        {L"C:\\d.\\f.txt", L"\\\\?\\C:\\d.\\f.txt"},
        {L"C:\\d\\sub \\*", L"\\\\?\\C:\\d\\sub \\*"},
        {L"C:\\d\\CON", L"\\\\?\\C:\\d\\CON"},
        {L"C:\\d\\nul.txt", L"\\\\?\\C:\\d\\nul.txt"},
        {L"C:\\d\\AUX .c", L"\\\\?\\C:\\d\\AUX .c"},
        {L"C:\\d\\lpt9", L"\\\\?\\C:\\d\\lpt9"},
        {L"C:\\d\\COM\u00b9.log", L"\\\\?\\C:\\d\\COM\u00b9.log"},
        {L"C:\\d\\conin$", L"\\\\?\\C:\\d\\conin$"},
        {L"C:\\d\\CON.txt.", L"\\\\?\\C:\\d\\CON.txt."},
        {L"C:\\prn\\x", L"\\\\?\\C:\\prn\\x"},
        // Separators, "." and ".." resolved by their text, never above the root.
        {L"C:/d/./e/../a.", L"\\\\?\\C:\\d\\a."},
        {L"C:\\..\\..\\a.", L"\\\\?\\C:\\a."},
        {L"C:\\d\\x.\\..\\y", L"\\\\?\\C:\\d\\y"},
        {L"C:\\d\\a.\\", L"\\\\?\\C:\\d\\a.\\"},
        {L"\\\\server\\share\\a.", L"\\\\?\\UNC\\server\\share\\a."},
        {L"//server/share/../nul", L"\\\\?\\UNC\\server\\share\\nul"},
        {L"rel\\a.", L"\\\\?\\" + here + L"rel\\a."},
        {L"\\\\?\\C:\\d\\a.", L"\\\\?\\C:\\d\\a."},
        // Plain names stay as given.
        {L"C:\\d\\a.b", L"C:\\d\\a.b"},
        {L"C:\\d\\.\\..\\e", L"C:\\d\\.\\..\\e"},
        {L"C:\\d\\CONSOLE", L"C:\\d\\CONSOLE"},
        {L"C:\\d\\COM10", L"C:\\d\\COM10"},
        {L"C:\\d\\nulls.txt", L"C:\\d\\nulls.txt"},
        {L"C:\\d\\ lead", L"C:\\d\\ lead"},
        {L"C:\\d\\e\\", L"C:\\d\\e\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(platformSystemPath(c.path.c_str()), c.expected);
    }
}

// A volume's file system name tells its time step (in nanoseconds) for FAT
// and exFAT alone; any other name (Wine names every volume NTFS) leaves the
// step to a file written there, which on a volume of exact times reads back
// as written, to Windows' 100 ns.
TEST(WindowsSeam, OnlyFatNamesTellATimeStep) {
    struct Case {
        const wchar_t* name;
        int64_t step;
    };
    const int64_t fat = 2000000000;
    const std::vector<Case> cases = {
        {L"FAT", fat},        {L"FAT12", fat}, {L"FAT16", fat}, {L"FAT32", fat}, {L"fat32", fat},
        {L"exFAT", 10000000}, {L"NTFS", 0},    {L"ReFS", 0},    {L"CDFS", 0},    {L"", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(platformTimeStepOfFileSystem(c.name), c.step) << c.name;
    }
    TempDir temp;
    EXPECT_EQ(platformVolumeTimeStep(temp.wide().buffer), 0);
    const int64_t odd = 1262304001;
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    ASSERT_TRUE(platformProbeModifiedTime(temp.wide().buffer, odd, 123456789, &seconds, &nanoseconds));
    EXPECT_EQ(seconds, odd);
    EXPECT_EQ(nanoseconds, 123456700);
    EXPECT_TRUE(fs::is_empty(temp.root));
}

}  // namespace
#endif
