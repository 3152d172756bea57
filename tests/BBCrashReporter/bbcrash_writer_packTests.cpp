// The report writer's field encoder, byte for byte.
#include "bbcrash_writer_pack.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Packs one field into a fresh file and returns the bytes written.
std::vector<uint8_t> packed(uint32_t field, int type, const void *value, size_t *size) {
    testsupport::TemporaryDirectory dir("bbcrash-pack");
    auto path = dir.path() / "out";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, fd, 0);
    *size = bbcrash_writer_pack(&file, field, type, value);
    EXPECT_EQ(bbcrash_writer_pack(nullptr, field, type, value), *size);
    EXPECT_TRUE(bbcrash_async_file_close(&file));
    return readFile(path);
}

TEST(bbcrash_writer_packTests, PackEncodesEachWireType) {
    size_t size = 0;
    EXPECT_EQ(packed(1, BBCRASH_PROTOBUF_TYPE_STRING, "abc", &size), (std::vector<uint8_t>{0x0A, 3, 'a', 'b', 'c'}));
    EXPECT_EQ(size, 5u);

    int32_t minusOne = -1;
    EXPECT_EQ(packed(1, BBCRASH_PROTOBUF_TYPE_INT32, &minusOne, &size),
              (std::vector<uint8_t>{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
    EXPECT_EQ(packed(2, BBCRASH_PROTOBUF_TYPE_SINT32, &minusOne, &size), (std::vector<uint8_t>{0x10, 0x01}));
    int64_t minusTwo = -2;
    EXPECT_EQ(packed(3, BBCRASH_PROTOBUF_TYPE_SINT64, &minusTwo, &size), (std::vector<uint8_t>{0x18, 0x03}));
    uint64_t big = 300;
    EXPECT_EQ(packed(3, BBCRASH_PROTOBUF_TYPE_UINT64, &big, &size), (std::vector<uint8_t>{0x18, 0xAC, 0x02}));
    uint32_t fixed = 0x04030201;
    EXPECT_EQ(packed(1, BBCRASH_PROTOBUF_TYPE_FIXED32, &fixed, &size), (std::vector<uint8_t>{0x0D, 1, 2, 3, 4}));
    double one = 1.0;
    EXPECT_EQ(packed(1, BBCRASH_PROTOBUF_TYPE_DOUBLE, &one, &size),
              (std::vector<uint8_t>{0x09, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
    bool yes = true;
    EXPECT_EQ(packed(6, BBCRASH_PROTOBUF_TYPE_BOOL, &yes, &size), (std::vector<uint8_t>{0x30, 0x01}));
    bbcrash_writer_bytes bytes{2, "\x00\xFF"};
    EXPECT_EQ(packed(4, BBCRASH_PROTOBUF_TYPE_BYTES, &bytes, &size), (std::vector<uint8_t>{0x22, 2, 0x00, 0xFF}));
    // A message: key and length only; the body follows from the caller.
    uint32_t length = 200;
    EXPECT_EQ(packed(6, BBCRASH_PROTOBUF_TYPE_MESSAGE, &length, &size), (std::vector<uint8_t>{0x32, 0xC8, 0x01}));
    EXPECT_EQ(size, 3u);
    // Field numbers past 15 take a two-byte key.
    EXPECT_EQ(packed(16, BBCRASH_PROTOBUF_TYPE_ENUM, &fixed, &size).front(), 0x80);
}

TEST(bbcrash_writer_packTests, PackOfAnUnknownTypeStopsTheProcess) {
    uint32_t value = 0;
    EXPECT_DEATH(bbcrash_writer_pack(nullptr, 1, 17, &value), "");
}

}  // namespace
