// The system seam on Linux and other POSIX systems.
#include "platform/platform.h"

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <string>

#ifdef __linux__
#include <sys/syscall.h>
#endif

// Names are bytes here. The locale's encoding turns them into wide text; a byte
// that does not decode becomes U+DC80 + byte and turns back into that byte, so
// that every name survives the round trip, however it is spelt.
namespace {

const wchar_t kEscapeBase = 0xDC00;

std::string ToSystem(const wchar_t* path) {
    std::string bytes;
    // Plain ASCII, by far the most common, needs no conversion state.
    const wchar_t* end = path;
    while (*end && *end < 0x80) ++end;
    if (*end == L'\0') {
        bytes.resize(static_cast<size_t>(end - path));
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(path[i]);
        return bytes;
    }
    std::mbstate_t state{};
    char piece[MB_LEN_MAX];
    for (const wchar_t* p = path; *p; ++p) {
        if (*p >= kEscapeBase + 0x80 && *p <= kEscapeBase + 0xFF) {
            bytes.push_back(static_cast<char>(*p - kEscapeBase));
            continue;
        }
        size_t n = std::wcrtomb(piece, *p, &state);
        if (n == static_cast<size_t>(-1)) {
            state = std::mbstate_t{};
            bytes.push_back('?');
        } else {
            bytes.append(piece, n);
        }
    }
    return bytes;
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
            out[used++] = static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(*bytes));
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

bool IsDirectoryMode(mode_t mode) { return S_ISDIR(mode); }

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Held while a parent directory is opened up for one change.
std::mutex parentOpening;

// Runs change(); when the parent directory refuses it for want of write
// permission and belongs to us, the parent is opened up for that one change
// and given its mode back. A protected directory guards nothing on Windows
// either, and a mirrored read-only directory must still be filled.
template <typename Change>
bool WithWritableParent(const std::string& path, Change change) {
    if (change()) return true;
    if (errno != EACCES) return false;
    int saved = errno;
    // One opening at a time: a second thread must never take a parent opened
    // up for a moment for its own mode, and leave it open.
    std::lock_guard<std::mutex> guard(parentOpening);
    if (change()) return true;
    if (errno != EACCES) return false;
    std::string parent = ParentOf(path);
    struct stat st;
    if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWUSR | S_IXUSR)) == (S_IWUSR | S_IXUSR)) {
        errno = saved;
        return false;
    }
    if (chmod(parent.c_str(), (st.st_mode & 07777) | S_IWUSR | S_IXUSR) != 0) {
        errno = saved;
        return false;
    }
    bool ok = change();
    int after = errno;
    chmod(parent.c_str(), st.st_mode & 07777);
    errno = after;
    return ok;
}

void FillStatus(const struct stat& st, EntryStatus* status) {
    status->isDirectory = IsDirectoryMode(st.st_mode);
    status->attributeWord = static_cast<uint32_t>(st.st_mode);
    status->modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
    status->size = static_cast<int64_t>(st.st_size);
}

CopyOutcome OutcomeOf(int error) {
    if (error == EACCES || error == EPERM) return COPY_ACCESS_DENIED;
    if (error == EEXIST) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

// Copies size bytes (or up to the end, should the file shrink) of in into out,
// in the kernel where it can.
bool CopyContents(int in, int out, off_t size) {
#ifdef __linux__
    off_t copied = 0;
    while (copied < size) {
        ssize_t n = syscall(SYS_copy_file_range, in, nullptr, out, nullptr,
                            static_cast<size_t>(size - copied), 0u);
        if (n == 0) return true;
        if (n > 0) {
            copied += n;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == EBADF) {
            break;  // not possible between these two; copy through memory
        }
        return false;
    }
    if (copied >= size) return true;
#else
    (void)size;
#endif
    static thread_local char chunk[1 << 17];
    for (;;) {
        ssize_t got = read(in, chunk, sizeof chunk);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = write(out, chunk + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += put;
        }
    }
}

std::string TemporaryNameBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    std::string parent = ParentOf(target);
    return parent + "/.korvane-" + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + ".tmp";
}

}  // namespace

struct DirectoryListing {
    DIR* dir;
};

void platformSetUserLocale() {
    const char* chosen = std::setlocale(LC_ALL, "");
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    if (!chosen || !ctype || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0) {
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "C.utf8");
    }
}

bool platformQueryEntry(const wchar_t* path, EntryStatus* status) {
    struct stat st;
    if (stat(ToSystem(path).c_str(), &st) != 0) return false;
    FillStatus(st, status);
    return true;
}

bool platformEntryExists(const wchar_t* path) { return access(ToSystem(path).c_str(), F_OK) == 0; }

bool platformIsLink(const wchar_t* path) {
    struct stat st;
    return lstat(ToSystem(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool platformLinksAreVisible() { return true; }

bool platformReadAttributeWord(const wchar_t* path, uint32_t* word) {
    struct stat st;
    if (stat(ToSystem(path).c_str(), &st) != 0) return false;
    *word = static_cast<uint32_t>(st.st_mode);
    return true;
}

bool platformWriteAttributeWord(const wchar_t* path, uint32_t word) {
    return chmod(ToSystem(path).c_str(), static_cast<mode_t>(word) & 07777) == 0;
}

bool platformClearProtection(const wchar_t* path) {
    std::string system = ToSystem(path);
    struct stat st;
    if (lstat(system.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;  // a link has no protection of its own
    if (st.st_mode & S_IWUSR) return true;
    return chmod(system.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool platformCreateDirectory(const wchar_t* path) {
    std::string system = ToSystem(path);
    while (system.size() > 1 && system.back() == '/') system.pop_back();
    return WithWritableParent(system, [&] { return mkdir(system.c_str(), 0777) == 0; });
}

bool platformIsDriveSpec(const wchar_t* path, size_t length) {
    return length == 1 && path[0] == L'/';
}

bool platformIsUsableDrive(const wchar_t* path) { return path[0] == L'/' && path[1] == L'\0'; }

// The copy is written under a temporary name beside the target and renamed
// over it, so the target's name never holds a half-written file.
CopyOutcome platformCopyFile(const wchar_t* source, const wchar_t* target) {
    std::string from = ToSystem(source);
    std::string to = ToSystem(target);
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return OutcomeOf(errno);
    struct stat st;
    if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(in);
        return COPY_FAILED;
    }
    // A directory under the target's name makes the rename fail (EISDIR) below.
    std::string temporary = TemporaryNameBeside(to);
    int out = -1;
    WithWritableParent(to, [&] {
        out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return out >= 0;
    });
    if (out < 0) {
        int error = errno;
        close(in);
        return OutcomeOf(error);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    bool ok = CopyContents(in, out, st.st_size) && fchmod(out, st.st_mode & 07777) == 0 &&
              futimens(out, times) == 0;
    int error = ok ? 0 : errno;
    if (close(out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    close(in);
    if (ok) {
        ok = WithWritableParent(to, [&] { return rename(temporary.c_str(), to.c_str()) == 0; });
        if (!ok) error = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        return OutcomeOf(error);
    }
    return COPY_DONE;
}

// unlink refuses a directory (EISDIR), so no need to look first.
bool platformDeleteFile(const wchar_t* path) {
    std::string system = ToSystem(path);
    return WithWritableParent(system, [&] { return unlink(system.c_str()) == 0; });
}

bool platformRemoveDirectory(const wchar_t* path) {
    std::string system = ToSystem(path);
    while (system.size() > 1 && system.back() == '/') system.pop_back();
    return WithWritableParent(system, [&] { return rmdir(system.c_str()) == 0; });
}

bool platformRemoveLink(const wchar_t* path) {
    std::string system = ToSystem(path);
    while (system.size() > 1 && system.back() == '/') system.pop_back();
    struct stat st;
    if (lstat(system.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return WithWritableParent(system, [&] { return unlink(system.c_str()) == 0; });
}

bool platformDirectoryIdentity(const wchar_t* path, DirectoryIdentity* identity) {
    struct stat st;
    if (stat(ToSystem(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->index = static_cast<uint64_t>(st.st_ino);
    return true;
}

DirectoryListing* platformOpenListing(const wchar_t* directory) {
    DIR* dir = opendir(ToSystem(directory).c_str());
    if (!dir) return nullptr;
    return new DirectoryListing{dir};
}

bool platformNextEntry(DirectoryListing* listing, DirectoryEntry* entry) {
    for (;;) {
        errno = 0;
        struct dirent* found = readdir(listing->dir);
        if (!found) return false;
        if (!FromSystem(found->d_name, entry->name, PLATFORM_NAME_MAX + 1)) continue;
        unsigned char type = found->d_type;
        entry->isLink = false;
        entry->isDirectory = false;
        if (type == DT_DIR) {
            entry->isDirectory = true;
        } else if (type == DT_LNK || type == DT_UNKNOWN) {
            struct stat st;
            int fd = dirfd(listing->dir);
            if (fstatat(fd, found->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                entry->isLink = S_ISLNK(st.st_mode);
                if (entry->isLink && fstatat(fd, found->d_name, &st, 0) != 0) return true;
                entry->isDirectory = S_ISDIR(st.st_mode);
            }
        }
        return true;
    }
}

bool platformCloseListing(DirectoryListing* listing) {
    int result = closedir(listing->dir);
    delete listing;
    return result == 0;
}

size_t platformCurrentDirectory(wchar_t* buffer, size_t room) {
    char bytes[PATH_MAX];
    if (room == 0 || !getcwd(bytes, sizeof bytes)) return 0;
    if (!FromSystem(bytes, buffer, room)) {
        buffer[0] = L'\0';
        return 0;
    }
    return std::wcslen(buffer);
}

FILE* platformOpenWrite(const wchar_t* path) { return std::fopen(ToSystem(path).c_str(), "wb"); }

FILE* platformOpenRead(const wchar_t* path) { return std::fopen(ToSystem(path).c_str(), "rb"); }

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

bool platformIsTerminal(int stream) { return isatty(stream) == 1; }

bool platformEnableColors(int stream) {
    const char* term = std::getenv("TERM");
    return isatty(stream) == 1 && !(term && std::strcmp(term, "dumb") == 0) && !std::getenv("NO_COLOR");
}

void platformWriteText(int stream, const wchar_t* text) {
    std::string bytes = ToSystem(text);
    FILE* file = stream == PLATFORM_STDOUT ? stdout : stderr;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fflush(file);
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

int64_t platformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
void (*interruptHandler)() = nullptr;
void onSignal(int) {
    if (interruptHandler) interruptHandler();
}
}  // namespace

void platformOnInterrupt(void (*handler)()) {
    interruptHandler = handler;
    // A file beyond the size limit fails its copy instead of ending the run.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl+C ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
