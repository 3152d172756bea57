#include "BCUserIdContext.h"

#include "BCHistoryUtil.h"
#include "BCLogger.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kHistoryKey = "UserIdHistory";
constexpr const char *kUserIdPrefix = "c";

}  // namespace

std::shared_ptr<BCUserIdContext> BCUserIdContext::sharedInstance() {
    return platform::SharedInstance<BCUserIdContext>::get([] { return std::make_shared<BCUserIdContext>(); });
}

void BCUserIdContext::resetSharedInstance() { platform::SharedInstance<BCUserIdContext>::reset(); }

BCUserIdContext::BCUserIdContext() {
    userIdHistory_ = BCHistoryUtil::loadHistory<BCUserIdHistoryInfo>(
        kHistoryKey, "The stored userId history holds an entry of another type; it is ignored.");
    BCLogDebug(kLogTag, "%tu userId(s) in the history.", userIdHistory_.size());
    currentUserIdInfo_ = std::make_shared<BCUserIdHistoryInfo>(platform::Date::now(), std::nullopt);
    userIdHistory_.push_back(currentUserIdInfo_);
    storeHistory();
}

std::optional<std::string> BCUserIdContext::userId() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return currentUserIdInfo_->userId;
}

void BCUserIdContext::setUserId(const std::optional<std::string> &userId) {
    // Stored text that is not UTF-8 would make the whole history unreadable
    // at the next launch.
    if (userId && !platform::text::isValidUTF8(*userId)) {
        BCLogError(kLogTag, "The userId \"%@\" is not UTF-8 text; it is not stored.",
                   platform::text::lossyUTF8(*userId));
        return;
    }
    std::vector<std::shared_ptr<BCUserIdContextDelegate>> delegates;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        if (userId == currentUserIdInfo_->userId) return;
        currentUserIdInfo_->timestamp = platform::Date::now();
        currentUserIdInfo_->userId = userId;
        if (!userIdHistory_.empty()) userIdHistory_.pop_back();
        userIdHistory_.push_back(currentUserIdInfo_);
        storeHistory();
        BCLogVerbose(kLogTag, "Stored new userId:%@ and timestamp: %@.", userId, currentUserIdInfo_->timestamp);
        for (const auto &weak : delegates_) {
            if (auto delegate = weak.lock()) delegates.push_back(std::move(delegate));
        }
    }
    for (const auto &delegate : delegates) {
        if (delegate->userIdContextDidUpdateUserId) delegate->userIdContextDidUpdateUserId(*this, userId);
    }
}

std::optional<std::string> BCUserIdContext::userIdAt(const platform::Date &date) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto info = BCHistoryUtil::latestEntryBefore(userIdHistory_, date);
    return info ? info->userId : std::nullopt;
}

void BCUserIdContext::clearUserIdHistory() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    userIdHistory_.clear();
    userIdHistory_.push_back(currentUserIdInfo_);
    storeHistory();
    BCLogVerbose(kLogTag, "Cleared old userIds while keeping current userId.");
}

void BCUserIdContext::addDelegate(const std::shared_ptr<BCUserIdContextDelegate> &delegate) {
    if (!delegate) return;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // Drop observers that are gone, and never hold one twice.
    std::erase_if(delegates_, [&](const std::weak_ptr<BCUserIdContextDelegate> &weak) {
        auto held = weak.lock();
        return !held || held == delegate;
    });
    delegates_.push_back(delegate);
}

void BCUserIdContext::removeDelegate(const std::shared_ptr<BCUserIdContextDelegate> &delegate) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::erase_if(delegates_, [&](const std::weak_ptr<BCUserIdContextDelegate> &weak) {
        auto held = weak.lock();
        return !held || held == delegate;
    });
}

bool BCUserIdContext::isUserIdValidForBeacon(const std::optional<std::string> &userId) {
    if (userId && platform::text::utf16Length(*userId) > kMaxUserIdLength) {
        BCLogError(kLogTag, "userId is limited to %d characters.", static_cast<int>(kMaxUserIdLength));
        return false;
    }
    return true;
}

bool BCUserIdContext::isUserIdValidForEventCollector(const std::optional<std::string> &userId) {
    if (!userId) return true;
    if (userId->empty()) {
        BCLogError(kLogTag, "userId must not be empty.");
        return false;
    }
    size_t colon = userId->find(':');
    if (colon == std::string::npos) return true;
    std::string prefix = userId->substr(0, colon);
    if (prefix != kUserIdPrefix) {
        BCLogError(kLogTag, "userId prefix must be '%@', '%@' is not supported.", kUserIdPrefix, prefix);
        return false;
    }
    if (colon == userId->size() - 1) {
        BCLogError(kLogTag, "userId must not be empty.");
        return false;
    }
    return true;
}

std::optional<std::string> BCUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string> &userId) {
    if (!userId) return std::nullopt;
    if (userId->find(':') != std::string::npos) return userId;
    return platform::format("%@%@%@", kUserIdPrefix, ":", *userId);
}

std::vector<std::shared_ptr<BCUserIdHistoryInfo>> BCUserIdContext::userIdHistory() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::shared_ptr<BCUserIdHistoryInfo>> copies;
    for (const auto &info : userIdHistory_)
        copies.push_back(std::make_shared<BCUserIdHistoryInfo>(info->timestamp, info->userId));
    return copies;
}

void BCUserIdContext::storeHistory() { BCHistoryUtil::storeHistory(userIdHistory_, kHistoryKey); }
