#include <gtest/gtest.h>

#include "BCHandledErrorLog.h"
#include "BeaconCrashes/CrashesTestSupport.h"

using modeltest::text;

namespace {

std::shared_ptr<BCHandledErrorLog> sample() {
    auto log = std::make_shared<BCHandledErrorLog>();
    log->setTimestamp(platform::Date::fromTimeIntervalSince1970(1796616393.123));
    log->setDevice(modeltest::validDevice());
    log->setProperties(platform::Dictionary{{"screen", platform::Value("editor")}});
    log->errorId = "6F1C0E2A-0000-4000-8000-000000000001";
    log->exception = std::make_shared<BCException>();
    log->exception->type = "T";
    return log;
}

}  // namespace

TEST(BCHandledErrorLogModel, JsonArchiveAndEquality) {
    auto log = sample();
    std::string expected = R"({"type":"handledError","timestamp":"2026-12-07T04:06:33.123Z","device":)" +
                           log->device()->serializeToDictionary().dump() + R"(,
        "properties":{"screen":"editor"},"id":"6F1C0E2A-0000-4000-8000-000000000001",
        "exception":{"type":"T"}})";
    EXPECT_EQ(text(log->serializeToDictionary()), text(expected.c_str()));
    EXPECT_TRUE(log->isValid());

    auto decoded = crashestest::roundTrip(log).objectAs<BCHandledErrorLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*log));
    auto other = sample();
    other->exception->message = "m";
    EXPECT_FALSE(other->isEqual(*log));

    auto old = std::make_shared<crashestest::Renamed<BCHandledErrorLog>>("BNHandledErrorLog");
    old->errorId = "x";
    auto fromOld = crashestest::roundTrip(old).objectAs<BCHandledErrorLog>();
    ASSERT_TRUE(fromOld);
    EXPECT_EQ(fromOld->errorId, "x");
    EXPECT_EQ(fromOld->type(), "handledError");
}

TEST(BCHandledErrorLogModel, ValidityNamesErrorIdThenException) {
    modeltest::LogCapture capture;
    auto log = sample();
    log->exception.reset();
    EXPECT_FALSE(log->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCHandledErrorLog: \"exception\" is not valid."));
    log->errorId.reset();
    capture.clear();
    EXPECT_FALSE(log->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCHandledErrorLog: \"errorId\" is not valid."));
}
