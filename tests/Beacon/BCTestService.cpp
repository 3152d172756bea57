#include "Beacon/BCTestService.h"

#include <map>
#include <mutex>

namespace {

struct Entry {
    BCTestService::Traits traits;
    BCServiceClass serviceClass;
    std::shared_ptr<BCTestService> instance;
};

std::recursive_mutex registryMutex;
std::map<std::string, std::unique_ptr<Entry>> &registry() {
    static auto *entries = new std::map<std::string, std::unique_ptr<Entry>>();
    return *entries;
}

}  // namespace

const BCServiceClass &BCTestService::serviceClass(const Traits &traits) {
    std::lock_guard<std::recursive_mutex> lock(registryMutex);
    auto &entry = registry()[traits.name];
    if (!entry) {
        entry = std::make_unique<Entry>();
        entry->traits = traits;
        const std::string name = traits.name;
        entry->serviceClass.className = "BC" + name;
        entry->serviceClass.sharedInstance = [name] {
            return std::static_pointer_cast<BCServiceAbstract>(sharedInstance(name));
        };
        entry->serviceClass.serviceName = [name] { return name; };
        entry->serviceClass.isEnabled = [name] { return BCServiceAbstract::isEnabled(sharedInstance(name)); };
        entry->serviceClass.setEnabled = [name](bool enabled) {
            BCServiceAbstract::setEnabled(sharedInstance(name), enabled);
        };
    }
    return entry->serviceClass;
}

std::shared_ptr<BCTestService> BCTestService::sharedInstance(const std::string &name) {
    std::lock_guard<std::recursive_mutex> lock(registryMutex);
    auto &entry = registry()[name];
    if (!entry) {
        Traits traits;
        traits.name = name;
        serviceClass(traits);
    }
    if (!entry->instance) entry->instance = std::make_shared<BCTestService>(entry->traits);
    return entry->instance;
}

void BCTestService::resetAll() {
    std::lock_guard<std::recursive_mutex> lock(registryMutex);
    for (auto &[name, entry] : registry()) entry->instance.reset();
}

void BCTestService::applyEnabledState(bool isEnabled) {
    BCServiceAbstract::applyEnabledState(isEnabled);
    std::lock_guard<std::recursive_mutex> lock(mutex());
    appliedStates_.emplace_back(isEnabled, instanceIsEnabled());
}

std::vector<std::pair<bool, bool>> BCTestService::appliedStates() const {
    std::lock_guard<std::recursive_mutex> lock(mutex());
    return appliedStates_;
}
