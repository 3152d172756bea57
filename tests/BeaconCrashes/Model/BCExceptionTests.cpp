#include <gtest/gtest.h>

#include "BCException.h"
#include "BCStackFrame.h"
#include "BeaconCrashes/CrashesTestSupport.h"

using modeltest::text;

namespace {

std::shared_ptr<BCException> sample() {
    auto e = std::make_shared<BCException>();
    e->type = "System.IO.IOException";
    e->message = "disk full";
    e->stackTrace = "at Save()";
    e->wrapperSdkName = "beacon.wrapper";
    auto f = std::make_shared<BCStackFrame>();
    f->methodName = "Save";
    f->lineNumber = 12;
    e->frames = std::vector<std::shared_ptr<BCStackFrame>>{f};
    auto inner = std::make_shared<BCException>();
    inner->type = "Inner";
    e->innerExceptions = std::vector<std::shared_ptr<BCException>>{inner};
    return e;
}

}  // namespace

TEST(BCExceptionModel, JsonKeyOrderAndArchiveRoundTrip) {
    auto e = sample();
    EXPECT_EQ(text(e->serializeToDictionary()),
              text(R"J({"type":"System.IO.IOException","message":"disk full","stackTrace":"at Save()",
                       "wrapperSdkName":"beacon.wrapper","frames":[{"methodName":"Save","lineNumber":12}],
                       "innerExceptions":[{"type":"Inner"}]})J"));
    auto decoded = crashestest::roundTrip(e).objectAs<BCException>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*e));

    auto old = std::make_shared<crashestest::Renamed<BCException>>("BNException");
    old->type = "T";
    auto fromOld = crashestest::roundTrip(old).objectAs<BCException>();
    ASSERT_TRUE(fromOld);
    EXPECT_EQ(fromOld->type, "T");
}

TEST(BCExceptionModel, ValidityNeedsATypeAndAFrame) {
    modeltest::LogCapture capture;
    BCException e;
    e.type = "";
    e.frames.emplace();
    EXPECT_FALSE(e.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCException: \"frames\" is not valid."));
    EXPECT_EQ(text(e.serializeToDictionary()), text(R"({"type":"","frames":[]})"));
    e.type.reset();
    capture.clear();
    EXPECT_FALSE(e.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCException: \"type\" is not valid."));
    e.type = "";
    e.frames->push_back(std::make_shared<BCStackFrame>());
    EXPECT_TRUE(e.isValid());
}

TEST(BCExceptionModel, EqualityComparesEveryField) {
    EXPECT_TRUE(BCException().isEqual(BCException()));
    auto other = sample();
    other->stackTrace = "elsewhere";
    EXPECT_FALSE(sample()->isEqual(*other));
    other = sample();
    other->innerExceptions->front()->type = "Other";
    EXPECT_FALSE(sample()->isEqual(*other));
    other = sample();
    other->frames.reset();
    EXPECT_FALSE(sample()->isEqual(*other));
    EXPECT_FALSE(other->isEqual(*sample()));
}
