#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "base/separator.h"
#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string uniqueName() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    std::ostringstream name;
    name << "korvane-test-" << device() << "-" << counter++;
    return name.str();
}

// Makes everything below path writable, so that removal can proceed.
void makeWritable(const fs::path& path) {
    std::error_code error;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
    if (fs::is_directory(fs::symlink_status(path, error))) {
        for (auto& entry : fs::directory_iterator(path, error)) makeWritable(entry.path());
    }
}

}  // namespace

TempDir::TempDir() {
    root = fs::temp_directory_path() / uniqueName();
    fs::create_directories(root);
}

TempDir::~TempDir() {
    std::error_code error;
    makeWritable(root);
    fs::remove_all(root, error);
}

fs::path TempDir::at(const std::string& relative) const {
    if (relative.empty()) return root;
    return root / fs::path(relative).make_preferred();
}

WideString TempDir::wide(const std::string& relative) const { return toWide(at(relative)); }

WideString toWide(const fs::path& path) { return WideString(path.wstring().c_str()); }

std::wstring fromWide(const WideString& text) { return std::wstring(text.buffer, text.length); }

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

namespace {

// True where a time is given through the platform layer: a folder's (the
// standard library of the Windows build cannot give a directory a time),
// and any on Windows, where that library gives whole seconds alone.
bool timedByPlatform(const fs::path& path) { return onWindows() || fs::is_directory(path); }

}  // namespace

void shiftModified(const fs::path& path, int delta) {
    EntryStatus status;
    if (timedByPlatform(path) && platformQueryEntry(toWide(path).buffer, &status)) {
        platformWriteModifiedTime(toWide(path).buffer, status.modifiedSeconds + delta, status.modifiedNanoseconds);
        return;
    }
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(delta));
}

void copyModified(const fs::path& source, const fs::path& target) {
    EntryStatus status;
    if (timedByPlatform(target) && platformQueryEntry(toWide(source).buffer, &status)) {
        platformWriteModifiedTime(toWide(target).buffer, status.modifiedSeconds, status.modifiedNanoseconds);
        return;
    }
    fs::last_write_time(target, fs::last_write_time(source));
}

void setModified(const fs::path& path, int64_t seconds, int32_t nanoseconds) {
    if (timedByPlatform(path)) {
        platformWriteModifiedTime(toWide(path).buffer, seconds, nanoseconds);
        return;
    }
    EntryStatus status;
    if (!platformQueryEntry(toWide(path).buffer, &status)) return;
    auto apart = std::chrono::seconds(seconds - status.modifiedSeconds) +
                 std::chrono::nanoseconds(nanoseconds - status.modifiedNanoseconds);
    fs::last_write_time(path,
                        fs::last_write_time(path) + std::chrono::duration_cast<fs::file_time_type::duration>(apart));
}

bool onWindows() { return PATH_SEPARATOR == L'\\'; }

WideString nativePath(const wchar_t* text) {
    std::wstring converted(text);
    for (wchar_t& unit : converted) {
        if (unit == L'\\') unit = PATH_SEPARATOR;
    }
    return WideString(converted.c_str());
}

void changeDirectoryAttributes(const fs::path& directory) {
#ifdef _WIN32
    const wchar_t* path = directory.c_str();
    DWORD before = GetFileAttributesW(path);
    for (DWORD extra : {DWORD{FILE_ATTRIBUTE_READONLY}, DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
        SetFileAttributesW(path, before | extra);
        if (GetFileAttributesW(path) != before) return;
    }
    ADD_FAILURE() << "the file system keeps no directory attribute";
#else
    fs::permissions(directory, fs::perms::group_write | fs::perms::others_read, fs::perm_options::remove);
#endif
}

int main(int argc, char** argv) {
    platformSetUserLocale();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#ifdef _WIN32
std::string hostPath(const fs::path& path) {
    typedef char*(__cdecl * ToUnix)(const wchar_t*);
    ToUnix toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* converted = toUnix(fs::absolute(path).wstring().c_str());
    if (!converted) return std::string();
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Wine's start command runs a host program without waiting for it, so the
// script leaves its status in a file, which appears whole once it is done.
bool runOnHost(const std::string& script) {
    fs::path base = fs::temp_directory_path() / uniqueName();
    fs::path scriptFile = base;
    scriptFile += ".sh";
    fs::path statusFile = base;
    statusFile += ".status";
    std::string scriptHost = hostPath(scriptFile);
    std::string statusHost = hostPath(statusFile);
    if (scriptHost.empty() || statusHost.empty()) return false;
    {
        std::ofstream out(scriptFile, std::ios::binary);
        out << "(\n"
            << script << "\n) >/dev/null 2>&1\necho $? > '" << statusHost << ".part' && mv '" << statusHost
            << ".part' '" << statusHost << "'\n";
    }
    std::string command = "start /wait /unix /bin/sh " + scriptHost;
    std::system(command.c_str());
    for (int waited = 0; waited < 30000 && !fs::exists(statusFile); waited += 10) Sleep(10);
    std::string status = readFile(statusFile);
    std::error_code error;
    fs::remove(scriptFile, error);
    fs::remove(statusFile, error);
    return status == "0\n";
}

namespace {
std::string quoted(const fs::path& path) { return "'" + hostPath(path) + "'"; }
}  // namespace

bool mountTestVolume(const fs::path& below, const fs::path& mount, const std::string& kind) {
    fs::create_directories(below);
    fs::create_directories(mount);
    if (hostPath(mount).empty()) return false;
    std::string serve = std::string("/usr/bin/python3 '") + KORVANE_SOURCE_DIR +
                        "/tests/reliability/coarse_clock.py' --serve " + quoted(below) + " " + quoted(mount) + " " +
                        kind;
    return runOnHost("test -e /dev/fuse && { setsid " + serve + " </dev/null >/dev/null 2>&1 & } && " +
                     "for i in $(seq 200); do mountpoint -q " + quoted(mount) + " && exit 0; sleep 0.05; done; exit 1");
}

void unmountTestVolume(const fs::path& mount) { runOnHost("umount " + quoted(mount)); }
#endif
