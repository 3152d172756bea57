#pragma once
// A service class as the SDK entry point sees it: its name and the class
// operations every service offers. Each service exposes one, through its own
// static serviceClass(); a pointer to it stands for the class in the
// services lists handed to BCBeacon (nullptr for nil).
#include <functional>
#include <memory>
#include <string>

class BCServiceAbstract;

struct BCServiceClass {
    std::string className;  // "BCCrashes"
    std::function<std::shared_ptr<BCServiceAbstract>()> sharedInstance;
    std::function<std::string()> serviceName;
    std::function<bool()> isEnabled;
    std::function<void(bool)> setEnabled;

    // Offers every class operation of a service.
    bool conformsToServiceCommon() const { return sharedInstance && serviceName && isEnabled && setEnabled; }
};
