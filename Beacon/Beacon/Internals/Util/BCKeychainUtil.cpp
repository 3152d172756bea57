#include "BCKeychainUtil.h"

#include <mutex>

#include "BCLogger.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";

using platform::security::Keychain;
using platform::security::OSStatus;

std::vector<std::uint8_t> bytesOf(const std::string &string) { return {string.begin(), string.end()}; }

}  // namespace

std::string BCKeychainUtil::serviceName() {
    // Never destroyed: detached workers may still reach the keychain while
    // exit runs the static destructors.
    static const auto *name = new std::string([] {
        auto identifier = platform::Bundle::mainBundle()->bundleIdentifier();
        if (!identifier || identifier->empty()) identifier = platform::ProcessInfo::processInfo()->processName();
        return platform::format("%@.%@", *identifier, "Beacon");
    }());
    return *name;
}

std::optional<std::string> BCKeychainUtil::stringForKey(const std::string &key, OSStatus *statusCode) {
    std::vector<std::uint8_t> data;
    OSStatus status = Keychain::sharedInstance()->copyMatching(serviceName(), key, &data);
    if (status == platform::security::errSecSuccess &&
        !platform::text::isValidUTF8(std::string_view(reinterpret_cast<const char *>(data.data()), data.size())))
        status = platform::security::errSecParam;
    if (statusCode) *statusCode = status;
    if (status != platform::security::errSecSuccess) return std::nullopt;
    return std::string(data.begin(), data.end());
}

bool BCKeychainUtil::storeString(const std::string &string, const std::string &key) {
    auto keychain = Keychain::sharedInstance();
    OSStatus status = keychain->update(serviceName(), key, bytesOf(string));
    if (status == platform::security::errSecItemNotFound) {
        status = keychain->add(serviceName(), key, bytesOf(string),
                               platform::security::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
        // Another writer added it in between: replace its value.
        if (status == platform::security::errSecDuplicateItem)
            status = keychain->update(serviceName(), key, bytesOf(string));
    }
    if (status != platform::security::errSecSuccess) {
        BCLogWarning(kLogTag, "Failed to store item with key \"%@\" to keychain. OSStatus: %d", key, status);
        return false;
    }
    BCLogVerbose(kLogTag, "Stored a string with key \"%@\" to keychain.", key);
    return true;
}

bool BCKeychainUtil::addString(const std::string &string, const std::string &key, OSStatus *statusCode) {
    OSStatus status = Keychain::sharedInstance()->add(
        serviceName(), key, bytesOf(string), platform::security::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
    if (statusCode) *statusCode = status;
    if (status != platform::security::errSecSuccess) {
        if (status != platform::security::errSecDuplicateItem)
            BCLogWarning(kLogTag, "Failed to store item with key \"%@\" to keychain. OSStatus: %d", key, status);
        return false;
    }
    BCLogVerbose(kLogTag, "Stored a string with key \"%@\" to keychain.", key);
    return true;
}

bool BCKeychainUtil::deleteStringForKey(const std::string &key) {
    OSStatus status = Keychain::sharedInstance()->deleteItem(serviceName(), key);
    if (status == platform::security::errSecSuccess || status == platform::security::errSecItemNotFound) return true;
    BCLogWarning(kLogTag, "Failed to delete item with key \"%@\" from keychain. OSStatus: %d", key, status);
    return false;
}
