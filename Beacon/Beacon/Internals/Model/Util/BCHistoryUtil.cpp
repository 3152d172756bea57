#include "BCHistoryUtil.h"

#include "BCBeaconUserDefaults.h"
#include "BCLogger.h"
#include "BCModelUtil.h"
#include "BCUtility.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

platform::Array BCHistoryUtil::loadEntries(const std::string &key) {
    // The entries' classes must be known before anything is unarchived.
    BCModelUtil::registerArchivableClasses();
    platform::Value stored = BCBeaconUserDefaults::shared()->objectForKey(key);
    if (!stored.data()) return {};
    platform::Value decoded = BCUtility::unarchiveKeyedData(*stored.data());
    const platform::Array *entries = decoded.array();
    return entries ? *entries : platform::Array();
}

void BCHistoryUtil::storeEntries(platform::Array entries, const std::string &key) {
    if (auto data = BCUtility::archiveKeyedData(platform::Value(std::move(entries)))) {
        BCBeaconUserDefaults::shared()->setObject(platform::Value(std::move(*data)), key);
    }
}

void BCHistoryUtil::logUnusable(const std::string &message) { BCLogError(kLogTag, "%@", message); }
