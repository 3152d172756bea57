#include "platform/security/Aes256Cbc.h"
#include "platform/security/SecureRandom.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

using platform::security::Aes256Cbc;
using platform::security::SecureRandom;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string hex(const Bytes &bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

Bytes fromHex(const std::string &text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

void writeFile(const std::filesystem::path &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes random(size_t n) { return SecureRandom::bytes(n).value(); }

// Runs `openssl enc` over a file and returns what it wrote, or nothing when
// it failed.
std::optional<Bytes> opensslEnc(const testsupport::TemporaryDirectory &dir, const Bytes &input, const Bytes &key,
                                const Bytes &iv, const std::string &options) {
    auto in = dir.path() / "in.bin";
    auto out = dir.path() / "out.bin";
    writeFile(in, input);
    std::filesystem::remove(out);
    int exitCode = -1;
    testsupport::runCommand("openssl enc -aes-256-cbc " + options + " -K " + hex(key) + " -iv " + hex(iv) + " -in '" +
                                in.string() + "' -out '" + out.string() + "' 2>/dev/null",
                            &exitCode);
    if (exitCode != 0) return std::nullopt;
    return readFile(out);
}

const size_t kLengths[] = {0, 1, 15, 16, 17, 31, 32, 100, 4099};

}  // namespace

TEST(Aes256Cbc, InteroperatesWithOpensslBothWays) {
    testsupport::TemporaryDirectory dir;
    for (size_t length : kLengths) {
        SCOPED_TRACE(length);
        Bytes key = random(32), iv = random(16), plaintext = random(length);

        auto ours = Aes256Cbc::encrypt(plaintext, key, iv);
        ASSERT_TRUE(ours);
        EXPECT_EQ(ours->size(), (length / 16 + 1) * 16);
        auto theirPlaintext = opensslEnc(dir, *ours, key, iv, "-d");
        ASSERT_TRUE(theirPlaintext);
        EXPECT_EQ(*theirPlaintext, plaintext);

        auto theirs = opensslEnc(dir, plaintext, key, iv, "-e");
        ASSERT_TRUE(theirs);
        EXPECT_EQ(*theirs, *ours);
        auto ourPlaintext = Aes256Cbc::decrypt(*theirs, key, iv);
        ASSERT_TRUE(ourPlaintext);
        EXPECT_EQ(*ourPlaintext, plaintext);
    }
}

TEST(Aes256Cbc, KnownVectorsIncludingZeroIv) {
    // The first block of the standard AES-256-CBC example; our output adds one
    // block of padding after it.
    Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
    auto ciphertext = Aes256Cbc::encrypt(fromHex("6bc1bee22e409f96e93d7e117393172a"), key, iv);
    ASSERT_TRUE(ciphertext);
    ASSERT_EQ(ciphertext->size(), 32u);
    EXPECT_EQ(hex(Bytes(ciphertext->begin(), ciphertext->begin() + 16)), "f58c4c04d6e5f1ba779eabfb5f7bfbd6");

    // Data written with an all-zero IV by openssl reads back.
    testsupport::TemporaryDirectory dir;
    Bytes zeroIv(16, 0);
    std::string text = "a target token, some 40 bytes of it....";
    Bytes plaintext(text.begin(), text.end());
    auto theirs = opensslEnc(dir, plaintext, key, zeroIv, "-e");
    ASSERT_TRUE(theirs);
    auto decrypted = Aes256Cbc::decrypt(*theirs, key, zeroIv);
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(*decrypted, plaintext);
}

TEST(Aes256Cbc, RefusesWrongKeyAndIvSizes) {
    Bytes plaintext = random(20), key = random(32), iv = random(16);
    auto ciphertext = Aes256Cbc::encrypt(plaintext, key, iv).value();
    for (size_t size : {0, 16, 24, 31, 33, 64}) {
        SCOPED_TRACE(size);
        Bytes badKey = random(size);
        EXPECT_FALSE(Aes256Cbc::encrypt(plaintext, badKey, iv));
        EXPECT_FALSE(Aes256Cbc::decrypt(ciphertext, badKey, iv));
    }
    for (size_t size : {0, 8, 15, 17, 32}) {
        SCOPED_TRACE(size);
        Bytes badIv = random(size);
        EXPECT_FALSE(Aes256Cbc::encrypt(plaintext, key, badIv));
        EXPECT_FALSE(Aes256Cbc::decrypt(ciphertext, key, badIv));
    }
}

TEST(Aes256Cbc, RefusesEmptyTruncatedAndBadlyPaddedCiphertexts) {
    Bytes key = random(32), iv = random(16);
    auto ciphertext = Aes256Cbc::encrypt(random(40), key, iv).value();
    ASSERT_EQ(ciphertext.size(), 48u);
    EXPECT_FALSE(Aes256Cbc::decrypt(Bytes{}, key, iv));
    for (size_t cut : {1, 15, 17, 47}) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(Aes256Cbc::decrypt(Bytes(ciphertext.begin(), ciphertext.begin() + cut), key, iv));
    }

    // Blocks encrypted without padding by openssl, whose last block ends in
    // padding that is wrong (zero, longer than a block, inconsistent bytes).
    testsupport::TemporaryDirectory dir;
    struct Case {
        std::string lastBytes;
        bool valid;
    };
    const Case cases[] = {
        {"00", false},         {"11", false},    {"ff", false}, {"030203", false},
        {"0101010102", false}, {"030303", true}, {"01", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lastBytes);
        Bytes block = random(32);
        Bytes tail = fromHex(c.lastBytes);
        std::copy(tail.begin(), tail.end(), block.end() - static_cast<long>(tail.size()));
        auto raw = opensslEnc(dir, block, key, iv, "-e -nopad");
        ASSERT_TRUE(raw);
        ASSERT_EQ(raw->size(), 32u);
        auto decrypted = Aes256Cbc::decrypt(*raw, key, iv);
        if (c.valid) {
            ASSERT_TRUE(decrypted);
            EXPECT_EQ(*decrypted, Bytes(block.begin(), block.end() - block.back()));
        } else {
            EXPECT_FALSE(decrypted);
        }
    }
    // A full block of padding alone is an empty plaintext, not a failure.
    auto empty = Aes256Cbc::decrypt(Aes256Cbc::encrypt(Bytes{}, key, iv).value(), key, iv);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}
