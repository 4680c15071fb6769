// What a list run keeps of its entries' paths while it runs, held as
// compactly as the entries themselves: the first entry of each path, and the
// folders of To on the entries' way with what the run noted of each.
#ifndef KORVANE_ENGINE_LIST_INDEX_H
#define KORVANE_ENGINE_LIST_INDEX_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "text/packed_text.h"
#include "text/wide_string.h"

// An entry's path below the folders as one spelling: its names joined by
// the platform's separator, empty names and "." left out.
std::wstring normalEntry(const WideString& entry);

// The entry at at of entries (packed texts), read back.
WideString listEntryAt(const PackedTexts& entries, PackedAt at);

// The key of an entry's path: its normalEntry, folded as the system folds
// names, so that two spellings of one name on a volume that does not tell
// case apart share it.
std::wstring entryKey(const std::wstring& normal);

// The first entry of each key among a list's entries (packed texts): a table
// of where they lie, sized for the list once, a slot holding a tag of the
// key's hash and where its entry lies, plus one (0: free). Two entries whose
// tags agree are told apart by their keys, read back from the list.
struct FirstEntries {
    std::vector<uint64_t> slots;  // by the key's hash, the next one free after a taken one
    size_t used = 0;              // slots taken
};

// Makes first empty, with room for count keys.
void prepareFirstEntries(FirstEntries* first, size_t count);

// Where the first entry of entries whose key is key lies: one that came
// before, or the entry at at itself (whose key it is), which then becomes
// the key's first.
PackedAt firstEntryOf(FirstEntries* first, const PackedTexts& entries, const std::wstring& key, PackedAt at);

// What a list run noted of a folder of To, as bits.
enum FolderMark : uint8_t {
    FOLDER_ON_THE_WAY = 1,  // on the way to a listed entry, or listed itself
    FOLDER_CHANGED_IN = 2,  // the run made it, copied into it or removed from it
    FOLDER_LOOKED = 4,      // looked at for its owner
    FOLDER_UNSAFE = 8,      // another user holds it, and it could not be renewed
    FOLDER_HELD_IN = 16,    // it holds replacements the guard held back
};

// The folders of To a list run met, each once, by its packed path below To
// (a normalEntry packed; To itself the empty one), with its FolderMark bits.
typedef std::unordered_map<std::string, uint8_t> ListFolders;

// Gives folder the mark; false when it had it already.
bool markFolder(ListFolders* folders, const std::string& folder, uint8_t mark);

// True when folder has the mark.
bool folderMarked(const ListFolders& folders, const std::string& folder, uint8_t mark);

// Gives the mark to each folder above the packed path, up to To itself (""),
// until one that had it already.
void markLevelsAbove(ListFolders* folders, uint8_t mark, std::string packed);

// The folders with any of marks, the deepest first: their paths in falling
// order, so that a folder comes before every folder above it.
std::vector<const std::string*> foldersDeepestFirst(const ListFolders& folders, uint8_t marks);

// The packed form of text, as the folders are held.
std::string packedText(const std::wstring& text);

// The text of a packed one.
WideString unpackedText(const std::string& packed);

#endif
