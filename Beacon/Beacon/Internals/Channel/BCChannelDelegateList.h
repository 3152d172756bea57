#pragma once
// The delegates of a channel, held weakly. Callers take a snapshot under the
// list's lock and call the delegates outside it, so a callback may add
// delegates or enqueue logs.
#include <memory>
#include <mutex>
#include <vector>

class BCChannelDelegate;

class BCChannelDelegateList {
public:
    // A delegate already present is not added twice.
    void add(const std::shared_ptr<BCChannelDelegate> &delegate);
    void remove(const std::shared_ptr<BCChannelDelegate> &delegate);
    // The delegates still alive, in the order they were added.
    std::vector<std::shared_ptr<BCChannelDelegate>> snapshot() const;

    // Calls `call` for every live delegate whose member is set.
    template <typename Member, typename... Args>
    void notify(Member member, const Args &...args) const {
        for (const auto &delegate : snapshot()) {
            const auto &callback = (*delegate).*member;
            if (callback) callback(args...);
        }
    }

private:
    mutable std::mutex mutex_;
    mutable std::vector<std::weak_ptr<BCChannelDelegate>> delegates_;
};
