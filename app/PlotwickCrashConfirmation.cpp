#include "PlotwickCrashConfirmation.h"

#include "platform/appkit/Alert.h"
#include "platform/foundation/Bundle.h"
#include "platform/syslog/SystemLog.h"

namespace {

std::string localized(const std::string &text) {
    return platform::Bundle::mainBundle()->localizedStringForKey(text, text);
}

}  // namespace

bool PlotwickCrashConfirmation::confirm(const std::vector<std::shared_ptr<BCErrorReport>> &) {
    platform::appkit::Alert alert;
    alert.messageText = localized("WARNING");
    alert.informativeText =
        localized("Plotwick unexpectedly quit. Would you like to send a report so we can fix the problem?");
    alert.addButtonWithTitle(localized("Send"));
    alert.addButtonWithTitle(localized("Don't Send"));
    alert.addButtonWithTitle(localized("Always Send"));
    if (auto answer = confirmationForResponse(alert.runModal())) {
        BCCrashes::notifyWithUserConfirmation(*answer);
    } else {
        // Nothing is sent or deleted: the service keeps the reports and
        // asks again at the next launch.
        platform::SystemLog::write(
            "No answer about sending the crash reports: they are kept, and the next launch "
            "asks again.");
    }
    return true;
}

std::optional<BCUserConfirmation> PlotwickCrashConfirmation::confirmationForResponse(long response) {
    switch (response) {
    case platform::appkit::Alert::kFirstButtonReturn: return BCUserConfirmationSend;
    case platform::appkit::Alert::kSecondButtonReturn: return BCUserConfirmationDontSend;
    case platform::appkit::Alert::kThirdButtonReturn: return BCUserConfirmationAlways;
    default: return std::nullopt;
    }
}
