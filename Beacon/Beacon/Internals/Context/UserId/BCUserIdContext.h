#pragma once
// Holds the user id the application set and remembers, across launches,
// which user id was current at which time, so that logs about past events
// carry the user id of their moment. Every launch that creates the context
// stores one more entry, under "UserIdHistory" in the SDK's user defaults.
// Also owns the rules a user id must meet for each ingestion endpoint.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCUserIdContextDelegate.h"
#include "BCUserIdHistoryInfo.h"
#include "platform/foundation/Date.h"

class BCUserIdContext {
public:
    // The longest user id the Beacon endpoint takes, in UTF-16 code units.
    static constexpr size_t kMaxUserIdLength = 256;

    static std::shared_ptr<BCUserIdContext> sharedInstance();
    static void resetSharedInstance();

    std::optional<std::string> userId() const;
    // Records a new current user id (nothing happens when it is the current
    // one) and tells the observers, outside the lock.
    void setUserId(const std::optional<std::string> &userId);
    // The id of the newest entry stamped strictly before the date.
    std::optional<std::string> userIdAt(const platform::Date &date) const;
    // Empties the history but keeps the running launch's entry.
    void clearUserIdHistory();

    // Observers are held weakly.
    void addDelegate(const std::shared_ptr<BCUserIdContextDelegate> &delegate);
    void removeDelegate(const std::shared_ptr<BCUserIdContextDelegate> &delegate);

    static bool isUserIdValidForBeacon(const std::optional<std::string> &userId);
    static bool isUserIdValidForEventCollector(const std::optional<std::string> &userId);
    // "c:" + the id when it holds no ":"; otherwise the id unchanged.
    static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string> &userId);

    // Copies of the entries, oldest first.
    std::vector<std::shared_ptr<BCUserIdHistoryInfo>> userIdHistory() const;

    BCUserIdContext();

private:
    void storeHistory();

    mutable std::recursive_mutex mutex_;
    std::shared_ptr<BCUserIdHistoryInfo> currentUserIdInfo_;
    std::vector<std::shared_ptr<BCUserIdHistoryInfo>> userIdHistory_;
    std::vector<std::weak_ptr<BCUserIdContextDelegate>> delegates_;
};
