#pragma once
// An event the application dispatches on the main thread. Without windows,
// an event is the work it asks for: sending it runs its action.
#include <functional>
#include <string>

namespace platform::appkit {

class Event {
public:
    Event() = default;
    explicit Event(std::function<void()> action) : action_(std::move(action)) {}
    // Runs the action, if any.
    void deliver() const {
        if (action_) action_();
    }

private:
    std::function<void()> action_;
};

}  // namespace platform::appkit
