// File copies: the contents written beside the target and put in its
// place, the look again at a source that may have changed.

#include "platform/win32/win32_layer.h"

#include "base/content_hash.h"
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
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

// A name beside target for a copy in progress; the process id keeps runs apart.
std::wstring TemporaryNameBeside(const std::wstring& target) {
    static volatile LONG counter = 0;
    size_t cut = target.find_last_of(L"\\/");
    std::wstring parent = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);
    return parent + temporaryName(static_cast<long>(GetCurrentProcessId()),
                                  static_cast<unsigned>(InterlockedIncrement(&counter) - 1));
}

namespace {

// Cancels a copy in progress once a stop is asked for (Wine calls it never).
DWORD CALLBACK StopWhenAsked(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                             LPVOID) {
    return platformStopRequested() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Told while a copy goes on; see platformOnCopyProgress.
void (*copyTick)(void*) = nullptr;

void* copyTickData = nullptr;

// Files from this size on are copied on a thread of their own.
const DWORD kLongCopySize = 1u << 20;

// One copy to a new file, and how it ended.
struct CopyJob {
    const wchar_t* source;
    const wchar_t* target;
    BOOL done;
    DWORD error;
};

DWORD WINAPI RunCopyJob(LPVOID data) {
    CopyJob* job = static_cast<CopyJob*>(data);
    job->done = CopyFileExW(job->source, job->target, StopWhenAsked, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS);
    job->error = job->done ? ERROR_SUCCESS : GetLastError();
    return 0;
}

}  // namespace

// Copies source to the new file target. A file of a megabyte or more is
// copied on a thread of its own while this thread ticks every 50 ms, so that
// the front end (a window) lives through a long copy: the copy's progress
// routine would tick on Windows only, and not on this thread.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target, DWORD* error) {
    CopyJob job{source.c_str(), target.c_str(), FALSE, ERROR_SUCCESS};
    WIN32_FILE_ATTRIBUTE_DATA data;
    bool lasting = copyTick && GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data) &&
                   (data.nFileSizeHigh != 0 || data.nFileSizeLow >= kLongCopySize);
    HANDLE thread = lasting ? CreateThread(nullptr, 0, RunCopyJob, &job, 0, nullptr) : nullptr;
    if (thread) {
        while (WaitForSingleObject(thread, 50) == WAIT_TIMEOUT) copyTick(copyTickData);
        WaitForSingleObject(thread, INFINITE);  // the job lives here until the copy is over
        CloseHandle(thread);
    } else {
        RunCopyJob(&job);
    }
    *error = job.error;
    return job.done != 0;
}

namespace {

// What tells that a file's contents changed: its size and its write and
// change times, to the tick.
struct ContentStamp {
    LARGE_INTEGER size;
    LARGE_INTEGER written;
    LARGE_INTEGER changed;
};

// Reads the stamp of the file at path (a system path); false when it cannot be read.
bool ReadContentStamp(const std::wstring& path, ContentStamp* stamp) {
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO basic;
    bool ok = GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
              GetFileSizeEx(handle, &stamp->size);
    CloseHandle(handle);
    stamp->written = basic.LastWriteTime;
    stamp->changed = basic.ChangeTime;
    return ok;
}

bool SameStamp(const ContentStamp& a, const ContentStamp& b) {
    return a.size.QuadPart == b.size.QuadPart && a.written.QuadPart == b.written.QuadPart &&
           a.changed.QuadPart == b.changed.QuadPart;
}

// A source read this many times over, changing each time, fails its copy.
const int kCopyTries = 3;

}  // namespace

// Removes a temporary of this process, read-only or not.
void RemoveTemporary(const std::wstring& temporary) {
    std::wstring system = platformSystemPath(temporary.c_str());
    SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(system.c_str());
}

namespace {

CopyOutcome OutcomeOf(DWORD error) {
    if (error == ERROR_ACCESS_DENIED) return COPY_ACCESS_DENIED;
    if (error == ERROR_ALREADY_EXISTS) return COPY_ALREADY_EXISTS;
    return COPY_FAILED;
}

}  // namespace

CopyResult FailedCopy(DWORD error) { return CopyResult{OutcomeOf(error), static_cast<int>(error)}; }

namespace {

struct ContentStamp;

// Checks and records the copy at temporary (a system path) of source, whose
// stamp was copied when it was copied, as keep asks: 0 when it stands so,
// else why not.
int CheckCopy(const std::wstring& source, const ContentStamp& copied, const std::wstring& temporary,
              const KeptMetadata& keep);

}  // namespace

// The copy is written under a temporary name beside the target, with the
// source's contents, times and attributes, and then renamed over the target:
// the target's name never holds a half-written file, a failed copy leaves the
// old target as it was, and a link or hard link under the target's name is
// replaced, never written through. A read-only target is refused as a copy
// onto it would be, so that the caller may clear its protection and retry.
// Windows keeps nothing of what KeptMetadata names.
CopyResult platformCopyFile(const wchar_t* source, const wchar_t* target, const KeptMetadata& keep) {
    if (RefusedChange(target)) return FailedCopy(ERROR_ACCESS_DENIED);
    std::wstring systemSource = platformSystemPath(source);
    std::wstring systemTarget = platformSystemPath(target);
    DWORD existing = GetFileAttributesW(systemTarget.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (existing & FILE_ATTRIBUTE_DIRECTORY) return FailedCopy(ERROR_ACCESS_DENIED);
        if ((existing & FILE_ATTRIBUTE_READONLY) && !IsHiddenLink(target)) return FailedCopy(ERROR_ACCESS_DENIED);
    }
    // The source is looked at before and after each copy: one that changed
    // while it was read is read again, so no copy stands as up to date with
    // contents its source never had.
    std::wstring temporary;
    NotedTemporary noted;
    int reads = 0;
    ContentStamp copiedStamp{};
    bool copiedStamped = false;
    for (int attempt = 0;; ++attempt) {
        noted.note(TemporaryNameBeside(target));
        temporary = platformSystemPath(noted.path.c_str());
        DWORD error = ERROR_SUCCESS;
        ContentStamp before;
        ContentStamp after;
        bool stamped = ReadContentStamp(systemSource, &before);
        bool copied = CopyToNewFile(systemSource, temporary, &error);
        if (copied && stamped && !platformStopRequested() &&
            (!ReadContentStamp(systemSource, &after) || !SameStamp(before, after))) {
            RemoveTemporary(temporary);
            if (++reads < kCopyTries) continue;
            return CopyResult{COPY_FAILED, FAILURE_SOURCE_CHANGED};
        }
        if (copied && !platformStopRequested()) {
            copiedStamp = after;
            copiedStamped = stamped;
            break;
        }
        if (copied || error == ERROR_REQUEST_ABORTED || platformStopRequested()) {
            RemoveTemporary(temporary);
            return CopyResult{COPY_STOPPED, FAILURE_STOPPED};
        }
        // A name left by a dead process of the same id is not ours to remove.
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 16) continue;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) RemoveTemporary(temporary);
        return FailedCopy(error);
    }
    if (keep.verify || keep.record) {
        int checked = copiedStamped ? CheckCopy(systemSource, copiedStamp, temporary, keep) : FAILURE_SOURCE_CHANGED;
        if (checked != 0) {
            RemoveTemporary(temporary);
            return checked == FAILURE_STOPPED ? CopyResult{COPY_STOPPED, FAILURE_STOPPED}
                                              : CopyResult{COPY_FAILED, checked};
        }
    }
    if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING))
        return CopyResult{COPY_DONE, 0};
    DWORD error = GetLastError();
    // A read-only temporary (from a read-only source) may be refused the
    // rename: move it writable and give the attribute back afterwards.
    DWORD attributes = GetFileAttributesW(temporary.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(temporary.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (MoveFileExW(temporary.c_str(), systemTarget.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return SetFileAttributesW(systemTarget.c_str(), attributes) ? CopyResult{COPY_DONE, 0}
                                                                        : FailedCopy(GetLastError());
        }
        error = GetLastError();
    }
    RemoveTemporary(temporary);
    return FailedCopy(error);
}

void platformOnCopyProgress(void (*tick)(void*), void* data) {
    copyTick = tick;
    copyTickData = data;
}

namespace {

// Opens the plain file at path for reading, a link (a reparse point) never
// followed; INVALID_HANDLE_VALUE with *error otherwise.
HANDLE OpenPlainForReading(const wchar_t* path, DWORD* error) {
    HANDLE handle =
        CreateFileW(platformSystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return handle;
    }
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        *error = ERROR_INVALID_FUNCTION;
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Reads up to count bytes, short only at the end of the file; false on a failure.
bool ReadFull(HANDLE handle, char* buffer, DWORD count, DWORD* got) {
    *got = 0;
    while (*got < count) {
        DWORD n = 0;
        if (!ReadFile(handle, buffer + *got, count - *got, &n, nullptr)) return false;
        if (n == 0) break;
        *got += n;
    }
    return true;
}

}  // namespace

SystemResult platformSameContents(const wchar_t* first, const wchar_t* second, bool* same) {
    *same = false;
    DWORD error = 0;
    HANDLE a = OpenPlainForReading(first, &error);
    if (a == INVALID_HANDLE_VALUE) return SystemResult{false, static_cast<int>(error)};
    HANDLE b = OpenPlainForReading(second, &error);
    if (b == INVALID_HANDLE_VALUE) {
        CloseHandle(a);
        return SystemResult{false, static_cast<int>(error)};
    }
    const DWORD kChunk = 256 * 1024;
    std::vector<char> left(kChunk);
    std::vector<char> right(kChunk);
    SystemResult result{true, 0};
    bool alike = true;
    for (;;) {
        if (platformStopRequested()) {
            result = SystemResult{false, FAILURE_STOPPED};
            break;
        }
        DWORD n = 0;
        DWORD m = 0;
        if (!ReadFull(a, left.data(), kChunk, &n) || !ReadFull(b, right.data(), kChunk, &m)) {
            result = SystemResult{false, static_cast<int>(GetLastError())};
            break;
        }
        if (n != m || memcmp(left.data(), right.data(), n) != 0) {
            alike = false;
            break;
        }
        if (n == 0) break;
    }
    CloseHandle(a);
    CloseHandle(b);
    *same = result.done && alike;
    return result;
}

namespace {

// The name of the stream that holds a copy's record of its contents.
const wchar_t kRecordStream[] = L":korvane.xxh3";

// Seconds and nanoseconds since 1970 of a file time (100 ns since 1601).
void UnixTime(const LARGE_INTEGER& time, int64_t* seconds, int32_t* nanoseconds) {
    const int64_t kFrom1601 = 116444736000000000LL;
    int64_t ticks = time.QuadPart - kFrom1601;
    int64_t whole = ticks >= 0 ? ticks / 10000000 : -((-ticks + 9999999) / 10000000);
    *seconds = whole;
    *nanoseconds = static_cast<int32_t>((ticks - whole * 10000000) * 100);
}

// Hashes what is left to read of handle into *hash; false (GetLastError) on a
// failed read, FAILURE_STOPPED in *stopped after a stop.
bool HashRest(HANDLE handle, ContentHash* hash, long long* bytes, bool* stopped) {
    const DWORD kChunk = 256 * 1024;
    // Sector-aligned, for a handle that reads past the cache.
    char* buffer = static_cast<char*>(VirtualAlloc(nullptr, kChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!buffer) return false;
    ContentHashing hashing = startHashing();
    bool ok = true;
    *stopped = false;
    for (;;) {
        if (platformStopRequested()) {
            *stopped = true;
            break;
        }
        DWORD got = 0;
        if (!ReadFile(handle, buffer, kChunk, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        hashBytes(&hashing, buffer, got);
        *bytes += got;
    }
    DWORD error = GetLastError();
    VirtualFree(buffer, 0, MEM_RELEASE);
    SetLastError(error);
    *hash = hashSoFar(hashing);
    return ok && !*stopped;
}

// Opens the file at path (a system path) for reading with flags; a link is never followed.
HANDLE OpenForHashing(const std::wstring& path, DWORD flags) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// The number of a file on its volume.
uint64_t FileIndexOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
}

// Hashes the whole file at path (a system path), with its basic information
// and its number where asked; 0, or why not.
int HashFile(const std::wstring& path, DWORD flags, ContentHash* hash, FILE_BASIC_INFO* basic, uint64_t* identity) {
    HANDLE handle = OpenForHashing(path, flags);
    if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    long long bytes = 0;
    bool stopped = false;
    BY_HANDLE_FILE_INFORMATION information{};
    bool ok = (!basic || GetFileInformationByHandleEx(handle, FileBasicInfo, basic, sizeof *basic)) &&
              (!identity || GetFileInformationByHandle(handle, &information)) &&
              HashRest(handle, hash, &bytes, &stopped);
    if (ok && identity) *identity = FileIndexOf(information);
    DWORD error = GetLastError();
    CloseHandle(handle);
    if (stopped) return FAILURE_STOPPED;
    return ok ? 0 : static_cast<int>(error != 0 ? error : ERROR_READ_FAULT);
}

// True when the volume of the open file keeps named streams (NTFS, ReFS):
// elsewhere a stream's name is refused, or taken for a file's (Wine's view
// of a unix folder), and no record is read or written.
bool KeepsStreams(HANDLE file) {
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS) != 0;
}

// Writes record as the stream of the file at path (a system path), its
// times kept as they were; false where the volume keeps no streams.
bool WriteRecord(const std::wstring& path, const ContentRecord& record) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (!KeepsStreams(file)) {
        CloseHandle(file);
        return false;
    }
    FILE_BASIC_INFO times{};
    bool timed = GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times);
    HANDLE stream = CreateFileW((path + kRecordStream).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    bool written = false;
    if (stream != INVALID_HANDLE_VALUE) {
        std::string stored = encodeContentRecord(record);
        DWORD put = 0;
        written =
            WriteFile(stream, stored.data(), static_cast<DWORD>(stored.size()), &put, nullptr) && put == stored.size();
        CloseHandle(stream);
    }
    // Writing a stream is a write of the file: its times are given back.
    if (written && timed) {
        times.ChangeTime.QuadPart = 0;  // the system's own
        times.FileAttributes = 0;       // unchanged
        SetFileInformationByHandle(file, FileBasicInfo, &times, sizeof times);
    }
    CloseHandle(file);
    return written;
}

// Reads the record of the file open as file at path (a system path); false when it carries none.
bool ReadRecord(HANDLE file, const std::wstring& path, ContentRecord* record) {
    if (!KeepsStreams(file)) return false;
    HANDLE stream = CreateFileW((path + kRecordStream).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) return false;
    char stored[64];
    DWORD got = 0;
    bool read = ReadFile(stream, stored, sizeof stored, &got, nullptr) != 0;
    CloseHandle(stream);
    return read && decodeContentRecord(std::string(stored, got), record);
}

// The source is hashed anew after the copy (the system's copy hands no
// bytes over) and looked at around it; the copy is read back past the
// cache for a verification.
int CheckCopy(const std::wstring& source, const ContentStamp& copied, const std::wstring& temporary,
              const KeptMetadata& keep) {
    ContentStamp after;
    ContentHash read;
    FILE_BASIC_INFO basic{};
    ContentRecord record;
    int failed = HashFile(source, 0, &read, &basic, &record.sourceIdentity);
    if (failed != 0) return failed;
    // What was hashed is what was copied only if the source stood still all along.
    if (!ReadContentStamp(source, &after) || !SameStamp(copied, after)) return FAILURE_SOURCE_CHANGED;
    if (keep.verify) {
        ContentHash written;
        failed = HashFile(temporary, FILE_FLAG_NO_BUFFERING, &written, nullptr, nullptr);
        if (failed != 0) return failed;
        if (written != read) return FAILURE_COPY_UNVERIFIED;
    }
    if (keep.record) {
        record.hash = read;
        UnixTime(basic.ChangeTime, &record.sourceChangeSeconds, &record.sourceChangeNanoseconds);
        WriteRecord(temporary, record);  // a volume without streams keeps no record
    }
    return 0;
}

}  // namespace

SystemResult platformCompareContents(const wchar_t* source, const wchar_t* target, bool recordWhenAlike,
                                     ContentComparison* found) {
    *found = ContentComparison();
    DWORD error = 0;
    HANDLE a = OpenPlainForReading(source, &error);
    if (a == INVALID_HANDLE_VALUE) return SystemResult{false, static_cast<int>(error)};
    FILE_BASIC_INFO basic{};
    BY_HANDLE_FILE_INFORMATION original{};
    if (!GetFileInformationByHandleEx(a, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandle(a, &original)) {
        error = GetLastError();
        CloseHandle(a);
        return SystemResult{false, static_cast<int>(error)};
    }
    found->sourceIdentity = FileIndexOf(original);
    UnixTime(basic.ChangeTime, &found->sourceChangeSeconds, &found->sourceChangeNanoseconds);
    HANDLE b = OpenPlainForReading(target, &error);
    if (b == INVALID_HANDLE_VALUE) {
        // A copy that stands and cannot be opened is damaged (a bad sector, a
        // right taken away); anything else fails.
        CloseHandle(a);
        found->targetUnreadable =
            error == ERROR_ACCESS_DENIED || error == ERROR_CRC || error == ERROR_READ_FAULT || error == ERROR_IO_DEVICE;
        return found->targetUnreadable ? SystemResult{true, 0} : SystemResult{false, static_cast<int>(error)};
    }
    BY_HANDLE_FILE_INFORMATION copy{};
    SystemResult result{true, 0};
    if (!GetFileInformationByHandle(b, &copy)) result = SystemResult{false, static_cast<int>(GetLastError())};
    // Kept by each thread: a fresh buffer per file would cost its pages each time.
    const DWORD kChunk = 256 * 1024;
    static thread_local std::vector<char> left(kChunk);
    static thread_local std::vector<char> right(kChunk);
    ContentHashing second = startHashing();
    bool alike = true;
    while (result) {
        if (platformStopRequested()) {
            result = SystemResult{false, FAILURE_STOPPED};
            break;
        }
        DWORD n = 0;
        DWORD m = 0;
        if (!ReadFull(a, left.data(), kChunk, &n)) {
            result = SystemResult{false, static_cast<int>(GetLastError())};
            break;
        }
        if (!ReadFull(b, right.data(), kChunk, &m)) {
            found->targetUnreadable = true;  // the source reads and its copy does not
            break;
        }
        hashBytes(&second, right.data(), m);
        found->bytesRead += static_cast<long long>(n) + m;
        if (n != m || memcmp(left.data(), right.data(), n) != 0) alike = false;
        if (n == 0 || m == 0) break;
    }
    FILE_BASIC_INFO afterwards{};
    if (result && (!GetFileInformationByHandleEx(a, FileBasicInfo, &afterwards, sizeof afterwards) ||
                   afterwards.ChangeTime.QuadPart != basic.ChangeTime.QuadPart)) {
        alike = false;  // changed while it was read: its copy looks again, and no damage is judged
        found->sourceChangeSeconds = INT64_MAX;
    }
    CloseHandle(a);
    found->same = alike && !found->targetUnreadable;
    found->targetHash = hashSoFar(second);
    // Who wrote a stream is not told apart: a copy of one name is believed,
    // as far as it names this source (a stream carried over from elsewhere does not).
    bool believed = result && !found->targetUnreadable && copy.nNumberOfLinks == 1;
    std::wstring systemTarget = platformSystemPath(target);
    found->recordKnown = believed && ReadRecord(b, systemTarget, &found->record);
    CloseHandle(b);
    if (!believed) return result;
    const ContentRecord& record = found->record;
    bool stale = !found->recordKnown || record.hash != found->targetHash ||
                 record.sourceIdentity != found->sourceIdentity ||
                 recordPredates(record, found->sourceChangeSeconds, found->sourceChangeNanoseconds);
    if (recordWhenAlike && found->same && stale) {
        ContentRecord fresh{found->targetHash, found->sourceIdentity, found->sourceChangeSeconds,
                            found->sourceChangeNanoseconds};
        found->recorded = WriteRecord(systemTarget, fresh);
        if (found->recorded) {
            found->recordKnown = true;
            found->record = fresh;
        }
    }
    return result;
}
