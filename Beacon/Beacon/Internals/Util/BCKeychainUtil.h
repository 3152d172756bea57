#pragma once
// Strings kept in the keychain as generic items under the SDK's service name
// ("<bundle identifier>.Beacon"), readable after the first unlock on this
// device only.
#include <optional>
#include <string>

#include "platform/security/Keychain.h"

class BCKeychainUtil {
public:
    // The string stored under the key, or nothing (the keychain's status is
    // given back through statusCode when it is not null).
    static std::optional<std::string> stringForKey(const std::string &key,
                                                   platform::security::OSStatus *statusCode = nullptr);
    // Stores the string's UTF-8 bytes under the key, replacing an existing
    // item in one step, so a failed store leaves the old item in place.
    static bool storeString(const std::string &string, const std::string &key);
    // Adds the item only when none exists under the key; false with
    // errSecDuplicateItem when another writer was first.
    static bool addString(const std::string &string, const std::string &key,
                          platform::security::OSStatus *statusCode = nullptr);
    // Removes the item; true when it was removed or was not there.
    static bool deleteStringForKey(const std::string &key);

    // "%@.%@" of the main bundle's identifier (the process name when it has
    // none) and "Beacon", made once per process.
    static std::string serviceName();
};
