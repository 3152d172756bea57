#include "platform/appkit/Application.h"

namespace platform::appkit {

std::shared_ptr<Application> Application::sharedApplication() {
    static std::shared_ptr<Application> application = std::make_shared<Application>();
    return application;
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
