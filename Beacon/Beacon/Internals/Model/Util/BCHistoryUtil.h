#pragma once
// The persistence and date lookup that the timestamped histories share
// (session ids, user ids, devices): each history is an array of entries,
// oldest first, archived and kept under one key of the SDK's user defaults.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BCHistoryInfo.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

class BCHistoryUtil {
public:
    // The entries stored under the key. Empty when nothing is stored, when
    // the archive cannot be read (the unarchiving logs why), or when some
    // entry is not a T or is refused by `accept`; the last case logs the
    // message at error level.
    template <typename T>
    static std::vector<std::shared_ptr<T>> loadHistory(const std::string &key, const std::string &unusableMessage,
                                                       const std::function<bool(const T &)> &accept = nullptr) {
        std::vector<std::shared_ptr<T>> history;
        for (const auto &entry : loadEntries(key)) {
            auto info = entry.objectAs<T>();
            if (!info || (accept && !accept(*info))) {
                logUnusable(unusableMessage);
                return {};
            }
            history.push_back(std::move(info));
        }
        return history;
    }

    // Archives the entries and stores them under the key. An archive that
    // cannot be made is not stored: storing nothing would erase the history
    // kept so far.
    template <typename T>
    static void storeHistory(const std::vector<std::shared_ptr<T>> &history, const std::string &key) {
        platform::Array entries;
        for (const auto &info : history) entries.emplace_back(info);
        storeEntries(std::move(entries), key);
    }

    // The newest entry stamped strictly before the date (an entry stamped
    // exactly at the date does not match); nullptr when there is none.
    template <typename T>
    static std::shared_ptr<T> latestEntryBefore(const std::vector<std::shared_ptr<T>> &history,
                                                const platform::Date &date) {
        for (auto it = history.rbegin(); it != history.rend(); ++it) {
            if ((*it)->timestamp < date) return *it;
        }
        return nullptr;
    }

private:
    static platform::Array loadEntries(const std::string &key);
    static void storeEntries(platform::Array entries, const std::string &key);
    static void logUnusable(const std::string &message);
};
