#pragma once
// Delivers notifications to the blocks observing them, synchronously, on
// the posting thread. Safe to use from any thread; observers are called
// without the center's lock held, so a block may add or remove observers or
// post again.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Notification.h"

namespace platform {

class NotificationCenter {
public:
    using Block = std::function<void(const Notification &)>;
    // Identifies one observation; 0 is never a valid token.
    using Token = uint64_t;

    static std::shared_ptr<NotificationCenter> defaultCenter();

    // Observes notifications with the name (nullopt: every name) about the
    // object (nullptr: any object; otherwise compared by identity).
    Token addObserverForName(std::optional<std::string> name, const Object *object, Block block);
    // The same, registered on behalf of `observer` (any address naming the
    // observing party, usually `this`), so that removeObserver(observer)
    // ends all of its observations at once.
    Token addObserver(const void *observer, std::optional<std::string> name, const Object *object, Block block);

    // Ends one observation / every observation of an observer. Once this
    // returns the block is not called again (a call already running on
    // another thread finishes).
    void removeObserver(Token token);
    void removeObserver(const void *observer);

    void postNotification(const Notification &notification);
    void postNotificationName(const std::string &name, std::shared_ptr<Object> object = nullptr,
                              Dictionary userInfo = {});

private:
    struct Observation {
        Token token;
        const void *observer;
        std::optional<std::string> name;
        const Object *object;
        Block block;
        std::atomic<bool> active{true};
    };

    std::mutex mutex_;
    Token nextToken_ = 1;
    std::vector<std::shared_ptr<Observation>> observations_;
};

}  // namespace platform
