#include <gtest/gtest.h>

#include "BCAppleErrorLog.h"
#include "BCBinary.h"
#include "BCStackFrame.h"
#include "BCThread.h"
#include "BeaconCrashes/CrashesTestSupport.h"

using modeltest::text;

namespace {

// 2026-12-07T04:06:33.123Z and 2026-12-07T04:00:00.000Z
platform::Date errorTime() { return platform::Date::fromTimeIntervalSince1970(1796616393.123); }
platform::Date launchTime() { return platform::Date::fromTimeIntervalSince1970(1796616000.0); }

std::shared_ptr<BCStackFrame> frame(const std::string &address, const std::string &code) {
    auto f = std::make_shared<BCStackFrame>();
    f->address = address;
    f->code = code;
    return f;
}

std::shared_ptr<BCBinary> binary() {
    auto b = std::make_shared<BCBinary>();
    b->binaryId = "4C4C4444-5555-3144-A188-D1D2C0C2B7F5";
    b->startAddress = "0x55d0c0000000";
    b->endAddress = "0x55d0c00fffff";
    b->name = "plotwick";
    b->path = "/usr/lib/plotwick/plotwick";
    b->architecture = "x86_64";
    b->primaryArchitectureId = 0x1000007;
    b->architectureVariantId = 0x80000003;
    return b;
}

std::shared_ptr<BCAppleErrorLog> fullLog() {
    auto log = std::make_shared<BCAppleErrorLog>();
    log->setTimestamp(errorTime());
    log->setSid("S");
    log->setDevice(modeltest::validDevice());
    log->errorId = "E-1";
    log->processId = 4242;
    log->processName = "plotwick";
    log->parentProcessId = 1;
    log->parentProcessName = "systemd";
    log->errorThreadId = 0;
    log->errorThreadName = "main";
    log->fatal = true;
    log->appLaunchTimestamp = launchTime();
    log->architecture = "x86_64";
    log->primaryArchitectureId = 0x1000007;
    log->architectureVariantId = 0x80000003;
    log->applicationPath = "/usr/lib/plotwick/plotwick";
    log->osExceptionType = "SIGSEGV";
    log->osExceptionCode = "SEGV_MAPERR";
    log->osExceptionAddress = "0x0";
    log->exceptionType = "std::runtime_error";
    log->exceptionReason = "T";
    log->selectorRegisterValue = "count";
    auto thread = std::make_shared<BCThread>();
    thread->threadId = 0;
    thread->name = "main";
    thread->frames->push_back(frame("0x55d0c0001234", "main + 20"));
    log->threads = std::vector<std::shared_ptr<BCThread>>{thread};
    log->binaries = std::vector<std::shared_ptr<BCBinary>>{binary()};
    log->registers = std::map<std::string, std::string>{{"rip", "0x55d0c0001234"}, {"rax", "0x0"}};
    log->exception = std::make_shared<BCException>();
    log->exception->type = "std::runtime_error";
    log->exception->frames = std::vector<std::shared_ptr<BCStackFrame>>{frame("0x1", "thrower")};
    return log;
}

}  // namespace

TEST(BCAppleErrorLogJson, CompleteLogHasEveryKeyInTableOrder) {
    auto log = fullLog();
    auto json = log->serializeToDictionary();
    nlohmann::ordered_json device = log->device()->serializeToDictionary();
    std::string expected =
        R"({"type":"appleError","timestamp":"2026-12-07T04:06:33.123Z","sid":"S","device":)" + device.dump() + R"(,
        "id":"E-1","processId":4242,"processName":"plotwick","parentProcessId":1,
        "parentProcessName":"systemd","errorThreadId":0,"errorThreadName":"main","fatal":true,
        "appLaunchTimestamp":"2026-12-07T04:00:00.000Z","architecture":"x86_64",
        "primaryArchitectureId":16777223,"architectureVariantId":2147483651,
        "applicationPath":"/usr/lib/plotwick/plotwick","osExceptionType":"SIGSEGV",
        "osExceptionCode":"SEGV_MAPERR","osExceptionAddress":"0x0","exceptionType":"std::runtime_error",
        "exceptionReason":"T","selectorRegisterValue":"count",
        "threads":[{"id":0,"name":"main","frames":[{"address":"0x55d0c0001234","code":"main + 20"}]}],
        "binaries":[{"id":"4C4C4444-5555-3144-A188-D1D2C0C2B7F5","startAddress":"0x55d0c0000000",
                     "endAddress":"0x55d0c00fffff","name":"plotwick","path":"/usr/lib/plotwick/plotwick",
                     "architecture":"x86_64","primaryArchitectureId":16777223,"architectureVariantId":2147483651}],
        "registers":{"rax":"0x0","rip":"0x55d0c0001234"},
        "exception":{"type":"std::runtime_error","frames":[{"address":"0x1","code":"thrower"}]}})";
    EXPECT_EQ(text(json), text(expected.c_str()));
    EXPECT_TRUE(json["architectureVariantId"].is_number_unsigned());
    EXPECT_TRUE(log->isValid());
}

TEST(BCAppleErrorLogJson, NewLogWritesOnlyTypeAndFatalFalse) {
    BCAppleErrorLog log;
    EXPECT_EQ(text(log.serializeToDictionary()), text(R"({"type":"appleError","fatal":false})"));
    EXPECT_FALSE(log.isFatal());
    EXPECT_FALSE(log.isValid());
    EXPECT_NE(dynamic_cast<BCNoAutoAssignSessionIdLog *>(&log), nullptr);
}

TEST(BCAppleErrorLogJson, ThreadWithoutFramesWritesEmptyArrayAndIsInvalid) {
    modeltest::LogCapture capture;
    BCThread thread;
    thread.threadId = 3;
    EXPECT_EQ(text(thread.serializeToDictionary()), text(R"({"id":3,"frames":[]})"));
    EXPECT_FALSE(thread.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCThread: \"frames\" is not valid."));
    capture.clear();
    BCThread noId;
    EXPECT_FALSE(noId.isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCThread: \"threadId\" is not valid."));
}

TEST(BCAppleErrorLogValidity, FirstMissingFieldIsNamedByItsPropertyName) {
    modeltest::LogCapture capture;
    const std::vector<std::pair<std::function<void(BCAppleErrorLog &)>, std::string>> cases = {
        {[](BCAppleErrorLog &l) { l.errorId.reset(); }, "errorId"},
        {[](BCAppleErrorLog &l) { l.processId.reset(); }, "processId"},
        {[](BCAppleErrorLog &l) { l.processName.reset(); }, "processName"},
        {[](BCAppleErrorLog &l) { l.primaryArchitectureId.reset(); }, "primaryArchitectureId"},
        {[](BCAppleErrorLog &l) { l.applicationPath.reset(); }, "applicationPath"},
        {[](BCAppleErrorLog &l) { l.osExceptionType.reset(); }, "osExceptionType"},
        {[](BCAppleErrorLog &l) { l.osExceptionCode.reset(); }, "osExceptionCode"},
        {[](BCAppleErrorLog &l) { l.osExceptionAddress.reset(); }, "osExceptionAddress"},
        {[](BCAppleErrorLog &l) { l.setTimestamp(std::nullopt); }, "timestamp"},
    };
    for (const auto &[damage, key] : cases) {
        auto log = fullLog();
        damage(*log);
        capture.clear();
        EXPECT_FALSE(log->isValid()) << key;
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << key;
        EXPECT_EQ(lines[0], std::make_pair(BCLogLevelVerbose, "BCAppleErrorLog: \"" + key + "\" is not valid."));
    }
    // Threads, binaries and the exception are not part of the log's rule.
    auto log = fullLog();
    log->threads->front()->frames->clear();
    log->binaries->front()->path.reset();
    log->exception->frames.reset();
    EXPECT_TRUE(log->isValid());
}

TEST(BCAppleErrorLogValidity, BinaryNamesTheFirstMissingField) {
    modeltest::LogCapture capture;
    auto b = binary();
    b->path.reset();
    EXPECT_FALSE(b->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCBinary: \"path\" is not valid."));
    b->binaryId.reset();
    capture.clear();
    EXPECT_FALSE(b->isValid());
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "BCBinary: \"binaryId\" is not valid."));
}

TEST(BCAppleErrorLogEquality, FieldsCompareAbsentOnBothSidesOrEqual) {
    EXPECT_TRUE(BCStackFrame().isEqual(BCStackFrame()));
    BCStackFrame withCode;
    withCode.code = "x";
    EXPECT_FALSE(withCode.isEqual(BCStackFrame()));
    EXPECT_FALSE(BCStackFrame().isEqual(withCode));

    EXPECT_TRUE(fullLog()->isEqual(*fullLog()));
    const std::vector<std::function<void(BCAppleErrorLog &)>> changes = {
        [](BCAppleErrorLog &l) { l.fatal = false; },
        [](BCAppleErrorLog &l) { l.appLaunchTimestamp.reset(); },
        [](BCAppleErrorLog &l) { l.architectureVariantId = 3; },
        [](BCAppleErrorLog &l) { l.threads->front()->frames->front()->code = "other"; },
        [](BCAppleErrorLog &l) { l.binaries->push_back(binary()); },
        [](BCAppleErrorLog &l) { (*l.registers)["rip"] = "0x1"; },
        [](BCAppleErrorLog &l) { l.exception->message = "m"; },
        [](BCAppleErrorLog &l) { l.setSid("other"); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto changed = fullLog();
        changes[i](*changed);
        EXPECT_FALSE(fullLog()->isEqual(*changed)) << i;
        EXPECT_FALSE(changed->isEqual(*fullLog())) << i;
    }
    EXPECT_FALSE(BCThread().isEqual(BCStackFrame()));
}

TEST(BCAppleErrorLogArchive, RoundTripsUnderCurrentAndOldClassNames) {
    auto log = fullLog();
    auto decoded = crashestest::roundTrip(log).objectAs<BCAppleErrorLog>();
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(*log));
    EXPECT_EQ(text(decoded->serializeToDictionary()), text(log->serializeToDictionary()));

    auto old = std::make_shared<crashestest::Renamed<BCAppleErrorLog>>("BNAppleErrorLog");
    auto oldThread = std::make_shared<crashestest::Renamed<BCThread>>("BNThread");
    oldThread->threadId = 7;
    auto oldFrame = std::make_shared<crashestest::Renamed<BCStackFrame>>("BNStackFrame");
    oldFrame->address = "0x10";
    oldThread->frames->push_back(oldFrame);
    auto oldBinary = std::make_shared<crashestest::Renamed<BCBinary>>("BNBinary");
    oldBinary->name = "libc.so.6";
    old->threads = std::vector<std::shared_ptr<BCThread>>{oldThread};
    old->binaries = std::vector<std::shared_ptr<BCBinary>>{oldBinary};
    old->fatal = true;
    auto fromOld = crashestest::roundTrip(old).objectAs<BCAppleErrorLog>();
    ASSERT_TRUE(fromOld);
    EXPECT_EQ(fromOld->className(), "BCAppleErrorLog");
    EXPECT_TRUE(fromOld->fatal);
    ASSERT_EQ(fromOld->threads->size(), 1u);
    EXPECT_EQ(fromOld->threads->front()->threadId, 7);
    EXPECT_EQ(fromOld->threads->front()->frames->front()->address, "0x10");
    EXPECT_EQ(fromOld->binaries->front()->name, "libc.so.6");

    auto oldBase = std::make_shared<crashestest::Renamed<BCAbstractErrorLog>>("BNAbstractErrorLog");
    oldBase->errorId = "x";
    auto base = crashestest::roundTrip(oldBase).objectAs<BCAbstractErrorLog>();
    ASSERT_TRUE(base);
    EXPECT_EQ(base->errorId, "x");
}

TEST(BCAppleErrorLogArchive, ThreadArchivedWithoutFramesDecodesWithoutThem) {
    auto thread = std::make_shared<BCThread>();
    thread->threadId = 1;
    thread->frames.reset();
    auto decoded = crashestest::roundTrip(thread).objectAs<BCThread>();
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->frames.has_value());
    EXPECT_EQ(text(decoded->serializeToDictionary()), text(R"({"id":1})"));
}

TEST(BCAppleErrorLogArchive, ValueOfTheWrongTypeFailsTheDecode) {
    const std::vector<std::pair<std::string, platform::Value>> damages = {
        {"threads", platform::Value("not an array")},
        {"threads", platform::Value(platform::Array{platform::Value("not a thread")})},
        {"binaries", platform::Value(platform::Array{platform::Value(std::make_shared<BCStackFrame>())})},
        {"registers", platform::Value(platform::Dictionary{{"rip", platform::Value(int64_t{1})}})},
        {"processId", platform::Value("4242")},
        {"fatal", platform::Value("YES")},
        {"exception", platform::Value(std::make_shared<BCBinary>())},
        {"appLaunchTimestamp", platform::Value("2026")},
    };
    for (const auto &[key, value] : damages) {
        auto damaged = std::make_shared<crashestest::Damaged<BCAppleErrorLog>>(key, value);
        EXPECT_TRUE(crashestest::roundTrip(damaged).isNull()) << key;
    }
    auto damagedFrame = std::make_shared<crashestest::Damaged<BCStackFrame>>("lineNumber", platform::Value("12"));
    EXPECT_TRUE(crashestest::roundTrip(damagedFrame).isNull());
}
