#include <gtest/gtest.h>

#include "BCErrorAttachmentLog.h"
#include "BeaconCrashes/CrashesTestSupport.h"

using modeltest::text;

TEST(BCErrorAttachmentLogModel, TextAttachmentJsonAndArchive) {
    auto a = BCErrorAttachmentLog::attachmentWithText("hello", std::nullopt);
    a->setTimestamp(platform::Date::fromTimeIntervalSince1970(1796616393.123));
    a->setDevice(modeltest::validDevice());
    a->attachmentId = "A";
    a->errorId = "E";
    std::string expected = R"({"type":"errorAttachment","timestamp":"2026-12-07T04:06:33.123Z","device":)" +
                           a->device()->serializeToDictionary().dump() +
                           R"(,"id":"A","errorId":"E","contentType":"text/plain","data":"aGVsbG8="})";
    EXPECT_EQ(text(a->serializeToDictionary()), text(expected.c_str()));
    EXPECT_TRUE(a->isValid());

    a->filename = "notes.txt";
    auto decoded = crashestest::roundTrip(a).objectAs<BCErrorAttachmentLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*a));
    EXPECT_EQ(decoded->filename, "notes.txt");

    auto old = std::make_shared<crashestest::Renamed<BCErrorAttachmentLog>>("BNErrorAttachmentLog");
    old->contentType = "image/png";
    auto fromOld = crashestest::roundTrip(old).objectAs<BCErrorAttachmentLog>();
    ASSERT_TRUE(fromOld);
    EXPECT_EQ(fromOld->contentType, "image/png");
    EXPECT_EQ(fromOld->attachmentId, old->attachmentId);

    auto damaged = std::make_shared<crashestest::Damaged<BCErrorAttachmentLog>>("data", platform::Value("aGk="));
    EXPECT_TRUE(crashestest::roundTrip(damaged).isNull());
}

TEST(BCErrorAttachmentLogModel, DataIsOneLineOfStandardBase64) {
    platform::Data bytes(1000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 251);
    auto a = BCErrorAttachmentLog::attachmentWithBinary(bytes, "blob", "application/octet-stream");
    std::string data = a->serializeToDictionary()["data"];
    EXPECT_EQ(data.size(), 1336u);
    EXPECT_EQ(data.find('\n'), std::string::npos);
    EXPECT_EQ(data.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_NE(data.find_first_of("+/"), std::string::npos);
}

TEST(BCErrorAttachmentLogModel, ValidityOrderAndFreshIds) {
    modeltest::LogCapture capture;
    auto a = BCErrorAttachmentLog::attachmentWithBinary({}, std::nullopt, std::nullopt);
    a->setTimestamp(platform::Date::now());
    a->setDevice(modeltest::validDevice());
    const std::vector<std::pair<std::function<void(BCErrorAttachmentLog &)>, std::string>> steps = {
        {[](BCErrorAttachmentLog &) {}, "errorId"},
        {[](BCErrorAttachmentLog &l) {
             l.errorId = "";
             l.attachmentId.reset();
         },
         "attachmentId"},
        {[](BCErrorAttachmentLog &l) {
             l.attachmentId = "";
             l.data.reset();
         },
         "data"},
        {[](BCErrorAttachmentLog &l) { l.data = platform::Data{}; }, "contentType"},
    };
    for (const auto &[step, key] : steps) {
        step(*a);
        capture.clear();
        EXPECT_FALSE(a->isValid()) << key;
        EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCErrorAttachmentLog: \"" + key + "\" is not valid."));
    }
    a->contentType = "";
    EXPECT_TRUE(a->isValid());

    auto first = BCErrorAttachmentLog::attachmentWithText("a", std::nullopt);
    auto second = BCErrorAttachmentLog::attachmentWithText("a", std::nullopt);
    ASSERT_TRUE(first->attachmentId && second->attachmentId);
    EXPECT_NE(*first->attachmentId, *second->attachmentId);
    EXPECT_EQ(*first->attachmentId, platform::UUID::fromString(*first->attachmentId)->UUIDString());
}
