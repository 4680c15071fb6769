// Watches on Windows: ReadDirectoryChangesW on the root, with its subtree.
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32/win32_layer.h"

// The system's watch of one tree: the root's handle and one read in flight.
struct FolderWatch {
    HANDLE folder = INVALID_HANDLE_VALUE;  // the watched folder, opened for reading its changes
    std::wstring root;                     // its full path, no separator at the end
    OVERLAPPED pending{};                  // the read in flight
    std::vector<DWORD> buffer;             // what the read fills (DWORD-aligned, as the system asks)
    bool reading = false;                  // a read is in flight
};

namespace {

// The event that ends a wait, set by a stop and by platformWakeWatch; made once.
HANDLE WakeEvent() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

const DWORD kWatchedChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
                              FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;

// 64 KiB: the most a read of a folder on a share may ask for.
const DWORD kBufferBytes = 64 * 1024;

// Starts the next read of changes; false with the system's reason.
bool StartRead(FolderWatch* watch, DWORD* error) {
    ResetEvent(watch->pending.hEvent);
    if (!ReadDirectoryChangesW(watch->folder, watch->buffer.data(), kBufferBytes, TRUE, kWatchedChanges, nullptr,
                               &watch->pending, nullptr)) {
        *error = GetLastError();
        watch->reading = false;
        return false;
    }
    watch->reading = true;
    return true;
}

// The path below the root with each short name (PROGRA~1) in its long
// form, as the walks name it: the entry's own, or, gone, its folder's.
std::wstring LongPath(const FolderWatch* watch, const std::wstring& path) {
    if (path.find(L'~') == std::wstring::npos) return path;
    std::wstring tail;
    std::wstring head = path;
    for (;;) {
        std::wstring full = watch->root + L"\\" + head;
        DWORD room = GetLongPathNameW(full.c_str(), nullptr, 0);
        std::wstring longer(room, L'\0');
        DWORD length = room > 0 ? GetLongPathNameW(full.c_str(), &longer[0], room) : 0;
        if (length > 0 && length < room) {
            longer.resize(length);
            size_t cut = watch->root.size() + 1;
            if (longer.size() >= cut) return longer.substr(cut) + tail;
            return path;
        }
        size_t separator = head.rfind(L'\\');
        if (separator == std::wstring::npos) return path;
        tail.insert(0, head, separator, std::wstring::npos);
        head = head.substr(0, separator);
    }
}

// The folder holding path ("" the root).
std::wstring ParentOf(const std::wstring& path) {
    size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

// The nearest folder above path that stands in the watched tree ("" the
// root), each answer kept in standing for the rest of the read.
std::wstring FolderThatStands(const FolderWatch* watch, const std::wstring& path,
                              std::map<std::wstring, bool>* standing) {
    std::wstring folder = ParentOf(path);
    while (!folder.empty()) {
        auto known = standing->find(folder);
        bool stands = false;
        if (known != standing->end()) {
            stands = known->second;
        } else {
            DWORD attributes = GetFileAttributesW((watch->root + L"\\" + folder).c_str());
            stands = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
            (*standing)[folder] = stands;
        }
        if (stands) return folder;
        folder = ParentOf(folder);
    }
    return folder;
}

// Turns what a read filled into notices. A notice may name a folder by a
// name it had before a rename (seen under Wine): where the folder holding
// an entry does not stand and was not removed or renamed in the same read,
// the nearest folder that stands is walked whole.
void TakeChanges(FolderWatch* watch, DWORD bytes, std::vector<WatchNotice>* notices) {
    const auto* base = reinterpret_cast<const BYTE*>(watch->buffer.data());
    std::vector<std::pair<DWORD, std::wstring>> changes;
    std::set<std::wstring> gone;  // removed, or renamed away, in this read
    for (DWORD at = 0;;) {
        const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
        std::wstring path(change->FileName, change->FileNameLength / sizeof(wchar_t));
        for (wchar_t& unit : path) {
            if (unit == L'/') unit = L'\\';
        }
        path = LongPath(watch, path);
        if (change->Action == FILE_ACTION_REMOVED || change->Action == FILE_ACTION_RENAMED_OLD_NAME) gone.insert(path);
        changes.emplace_back(change->Action, path);
        if (change->NextEntryOffset == 0 || at + change->NextEntryOffset >= bytes) break;
        at += change->NextEntryOffset;
    }
    std::map<std::wstring, bool> standing;
    for (const auto& [action, path] : changes) {
        bool added = action == FILE_ACTION_ADDED || action == FILE_ACTION_RENAMED_NEW_NAME;
        DWORD attributes = added ? GetFileAttributesW((watch->root + L"\\" + path).c_str()) : INVALID_FILE_ATTRIBUTES;
        bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        notices->push_back(WatchNotice{folder ? WATCH_FOLDER_IN : WATCH_CHANGED, path, false});
        std::wstring stands = FolderThatStands(watch, path, &standing);
        bool removed = false;
        for (std::wstring above = ParentOf(path); above != stands && !removed; above = ParentOf(above)) {
            removed = gone.count(above) > 0;
        }
        if (stands != ParentOf(path) && !removed) notices->push_back(WatchNotice{WATCH_FOLDER_IN, stands, false});
    }
}

}  // namespace

FolderWatch* platformOpenWatch(const wchar_t* root, int* reason) {
    std::wstring full;
    if (!FullPathOf(root, &full)) {
        *reason = static_cast<int>(GetLastError());
        return nullptr;
    }
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    // The root in its long form, so that the long paths below it begin with it.
    DWORD room = GetLongPathNameW(full.c_str(), nullptr, 0);
    std::wstring longer(room, L'\0');
    DWORD length = room > 0 ? GetLongPathNameW(full.c_str(), &longer[0], room) : 0;
    if (length > 0 && length < room) full = longer.substr(0, length);
    if (!WakeEvent()) {
        *reason = static_cast<int>(GetLastError());
        return nullptr;
    }
    HANDLE folder =
        CreateFileW(full.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        *reason = static_cast<int>(GetLastError());
        return nullptr;
    }
    auto* watch = new FolderWatch;
    watch->folder = folder;
    watch->root = full;
    watch->buffer.resize(kBufferBytes / sizeof(DWORD));
    watch->pending.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD error = 0;
    if (!watch->pending.hEvent || !StartRead(watch, &error)) {
        *reason = static_cast<int>(error != 0 ? error : GetLastError());
        platformCloseWatch(watch);
        return nullptr;
    }
    return watch;
}

WatchWait platformWaitWatch(FolderWatch* watch, int64_t milliseconds, std::vector<WatchNotice>* notices, int* reason) {
    ResetEvent(WakeEvent());
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    if (!watch->reading) {
        notices->push_back(WatchNotice{WATCH_ROOT_GONE, std::wstring(), false});
        return WATCH_WAIT_NOTICES;
    }
    HANDLE waits[2] = {watch->pending.hEvent, WakeEvent()};
    DWORD timeout = milliseconds < 0 ? INFINITE : milliseconds > 86400000 ? 86400000 : static_cast<DWORD>(milliseconds);
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeout);
    if (platformStopRequested()) return WATCH_WAIT_STOPPED;
    if (woken == WAIT_TIMEOUT || woken == WAIT_OBJECT_0 + 1) return WATCH_WAIT_TIMEOUT;
    if (woken != WAIT_OBJECT_0) {
        *reason = static_cast<int>(GetLastError());
        return WATCH_WAIT_FAILED;
    }
    DWORD bytes = 0;
    watch->reading = false;
    if (!GetOverlappedResult(watch->folder, &watch->pending, &bytes, FALSE)) {
        DWORD error = GetLastError();
        // Too many changes for the buffer: the system kept none of them.
        if (error == ERROR_NOTIFY_ENUM_DIR) {
            notices->push_back(WatchNotice{WATCH_LOST, std::wstring(), false});
        } else {
            notices->push_back(WatchNotice{WATCH_ROOT_GONE, std::wstring(), false});
            return WATCH_WAIT_NOTICES;
        }
    } else if (bytes == 0) {
        notices->push_back(WatchNotice{WATCH_LOST, std::wstring(), false});
    } else {
        TakeChanges(watch, bytes, notices);
    }
    DWORD error = 0;
    if (!StartRead(watch, &error)) notices->push_back(WatchNotice{WATCH_ROOT_GONE, std::wstring(), false});
    return WATCH_WAIT_NOTICES;
}

// The root's watch takes its whole subtree: nothing is left unwatched.
bool platformWatchAgain(FolderWatch*, const wchar_t*) { return true; }

void platformWakeWatch() {
    HANDLE event = WakeEvent();
    if (event) SetEvent(event);
}

void platformCloseWatch(FolderWatch* watch) {
    if (!watch) return;
    if (watch->folder != INVALID_HANDLE_VALUE) {
        if (watch->reading) {
            CancelIo(watch->folder);
            DWORD bytes = 0;
            GetOverlappedResult(watch->folder, &watch->pending, &bytes, TRUE);
        }
        CloseHandle(watch->folder);
    }
    if (watch->pending.hEvent) CloseHandle(watch->pending.hEvent);
    delete watch;
}
