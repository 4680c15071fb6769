// The contents hash over the xxHash library's XXH3, and its stored record.
#include "base/content_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

// The form byte of a stored record; another form is not read.
const unsigned char kRecordForm = 2;

// The size of a stored record: the form, the hash, the source's identity,
// the seconds and the nanoseconds.
const size_t kRecordSize = 1 + 16 + 8 + 8 + 4;

void putBytes(std::string* out, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t getBytes(const std::string& in, size_t at, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
    return value;
}

}  // namespace

bool operator==(const ContentHash& a, const ContentHash& b) { return a.high == b.high && a.low == b.low; }

bool operator!=(const ContentHash& a, const ContentHash& b) { return !(a == b); }

ContentHashing startHashing() {
    XXH3_state_t* state = XXH3_createState();
    if (state) XXH3_128bits_reset(state);
    return ContentHashing{std::shared_ptr<void>(state, [](void* p) { XXH3_freeState(static_cast<XXH3_state_t*>(p)); })};
}

void hashBytes(ContentHashing* hashing, const void* data, size_t size) {
    if (hashing->state && size > 0) XXH3_128bits_update(static_cast<XXH3_state_t*>(hashing->state.get()), data, size);
}

ContentHash hashSoFar(const ContentHashing& hashing) {
    if (!hashing.state) return ContentHash{};
    XXH128_hash_t value = XXH3_128bits_digest(static_cast<XXH3_state_t*>(hashing.state.get()));
    return ContentHash{value.high64, value.low64};
}

bool recordPredates(const ContentRecord& record, int64_t seconds, int32_t nanoseconds) {
    if (record.sourceChangeSeconds != seconds) return record.sourceChangeSeconds < seconds;
    return record.sourceChangeNanoseconds < nanoseconds;
}

std::string encodeContentRecord(const ContentRecord& record) {
    std::string out;
    out.push_back(static_cast<char>(kRecordForm));
    putBytes(&out, record.hash.high, 8);
    putBytes(&out, record.hash.low, 8);
    putBytes(&out, record.sourceIdentity, 8);
    putBytes(&out, static_cast<uint64_t>(record.sourceChangeSeconds), 8);
    putBytes(&out, static_cast<uint32_t>(record.sourceChangeNanoseconds), 4);
    return out;
}

bool decodeContentRecord(const std::string& stored, ContentRecord* record) {
    if (stored.size() != kRecordSize || static_cast<unsigned char>(stored[0]) != kRecordForm) return false;
    ContentRecord read;
    read.hash.high = getBytes(stored, 1, 8);
    read.hash.low = getBytes(stored, 9, 8);
    read.sourceIdentity = getBytes(stored, 17, 8);
    read.sourceChangeSeconds = static_cast<int64_t>(getBytes(stored, 25, 8));
    uint64_t nanoseconds = getBytes(stored, 33, 4);
    if (nanoseconds >= 1000000000u) return false;
    read.sourceChangeNanoseconds = static_cast<int32_t>(nanoseconds);
    *record = read;
    return true;
}
