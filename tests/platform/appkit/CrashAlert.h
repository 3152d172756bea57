#pragma once
// The alert the application shows after a crash, as the alert tests use it.
#include "platform/appkit/Alert.h"

namespace alerttest {

inline platform::appkit::Alert crashAlert() {
    platform::appkit::Alert alert;
    alert.messageText = "WARNING";
    alert.informativeText = "Plotwick unexpectedly quit. Would you like to send a report so we can fix the problem?";
    alert.addButtonWithTitle("Send");
    alert.addButtonWithTitle("Don't Send");
    alert.addButtonWithTitle("Always Send");
    return alert;
}

// The exit status a child gives for an answer: 0, 1, 2 for the buttons, 9
// for none.
inline int statusFor(long answer) {
    using platform::appkit::Alert;
    return answer == Alert::kNoAnswer ? 9 : static_cast<int>(answer - Alert::kFirstButtonReturn);
}

}  // namespace alerttest
