#pragma once
// A channel group and units that record what the crash service hands them,
// without a store or a network.
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "BCAbstractLog.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitConfiguration.h"
#include "BCChannelUnitProtocol.h"

namespace crashestest {

class FakeChannelUnit : public BCChannelUnitProtocol {
public:
    struct Item {
        std::shared_ptr<BCAbstractLog> log;
        uint32_t flags;
    };
    explicit FakeChannelUnit(const BCChannelUnitConfiguration &configuration)
        : configuration_(std::make_shared<const BCChannelUnitConfiguration>(configuration)) {}

    std::shared_ptr<const BCChannelUnitConfiguration> configuration() const override { return configuration_; }
    void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags) override {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back({item, flags});
    }
    // Answers the completion at once with the result set (Saved unless
    // changed), or keeps it for answer() while held.
    void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags,
                     BCEnqueueCompletion completion) override {
        BCEnqueueResult result;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back({item, flags});
            if (held_) {
                waiting_.push_back(std::move(completion));
                return;
            }
            result = result_;
        }
        if (completion) completion(result);
    }
    void setResult(BCEnqueueResult result) {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = result;
    }
    void holdCompletions() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    // Answers the held completions in order, one result each (the last
    // result for the rest).
    void answer(const std::vector<BCEnqueueResult> &results) {
        std::vector<BCEnqueueCompletion> waiting;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting.swap(waiting_);
        }
        for (size_t i = 0; i < waiting.size() && !results.empty(); ++i) {
            if (waiting[i]) waiting[i](results[std::min(i, results.size() - 1)]);
        }
    }
    std::vector<Item> items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    void pauseWithIdentifyingObject(const std::shared_ptr<const void> &) override {}
    void resumeWithIdentifyingObject(const std::shared_ptr<const void> &) override {}
    void pauseSendingLogsWithToken(const std::string &) override {}
    void resumeSendingLogsWithToken(const std::string &) override {}
    void addDelegate(const std::shared_ptr<BCChannelDelegate> &) override {}
    void removeDelegate(const std::shared_ptr<BCChannelDelegate> &) override {}
    void setEnabledAndDeleteDataOnDisabled(bool, bool) override {}

private:
    std::shared_ptr<const BCChannelUnitConfiguration> configuration_;
    std::mutex mutex_;
    std::vector<Item> items_;
    BCEnqueueResult result_ = BCEnqueueResult::Saved;
    bool held_ = false;
    std::vector<BCEnqueueCompletion> waiting_;
};

class FakeChannelGroup : public BCChannelGroupProtocol {
public:
    std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration) override {
        auto unit = std::make_shared<FakeChannelUnit>(configuration);
        if (holdCompletions) unit->holdCompletions();
        std::lock_guard<std::mutex> lock(mutex_);
        units_.push_back(unit);
        return unit;
    }
    std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration, const std::shared_ptr<BCIngestionProtocol> &) override {
        return addChannelUnitWithConfiguration(configuration);
    }
    std::vector<std::shared_ptr<FakeChannelUnit>> units() {
        std::lock_guard<std::mutex> lock(mutex_);
        return units_;
    }
    void setAppSecret(const std::optional<std::string> &) override {}
    void setLogUrl(const std::string &) override {}
    void setMaxStorageSize(int64_t, std::function<void(bool)> handler) override {
        if (handler) handler(true);
    }
    void addDelegate(const std::shared_ptr<BCChannelDelegate> &) override {}
    void removeDelegate(const std::shared_ptr<BCChannelDelegate> &) override {}
    void setEnabledAndDeleteDataOnDisabled(bool, bool) override {}

    // Units added from now on hold their completions.
    bool holdCompletions = false;

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeChannelUnit>> units_;
};

}  // namespace crashestest
