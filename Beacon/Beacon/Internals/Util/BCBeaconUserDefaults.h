#pragma once
// The SDK's view of the user defaults: every key is stored with the prefix
// "BNBeacon", so the SDK's entries never collide with the application's own.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

#include "BCUserDefaultsPrefixKey.h"
#include "platform/foundation/Value.h"

class BCBeaconUserDefaults {
public:
    // An old key of a migration table: one exact stored key, or every stored
    // key that begins with a prefix.
    using OldKey = std::variant<std::string, BCUserDefaultsPrefixKey>;
    // New key (complete, already carrying the prefix) -> old key.
    using MigrationTable = std::map<std::string, OldKey>;

    static std::shared_ptr<BCBeaconUserDefaults> shared();
    static void resetSharedInstance();

    std::string getBeaconKeyFrom(const std::string &key) const;
    platform::Value objectForKey(const std::string &key) const;
    void setObject(const platform::Value &object, const std::string &key);
    void removeObjectForKey(const std::string &key);
    // Load-or-make of one key, atomic across processes sharing the defaults
    // (see platform::UserDefaults::loadOrStoreObject): `resolve` gets the
    // stored value (null when absent) and answers the one to keep.
    platform::Value loadOrStoreObjectForKey(
        const std::string &key, const std::function<platform::Value(const platform::Value &stored)> &resolve);

    // Moves old values to their new keys, once per service.
    void migrateKeys(const MigrationTable &migratedKeys, const std::string &service);
    void swapKeys(const std::string &oldKey, const std::string &newKey, const platform::Value &value);
};
