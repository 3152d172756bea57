#include "platform/foundation/NotificationCenter.h"

#include <algorithm>

namespace platform {

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
    // Never destroyed: worker threads may still post while the process exits.
    static const auto *center = new std::shared_ptr<NotificationCenter>(std::make_shared<NotificationCenter>());
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserverForName(std::optional<std::string> name, const Object *object,
                                                                 Block block) {
    return addObserver(nullptr, std::move(name), object, std::move(block));
}

NotificationCenter::Token NotificationCenter::addObserver(const void *observer, std::optional<std::string> name,
                                                          const Object *object, Block block) {
    auto observation = std::make_shared<Observation>();
    observation->observer = observer;
    observation->name = std::move(name);
    observation->object = object;
    observation->block = std::move(block);
    std::lock_guard<std::mutex> lock(mutex_);
    observation->token = nextToken_++;
    observations_.push_back(observation);
    return observation->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::remove_if(observations_.begin(), observations_.end(), [&](const auto &o) {
        if (o->token != token) return false;
        o->active = false;
        return true;
    });
    observations_.erase(it, observations_.end());
}

void NotificationCenter::removeObserver(const void *observer) {
    if (!observer) return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::remove_if(observations_.begin(), observations_.end(), [&](const auto &o) {
        if (o->observer != observer) return false;
        o->active = false;
        return true;
    });
    observations_.erase(it, observations_.end());
}

void NotificationCenter::postNotification(const Notification &notification) {
    std::vector<std::shared_ptr<Observation>> matching;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &o : observations_) {
            if (o->name && *o->name != notification.name()) continue;
            if (o->object && o->object != notification.object().get()) continue;
            matching.push_back(o);
        }
    }
    for (const auto &o : matching) {
        // Skip observations removed since the snapshot (possibly by an
        // earlier observer of this same post).
        if (o->active && o->block) o->block(notification);
    }
}

void NotificationCenter::postNotificationName(const std::string &name, std::shared_ptr<Object> object,
                                              Dictionary userInfo) {
    postNotification(Notification(name, std::move(object), std::move(userInfo)));
}

}  // namespace platform
