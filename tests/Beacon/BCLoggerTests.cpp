#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "BCLogger.h"
#include "platform/syslog/SystemLog.h"

namespace {

// Captures system-log lines and restores the logger's process-wide state.
class BCLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        BCLogger::setLogHandler(BCLogger::defaultHandler());
        BCLogger::setCurrentLogLevel(BCLogLevelAssert);
        BCLogger::setIsUserDefinedLogLevel(false);
        platform::SystemLog::setSink([this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(line);
        });
    }
    void TearDown() override {
        platform::SystemLog::setSink(nullptr);
        BCLogger::setLogHandler(BCLogger::defaultHandler());
        BCLogger::setCurrentLogLevel(BCLogLevelAssert);
        BCLogger::setIsUserDefinedLogLevel(false);
    }
    std::vector<std::string> captured() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace

TEST_F(BCLoggerTest, FiltersBelowTheLevelWithoutBuildingTheMessage) {
    int built = 0;
    auto message = [&] {
        ++built;
        return std::string("hello");
    };
    BCLogger::logMessage(message, BCLogLevelError, "Beacon", "f.cpp", "fn", 3);
    EXPECT_EQ(built, 0);
    EXPECT_TRUE(captured().empty());

    BCLogger::logMessage(message, BCLogLevelAssert, "Beacon", "f.cpp", "someFunction", 42);
    EXPECT_EQ(built, 1);
    ASSERT_EQ(captured().size(), 1u);
    EXPECT_EQ(captured()[0], "[Beacon] ASSERT: someFunction/42 hello");
}

TEST_F(BCLoggerTest, LevelNamesAndTheNoneLevel) {
    BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
    for (unsigned level = 2; level <= 7; ++level)
        BCLogger::logMessage([] { return std::string("m"); }, static_cast<BCLogLevel>(level), "T", "", "f", 1);
    BCLogger::logMessage([] { return std::string("m"); }, static_cast<BCLogLevel>(8), "T", "", "f", 1);
    BCLogger::logMessage([] { return std::string("m"); }, BCLogLevelNone, "T", "", "f", 1);
    std::vector<std::string> expected = {"[T] VERBOSE: f/1 m", "[T] DEBUG: f/1 m", "[T] INFO: f/1 m",
                                         "[T] WARNING: f/1 m", "[T] ERROR: f/1 m", "[T] ASSERT: f/1 m",
                                         "[T] (null): f/1 m"};
    EXPECT_EQ(captured(), expected);

    BCLogger::setCurrentLogLevel(BCLogLevelNone);
    BCLogger::logMessage([] { return std::string("m"); }, BCLogLevelAssert, "T", "", "f", 1);
    EXPECT_EQ(captured().size(), expected.size());
}

TEST_F(BCLoggerTest, MacrosFormatAndPassTheCallSite) {
    std::string file, function;
    uint32_t line = 0;
    std::string text;
    BCLogger::setLogHandler(
        [&](const BCLogMessageProvider &m, BCLogLevel, const std::string &, const char *f, const char *fn, uint32_t l) {
            file = f;
            function = fn;
            line = l;
            text = m();
        });
    uint32_t expectedLine = __LINE__ + 1;
    BCLogWarning("Beacon", "Migrating key %@ -> %@", std::string("old"), std::string("new"));
    EXPECT_EQ(text, "Migrating key old -> new");
    EXPECT_NE(file.find("BCLoggerTests.cpp"), std::string::npos);
    EXPECT_EQ(function, "TestBody");
    EXPECT_EQ(line, expectedLine);
}

TEST_F(BCLoggerTest, SettersMarkTheLevelUserDefinedAndNilHandlerSilences) {
    EXPECT_FALSE(BCLogger::isUserDefinedLogLevel());
    BCLogger::setLogHandler(nullptr);
    EXPECT_TRUE(BCLogger::isUserDefinedLogLevel());
    EXPECT_FALSE(BCLogger::logHandler());
    BCLogAssert("Beacon", "dropped");
    EXPECT_TRUE(captured().empty());

    BCLogger::setIsUserDefinedLogLevel(false);
    BCLogger::setCurrentLogLevel(BCLogLevelWarning);
    EXPECT_TRUE(BCLogger::isUserDefinedLogLevel());
    EXPECT_EQ(BCLogger::currentLogLevel(), BCLogLevelWarning);
}

TEST_F(BCLoggerTest, HandlerCanBeReplacedWhileOtherThreadsLog) {
    // Every line logged while handlers are swapped reaches exactly one of
    // them, whole: none is lost to a half-replaced handler, none delivered
    // twice, none garbled.
    std::atomic<bool> stop{false};
    std::atomic<long> logged{0}, calls{0}, garbled{0};
    BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
    auto counting = [&](const BCLogMessageProvider &m, BCLogLevel, const std::string &tag, const char *, const char *,
                        uint32_t) {
        if (tag != "T" || m() != "line 1") ++garbled;
        ++calls;
    };
    BCLogger::setLogHandler(counting);
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t)
        loggers.emplace_back([&] {
            while (!stop) {
                BCLogVerbose("T", "line %d", 1);
                ++logged;
            }
        });
    // Replace the handler until the loggers have logged a good number of
    // lines through the swaps (bounded, should the loggers stall).
    for (int i = 0; i < 200000 && (i < 2000 || logged < 2000); ++i) BCLogger::setLogHandler(counting);
    stop = true;
    for (auto &t : loggers) t.join();
    EXPECT_GT(logged.load(), 0);
    EXPECT_EQ(calls.load(), logged.load());
    EXPECT_EQ(garbled.load(), 0);
}

TEST_F(BCLoggerTest, MacroArgumentsAreNotEvaluatedBelowTheLevel) {
    int evaluated = 0;
    auto argument = [&] {
        ++evaluated;
        return std::string("x");
    };
    BCLogVerbose("Beacon", "%@", argument());
    EXPECT_EQ(evaluated, 0);
    BCLogAssert("Beacon", "%@", argument());
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(captured().size(), 1u);
}

TEST(BCLoggerExit, ThreadsStillLoggingWhileTheProcessExitsDoNotCrashIt) {
    // Worker threads are detached and may log while exit() runs the static
    // destructors; the logger's state must outlive them.
    for (int round = 0; round < 10; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(20);
            BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
            platform::SystemLog::setSink([](const std::string &) {});
            for (int t = 0; t < 4; ++t)
                std::thread([] {
                    for (;;) {
                        BCLogVerbose("T", "%d", 1);
                        BCLogger::setLogHandler(BCLogger::defaultHandler());
                    }
                }).detach();
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}
