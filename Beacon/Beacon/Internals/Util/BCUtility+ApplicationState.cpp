// The application's state and the shared application object.
#include "BCUtility.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Text.h"

BCApplicationState BCUtility::applicationState() {
    // An application extension has no application state of its own.
    if (platform::text::contains(platform::Bundle::mainBundle()->executablePath().string(), ".appex/"))
        return BCApplicationStateUnknown;
    return sharedAppState();
}

BCApplicationState BCUtility::sharedAppState() {
    // The application object may be asked only on the main thread.
    if (!platform::dispatch::MainRunLoop::isMainThread()) return BCApplicationStateUnknown;
    auto app = sharedApp();
    return app && app->isHidden() ? BCApplicationStateBackground : BCApplicationStateActive;
}

std::shared_ptr<platform::appkit::Application> BCUtility::sharedApp() {
    return platform::appkit::Application::sharedApplication();
}

std::shared_ptr<platform::appkit::ApplicationDelegate> BCUtility::sharedAppDelegate() {
    auto app = sharedApp();
    return app ? app->delegate() : nullptr;
}

void BCUtility::sharedAppOpenUrl(const std::string &url, const platform::Dictionary &,
                                 std::function<void(bool)> completion) {
    platform::dispatch::Queue::main()->async([url, completion] {
        bool opened = platform::appkit::Workspace::openURL(url);
        if (completion) completion(opened);
    });
}
