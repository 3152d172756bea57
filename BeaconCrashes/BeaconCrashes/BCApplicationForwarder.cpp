#include "BCApplicationForwarder.h"

#include <atomic>
#include <mutex>

#include "BCCrashes.h"
#include "BCLogger.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/NSExceptionBox.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using platform::appkit::Application;

constexpr const char *kEnabledKey = "BeaconApplicationForwarderEnabled";
constexpr const char *kCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

std::atomic<platform::appkit::ReportExceptionImplementation> previousReportException{nullptr};
std::atomic<platform::appkit::SendEventImplementation> previousSendEvent{nullptr};

void bc_swizzled_reportException(Application &application, const platform::appkit::Exception &exception) {
    BCCrashes::applicationDidReportException(exception);
    if (auto previous = previousReportException.load()) previous(application, exception);
}

void bc_swizzled_sendEvent(Application &application, const platform::appkit::Event &event) {
    std::shared_ptr<const platform::appkit::Exception> raised;
    try {
        if (auto previous = previousSendEvent.load()) previous(application, event);
    } catch (const platform::appkit::NSExceptionBox &box) {
        raised = box.exception;
    }
    if (raised) bc_swizzled_reportException(application, *raised);
}

void swizzleReportException() {
    static std::once_flag once;
    std::call_once(once, [] {
        previousReportException = Application::setReportExceptionImplementation(bc_swizzled_reportException);
        BCLogDebug(BCCrashes::logTag(), "Selector 'reportException:' of class 'NSApplication' is swizzled.");
    });
}

void swizzleSendEvent() {
    static std::once_flag once;
    std::call_once(once, [] {
        previousSendEvent = Application::setSendEventImplementation(bc_swizzled_sendEvent);
        BCLogDebug(BCCrashes::logTag(), "Selector 'sendEvent:' of class 'NSApplication' is swizzled.");
    });
}

}  // namespace

void BCApplicationForwarder::registerForwarding() {
    const platform::Value enabled = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(kEnabledKey);
    if (enabled.isNumber() && enabled.boolValue() == false) {
        BCLogDebug(BCCrashes::logTag(),
                   "Application forwarder for info.plist key '%@' disabled. It won't use "
                   "swizzling.",
                   kEnabledKey);
        return;
    }
    BCLogDebug(BCCrashes::logTag(), "Application forwarder for info.plist key '%@' enabled. It may use swizzling.",
               kEnabledKey);
    if (platform::UserDefaults::standardUserDefaults()->boolForKey(kCrashOnExceptionsKey)) {
        swizzleReportException();
        swizzleSendEvent();
    } else {
        BCLogInfo(BCCrashes::logTag(),
                  "Catching uncaught exceptions thrown on the main thread disabled. Set `%@` flag before SDK "
                  "initialization, to allow crash on uncaught exceptions and the SDK can report them.",
                  kCrashOnExceptionsKey);
    }
}
