// The count beside a run: listings of FROM, or the lines of a list, read
// on a thread that tells nothing and changes nothing.
#include "cli/count_ahead.h"

#include <vector>

#include "base/separator.h"
#include "fs/line_reader.h"
#include "platform/platform.h"

namespace {

// "." and "..".
bool isDot(const wchar_t* name) { return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)); }

// Depth first through listings, the folders waiting kept on a stack of
// their own: no recursion, and no more than COUNT_AHEAD_MOST_WAITING of them.
void countFolder(CountAhead* count, const WideString& folder) {
    std::vector<WideString> waiting{folder};
    long long total = 0;
    while (!waiting.empty()) {
        if (count->stop) return;
        WideString base = waiting.back();
        waiting.pop_back();
        if (base.length > 0 && !isComponentSeparator(base.buffer[base.length - 1])) base.AppendSeparator();
        int reason = 0;
        // Apart from the trees the run holds, which are its thread's alone.
        DirectoryListing* listing = platformOpenListingApart(base.buffer, &reason);
        if (!listing) continue;  // the run tells why; it counts nothing there either
        DirectoryEntry entry;
        while (platformNextEntry(listing, &entry)) {
            if (isDot(entry.name)) continue;
            ++total;
            if (entry.isDirectory && !entry.isLink) waiting.push_back(base + entry.name);
        }
        platformCloseListing(listing);
        count->total = total;
        if (waiting.size() > COUNT_AHEAD_MOST_WAITING) {
            count->why = L"FROM is too wide to count ahead";
            count->state = COUNT_GAVE_UP;
            return;
        }
    }
    count->state = COUNT_DONE;
}

// Each line that holds anything is an entry the run takes.
bool countLine(void* data, ReadLine* line) {
    auto* count = static_cast<CountAhead*>(data);
    if (!line->bytes.empty() || line->overflowed) ++count->total;
    return !count->stop;
}

}  // namespace

void countFolderAhead(CountAhead* count, const WideString& folder) {
    count->thread = std::thread(countFolder, count, folder);
}

void countListAhead(CountAhead* count, const WideString& listFile) {
    count->thread = std::thread([count, listFile] {
        bool read = readLines(listFile.buffer, 4096, countLine, count);
        if (!read && !count->stop) count->why = L"the list could not be counted";
        count->state = read ? COUNT_DONE : COUNT_GAVE_UP;
    });
}

void endCountAhead(CountAhead* count) {
    count->stop = true;
    if (count->thread.joinable()) count->thread.join();
}
