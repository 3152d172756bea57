#pragma once
// The application object: one per process, with its delegate and whether its
// windows are hidden.
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/appkit/ApplicationDelegate.h"

namespace platform::appkit {

class Application {
public:
    static std::shared_ptr<Application> sharedApplication();

    std::shared_ptr<ApplicationDelegate> delegate() const;
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);

    bool isHidden() const { return hidden_; }
    void hide() { hidden_ = true; }
    void unhide() { hidden_ = false; }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<ApplicationDelegate> delegate_;
    std::atomic<bool> hidden_{false};
};

}  // namespace platform::appkit
