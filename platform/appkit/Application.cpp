#include "platform/appkit/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "platform/appkit/NSExceptionBox.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UserDefaults.h"

namespace platform::appkit {

namespace {

std::atomic<SendEventImplementation> sendEventSlot{&Application::defaultSendEvent};
std::atomic<ReportExceptionImplementation> reportExceptionSlot{&Application::defaultReportException};

// SIGINT and SIGTERM write to this pipe; a watcher thread stops the run loop,
// since stopping it is not safe inside a signal handler.
int terminationPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(terminationPipe[1], &byte, 1);
    errno = saved;
}

void watchTerminationSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (pipe2(terminationPipe, O_CLOEXEC) != 0) return;
        std::thread([] {
            char byte;
            while (true) {
                ssize_t n = read(terminationPipe[0], &byte, 1);
                if (n == 1)
                    Application::sharedApplication()->terminate();
                else if (n < 0 && errno != EINTR)
                    return;
            }
        }).detach();
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    });
}

}  // namespace

std::shared_ptr<Application> Application::sharedApplication() {
    // Never destroyed: worker threads may still ask for it while the process exits.
    static auto *application = new std::shared_ptr<Application>(std::make_shared<Application>());
    return *application;
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

void Application::sendEvent(const Event &event) { sendEventImplementation()(*this, event); }

void Application::reportException(const Exception &exception) { reportExceptionImplementation()(*this, exception); }

SendEventImplementation Application::sendEventImplementation() { return sendEventSlot.load(); }

SendEventImplementation Application::setSendEventImplementation(SendEventImplementation implementation) {
    return sendEventSlot.exchange(implementation ? implementation : &defaultSendEvent);
}

ReportExceptionImplementation Application::reportExceptionImplementation() { return reportExceptionSlot.load(); }

ReportExceptionImplementation Application::setReportExceptionImplementation(
    ReportExceptionImplementation implementation) {
    return reportExceptionSlot.exchange(implementation ? implementation : &defaultReportException);
}

void Application::defaultSendEvent(Application &, const Event &event) { event.deliver(); }

void Application::defaultReportException(Application &, const Exception &exception) {
    std::string line = platform::format("*** %@: %@\n", exception.name(), exception.reason());
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, line.data(), line.size());
    if (platform::UserDefaults::standardUserDefaults()->boolForKey("NSApplicationCrashOnExceptions")) std::abort();
}

void Application::dispatchEvent(const Event &event) {
    std::shared_ptr<const Exception> raised;
    try {
        sendEvent(event);
    } catch (const NSExceptionBox &box) {
        raised = box.exception;
    }
    // Reported outside the handler, so that a report that raises again is
    // not nested inside this one.
    if (raised) reportException(*raised);
}

void Application::postEvent(Event event) {
    platform::dispatch::Queue::main()->async(
        [event = std::move(event)] { Application::sharedApplication()->dispatchEvent(event); });
}

void Application::run() {
    watchTerminationSignals();
    if (auto d = delegate()) {
        d->applicationWillFinishLaunching();
        d->applicationDidFinishLaunching();
    }
    platform::dispatch::MainRunLoop::run();
    if (auto d = delegate()) d->applicationWillTerminate();
}

void Application::terminate() {
    // A modal alert keeps the main thread from the run loop: end it first.
    abortModal();
    platform::dispatch::MainRunLoop::stop();
}

void Application::abortModal() {
    const int fd = modalAbortDescriptor();
    if (fd < 0) return;
    // Never read back: the descriptor stays readable for every later alert.
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
}

int Application::modalAbortDescriptor() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

}  // namespace platform::appkit
