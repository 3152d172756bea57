#include "BCChannelDelegateList.h"

#include <algorithm>

#include "BCChannelDelegate.h"

void BCChannelDelegateList::add(const std::shared_ptr<BCChannelDelegate> &delegate) {
    if (!delegate) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(delegates_, [](const auto &weak) { return weak.expired(); });
    for (const auto &weak : delegates_) {
        if (weak.lock() == delegate) return;
    }
    delegates_.push_back(delegate);
}

void BCChannelDelegateList::remove(const std::shared_ptr<BCChannelDelegate> &delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(delegates_, [&](const auto &weak) {
        auto strong = weak.lock();
        return !strong || strong == delegate;
    });
}

std::vector<std::shared_ptr<BCChannelDelegate>> BCChannelDelegateList::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<BCChannelDelegate>> live;
    live.reserve(delegates_.size());
    for (const auto &weak : delegates_) {
        if (auto strong = weak.lock()) live.push_back(std::move(strong));
    }
    return live;
}
