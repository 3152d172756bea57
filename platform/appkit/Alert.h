#pragma once
// A modal alert: a message, an informative text and buttons, answered by
// the user. Without windows it asks where the user can answer:
// - a prompt on the terminal when the standard input is one;
// - otherwise a desktop dialog through zenity, when a display is present
//   and zenity is on PATH;
// - otherwise nobody can answer: runModal answers kNoAnswer and says why in
//   the system log.
#include <string>
#include <vector>

namespace platform::appkit {

class Alert {
public:
    // The button returns, in the order the buttons were added.
    static constexpr long kFirstButtonReturn = 1000;
    static constexpr long kSecondButtonReturn = 1001;
    static constexpr long kThirdButtonReturn = 1002;
    // Nobody answered (end of input, the dialog failed, nowhere to ask).
    static constexpr long kNoAnswer = -1001;

    std::string messageText;
    std::string informativeText;

    void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
    const std::vector<std::string> &buttons() const { return buttons_; }

    // Blocks until answered. An alert without buttons gets one "OK".
    long runModal();

private:
    long runTerminalPrompt() const;
    long runDesktopDialog(const std::string &zenity) const;

    std::vector<std::string> buttons_;
};

}  // namespace platform::appkit
