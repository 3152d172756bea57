#pragma once
// A modal alert: a message, an informative text and buttons, answered by
// the user. Without windows it asks where the user can answer:
// - a prompt on the terminal when the standard input is one;
// - otherwise a desktop dialog through zenity, when a display is present
//   and zenity is on PATH;
// - otherwise nobody can answer: runModal answers kNoAnswer and says why in
//   the system log.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace platform::appkit {

class Alert {
public:
    // The button returns, in the order the buttons were added.
    static constexpr long kFirstButtonReturn = 1000;
    static constexpr long kSecondButtonReturn = 1001;
    static constexpr long kThirdButtonReturn = 1002;
    // Nobody answered (end of input, the dialog closed without a button or
    // failed, nowhere to ask, or the application ended the alert with
    // Application::abortModal); a line in the system log says why.
    static constexpr long kNoAnswer = -1001;

    // The exit codes the desktop dialog (zenity) is told to give for its
    // buttons and for Escape; any other ending is no answer.
    static constexpr int kZenityOk = 40;
    static constexpr int kZenityCancel = 41;
    static constexpr int kZenityEscape = 42;
    static constexpr int kZenityExtra = 43;

    std::string messageText;
    std::string informativeText;

    void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
    const std::vector<std::string> &buttons() const { return buttons_; }

    // Blocks until answered, or until the application aborts the alert
    // (Application::abortModal, as on SIGINT or SIGTERM). An alert without
    // buttons gets one "OK".
    long runModal();

private:
    long runTerminalPrompt() const;
    long runDesktopDialog(const std::string &zenity) const;
    // Waits until the dialog's process ends (answers true) or, with a zero
    // bound, until the alert is aborted; with a bound, until it passes.
    // Leaves the process to be reaped.
    static bool waitForDialog(pid_t pid, std::chrono::milliseconds bound);
    // Ends the dialog's process and reaps it.
    static void endDialog(pid_t pid);

    std::vector<std::string> buttons_;
};

}  // namespace platform::appkit
