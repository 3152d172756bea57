#pragma once
// The application object: one per process, with its delegate, whether its
// windows are hidden, its event dispatch and its main run loop.
//
// "sendEvent:" and "reportException:" are a table of replaceable
// implementations, so that a component can put its own in front of the
// current one and call on to it: getting an implementation answers the
// current one, setting one answers the one it replaced.
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/appkit/ApplicationDelegate.h"
#include "platform/appkit/Event.h"
#include "platform/appkit/Exception.h"

namespace platform::appkit {

class Application;

using SendEventImplementation = void (*)(Application &application, const Event &event);
using ReportExceptionImplementation = void (*)(Application &application, const Exception &exception);

class Application {
public:
    static std::shared_ptr<Application> sharedApplication();

    std::shared_ptr<ApplicationDelegate> delegate() const;
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);

    bool isHidden() const { return hidden_; }
    void hide() { hidden_ = true; }
    void unhide() { hidden_ = false; }

    // The current implementations.
    void sendEvent(const Event &event);
    void reportException(const Exception &exception);

    static SendEventImplementation sendEventImplementation();
    static SendEventImplementation setSendEventImplementation(SendEventImplementation implementation);
    static ReportExceptionImplementation reportExceptionImplementation();
    static ReportExceptionImplementation setReportExceptionImplementation(ReportExceptionImplementation implementation);

    // The built-in implementations: sending delivers the event; reporting
    // writes the exception's name and reason to stderr and, when the user
    // default "NSApplicationCrashOnExceptions" is YES, aborts.
    static void defaultSendEvent(Application &application, const Event &event);
    static void defaultReportException(Application &application, const Exception &exception);

    // What the run loop does with an event: sends it, and an exception raised
    // meanwhile is caught and reported instead of passing on. Other C++
    // exceptions pass through.
    void dispatchEvent(const Event &event);
    // Queues the event for dispatch on the main thread.
    void postEvent(Event event);

    // Finishes launching (the delegate's two launch calls), then runs the
    // main run loop on the calling thread until terminate() or SIGINT or
    // SIGTERM, then tells the delegate that the application terminates.
    void run();
    // Ends run(), and a modal alert that holds the main thread meanwhile
    // (see abortModal); callable from any thread.
    void terminate();

    // Ends the modal alert running now, and any started later in this
    // process, without an answer: runModal answers Alert::kNoAnswer. For an
    // application on its way out; callable from any thread.
    void abortModal();
    // A descriptor that turns readable, and stays so, once abortModal() was
    // called: a modal loop polls it beside its input. -1 when none could be
    // made (modal loops then cannot be aborted).
    static int modalAbortDescriptor();

private:
    mutable std::mutex mutex_;
    std::shared_ptr<ApplicationDelegate> delegate_;
    std::atomic<bool> hidden_{false};
};

}  // namespace platform::appkit
