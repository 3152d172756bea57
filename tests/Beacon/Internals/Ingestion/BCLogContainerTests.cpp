// The batch body and its gzip form, checked with python's json and gzip -dc.
#include <gtest/gtest.h>

#include <fstream>

#include "BCCompression.h"
#include "BCLogContainer.h"
#include "Beacon/Internals/Storage/StorageTestSupport.h"

using storagetest::makeLog;

namespace {

std::string gunzip(const platform::Data &data, const std::filesystem::path &dir) {
    auto file = dir / "body.gz";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), data.size());
    return testsupport::runCommand("gzip -dc '" + file.string() + "'");
}

}  // namespace

class BCLogContainerTests : public ::testing::Test {
protected:
    storagetest::StoreHome home;
};

TEST_F(BCLogContainerTests, BodyHoldsTheLogsInOrderWithPlainSlashes) {
    auto first = makeLog("https://example.com/a/b");
    auto second = makeLog("application/json");
    BCLogContainer container("batch", {first, second});
    EXPECT_TRUE(container.isValid());
    auto body = container.serializeLog();
    ASSERT_TRUE(body);
    EXPECT_EQ(body->find('\n'), std::string::npos);
    EXPECT_EQ(body->find("\\/"), std::string::npos);
    EXPECT_NE(body->find("https://example.com/a/b"), std::string::npos);
    EXPECT_EQ(*body, "{\"logs\":[" + first->serializeToDictionary().dump() + "," +
                         second->serializeToDictionary().dump() + "]}");
    auto file = home.sdkDirectory().parent_path() / "body.json";
    std::ofstream(file) << *body;
    EXPECT_EQ(testsupport::runCommand("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                                      "print(list(d), len(d[\"logs\"]), d[\"logs\"][1][\"services\"][0])' '" +
                                      file.string() + "'"),
              "['logs'] 2 application/json\n");
    auto pretty = container.serializeLogWithPrettyPrinting(true);
    ASSERT_TRUE(pretty);
    EXPECT_NE(pretty->find('\n'), std::string::npos);

    // A backslash before a slash stays what it was.
    BCLogContainer escaped("b", {makeLog("a\\/b")});
    EXPECT_NE(escaped.serializeLog()->find("a\\\\/b"), std::string::npos);
}

TEST_F(BCLogContainerTests, TextThatIsNotUTF8CannotBlockTheBatch) {
    BCLogContainer container("b", {makeLog(std::string("bad \xff byte"))});
    auto body = container.serializeLog();
    ASSERT_TRUE(body);
    EXPECT_NE(body->find("bad \xef\xbf\xbd byte"), std::string::npos);
}

TEST_F(BCLogContainerTests, ValidityNeedsLogsAndEveryLogValid) {
    BCLogContainer empty("b", {});
    EXPECT_FALSE(empty.isValid());
    EXPECT_TRUE(home.log.contains(BCLogLevelVerbose, "BCLogContainer: there are no logs in container."));
    auto invalid = makeLog();
    invalid->setTimestamp(std::nullopt);
    EXPECT_FALSE(BCLogContainer("b", {makeLog(), invalid, makeLog()}).isValid());
    EXPECT_FALSE(BCLogContainer("b", {makeLog(), nullptr}).isValid());
}

TEST_F(BCLogContainerTests, CompressionGivesAGzipMemberThatGunzipRestores) {
    EXPECT_FALSE(BCCompression::compressData(std::nullopt));
    EXPECT_FALSE(BCCompression::compressData(platform::Data{}));

    std::vector<std::shared_ptr<BCLog>> logs;
    for (int i = 0; i < 10; ++i) logs.push_back(makeLog("log" + std::to_string(i)));
    auto body = *BCLogContainer("b", logs).serializeLog();
    ASSERT_GE(body.size(), 1400u);
    auto compressed = BCCompression::compressData(platform::Data(body.begin(), body.end()));
    ASSERT_TRUE(compressed);
    EXPECT_EQ((*compressed)[0], 0x1F);
    EXPECT_EQ((*compressed)[1], 0x8B);
    EXPECT_LT(compressed->size(), body.size());
    EXPECT_EQ(gunzip(*compressed, home.sdkDirectory().parent_path()), body);

    // Incompressible data still fits the buffer of length * 1.01 + 12.
    platform::Data noise(5000);
    uint32_t x = 12345;
    for (auto &b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
    auto packedNoise = BCCompression::compressData(noise);
    ASSERT_TRUE(packedNoise);
    EXPECT_EQ(gunzip(*packedNoise, home.sdkDirectory().parent_path()), std::string(noise.begin(), noise.end()));

    // A few bytes cannot hold the gzip framing.
    EXPECT_FALSE(BCCompression::compressData(platform::Data{'a', 'b'}));
    EXPECT_TRUE(home.log.contains(BCLogLevelError, "Deflate failed with error: No progress is possible."));
}
