// The terminal and the standard streams, clocks, and the signals that stop a run.

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

bool platformIsTerminal(int stream) { return isatty(stream) == 1; }

int platformTerminalColumns(int stream) {
    struct winsize size {};
    if (ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

// A file beyond the size limit fails its copy instead of ending the run.
void platformKeepRunningPastFileLimits() { signal(SIGXFSZ, SIG_IGN); }

// The terminal decides here: nothing needs enabling, only asking.
bool platformTerminalShowsColors(int stream) {
    const char* term = std::getenv("TERM");
    return isatty(stream) == 1 && !(term && std::strcmp(term, "dumb") == 0) && !std::getenv("NO_COLOR");
}

namespace {

// The standard streams the program was started without.
bool streamWasClosed[3] = {false, false, false};

}  // namespace

void platformGuardStandardStreams() {
    for (int stream = 0; stream < 3; ++stream) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
        int fd = open("/dev/null", O_RDWR);
        if (fd >= 0 && fd != stream) close(fd);  // another thread took the number meanwhile
        streamWasClosed[stream] = fd == stream;
    }
}

SystemResult platformWriteText(int stream, const wchar_t* text) {
    if (stream >= 0 && stream < 3 && streamWasClosed[stream]) return SystemResult{false, EBADF};
    std::string bytes = ToSystem(text);
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return Result(std::fflush(file) == 0 && written);
}

bool platformReadLine(std::wstring* line) {
    std::string bytes;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') bytes.push_back(static_cast<char>(c));
    if (c == EOF && bytes.empty()) return false;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    std::wstring text(bytes.size() + 1, L'\0');
    FromSystem(bytes.c_str(), &text[0], text.size());
    text.resize(std::wcslen(text.c_str()));
    *line = text;
    return true;
}

void platformSleep(int milliseconds) {
    struct timespec span;
    span.tv_sec = milliseconds / 1000;
    span.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {}
}

int64_t platformMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t platformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

void (*interruptHandler)() = nullptr;

void onSignal(int) {
    platformRequestStop();
    if (interruptHandler) interruptHandler();
    platformWakeWatch();
}

}  // namespace

void platformOnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl+C ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
