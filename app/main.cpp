// Plotwick's entry point. For now it adopts the main thread, says through the
// SDK logger that it started, runs the work already queued for the main
// thread, and exits; the launch that starts telemetry and crash reporting
// follows.
#include "BCLogger.h"
#include "platform/dispatch/MainRunLoop.h"

int main() {
    platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
    BCLogger::setCurrentLogLevel(BCLogLevelInfo);
    BCLogInfo("Plotwick", "Plotwick started.");
    platform::dispatch::MainRunLoop::runPending();
    BCLogInfo("Plotwick", "Plotwick finished.");
    return 0;
}
