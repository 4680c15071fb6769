// A file's contents told by a fast hash (XXH3, 128 bits) taken as its bytes
// pass, and the record of it a copy carries: the hash of what was written
// and the change time its source had then.
#ifndef KORVANE_BASE_CONTENT_HASH_H
#define KORVANE_BASE_CONTENT_HASH_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The hash of a file's contents.
struct ContentHash {
    uint64_t high = 0;  // the upper 64 bits
    uint64_t low = 0;   // the lower 64 bits
};

// True when two hashes are the same.
bool operator==(const ContentHash& a, const ContentHash& b);

// True when two hashes differ.
bool operator!=(const ContentHash& a, const ContentHash& b);

// A hash taken over bytes handed in pieces, in order.
struct ContentHashing {
    std::shared_ptr<void> state;  // the library's running state
};

// A hashing begun over no bytes yet.
ContentHashing startHashing();

// Adds size bytes at data to the hashing.
void hashBytes(ContentHashing* hashing, const void* data, size_t size);

// The hash of the bytes handed so far.
ContentHash hashSoFar(const ContentHashing& hashing);

// What a copy records of itself: the hash of the contents written, and the
// identity and change time its source had when they were read.
struct ContentRecord {
    ContentHash hash;                     // the hash of the copy's contents
    uint64_t sourceIdentity = 0;          // its source's number on its volume (inode, file index)
    int64_t sourceChangeSeconds = 0;      // its source's change time, in seconds since 1970
    int32_t sourceChangeNanoseconds = 0;  // and the part below the second
};

// True when the record was taken before the source change time given
// (seconds since 1970, and the part below the second).
bool recordPredates(const ContentRecord& record, int64_t seconds, int32_t nanoseconds);

// The record as it is stored with a copy (an attribute, a stream): a form
// byte and its fields, least significant byte first.
std::string encodeContentRecord(const ContentRecord& record);

// Reads a stored record; false for anything that is not one of this form.
bool decodeContentRecord(const std::string& stored, ContentRecord* record);

#endif
