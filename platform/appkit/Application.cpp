#include "platform/appkit/Application.h"

namespace platform::appkit {

std::shared_ptr<Application> Application::sharedApplication() {
    // Never destroyed: worker threads may still ask for it while the process exits.
    static auto *application = new std::shared_ptr<Application>(std::make_shared<Application>());
    return *application;
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

}  // namespace platform::appkit
