#include "EngineCrash.h"

#include <cstdlib>
#include <sstream>

#include "BBCrashReporter.h"
#include "BBCrashReportStackFrameInfo.h"
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "BCCrashesCXXExceptionWrapperException.h"
#include "support/TestSupport.h"

namespace crashestest {

namespace {

constexpr const char *kIdentifier = "io.plotwick/cxx-tests";

std::shared_ptr<BBCrashReporter> reporterIn(const std::filesystem::path &cache) {
    const char *saved = getenv("XDG_CACHE_HOME");
    const std::string previous = saved ? saved : "";
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    auto reporter =
        std::make_shared<BBCrashReporter>(kIdentifier, "1", "1.0", std::make_shared<BBCrashReporterConfig>(0, 0, true));
    if (saved)
        setenv("XDG_CACHE_HOME", previous.c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
    return reporter;
}

}  // namespace

std::optional<std::string> EngineCrash::exceptionName() const {
    if (!report || !report->hasExceptionInfo()) return std::nullopt;
    return report->exceptionInfo()->exceptionName();
}

std::optional<std::string> EngineCrash::exceptionReason() const {
    if (!report || !report->hasExceptionInfo()) return std::nullopt;
    return report->exceptionInfo()->exceptionReason();
}

std::vector<uint64_t> EngineCrash::exceptionFrames() const {
    std::vector<uint64_t> frames;
    if (!report || !report->hasExceptionInfo() || !report->exceptionInfo()->stackFrames()) return frames;
    for (const auto &frame : *report->exceptionInfo()->stackFrames()) frames.push_back(frame->instructionPointer());
    return frames;
}

EngineCrash crashWithEngine(const std::function<void()> &crash) {
    testsupport::TemporaryDirectory dir("bc-cxx");
    const auto cache = dir.path() / "cache";
    EngineCrash run;
    run.child = testsupport::runInChild([&] {
        auto reporter = reporterIn(cache);
        platform::ErrorPtr error;
        if (!reporter->enableCrashReporter(&error)) return 3;
        BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(bc_cxx_exception_handler);
        crash();
        return 4;
    });
    auto reporter = reporterIn(cache);
    if (reporter->hasPendingCrashReport()) {
        if (auto data = reporter->loadPendingCrashReportData()) run.report = BBCrashReport::make(*data);
    }
    return run;
}

CodeRange codeRange(const void *function, const std::string &symbol) {
    std::istringstream lines(
        testsupport::runCommand("nm -S --defined-only /proc/" + std::to_string(getpid()) + "/exe"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, size, type, name;
        if (fields >> address >> size >> type >> name && name == symbol) {
            const uint64_t start = reinterpret_cast<uintptr_t>(function);
            return {start, start + std::stoull(size, nullptr, 16)};
        }
    }
    return {};
}

}  // namespace crashestest
