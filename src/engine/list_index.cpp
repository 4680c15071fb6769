// The list run's index of its entries' paths and its marks on the folders of To.
#include "engine/list_index.h"

#include <algorithm>
#include <new>

#include "base/separator.h"
#include "platform/platform.h"

std::wstring normalEntry(const WideString& entry) {
    std::wstring normal;
    int32_t start = 0;
    for (int32_t i = 0; i <= entry.length; ++i) {
        if (i < entry.length && !isComponentSeparator(entry.buffer[i])) continue;
        bool dot = i - start == 1 && entry.buffer[start] == L'.';
        if (i > start && !dot) {
            if (!normal.empty()) normal.push_back(PATH_SEPARATOR);
            normal.append(entry.buffer + start, static_cast<size_t>(i - start));
        }
        start = i + 1;
    }
    return normal;
}

WideString listEntryAt(const PackedTexts& entries, PackedAt at) {
    std::wstring units;
    NextPacked(entries, &at, &units);
    return WideString(units.c_str());  // an entry holds no NUL
}

std::wstring entryKey(const std::wstring& normal) {
    std::wstring key;
    platformFoldName(normal.c_str(), &key);
    return key;
}

namespace {

// A slot holds where its entry lies, plus one, in its low bits, and the top
// bits of its key's hash above them: lists of up to a terabyte are told.
const int PLACE_BITS = 40;
const uint64_t PLACE_MASK = (uint64_t{1} << PLACE_BITS) - 1;

// A key's hash: FNV-1a over its units, its bits mixed at the end so that
// the top ones, the slot's tag, depend on every unit too.
uint64_t keyHash(const std::wstring& key) {
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : key) hash = (hash ^ static_cast<uint32_t>(unit)) * 1099511628211ull;
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ull;
    return hash ^ (hash >> 33);
}

// The key of the entry at at, read back from the list.
std::wstring keyAt(const PackedTexts& entries, PackedAt at) { return entryKey(normalEntry(listEntryAt(entries, at))); }

// Puts slot (of a key with hash hash) into the first free slot from the hash's own.
void placeSlot(std::vector<uint64_t>* slots, uint64_t hash, uint64_t slot) {
    size_t size = slots->size();
    size_t index = static_cast<size_t>(hash % size);
    while ((*slots)[index] != 0) index = index + 1 == size ? 0 : index + 1;
    (*slots)[index] = slot;
}

// Twice the room, each key's hash found again from its entry: only a
// caller that gave prepareFirstEntries too few comes here.
void growFirstEntries(FirstEntries* first, const PackedTexts& entries) {
    std::vector<uint64_t> old;
    old.swap(first->slots);
    first->slots.assign(old.size() * 2 + 1, 0);
    for (uint64_t slot : old) {
        if (slot != 0) placeSlot(&first->slots, keyHash(keyAt(entries, (slot & PLACE_MASK) - 1)), slot);
    }
}

}  // namespace

// At most three quarters of the slots are taken, so that a search for a key
// not there ends soon at a free one.
void prepareFirstEntries(FirstEntries* first, size_t count) {
    first->slots.assign(count + count / 3 + 1, 0);
    first->used = 0;
}

PackedAt firstEntryOf(FirstEntries* first, const PackedTexts& entries, const std::wstring& key, PackedAt at) {
    if (at >= PLACE_MASK) throw std::bad_alloc();
    if ((first->used + 1) * 4 > first->slots.size() * 3) growFirstEntries(first, entries);
    std::vector<uint64_t>& slots = first->slots;
    uint64_t hash = keyHash(key);
    uint64_t tag = hash >> PLACE_BITS;
    size_t size = slots.size();
    for (size_t index = static_cast<size_t>(hash % size);; index = index + 1 == size ? 0 : index + 1) {
        uint64_t slot = slots[index];
        if (slot == 0) {
            slots[index] = (tag << PLACE_BITS) | (at + 1);
            ++first->used;
            return at;
        }
        if (slot >> PLACE_BITS != tag) continue;
        PackedAt other = (slot & PLACE_MASK) - 1;
        if (keyAt(entries, other) == key) return other;
    }
}

bool markFolder(ListFolders* folders, const std::string& folder, uint8_t mark) {
    uint8_t& marks = (*folders)[folder];
    bool had = (marks & mark) != 0;
    marks = static_cast<uint8_t>(marks | mark);
    return !had;
}

bool folderMarked(const ListFolders& folders, const std::string& folder, uint8_t mark) {
    auto found = folders.find(folder);
    return found != folders.end() && (found->second & mark) != 0;
}

// A packed separator is the separator's own byte, and no other unit's bytes
// hold it: a level's packed path is the packed path cut there.
void markLevelsAbove(ListFolders* folders, uint8_t mark, std::string packed) {
    while (!packed.empty()) {
        size_t cut = packed.find_last_of(static_cast<char>(PATH_SEPARATOR));
        packed.erase(cut == std::string::npos ? 0 : cut);
        if (!markFolder(folders, packed, mark)) return;
    }
}

// Packed paths fall as their texts do: a folder's path is a beginning of
// the paths below it, which come after it.
std::vector<const std::string*> foldersDeepestFirst(const ListFolders& folders, uint8_t marks) {
    std::vector<const std::string*> found;
    for (const auto& folder : folders) {
        if ((folder.second & marks) != 0) found.push_back(&folder.first);
    }
    std::sort(found.begin(), found.end(), [](const std::string* a, const std::string* b) { return *b < *a; });
    return found;
}

std::string packedText(const std::wstring& text) {
    std::string packed;
    PackUnits(text.data(), text.size(), &packed);
    return packed;
}

WideString unpackedText(const std::string& packed) {
    std::wstring units;
    UnpackUnits(packed.data(), packed.size(), &units);
    return WideString(units.c_str());  // a path holds no NUL
}
