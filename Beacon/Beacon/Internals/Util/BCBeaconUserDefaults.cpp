#include "BCBeaconUserDefaults.h"

#include "BCLogger.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kKeyPrefix = "BNBeacon";
constexpr const char *kMigratedKeyFormat = "310%@UserDefaultsMigratedKey";

std::shared_ptr<platform::UserDefaults> standard() { return platform::UserDefaults::standardUserDefaults(); }

}  // namespace

std::shared_ptr<BCBeaconUserDefaults> BCBeaconUserDefaults::shared() {
    return platform::SharedInstance<BCBeaconUserDefaults>::get([] { return std::make_shared<BCBeaconUserDefaults>(); });
}

void BCBeaconUserDefaults::resetSharedInstance() { platform::SharedInstance<BCBeaconUserDefaults>::reset(); }

std::string BCBeaconUserDefaults::getBeaconKeyFrom(const std::string &key) const { return kKeyPrefix + key; }

platform::Value BCBeaconUserDefaults::objectForKey(const std::string &key) const {
    return standard()->objectForKey(getBeaconKeyFrom(key));
}

void BCBeaconUserDefaults::setObject(const platform::Value &object, const std::string &key) {
    standard()->setObject(object, getBeaconKeyFrom(key));
}

void BCBeaconUserDefaults::removeObjectForKey(const std::string &key) {
    standard()->removeObjectForKey(getBeaconKeyFrom(key));
}

platform::Value BCBeaconUserDefaults::loadOrStoreObjectForKey(
    const std::string &key, const std::function<platform::Value(const platform::Value &stored)> &resolve) {
    return standard()->loadOrStoreObject(getBeaconKeyFrom(key), resolve);
}

void BCBeaconUserDefaults::migrateKeys(const MigrationTable &migratedKeys, const std::string &service) {
    std::string markerKey = platform::format(kMigratedKeyFormat, service);
    if (!objectForKey(markerKey).isNull()) return;
    BCLogVerbose(kLogTag, "Migrating the old NSDefaults keys to new ones.");
    auto defaults = standard();
    for (const auto &[newKey, oldKey] : migratedKeys) {
        if (auto exactKey = std::get_if<std::string>(&oldKey)) {
            swapKeys(*exactKey, newKey, defaults->objectForKey(*exactKey));
            continue;
        }
        const std::string &prefix = std::get<BCUserDefaultsPrefixKey>(oldKey).keyPrefix();
        for (const auto &[storedKey, value] : defaults->dictionaryRepresentation()) {
            if (!platform::text::hasPrefix(storedKey, prefix)) continue;
            swapKeys(storedKey, newKey + storedKey.substr(prefix.size()), defaults->objectForKey(storedKey));
        }
    }
    setObject(platform::Value(true), markerKey);
}

void BCBeaconUserDefaults::swapKeys(const std::string &oldKey, const std::string &newKey,
                                    const platform::Value &value) {
    if (value.isNull()) return;
    auto defaults = standard();
    defaults->setObject(value, newKey);
    // A table that maps a key onto itself must not lose the value.
    if (oldKey != newKey) defaults->removeObjectForKey(oldKey);
    BCLogVerbose(kLogTag, "Migrating key %@ -> %@", oldKey, newKey);
}
