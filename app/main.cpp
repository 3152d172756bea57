// Plotwick's entry point: the main thread runs the application, which starts
// telemetry and crash reporting as it finishes launching, until SIGINT or
// SIGTERM ends it.
#include "PlotwickAppDelegate.h"
#include "platform/appkit/Application.h"
#include "platform/dispatch/MainRunLoop.h"

int main() {
    platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
    auto application = platform::appkit::Application::sharedApplication();
    application->setDelegate(std::make_shared<PlotwickAppDelegate>());
    application->run();
    return 0;
}
