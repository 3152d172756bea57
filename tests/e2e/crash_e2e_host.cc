// A small host program for the end-to-end crash tests, linked with the real
// libraries: it launches like the application (crash-on-exceptions
// registered, a crash delegate, a confirmation handler, the SDK started with
// the crash service), then does what E2E_ACTION says. The crash service does
// all the rest itself: the host only watches.
//
//   E2E_LOG_URL   the ingestion's base URL (a loopback server)
//   E2E_ANSWER    the confirmation answer: 0, 1 or 2
//   E2E_SIDE      a file the host appends its observations to, one a line
//   E2E_ACTION    "segv": buffer a log that is not stored yet, save a
//                 wrapper exception for this process as a wrapper SDK does,
//                 then write through a null pointer; "throw" / "throw-thread": throw
//                 std::runtime_error("boom") uncaught, on this thread or a
//                 second one; "raise": an exception raised in an event
//                 handler; "test-crash": the service's test crash;
//                 "memory": a memory warning, then exit; "killed-after-answer": as
//                 "idle", but the process is killed right after the answer,
//                 before the store can save what it enqueued; "idle": run until pending crashes
//                 are processed and every log type listed in E2E_WAIT_SENT
//                 (comma-separated) was sent or failed: crash logs as the
//                 crash delegate is told, other logs as the channel group
//                 reports them to an observer
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCChannelGroupDefault.h"
#include "BCCrashes.h"
#include "BCDeviceTracker.h"
#include "BCException.h"
#include "BCStackFrame.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/NSExceptionBox.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char *kSecret = "7d2c1f0e-3b4a-4c5d-8e9f-0a1b2c3d4e5f";
constexpr double kPatience = 20.0;

std::string env(const char *name, const char *fallback = "") {
    const char *value = std::getenv(name);
    return value ? value : fallback;
}

std::mutex sideMutex;
void note(const std::string &line) {
    std::lock_guard<std::mutex> lock(sideMutex);
    std::ofstream(env("E2E_SIDE"), std::ios::app) << line << "\n";
}

// Throws out of this function, which the tests find by its symbol.
extern "C" __attribute__((noinline)) void e2e_thrower() { throw std::runtime_error("boom"); }

std::string typeOf(const std::shared_ptr<BCAbstractLog> &log) { return log ? log->type().value_or("?") : "?"; }

// A valid model exception of one frame.
std::shared_ptr<BCException> exceptionOf(const std::string &type, const std::string &message) {
    auto exception = std::make_shared<BCException>();
    exception->type = type;
    exception->message = message;
    exception->frames.emplace();
    exception->frames->push_back(std::make_shared<BCStackFrame>());
    exception->frames->back()->address = "0x1";
    return exception;
}

}  // namespace

int main() {
    using platform::dispatch::MainRunLoop;
    MainRunLoop::adoptCurrentThreadAsMain();
    platform::UserDefaults::standardUserDefaults()->registerDefaults({{"NSApplicationCrashOnExceptions", true}});
    note("pid " + std::to_string(getpid()));

    // A test machine may lack facts a valid device needs (a DMI model, a
    // screen): those give stand-ins, the rest stays the system's.
    auto sources = BCDeviceTracker::Sources::system();
    for (auto *source :
         {&sources.model, &sources.oemName, &sources.osName, &sources.osVersion, &sources.osBuild, &sources.locale,
          &sources.screenSize, &sources.appVersion, &sources.appBuild, &sources.appNamespace}) {
        *source = [system = *source]() -> std::optional<std::string> {
            auto value = system ? system() : std::nullopt;
            return value ? value : std::optional<std::string>("e2e");
        };
    }
    sources.timeZoneOffset = [] { return std::optional<int64_t>(0); };
    BCDeviceTracker::setSourcesForTesting(sources);

    const unsigned long answer = std::stoul(env("E2E_ANSWER", "1"));
    // The service tells its delegate about crash logs only, on the main
    // thread; the delegate is held weakly.
    auto delegate = std::make_shared<BCCrashesDelegate>();
    delegate->didSucceedSendingErrorReport = [](BCCrashes &, const auto &) { note("sent appleError"); };
    delegate->didFailSendingErrorReport = [](BCCrashes &, const auto &, const platform::ErrorPtr &) {
        note("failed appleError");
    };
    BCCrashes::setDelegate(delegate);
    const bool killedAfterAnswer = env("E2E_ACTION") == "killed-after-answer";
    BCCrashes::setUserConfirmationHandler(
        [answer, killedAfterAnswer](const std::vector<std::shared_ptr<BCErrorReport>> &reports) {
            note("asked " + std::to_string(reports.size()));
            if (!killedAfterAnswer) {
                BCCrashes::notifyWithUserConfirmation(answer);
                return true;
            }
            // Hold the channel group's queue, answer, and die before the store
            // can save anything that answer enqueued.
            auto group = BCBeacon::sharedInstance()->channelGroup();
            auto held = platform::dispatch::Semaphore::create(0);
            auto entered = platform::dispatch::Semaphore::create(0);
            if (group) {
                platform::dispatch::async(group->logsDispatchQueue(), [held, entered] {
                    entered->signal();
                    held->wait();
                });
                entered->wait(kPatience);
            }
            BCCrashes::notifyWithUserConfirmation(answer);
            note("answered");
            kill(getpid(), SIGKILL);
            return true;
        });

    BCBeacon::setLogUrl(env("E2E_LOG_URL"));
    BCBeacon::start(kSecret, BCBeacon::Services{BCCrashes::serviceClass()});
    note("installId " + BCBeacon::installId().UUIDString());
    note(std::string("memoryWarning ") + (BCCrashes::hasReceivedMemoryWarningInLastSession() ? "1" : "0"));
    auto group = BCBeacon::sharedInstance()->channelGroup();
    if (!group) return 10;
    auto crashes = BCCrashes::sharedInstance();
    // Watches the other logs; joined after the start, it sees the logs the
    // start enqueued, which leave on their unit's timer.
    auto observer = std::make_shared<BCChannelDelegate>();
    observer->channelDidSucceedSendingLog = [](const auto &, const auto &log) {
        if (!std::dynamic_pointer_cast<BCAppleErrorLog>(log)) note("sent " + typeOf(log));
    };
    observer->channelDidFailSendingLog = [](const auto &, const auto &log, const platform::ErrorPtr &) {
        if (!std::dynamic_pointer_cast<BCAppleErrorLog>(log)) note("failed " + typeOf(log));
    };
    group->addDelegate(observer);

    const std::string action = env("E2E_ACTION", "idle");
    if (action == "segv") {
        // Hold the channel group's queue: the next log is prepared (and
        // buffered) but not stored when the process dies.
        auto held = platform::dispatch::Semaphore::create(0);
        auto entered = platform::dispatch::Semaphore::create(0);
        platform::dispatch::async(group->logsDispatchQueue(), [held, entered] {
            entered->signal();
            held->wait();
        });
        entered->wait(kPatience);
        BCCrashes::sharedInstance()->trackModelException(exceptionOf("BufferedBeforeTheCrash", "prepared, not stored"),
                                                         std::nullopt, std::nullopt);
        auto wrapper = std::make_shared<BCWrapperException>();
        wrapper->modelException = exceptionOf("WrapperException", "saved by the wrapper");
        wrapper->processId = static_cast<uint64_t>(getpid());
        BCWrapperExceptionManager::saveWrapperException(wrapper);
        note("crashing");
        // A store just above address 0: a null-pointer fault for the kernel, not a
        // store through a null pointer that the sanitizers would stop first. The
        // compiler rightly sees it write outside any object: that is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
        *reinterpret_cast<volatile int *>(uintptr_t{16}) = 1;
#pragma GCC diagnostic pop
        return 11;
    }

    if (action == "throw") {
        note("thrower " + std::to_string(reinterpret_cast<uintptr_t>(&e2e_thrower)));
        e2e_thrower();
        return 12;
    }
    if (action == "throw-thread") {
        note("thrower " + std::to_string(reinterpret_cast<uintptr_t>(&e2e_thrower)));
        std::thread(e2e_thrower).join();
        return 13;
    }
    if (action == "raise") {
        platform::appkit::Application::sharedApplication()->dispatchEvent(platform::appkit::Event(
            [] { platform::appkit::nsRaise(std::make_shared<platform::appkit::Exception>("MyException", "bad")); }));
        return 15;
    }
    if (action == "test-crash") {
        BCCrashes::generateTestCrash();
        return 14;
    }
    if (action == "memory") {
        // What the memory-pressure source's handler does on a warning.
        crashes->didReceiveMemoryWarning();
        return 0;
    }

    // Idle: run the main queue until the delayed processing has opened the
    // gate (it may ask the handler on this thread meanwhile), then, when a
    // crash log is expected, until the channel has sent it and its batch is
    // deleted.
    auto gate = crashes->delayedProcessingSemaphore();
    const bool processed = MainRunLoop::runUntil(
        [&] {
            if (gate->wait(0.0) != 0) return false;
            gate->signal();
            return true;
        },
        kPatience);
    note(processed ? "processed" : "not processed");
    const std::string wanted = env("E2E_WAIT_SENT");
    if (!wanted.empty()) {
        MainRunLoop::runUntil(
            [&] {
                std::string lines;
                {
                    std::lock_guard<std::mutex> lock(sideMutex);
                    std::ifstream in(env("E2E_SIDE"));
                    lines.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                }
                size_t at = 0;
                while (at <= wanted.size()) {
                    size_t comma = wanted.find(',', at);
                    if (comma == std::string::npos) comma = wanted.size();
                    const std::string type = wanted.substr(at, comma - at);
                    if (lines.find("sent " + type + "\n") == std::string::npos &&
                        lines.find("failed " + type + "\n") == std::string::npos) {
                        return false;
                    }
                    at = comma + 1;
                }
                return true;
            },
            kPatience);
    }
    // Whatever was enqueued is stored (or, after a send, deleted) on the
    // group's queue by now.
    platform::dispatch::sync(group->logsDispatchQueue(), [] {});
    note("done");
    return 0;
}
