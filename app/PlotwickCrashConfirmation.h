#pragma once
// Asks the user, after a crash, whether to send the report: one modal alert
// with "Send", "Don't Send" and "Always Send", whose answer goes to the
// crash service.
#include <memory>
#include <optional>
#include <vector>

#include "BCCrashes.h"

class PlotwickCrashConfirmation {
public:
    // The crash service's confirmation handler: shows the alert, passes the
    // answer on (nothing when there was none) and answers YES, so that the
    // service waits for the answer instead of sending on its own.
    static bool confirm(const std::vector<std::shared_ptr<BCErrorReport>> &reports);
    // The answer for the alert's result: its three buttons in order; nothing
    // for any other result.
    static std::optional<BCUserConfirmation> confirmationForResponse(long response);
};
