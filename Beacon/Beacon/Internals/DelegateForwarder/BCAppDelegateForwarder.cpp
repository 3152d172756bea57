#include "BCAppDelegateForwarder.h"

#include <mutex>

#include "platform/foundation/Bundle.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<BCAppDelegateForwarder> sharedForwarder;

}  // namespace

std::shared_ptr<BCAppDelegateForwarder> BCAppDelegateForwarder::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    if (!sharedForwarder) sharedForwarder = std::make_shared<BCAppDelegateForwarder>();
    return sharedForwarder;
}

void BCAppDelegateForwarder::resetSharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedForwarder.reset();
}

BCAppDelegateForwarder::BCAppDelegateForwarder()
    : enabled_(platform::Bundle::mainBundle()->boolForInfoDictionaryKey(kEnabledKey).value_or(true)) {}
