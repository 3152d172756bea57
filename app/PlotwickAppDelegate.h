#pragma once
// The application's delegate. At launch it turns on crash reporting: crashing
// on exceptions the application object reports, itself as the crash
// delegate (answering none of its questions), the confirmation alert, and the
// SDK started with the crash service.
#include <memory>

#include "BCCrashesDelegate.h"
#include "platform/appkit/ApplicationDelegate.h"

class PlotwickAppDelegate : public platform::appkit::ApplicationDelegate,
                            public BCCrashesDelegate,
                            public std::enable_shared_from_this<PlotwickAppDelegate> {
public:
    // The application secret of Plotwick's telemetry.
    static constexpr const char *kAppSecret = "7c1f3e52-9a4d-4b8e-a6f0-2d5b9c8e1f47";

    void applicationDidFinishLaunching() override;
};
