#include "platform/security/SecureRandom.h"
#include "platform/security/Sha256.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>

using platform::security::SecureRandom;
using platform::security::Sha256;

TEST(Sha256, KnownVectorsAndSha256sum) {
    EXPECT_EQ(Sha256::hexDigest(std::string_view("")).value(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hexDigest(std::string_view("abc")).value(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    auto digest = Sha256::digest(std::string_view("abc")).value();
    EXPECT_EQ(digest[0], 0xba);
    EXPECT_EQ(digest[31], 0xad);

    // Arbitrary bytes, NULs included, against the command-line tool.
    testsupport::TemporaryDirectory dir;
    auto data = SecureRandom::bytes(100000).value();
    data[10] = 0;
    auto file = dir.path() / "data.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    int exitCode = -1;
    std::string expected = testsupport::runCommand("sha256sum '" + file.string() + "'", &exitCode).substr(0, 64);
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(Sha256::hexDigest(data).value(), expected);
}
