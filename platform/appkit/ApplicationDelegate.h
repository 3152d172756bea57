#pragma once
// The application's delegate: told when launching finishes and before the
// application terminates.
namespace platform::appkit {

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() {}
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationWillTerminate() {}
};

}  // namespace platform::appkit
