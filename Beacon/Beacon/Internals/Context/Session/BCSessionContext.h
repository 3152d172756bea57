#pragma once
// Remembers which session id was current at which time, across launches,
// so that a log about the past can carry the session id of its moment. Each
// launch contributes one entry, updated in place when the session id
// changes; the history is kept under "SessionIdHistory" in the SDK's user
// defaults.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCSessionHistoryInfo.h"
#include "platform/foundation/Date.h"

class BCSessionContext {
public:
    static std::shared_ptr<BCSessionContext> sharedInstance();
    static void resetSharedInstance();

    // The session id of the running launch (nothing until set).
    std::optional<std::string> sessionId() const;
    // Makes the id current from now on and stores the history.
    void setSessionId(const std::optional<std::string> &sessionId);
    // The id of the newest entry stamped strictly before the date.
    std::optional<std::string> sessionIdAt(const platform::Date &date) const;
    // Empties the history (keeping the running launch's entry when asked)
    // and stores it.
    void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

    // Copies of the entries, oldest first, and of the running launch's.
    std::vector<std::shared_ptr<BCSessionHistoryInfo>> sessionHistory() const;
    std::shared_ptr<BCSessionHistoryInfo> currentSessionInfo() const;

    BCSessionContext();

private:
    void storeHistory();

    mutable std::recursive_mutex mutex_;
    std::shared_ptr<BCSessionHistoryInfo> currentSessionInfo_;
    std::vector<std::shared_ptr<BCSessionHistoryInfo>> sessionHistory_;
};
