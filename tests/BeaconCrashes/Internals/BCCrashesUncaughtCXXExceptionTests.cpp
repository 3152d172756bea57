// Uncaught C++ exceptions in forked children with the crash engine enabled:
// the report the child leaves names the exception and holds the frames of
// its throw.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/resource.h>
#include <signal.h>

#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BCCrashesCXXExceptionWrapperException.h"
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "BeaconCrashes/EngineCrash.h"
#include "bc_cxx_throw.h"
#include "support/Sanitizers.h"
#include "platform/appkit/NSExceptionBox.h"

using crashestest::codeRange;
using crashestest::crashWithEngine;

extern "C" {
// The throwers, with C names so that `nm` finds them as they are.
__attribute__((noinline)) void bc_test_throw_runtime_error() { throw std::runtime_error("T"); }
__attribute__((noinline)) void bc_test_throw_int() { throw 42; }
__attribute__((noinline)) void bc_test_throw_c_string() { throw "a C string"; }
__attribute__((noinline)) int bc_test_vector_at() {
    std::vector<int> values(3);
    volatile size_t index = 5;
    return values.at(index);
}
__attribute__((noinline)) void bc_test_throw_old_caught() {
    try {
        throw std::logic_error("old");
    } catch (const std::logic_error &) {}
}
__attribute__((noinline)) void bc_test_get_future(std::future<void> *future) { future->get(); }
}

namespace {

bool endedByAbort(const crashestest::EngineCrash &run) { return !run.child.exited && run.child.signal == SIGABRT; }

}  // namespace

TEST(BCCrashesUncaughtCXXException, StdExceptionGivesItsTypeMessageAndThrowFrames) {
    auto run = crashWithEngine([] { bc_test_throw_runtime_error(); });
    EXPECT_TRUE(endedByAbort(run)) << run.child.output;
    ASSERT_TRUE(run.report) << run.child.output;
    EXPECT_EQ(run.exceptionName(), "std::runtime_error");
    EXPECT_EQ(run.exceptionReason(), "T");
    auto frames = run.exceptionFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(codeRange(reinterpret_cast<void *>(&bc_test_throw_runtime_error), "bc_test_throw_runtime_error")
                    .containsReturnAddress(frames[0]));
}

TEST(BCCrashesUncaughtCXXException, IntAndCStringThrows) {
    SKIP_UNDER_TSAN(
        "a second crashing child is forked after the first report was read, when the parent has "
        "threads of its own, which ThreadSanitizer cannot follow into a child");
    auto integer = crashWithEngine([] { bc_test_throw_int(); });
    ASSERT_TRUE(integer.report) << integer.child.output;
    EXPECT_EQ(integer.exceptionName(), "int");
    EXPECT_EQ(integer.exceptionReason().value_or(""), "");
    ASSERT_FALSE(integer.exceptionFrames().empty());
    EXPECT_TRUE(codeRange(reinterpret_cast<void *>(&bc_test_throw_int), "bc_test_throw_int")
                    .containsReturnAddress(integer.exceptionFrames()[0]));

    auto text = crashWithEngine([] { bc_test_throw_c_string(); });
    ASSERT_TRUE(text.report) << text.child.output;
    EXPECT_EQ(text.exceptionName(), "char const*");
    EXPECT_EQ(text.exceptionReason(), "a C string");
}

TEST(BCCrashesUncaughtCXXException, NullPointersThrownGiveNoMessageAndNoSecondCrash) {
    SKIP_UNDER_TSAN(
        "a second crashing child is forked after the first report was read, when the parent has "
        "threads of its own, which ThreadSanitizer cannot follow into a child");
    const std::vector<std::pair<std::function<void()>, std::string>> throws = {
        {[] { throw static_cast<const std::exception *>(nullptr); }, "std::exception const*"},
        {[] { throw static_cast<std::string *>(nullptr); },
         "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >*"},
        {[] { throw static_cast<const char *>(nullptr); }, "char const*"},
    };
    for (const auto &[thrower, name] : throws) {
        auto run = crashWithEngine(thrower);
        EXPECT_TRUE(endedByAbort(run)) << name << run.child.output;
        ASSERT_TRUE(run.report) << name;
        EXPECT_EQ(run.exceptionName(), name);
        EXPECT_EQ(run.exceptionReason().value_or(""), "");
    }
}

TEST(BCCrashesUncaughtCXXException, ThrowInsideLibstdcxxPassesThroughTheProgramsEntryPoint) {
    SKIP_UNDER_TSAN(
        "a second crashing child is forked after the first report was read, when the parent has "
        "threads of its own, which ThreadSanitizer cannot follow into a child");
    auto run = crashWithEngine([] { bc_test_vector_at(); });
    ASSERT_TRUE(run.report) << run.child.output;
    EXPECT_EQ(run.exceptionName(), "std::out_of_range");
    EXPECT_NE(run.exceptionReason().value_or("").find("vector::_M_range_check"), std::string::npos);
    auto frames = run.exceptionFrames();
    ASSERT_FALSE(frames.empty());
    // Frame 0 is the runtime's throwing helper inside libstdc++.
    Dl_info where{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(frames[0] - 1), &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("libstdc++"), std::string::npos) << where.dli_fname;
    const auto caller = codeRange(reinterpret_cast<void *>(&bc_test_vector_at), "bc_test_vector_at");
    bool callerFound = false;
    for (size_t i = 0; i < frames.size() && i < 4; ++i) callerFound |= caller.containsReturnAddress(frames[i]);
    EXPECT_TRUE(callerFound);

    // The same throw, caught, left its record on the thread.
    auto caught = testsupport::runInChild([] {
        BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(bc_cxx_exception_handler);
        try {
            bc_test_vector_at();
        } catch (const std::out_of_range &) {}
        const BCCrashesCXXThrowRecord *record = bc_cxx_throw_record_for_current_thread();
        if (!record || !record->exceptionObject || record->addressCount < 3) return 1;
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void *>(record->returnAddresses[1] - 1), &info)) return 2;
        return std::string(info.dli_fname).find("libstdc++") != std::string::npos ? 0 : 3;
    });
    EXPECT_TRUE(caught.exited);
    EXPECT_EQ(caught.exitCode, 0);
}

TEST(BCCrashesUncaughtCXXException, SecondThreadUsesItsOwnRecord) {
    auto run = crashWithEngine([] {
        bc_test_throw_old_caught();
        std::thread([] { bc_test_throw_runtime_error(); }).join();
    });
    ASSERT_TRUE(run.report) << run.child.output;
    EXPECT_EQ(run.exceptionReason(), "T");
    ASSERT_FALSE(run.exceptionFrames().empty());
    EXPECT_TRUE(codeRange(reinterpret_cast<void *>(&bc_test_throw_runtime_error), "bc_test_throw_runtime_error")
                    .containsReturnAddress(run.exceptionFrames()[0]));
}

TEST(BCCrashesUncaughtCXXException, ExceptionRethrownFromAnotherThreadDoesNotTakeAnOlderThrowsFrames) {
    auto run = crashWithEngine([] {
        std::promise<void> promise;
        std::future<void> future = promise.get_future();
        std::thread([&promise] {
            try {
                throw std::runtime_error("from the worker");
            } catch (...) {
                promise.set_exception(std::current_exception());
            }
        }).join();
        // This thread's record now holds a caught, older exception.
        bc_test_throw_old_caught();
        bc_test_get_future(&future);
    });
    ASSERT_TRUE(run.report) << run.child.output;
    EXPECT_EQ(run.exceptionReason(), "from the worker");
    auto frames = run.exceptionFrames();
    ASSERT_FALSE(frames.empty());
    const auto old = codeRange(reinterpret_cast<void *>(&bc_test_throw_old_caught), "bc_test_throw_old_caught");
    const auto getter = codeRange(reinterpret_cast<void *>(&bc_test_get_future), "bc_test_get_future");
    bool inGetter = false;
    for (uint64_t frame : frames) {
        EXPECT_FALSE(old.containsReturnAddress(frame));
        inGetter |= getter.containsReturnAddress(frame);
    }
    // The backtrace taken at termination, through the getter.
    EXPECT_TRUE(inGetter);
}

namespace {

int calls = 0;
void countingHandler(const BCCrashesCXXExceptionInfo *info) {
    ++calls;
    fprintf(stderr, "handler %d: %s %s %u\n", calls, info->typeName, info->messageText ? info->messageText : "-",
            info->frameCount);
}
void otherHandler(const BCCrashesCXXExceptionInfo *) { fprintf(stderr, "other\n"); }
[[noreturn]] void foreignTerminate() {
    fprintf(stderr, "foreign terminate\n");
    _exit(9);
}
void recordRaised(const platform::appkit::Exception &exception) {
    fprintf(stderr, "uncaught %s\n", exception.name().c_str());
}

}  // namespace

TEST(BCCrashesUncaughtCXXExceptionHandlerManager, DuplicatesAreCalledEachTimeAndRemovalTakesOne) {
    auto child = testsupport::runInChild([] {
        using Manager = BCCrashesUncaughtCXXExceptionHandlerManager;
        Manager::addCXXExceptionHandler(countingHandler);
        Manager::addCXXExceptionHandler(otherHandler);
        Manager::addCXXExceptionHandler(countingHandler);
        Manager::removeCXXExceptionHandler(countingHandler);
        if (Manager::countCXXExceptionHandler() != 2) return 1;
        Manager::removeCXXExceptionHandler(otherHandler);
        Manager::addCXXExceptionHandler(countingHandler);
        bc_test_throw_runtime_error();
        return 2;
    });
    EXPECT_EQ(child.signal, SIGABRT);
    EXPECT_EQ(child.output.find("handler 1: St13runtime_error T "), 0u) << child.output;
    EXPECT_NE(child.output.find("handler 2: St13runtime_error T "), std::string::npos) << child.output;
    EXPECT_EQ(child.output.find("other"), std::string::npos);
}

TEST(BCCrashesUncaughtCXXExceptionHandlerManager, RemovingTheLastKeepsAForeignTerminateHandler) {
    auto child = testsupport::runInChild([]() -> int {
        using Manager = BCCrashesUncaughtCXXExceptionHandlerManager;
        Manager::addCXXExceptionHandler(countingHandler);
        std::set_terminate(foreignTerminate);
        Manager::removeCXXExceptionHandler(countingHandler);
        if (std::get_terminate() != foreignTerminate) return 1;
        throw 1;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 9);
    EXPECT_EQ(child.output, "foreign terminate\n");

    // Without another one, removal puts the earlier handler back.
    auto restored = testsupport::runInChild([] {
        using Manager = BCCrashesUncaughtCXXExceptionHandlerManager;
        std::set_terminate(foreignTerminate);
        Manager::addCXXExceptionHandler(countingHandler);
        if (std::get_terminate() == foreignTerminate) return 1;
        Manager::removeCXXExceptionHandler(countingHandler);
        return std::get_terminate() == foreignTerminate && Manager::countCXXExceptionHandler() == 0 ? 0 : 2;
    });
    EXPECT_EQ(restored.exitCode, 0);
}

TEST(BCCrashesUncaughtCXXExceptionHandlerManager, RaisedExceptionsSkipTheHandlersAndReachTheUncaughtHandler) {
    auto child = testsupport::runInChild([]() -> int {
        BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(countingHandler);
        platform::appkit::NSSetUncaughtExceptionHandler(recordRaised);
        bc_test_throw_old_caught();
        platform::appkit::nsRaise(std::make_shared<platform::appkit::Exception>("NSRangeException", "r"));
    });
    EXPECT_EQ(child.signal, SIGABRT);
    EXPECT_EQ(child.output, "uncaught NSRangeException\n");
}

TEST(BCCrashesCXXExceptionWrapperException, EmptyBacktraceGivesNoFrames) {
    BCCrashesCXXExceptionInfo info{};
    info.typeName = "not a mangled name!";
    BCCrashesCXXExceptionWrapperException wrapper(&info);
    EXPECT_EQ(wrapper.name(), "not a mangled name!");
    EXPECT_EQ(wrapper.reason(), "");
    EXPECT_TRUE(wrapper.callStackReturnAddresses().empty());
}

#if !PLOTWICK_UNDER_SANITIZERS
TEST(BCCrashesUncaughtCXXException, ThrowWithoutMemoryForARecordStillProceeds) {
    SKIP_UNDER_TSAN(
        "ThreadSanitizer's own allocator ends the process when the capped address space is full, "
        "where the test needs a failed allocation");
    auto child = testsupport::runInChild([] {
        BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(bc_cxx_exception_handler);
        // Cap the address space just above what is in use, then take what
        // is left, so that this thread's first record cannot be allocated.
        long pages = 0;
        if (FILE *statm = fopen("/proc/self/statm", "r")) {
            if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
            fclose(statm);
        }
        if (pages <= 0) return 1;
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
        rlimit cap{limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0) return 2;
        std::vector<void *> taken;
        taken.reserve(1 << 20);
        for (size_t size : {size_t(1) << 16, size_t(1) << 10, size_t(64)}) {
            while (taken.size() < taken.capacity()) {
                void *block = malloc(size);
                if (!block) break;
                taken.push_back(block);
            }
        }
        bool caught = false;
        try {
            throw 7;
        } catch (int value) {
            caught = value == 7;
        }
        const bool recorded = bc_cxx_throw_record_for_current_thread() != nullptr;
        for (void *block : taken) free(block);
        if (!caught) return 3;
        return recorded ? 4 : 0;
    });
    EXPECT_TRUE(child.exited) << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
}
#endif
