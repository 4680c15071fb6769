// The walk's listings read ahead by readers of their own, in the walk's order, within a bound.
#include "engine/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "fs/paths.h"

namespace {

// Entries read at a time: fewer where requests wait, so that the walk
// starts on a folder soon. And the reads a reader may be ahead of the walk
// in one folder.
constexpr size_t kChunkEntries = 128;
constexpr size_t kWaitingChunkEntries = 32;
constexpr size_t kWaitingFirstEntries = 8;
constexpr size_t kChunksAhead = 4;

typedef std::chrono::steady_clock Clock;

// One entry as kept while it waits: its name lies in its chunk's text.
struct KeptEntry {
    uint32_t nameAt;
    uint32_t nameLength;
    bool isDirectory;
    bool isLink;
    bool statusKnown;
    bool sourceKnown;
    bool targetKnown;
    EntryStatus listedStatus;
    EntryStatus source;
    EntryStatus target;
    Clock::time_point asked;  // when its statuses were asked
};

// Entries read in one go. In a folder read by a reader, any thread may
// ask a chunk's statuses: the one that claims it first.
struct Chunk {
    std::vector<KeptEntry> entries;
    std::wstring names;
    Clock::time_point listed;  // when its names were read
    // Under the lock.
    bool claimed = false;  // a thread asks its statuses
    bool ready = false;    // they are asked: the walk may take it
};

// The reading of one folder, the reading thread's own: a listing is closed
// on the thread that opened it.
struct ReadState {
    DirectoryListing* listing = nullptr;
    bool opened = false;
    bool counted = false;  // its first names were looked at for the counterpart's listing
};

// What one read found.
struct ChunkRead {
    Chunk chunk;
    bool ended = false;            // nothing more comes
    int openReason = 0;            // the folder could not be listed, for this reason
    SystemResult closed{true, 0};  // with ended: what closing the listing found
    bool cutByStop = false;        // a stop ended it
};

}  // namespace

struct AheadFolder {
    WalkPlace place;        // where the walk meets it
    WideString base;        // its path, with its separator
    WideString targetBase;  // its counterpart's, with its separator
    bool byReader = false;  // a reader reads it: the walk waits for its chunks
    ReadState own;          // without a reader: the walk's thread reads it here
    // The counterpart folder, asked once by whichever thread needs it first:
    // 0 not asked yet, 1 a folder, -1 none.
    std::atomic<int> targetFolder{0};
    // Under the lock: its counterpart's listing, 0 not wanted (or left to
    // the walk), 1 wanted, 2 being made, 3 made.
    int counterpartTask = 0;
    CounterpartListing counterpart;   // with 3: what it found
    Clock::time_point counterpartAt;  // with 3: when it began
    // Under the lock.
    bool finished = false;         // no more chunks come
    int openReason = 0;            // it could not be listed, for this reason
    SystemResult closed{true, 0};  // what closing its listing found
    bool cutByStop = false;        // a stop ended its reading
    bool dropped = false;          // the walk is done with it: its reader gives up
    uint32_t readSoFar = 0;        // entries read
    Clock::time_point listed;      // when its first names were read
    std::deque<Chunk> chunks;      // read, not yet taken by the walk
    std::condition_variable room;  // its reader's wake: the walk took a chunk, or is done with it
    // The walk's own.
    Chunk current;     // the chunk the walk goes through
    size_t taken = 0;  // its entries taken
};

struct ReadAhead {
    WideString walkRoot;
    WideString otherRoot;
    bool asks = true;                  // statuses asked, not the listings alone
    bool listsCounterparts = false;    // each folder's counterpart listed too
    AheadFilter enters = nullptr;      // the folders worth reading, or null: all
    const void* entersData = nullptr;  // what enters reads
    // How long what was read ahead stands for what the walk would read
    // itself: a run sees each folder, and each entry's statuses, as they
    // stood at most this long before the walk came to them.
    std::chrono::milliseconds freshFor{1000};
    std::mutex lock;
    std::condition_variable toReaders;                          // folders found or freed, the walk waits, the end
    std::condition_variable toWalk;                             // a chunk read, a folder taken or ended, all ready
    std::map<WalkPlace, WideString> wanted;                     // folders found, not yet read: their paths
    std::map<WalkPlace, std::shared_ptr<AheadFolder>> reading;  // being read or read, not yet taken
    std::vector<std::shared_ptr<AheadFolder>> owned;            // being read by their readers, taken or not
    size_t bound = 0;                                           // the most folders read ahead at once
    size_t readerCount = 0;                                     // the readers started
    size_t idle = 0;                                            // readers waiting for a folder to read
    bool needs = false;                                         // the walk waits for a reader to take needed
    WalkPlace needed;                                           // with needs: the folder the walk is at
    size_t chunkEntries = kChunkEntries;                        // the entries of one read
    size_t firstEntries = kChunkEntries;                        // of a folder's first read
    bool ending = false;
    std::vector<std::thread> readers;
};

namespace {

// Whether a is a folder on the way to b (or b itself).
bool onTheWay(const WalkPlace& a, const WalkPlace& b) {
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// True for the names "." and "..", which a listing of a directory holds.
bool isDotName(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Reads a folder's next names as its listing gives them, the listing
// opened at the first read.
ChunkRead readNames(ReadState* state, size_t most, const WideString& base) {
    ChunkRead read;
    if (!state->opened) {
        state->opened = true;
        state->listing = platformOpenListing(base.buffer, &read.openReason);
        if (!state->listing) {
            read.ended = true;
            if (read.openReason == 0) read.openReason = -1;
            return read;
        }
    }
    Chunk& chunk = read.chunk;
    chunk.listed = Clock::now();
    DirectoryEntry entry;
    while (!read.ended && chunk.entries.size() < most) {
        if (platformStopRequested()) {
            read.cutByStop = true;
            read.ended = true;
        } else if (!platformNextEntry(state->listing, &entry)) {
            read.ended = true;
        } else if (!entry.isDirectory || !isDotName(entry.name)) {
            KeptEntry kept{};
            kept.nameAt = static_cast<uint32_t>(chunk.names.size());
            kept.nameLength = static_cast<uint32_t>(std::wcslen(entry.name));
            kept.isDirectory = entry.isDirectory;
            kept.isLink = entry.isLink;
            kept.statusKnown = entry.statusKnown;
            if (entry.statusKnown) kept.listedStatus = entry.status;
            chunk.names.append(entry.name, kept.nameLength);
            chunk.entries.push_back(kept);
        }
    }
    return read;
}

// Whether the folder's counterpart stands as a folder (1) or not (-1),
// asked once by whichever thread needs it first.
int targetFolderOf(AheadFolder* folder) {
    int targetFolder = folder->targetFolder.load();
    if (targetFolder != 0) return targetFolder;
    EntryStatus status;
    WideString path = dropTrailingSeparator(folder->targetBase);
    targetFolder = platformQueryEntry(path.buffer, &status) && status.isDirectory ? 1 : -1;
    folder->targetFolder.store(targetFolder);
    return targetFolder;
}

// Asks both sides of each entry of chunk (where asks) for its status where
// the listing told none, by the very queries the update's plan would make;
// links are left to the walk. Touches the chunk and the folder's
// targetFolder alone: any thread may, once it has claimed the chunk.
void askStatuses(Chunk* chunk, bool asks, AheadFolder* folder) {
    std::wstring name;
    for (KeptEntry& kept : chunk->entries) {
        if (!asks || kept.isLink || kept.statusKnown || platformStopRequested()) continue;
        name.assign(chunk->names, kept.nameAt, kept.nameLength);
        WideString path = folder->base + name.c_str();
        kept.sourceKnown = platformQueryEntry(path.buffer, &kept.source);
    }
    // Where To has no folder yet (a first copy), its entries are not asked one by one.
    bool anyKnown = false;
    for (const KeptEntry& kept : chunk->entries) anyKnown = anyKnown || kept.sourceKnown;
    int targetFolder = anyKnown ? targetFolderOf(folder) : 0;
    for (KeptEntry& kept : chunk->entries) {
        if (!kept.sourceKnown || platformStopRequested()) continue;
        if (targetFolder > 0) {
            name.assign(chunk->names, kept.nameAt, kept.nameLength);
            WideString path = folder->targetBase + name.c_str();
            kept.targetKnown = platformQueryEntry(path.buffer, &kept.target);
        }
        kept.asked = Clock::now();
    }
}

// Lets go of a folder's listing left open, on the thread that opened it.
void letGo(ReadState* state) {
    if (state->listing) platformCloseListing(state->listing);
    state->listing = nullptr;
}

// The folders among the names just read that the walk may enter, each
// with its place: the readers read them meanwhile. Outside the lock.
std::vector<std::pair<uint32_t, WideString>> foldersAmong(const ReadAhead& ahead, const AheadFolder& folder,
                                                          const Chunk& chunk) {
    std::vector<std::pair<uint32_t, WideString>> found;
    if (ahead.readerCount == 0) return found;
    std::wstring name;
    for (size_t i = 0; i < chunk.entries.size(); ++i) {
        const KeptEntry& kept = chunk.entries[i];
        if (!kept.isDirectory || kept.isLink) continue;
        name.assign(chunk.names, kept.nameAt, kept.nameLength);
        WideString base = folder.base + name.c_str();
        base.AppendSeparator();
        if (ahead.enters && !ahead.enters(ahead.entersData, base, ahead.walkRoot)) continue;
        found.emplace_back(static_cast<uint32_t>(i), std::move(base));
    }
    return found;
}

// Hands those folders to the readers, before the statuses of the names are
// asked; one a reader has begun already (the walk reads a listing again
// that was read too long ago) is left to it. Under the lock.
void handFolders(ReadAhead* ahead, const AheadFolder& folder, std::vector<std::pair<uint32_t, WideString>> found) {
    if (folder.dropped) return;
    for (auto& one : found) {
        WalkPlace place = folder.place;
        place.push_back(folder.readSoFar + one.first);
        if (ahead->reading.count(place) != 0) continue;
        ahead->wanted.emplace(std::move(place), std::move(one.second));
    }
}

// Keeps a read's names for the walk, their statuses claimed (or asked
// already: ready) or left for any thread to claim. Under the lock.
void keepNames(AheadFolder* folder, Chunk chunk, bool claimed, bool ready) {
    if (folder->readSoFar == 0) folder->listed = chunk.listed;
    folder->readSoFar += static_cast<uint32_t>(chunk.entries.size());
    if (chunk.entries.empty()) return;
    chunk.claimed = claimed;
    chunk.ready = ready;
    folder->chunks.push_back(std::move(chunk));
}

// Keeps how the folder's reading ended. Under the lock.
void keepEnd(AheadFolder* folder, const ChunkRead& read) {
    folder->finished = true;
    folder->openReason = read.openReason;
    folder->closed = read.closed;
    folder->cutByStop = read.cutByStop;
}

// Reads the folder's next names, by the thread whose state it is, and hands
// the folders among them to the readers before anything is asked; the lock
// is taken for the hand-over alone.
ChunkRead readAndHand(ReadAhead* ahead, AheadFolder* folder, ReadState* state) {
    size_t most = state->opened ? ahead->chunkEntries : ahead->firstEntries;
    ChunkRead read = readNames(state, most, folder->base);
    std::vector<std::pair<uint32_t, WideString>> found = foldersAmong(*ahead, *folder, read.chunk);
    if (!found.empty()) {
        bool idle;
        {
            std::lock_guard<std::mutex> hold(ahead->lock);
            handFolders(ahead, *folder, std::move(found));
            idle = ahead->idle > 0;
        }
        if (idle) ahead->toReaders.notify_all();
    }
    return read;
}

// Closes the folder's listing at its end, on the thread that opened it.
void closeAtEnd(ReadState* state, ChunkRead* read) {
    if (read->ended && state->listing) {
        read->closed = platformCloseListing(state->listing);
        state->listing = nullptr;
    }
}

// One read of a folder the walk's own thread reads: its names, the folders
// among them handed on, their statuses, all kept for the walk.
void readOnce(ReadAhead* ahead, AheadFolder* folder, ReadState* state) {
    ChunkRead read = readAndHand(ahead, folder, state);
    askStatuses(&read.chunk, ahead->asks, folder);
    closeAtEnd(state, &read);
    std::lock_guard<std::mutex> hold(ahead->lock);
    keepNames(folder, std::move(read.chunk), true, true);
    if (read.ended) keepEnd(folder, read);
}

// The earliest chunk of folder no thread has claimed, or null. Under the lock.
Chunk* unclaimedChunk(AheadFolder* folder) {
    for (Chunk& chunk : folder->chunks) {
        if (!chunk.claimed) return &chunk;
    }
    return nullptr;
}

// Asks the statuses of chunk, just claimed, outside the lock, and gives it
// to the walk. Called and returns under the lock, held by hold.
void askClaimed(ReadAhead* ahead, AheadFolder* folder, Chunk* chunk, std::unique_lock<std::mutex>* hold) {
    hold->unlock();
    askStatuses(chunk, ahead->asks, folder);
    hold->lock();
    chunk->ready = true;
    ahead->toWalk.notify_one();
}

// Lists the folder's counterpart, names alone, where it stands as a
// folder; unknown where it does not, or cannot be listed: the walk then
// lists it itself, and tells why. Touches the folder's targetFolder alone.
CounterpartListing listCounterpart(AheadFolder* folder) {
    CounterpartListing listing;
    if (targetFolderOf(folder) < 0) return listing;
    bool opened = false;
    listForMarks(folder->targetBase, &listing.names, &opened, &listing.whole);
    listing.known = opened;
    return listing;
}

// Makes the folder's counterpart listing, outside the lock, for the walk.
// Called and returns under the lock, held by hold.
void makeCounterpart(ReadAhead* ahead, AheadFolder* folder, std::unique_lock<std::mutex>* hold) {
    folder->counterpartTask = 2;
    Clock::time_point began = Clock::now();
    hold->unlock();
    CounterpartListing listing = listCounterpart(folder);
    hold->lock();
    folder->counterpart = std::move(listing);
    folder->counterpartAt = began;
    folder->counterpartTask = 3;
    ahead->toWalk.notify_one();
}

// A reader with no folder of its own to take helps one being read: it
// asks the statuses of the earliest chunk no thread has claimed, in the
// folder met first by the walk; or else lists the counterpart of the
// earliest folder whose counterpart is wanted. False when there is
// neither. Under the lock.
bool helpOne(ReadAhead* ahead, std::unique_lock<std::mutex>* hold) {
    std::shared_ptr<AheadFolder> folder;
    Chunk* chunk = nullptr;
    for (const std::shared_ptr<AheadFolder>& owned : ahead->owned) {
        if (owned->dropped || (folder && !(owned->place < folder->place))) continue;
        if (Chunk* free = unclaimedChunk(owned.get())) {
            folder = owned;
            chunk = free;
        }
    }
    if (chunk) {
        chunk->claimed = true;
        askClaimed(ahead, folder.get(), chunk, hold);
        return true;
    }
    for (const std::shared_ptr<AheadFolder>& owned : ahead->owned) {
        if (owned->dropped || owned->counterpartTask != 1 || (folder && !(owned->place < folder->place))) continue;
        folder = owned;
    }
    if (!folder) return false;
    makeCounterpart(ahead, folder.get(), hold);
    return true;
}

// Reads a folder a reader has taken to its end, unless the walk passes it
// by: its names a chunk at a time, no more than a few ahead of the walk;
// the statuses of each asked by the reader or, where the folder is big,
// by another with nothing else to do, which claims a chunk the reader has
// not. Under the lock, held by hold; the listing is let go outside it.
void readTaken(ReadAhead* ahead, const std::shared_ptr<AheadFolder>& folder, std::unique_lock<std::mutex>* hold) {
    ahead->owned.push_back(folder);
    ReadState state;
    ChunkRead last;  // the read that ended the listing, once one has
    bool listedAll = false;
    while (!folder->dropped && !ahead->ending) {
        size_t unclaimed = 0;
        for (const Chunk& chunk : folder->chunks) unclaimed += chunk.claimed ? 0 : 1;
        // Names are read on while fewer than two chunks wait to be claimed,
        // so that a reader with nothing to do finds one.
        if (!listedAll && folder->chunks.size() < kChunksAhead && unclaimed < 2) {
            hold->unlock();
            ChunkRead read = readAndHand(ahead, folder.get(), &state);
            // What ends the listing with nothing left before it to claim (a
            // folder of one read) is asked at once and kept in one go.
            bool whole = read.ended && unclaimed == 0;
            if (whole) {
                askStatuses(&read.chunk, ahead->asks, folder.get());
                closeAtEnd(&state, &read);
            }
            hold->lock();
            // The counterpart is listed for the walk where the listing tells no
            // statuses: one that does has the walk list it already.
            if (ahead->listsCounterparts && !state.counted) {
                state.counted = true;
                bool tells = false;
                for (const KeptEntry& kept : read.chunk.entries) tells = tells || kept.statusKnown;
                if (!tells) folder->counterpartTask = 1;
            }
            keepNames(folder.get(), std::move(read.chunk), whole, whole);
            listedAll = read.ended;
            if (listedAll) last = std::move(read);
            if (whole) {
                keepEnd(folder.get(), last);
                ahead->toWalk.notify_one();
                break;
            }
            if (!listedAll && ahead->idle > 0) ahead->toReaders.notify_all();
            continue;
        }
        if (Chunk* chunk = unclaimedChunk(folder.get())) {
            chunk->claimed = true;
            askClaimed(ahead, folder.get(), chunk, hold);
            continue;
        }
        if (listedAll) break;
        folder->room.wait(*hold);
    }
    if (!folder->finished) {
        hold->unlock();
        closeAtEnd(&state, &last);
        letGo(&state);
        hold->lock();
        if (listedAll) {
            keepEnd(folder.get(), last);
        } else {
            folder->finished = true;
            folder->cutByStop = true;  // given up: the walk no longer waits for it
        }
        ahead->toWalk.notify_one();
    }
    // The counterpart no other reader has begun is listed before the walk is through the folder.
    if (folder->counterpartTask == 1 && !folder->dropped && !ahead->ending) makeCounterpart(ahead, folder.get(), hold);
    ahead->owned.erase(std::find(ahead->owned.begin(), ahead->owned.end(), folder));
}

// The counterpart of a folder, with its separator.
WideString targetOf(const ReadAhead& ahead, const WideString& base) {
    WideString target = counterpartPath(dropTrailingSeparator(base), ahead.walkRoot, ahead.otherRoot);
    if (!endsWithSeparator(target)) target.AppendSeparator();
    return target;
}

// A folder at place to be read, by a reader (byReader) or the walk's own thread.
std::shared_ptr<AheadFolder> folderAt(const ReadAhead& ahead, WalkPlace place, WideString base, bool byReader) {
    auto folder = std::make_shared<AheadFolder>();
    folder->place = std::move(place);
    folder->base = std::move(base);
    folder->targetBase = targetOf(ahead, folder->base);
    folder->byReader = byReader;
    return folder;
}

// A reader: takes the earliest folder found while fewer than the bound are
// read ahead, and reads it to its end, no more than a few reads ahead of
// the walk, unless the walk passes it by.
void readFolders(ReadAhead* ahead) {
    std::unique_lock<std::mutex> hold(ahead->lock);
    while (!ahead->ending) {
        // The folder the walk waits for goes first, whatever the bound.
        bool due = ahead->needs && !ahead->wanted.empty() && ahead->wanted.begin()->first == ahead->needed;
        if (!due && (ahead->wanted.empty() || ahead->reading.size() >= ahead->bound)) {
            // With no folder of its own to take, it helps with one being read.
            if (helpOne(ahead, &hold)) continue;
            if (++ahead->idle == ahead->readerCount) ahead->toWalk.notify_one();
            ahead->toReaders.wait(hold);
            --ahead->idle;
            continue;
        }
        if (due) ahead->needs = false;
        auto first = ahead->wanted.begin();
        // A folder is read by one reader at a time: the walk drops what it passes by in reading alone.
        if (ahead->reading.count(first->first) != 0) {
            ahead->wanted.erase(first);
            continue;
        }
        std::shared_ptr<AheadFolder> folder = folderAt(*ahead, first->first, std::move(first->second), true);
        ahead->wanted.erase(first);
        ahead->reading.emplace(folder->place, folder);
        // The walk waiting for this folder, or for any reader to take one, looks again.
        if (ahead->needs || due) ahead->toWalk.notify_one();
        readTaken(ahead, folder, &hold);
    }
}

}  // namespace

void listForMarks(const WideString& base, std::vector<TargetName>* names, bool* opened, bool* whole) {
    names->clear();
    int reason = 0;
    DirectoryListing* listing = platformOpenListing(base.buffer, &reason);
    *opened = listing != nullptr;
    *whole = false;
    if (!listing) return;
    DirectoryEntry entry;
    while (platformNextEntry(listing, &entry)) {
        if (entry.isDirectory && isDotName(entry.name)) continue;
        names->push_back(TargetName{entry.name, entry.isDirectory, entry.isLink});
    }
    *whole = static_cast<bool>(platformCloseListing(listing));
}

int readersFor(int asked, const WideString& from, const WideString& to) {
    if (asked == 1) return 0;
    if (platformRequestsWait(to.buffer) || platformRequestsWait(from.buffer)) return asked > 1 ? asked : 8;
    return std::thread::hardware_concurrency() > 1 ? 2 : 0;
}

ReadAhead* startReadAhead(const AheadSettings& settings, const WideString& walkRoot, const WideString& otherRoot) {
    int readers = settings.readers;
    auto* ahead = new ReadAhead;
    ahead->walkRoot = walkRoot;
    ahead->otherRoot = otherRoot;
    ahead->asks = settings.asks;
    ahead->listsCounterparts = settings.listsCounterparts;
    ahead->enters = settings.enters;
    ahead->entersData = settings.entersData;
    ahead->freshFor = std::chrono::milliseconds(settings.freshForMs);
    ahead->bound = static_cast<size_t>(readers) * 4;
    // More than two readers are for a volume whose requests wait.
    ahead->chunkEntries = readers > 2 ? kWaitingChunkEntries : kChunkEntries;
    ahead->firstEntries = readers > 2 ? kWaitingFirstEntries : kChunkEntries;
    ahead->readerCount = static_cast<size_t>(readers > 0 ? readers : 0);
    for (size_t i = 0; i < ahead->readerCount; ++i) ahead->readers.emplace_back(readFolders, ahead);
    // Ready before the walk asks for its first folder, which one of them then reads.
    std::unique_lock<std::mutex> hold(ahead->lock);
    ahead->toWalk.wait(hold, [ahead] { return ahead->idle == ahead->readerCount; });
    return ahead;
}

void endReadAhead(ReadAhead* ahead) {
    if (!ahead) return;
    {
        std::lock_guard<std::mutex> hold(ahead->lock);
        ahead->ending = true;
        for (auto& held : ahead->reading) {
            held.second->dropped = true;
            held.second->room.notify_all();
        }
        // And those the walk has taken, which their readers may still read.
        for (auto& held : ahead->owned) {
            held->dropped = true;
            held->room.notify_all();
        }
        ahead->reading.clear();
        ahead->wanted.clear();
    }
    ahead->toReaders.notify_all();
    for (std::thread& reader : ahead->readers) reader.join();
    delete ahead;
}

// The folders the walk has passed by (read or found before place, not on
// its way) are dropped first; then the folder itself is taken from the
// readers, or read here when none has begun it.
std::shared_ptr<AheadFolder> openAheadFolder(ReadAhead* ahead, const WalkPlace& place, const WideString& base,
                                             int* reason) {
    std::shared_ptr<AheadFolder> folder;
    {
        std::unique_lock<std::mutex> hold(ahead->lock);
        for (auto at = ahead->wanted.begin(); at != ahead->wanted.end() && at->first < place;) {
            at = onTheWay(at->first, place) ? std::next(at) : ahead->wanted.erase(at);
        }
        for (auto at = ahead->reading.begin(); at != ahead->reading.end() && at->first < place;) {
            if (onTheWay(at->first, place)) {
                ++at;
                continue;
            }
            at->second->dropped = true;
            at->second->room.notify_all();
            at = ahead->reading.erase(at);
        }
        auto read = ahead->reading.find(place);
        if (read != ahead->reading.end() && !(read->second->base == base)) {
            read->second->dropped = true;
            read->second->room.notify_all();
            ahead->reading.erase(read);
            read = ahead->reading.end();
        }
        if (read == ahead->reading.end()) {
            ahead->wanted.erase(place);
            // A reader with nothing to do takes it; otherwise (or should every
            // reader find other work first) it is read here.
            if (ahead->idle > 0) {
                ahead->wanted.emplace(place, base);
                ahead->needs = true;
                ahead->needed = place;
                ahead->toReaders.notify_all();
                ahead->toWalk.wait(hold,
                                   [ahead, &place] { return ahead->reading.count(place) != 0 || ahead->idle == 0; });
                read = ahead->reading.find(place);
                if (read == ahead->reading.end()) {
                    ahead->wanted.erase(place);
                    ahead->needs = false;
                }
            }
        }
        if (read != ahead->reading.end()) {
            folder = read->second;
            ahead->reading.erase(read);
        }
    }
    // Folders dropped or taken leave room for more.
    ahead->toReaders.notify_all();
    if (!folder) {
        folder = folderAt(*ahead, place, base, false);
    }
    // The first read tells whether the folder could be listed at all. A
    // listing read too long ago is read again, here.
    if (folder->byReader) {
        std::unique_lock<std::mutex> hold(ahead->lock);
        // Its first names, once asked (or left for any thread to ask): one wait, not two.
        ahead->toWalk.wait(hold, [&folder] {
            return folder->finished ||
                   (!folder->chunks.empty() && (folder->chunks.front().ready || !folder->chunks.front().claimed));
        });
        if (Clock::now() - folder->listed > ahead->freshFor) {
            folder->dropped = true;
            folder->room.notify_all();
            hold.unlock();
            folder = folderAt(*ahead, place, base, false);
        }
    }
    if (!folder->byReader) readOnce(ahead, folder.get(), &folder->own);
    std::lock_guard<std::mutex> hold(ahead->lock);
    if (folder->finished && folder->openReason != 0) {
        *reason = folder->openReason < 0 ? 0 : folder->openReason;
        return nullptr;
    }
    return folder;
}

bool nextAheadEntry(ReadAhead* ahead, AheadFolder* folder, DirectoryEntry* entry, AheadStatuses* statuses) {
    while (folder->taken >= folder->current.entries.size()) {
        folder->current.entries.clear();
        folder->current.names.clear();
        folder->taken = 0;
        if (!folder->byReader) {
            bool empty;
            bool finished;
            {
                std::lock_guard<std::mutex> hold(ahead->lock);
                empty = folder->chunks.empty();
                finished = folder->finished;
            }
            if (empty && finished) return false;
            if (empty) {
                readOnce(ahead, folder, &folder->own);
                continue;
            }
        }
        std::unique_lock<std::mutex> hold(ahead->lock);
        while (folder->chunks.empty() || !folder->chunks.front().ready) {
            if (folder->chunks.empty() && folder->finished) return false;
            if (folder->chunks.empty() || folder->chunks.front().claimed) {
                ahead->toWalk.wait(hold);
                continue;
            }
            // Names no thread asks about yet: asked here rather than waited for.
            folder->chunks.front().claimed = true;
            askClaimed(ahead, folder, &folder->chunks.front(), &hold);
        }
        folder->current = std::move(folder->chunks.front());
        folder->chunks.pop_front();
        hold.unlock();
        folder->room.notify_one();
    }
    const KeptEntry& kept = folder->current.entries[folder->taken++];
    size_t length = kept.nameLength <= PLATFORM_NAME_MAX ? kept.nameLength : PLATFORM_NAME_MAX;
    std::wmemcpy(entry->name, folder->current.names.data() + kept.nameAt, length);
    entry->name[length] = L'\0';
    entry->isDirectory = kept.isDirectory;
    entry->isLink = kept.isLink;
    entry->statusKnown = kept.statusKnown;
    if (kept.statusKnown) entry->status = kept.listedStatus;
    // Statuses asked too long ago are left for the walk to ask again.
    statuses->sourceKnown = kept.sourceKnown && Clock::now() - kept.asked <= ahead->freshFor;
    if (statuses->sourceKnown) statuses->source = kept.source;
    statuses->targetKnown = statuses->sourceKnown && kept.targetKnown;
    if (statuses->targetKnown) statuses->target = kept.target;
    return true;
}

SystemResult closeAheadFolder(ReadAhead* ahead, const std::shared_ptr<AheadFolder>& folder, bool* cutByStop,
                              CounterpartListing* counterpart) {
    SystemResult closed{true, 0};
    bool finished;
    *counterpart = CounterpartListing();
    {
        std::unique_lock<std::mutex> hold(ahead->lock);
        folder->dropped = true;
        finished = folder->finished;
        if (finished) {
            closed = folder->closed;
            *cutByStop = folder->cutByStop;
        }
        // A counterpart no reader has begun is left to the walk; one being
        // listed is waited for; one listed too long ago is listed again.
        if (folder->counterpartTask == 1) folder->counterpartTask = 0;
        ahead->toWalk.wait(hold, [&folder] { return folder->counterpartTask != 2; });
        if (folder->counterpartTask == 3 && Clock::now() - folder->counterpartAt <= ahead->freshFor) {
            *counterpart = std::move(folder->counterpart);
        }
    }
    folder->room.notify_one();
    // Left before its end by the walk itself: its listing goes as the walk's own would.
    if (!finished && !folder->byReader && folder->own.listing) {
        closed = platformCloseListing(folder->own.listing);
        folder->own.listing = nullptr;
    }
    return closed;
}
