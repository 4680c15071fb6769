// The files the program writes and reads for itself: its log, the
// settings, a list.

#include "platform/win32/win32_layer.h"

#include "base/separator.h"
#include "base/temporary_name.h"

#include <shellapi.h>
#include <winioctl.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// A C stream over a file handle opened for writing; null (the handle closed) on failure, *reason telling why.
FILE* StreamOfHandle(HANDLE handle, int* reason) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
    if (fd < 0) {
        *reason = kErrnoReason | errno;
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _wfdopen(fd, L"wb");
    if (!file) {
        *reason = kErrnoReason | errno;
        _close(fd);
    }
    return file;
}

// Makes a new file beside path and moves it over path: a link or another
// name of a file goes as a name, what it named stays as it was.
HANDLE ReplaceByNewFile(const std::wstring& path) {
    NotedTemporary noted;
    noted.note(TemporaryNameBeside(path));
    std::wstring temporary = platformSystemPath(noted.path.c_str());
    HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    if (!MoveFileExW(temporary.c_str(), platformSystemPath(path.c_str()).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        DeleteFileW(temporary.c_str());
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

}  // namespace

FILE* platformOpenOwnFile(const wchar_t* path, int* reason) {
    std::wstring system = platformSystemPath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            handle =
                CreateFileW(system.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            error = GetLastError();
        }
        if (handle == INVALID_HANDLE_VALUE) {
            *reason = static_cast<int>(error);
            return nullptr;
        }
        return StreamOfHandle(handle, reason);
    }
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = ERROR_SUCCESS;
    bool known = GetFileInformationByHandle(handle, &info) != 0;
    if (known && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ERROR_ACCESS_DENIED;
    } else if (known && ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks != 1)) {
        CloseHandle(handle);
        handle = ReplaceByNewFile(path);
        if (handle == INVALID_HANDLE_VALUE) {
            *reason = static_cast<int>(GetLastError());
            return nullptr;
        }
        return StreamOfHandle(handle, reason);
    } else if (!known || !SetEndOfFile(handle)) {
        error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        CloseHandle(handle);
        *reason = static_cast<int>(error);
        return nullptr;
    }
    return StreamOfHandle(handle, reason);
}

// A link (reparse point) or a file of several names is refused, not replaced:
// what the file holds is the history of earlier runs.
FILE* platformOpenOwnAppendFile(const wchar_t* path, int* reason) {
    std::wstring system = platformSystemPath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = CreateFileW(system.c_str(), FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = static_cast<int>(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int refused = 0;
    if (!GetFileInformationByHandle(handle, &info)) {
        refused = static_cast<int>(GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        refused = FAILURE_LINK_IN_PLACE;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        refused = FAILURE_NOT_PLAIN_FILE;
    } else if (info.nNumberOfLinks != 1) {
        refused = FAILURE_NOT_OWN_FILE;
    }
    if (refused != 0) {
        CloseHandle(handle);
        *reason = refused;
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND);
    if (fd < 0) {
        *reason = kErrnoReason | errno;
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _wfdopen(fd, L"ab");
    if (!file) {
        *reason = kErrnoReason | errno;
        _close(fd);
    }
    return file;
}

SystemResult platformWriteBytes(FILE* file, const char* bytes, size_t count) {
    bool whole = count == 0 || std::fwrite(bytes, 1, count, file) == count;
    return ErrnoResult(std::fflush(file) == 0 && whole);
}

SystemResult platformCloseFile(FILE* file) { return ErrnoResult(std::fclose(file) == 0); }

// Windows names no FIFO or device in a folder; a device name reaches the long form as a file's name.
FILE* platformOpenRead(const wchar_t* path, bool* stream, int* reason) {
    *stream = false;
    FILE* file = _wfsopen(platformSystemPath(path).c_str(), L"rb", _SH_DENYNO);
    if (!file) {
        *reason = kErrnoReason | errno;
        return nullptr;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));  // NOLINT(performance-no-int-to-ptr)
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        fclose(file);
        *reason = FAILURE_NOT_PLAIN_FILE;
        return nullptr;
    }
    return file;
}
