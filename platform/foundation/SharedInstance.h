#pragma once
// The slot of a process-wide singleton (sharedInstance / resetSharedInstance).
// The slot itself is allocated once and never destroyed: detached worker
// threads may still reach the singleton while exit runs the static
// destructors, so the instance lives until the process ends unless a reset
// drops it.
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <typename T>
class SharedInstance {
public:
    // The instance, made by `make` when the slot is empty.
    template <typename Make>
    static std::shared_ptr<T> get(Make &&make) {
        Slot &s = slot();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.instance) s.instance = make();
        return s.instance;
    }
    // Replaces the instance (nullptr empties the slot). The old one is
    // released outside the lock, so its destructor may use the slot.
    static void set(std::shared_ptr<T> instance) {
        Slot &s = slot();
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            std::swap(s.instance, instance);
        }
    }
    static void reset() { set(nullptr); }

private:
    struct Slot {
        std::mutex mutex;
        std::shared_ptr<T> instance;
    };
    static Slot &slot() {
        static auto *s = new Slot;
        return *s;
    }
};

}  // namespace platform
