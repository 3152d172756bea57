#include "BCSessionContext.h"

#include "BCHistoryUtil.h"
#include "BCLogger.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kHistoryKey = "SessionIdHistory";

}  // namespace

std::shared_ptr<BCSessionContext> BCSessionContext::sharedInstance() {
    return platform::SharedInstance<BCSessionContext>::get([] { return std::make_shared<BCSessionContext>(); });
}

void BCSessionContext::resetSharedInstance() { platform::SharedInstance<BCSessionContext>::reset(); }

BCSessionContext::BCSessionContext() {
    sessionHistory_ = BCHistoryUtil::loadHistory<BCSessionHistoryInfo>(
        kHistoryKey, "The stored session history holds an entry of another type; it is ignored.");
    BCLogDebug(kLogTag, "%tu session(s) in the history.", sessionHistory_.size());
    currentSessionInfo_ = std::make_shared<BCSessionHistoryInfo>(platform::Date::now(), std::nullopt);
    sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> BCSessionContext::sessionId() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return currentSessionInfo_->sessionId;
}

void BCSessionContext::setSessionId(const std::optional<std::string> &sessionId) {
    // Stored text that is not UTF-8 would make the whole history unreadable
    // at the next launch.
    if (sessionId && !platform::text::isValidUTF8(*sessionId)) {
        BCLogError(kLogTag, "The session id \"%@\" is not UTF-8 text; it is not stored.",
                   platform::text::lossyUTF8(*sessionId));
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!sessionHistory_.empty()) sessionHistory_.pop_back();
    currentSessionInfo_->sessionId = sessionId;
    currentSessionInfo_->timestamp = platform::Date::now();
    sessionHistory_.push_back(currentSessionInfo_);
    storeHistory();
    BCLogVerbose(kLogTag, "Stored new session with id:%@ and timestamp: %@.", sessionId,
                 currentSessionInfo_->timestamp);
}

std::optional<std::string> BCSessionContext::sessionIdAt(const platform::Date &date) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto info = BCHistoryUtil::latestEntryBefore(sessionHistory_, date);
    return info ? info->sessionId : std::nullopt;
}

void BCSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    sessionHistory_.clear();
    if (keepCurrentSession) sessionHistory_.push_back(currentSessionInfo_);
    storeHistory();
    BCLogVerbose(kLogTag, "Cleared old sessions.");
}

std::vector<std::shared_ptr<BCSessionHistoryInfo>> BCSessionContext::sessionHistory() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::shared_ptr<BCSessionHistoryInfo>> copies;
    for (const auto &info : sessionHistory_)
        copies.push_back(std::make_shared<BCSessionHistoryInfo>(info->timestamp, info->sessionId));
    return copies;
}

std::shared_ptr<BCSessionHistoryInfo> BCSessionContext::currentSessionInfo() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return std::make_shared<BCSessionHistoryInfo>(currentSessionInfo_->timestamp, currentSessionInfo_->sessionId);
}

void BCSessionContext::storeHistory() { BCHistoryUtil::storeHistory(sessionHistory_, kHistoryKey); }
