// The contents hash taken in pieces, and the record a copy carries of it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/content_hash.h"

namespace {

// The hash of size bytes at data, handed at once.
ContentHash hashOf(const void* data, size_t size) {
    ContentHashing hashing = startHashing();
    hashBytes(&hashing, data, size);
    return hashSoFar(hashing);
}

// A hash is the same however the bytes come in pieces, and tells a flipped bit.
TEST(ContentHash, IsTheSameInPiecesAndTellsOneBit) {
    std::string bytes(300001, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131) ^ (i >> 7));
    ContentHash whole = hashOf(bytes.data(), bytes.size());
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{131072}, bytes.size()}) {
        SCOPED_TRACE(piece);
        ContentHashing hashing = startHashing();
        for (size_t at = 0; at < bytes.size(); at += piece) {
            hashBytes(&hashing, bytes.data() + at, std::min(piece, bytes.size() - at));
        }
        EXPECT_EQ(hashSoFar(hashing), whole);
    }
    bytes[150000] = static_cast<char>(bytes[150000] ^ 1);
    EXPECT_NE(hashOf(bytes.data(), bytes.size()), whole);
    EXPECT_NE(hashSoFar(startHashing()), whole);
}

// A record reads back as written; anything of another form is no record.
TEST(ContentHash, RecordsReadBackAndOthersAreRefused) {
    ContentRecord record;
    record.hash = ContentHash{0x0123456789ABCDEFULL, 0xFEDCBA9876543210ULL};
    record.sourceIdentity = 0x8877665544332211ULL;
    record.sourceChangeSeconds = -5;  // before 1970: a volume's odd time is kept as it is
    record.sourceChangeNanoseconds = 999999999;
    std::string stored = encodeContentRecord(record);
    ContentRecord read;
    ASSERT_TRUE(decodeContentRecord(stored, &read));
    EXPECT_EQ(read.hash, record.hash);
    EXPECT_EQ(read.sourceIdentity, record.sourceIdentity);
    EXPECT_EQ(read.sourceChangeSeconds, -5);
    EXPECT_EQ(read.sourceChangeNanoseconds, 999999999);

    std::string badNanoseconds = stored;
    badNanoseconds[36] = static_cast<char>(0x7F);  // above a second's worth
    const std::vector<std::string> refused = {"",
                                              stored.substr(1),
                                              stored + "x",
                                              std::string(1, '\1') + stored.substr(1),
                                              badNanoseconds,
                                              std::string(stored.size(), '\0')};
    for (const std::string& other : refused) {
        SCOPED_TRACE(other.size());
        EXPECT_FALSE(decodeContentRecord(other, &read));
    }
}

// Which of a record and a change time came first, to the nanosecond.
TEST(ContentHash, ARecordPredatesALaterChangeOnly) {
    ContentRecord record;
    record.sourceChangeSeconds = 100;
    record.sourceChangeNanoseconds = 500;
    struct Row {
        int64_t seconds;
        int32_t nanoseconds;
        bool predates;
    };
    for (const Row& row : {Row{100, 500, false}, Row{100, 501, true}, Row{101, 0, true}, Row{99, 999999999, false},
                           Row{100, 499, false}}) {
        SCOPED_TRACE(row.seconds * 1000000000LL + row.nanoseconds);
        EXPECT_EQ(recordPredates(record, row.seconds, row.nanoseconds), row.predates);
    }
}

}  // namespace
