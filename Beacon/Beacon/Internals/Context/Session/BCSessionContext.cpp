#include "BCSessionContext.h"

#include "BCBeaconUserDefaults.h"
#include "BCLogger.h"
#include "BCModelUtil.h"
#include "BCUtility.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kHistoryKey = "SessionIdHistory";

std::mutex sharedMutex;
std::shared_ptr<BCSessionContext> sharedContext;

// The stored history, or an empty one when there is none or it cannot be
// read (the unarchiving logs why).
std::vector<std::shared_ptr<BCSessionHistoryInfo>> loadHistory() {
    std::vector<std::shared_ptr<BCSessionHistoryInfo>> history;
    platform::Value stored = BCBeaconUserDefaults::shared()->objectForKey(kHistoryKey);
    if (!stored.data()) return history;
    platform::Value decoded = BCUtility::unarchiveKeyedData(*stored.data());
    const platform::Array *entries = decoded.array();
    if (!entries) return history;
    for (const auto &entry : *entries) {
        auto info = entry.objectAs<BCSessionHistoryInfo>();
        if (!info) {
            BCLogError(kLogTag, "The stored session history holds an entry of another type; it is ignored.");
            return {};
        }
        history.push_back(std::move(info));
    }
    return history;
}

}  // namespace

std::shared_ptr<BCSessionContext> BCSessionContext::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    if (!sharedContext) sharedContext = std::make_shared<BCSessionContext>();
    return sharedContext;
}

void BCSessionContext::resetSharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex);
    sharedContext.reset();
}

BCSessionContext::BCSessionContext() {
    BCModelUtil::registerArchivableClasses();
    sessionHistory_ = loadHistory();
    BCLogDebug(kLogTag, "%tu session(s) in the history.", sessionHistory_.size());
    currentSessionInfo_ = std::make_shared<BCSessionHistoryInfo>(platform::Date::now(), std::nullopt);
    sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> BCSessionContext::sessionId() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return currentSessionInfo_->sessionId;
}

void BCSessionContext::setSessionId(const std::optional<std::string> &sessionId) {
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
    for (auto it = sessionHistory_.rbegin(); it != sessionHistory_.rend(); ++it) {
        if ((*it)->timestamp < date) return (*it)->sessionId;
    }
    return std::nullopt;
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

void BCSessionContext::storeHistory() {
    platform::Array entries;
    for (const auto &info : sessionHistory_) entries.emplace_back(info);
    // An archive that could not be made is not stored: storing nothing would
    // erase the history kept so far.
    if (auto data = BCUtility::archiveKeyedData(platform::Value(std::move(entries)))) {
        BCBeaconUserDefaults::shared()->setObject(platform::Value(std::move(*data)), kHistoryKey);
    }
}
