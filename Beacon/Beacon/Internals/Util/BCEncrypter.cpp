#include "BCEncrypter.h"

#include <algorithm>

#include "BCBeaconUserDefaults.h"
#include "BCKeychainUtil.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Text.h"
#include "platform/security/Aes256Cbc.h"
#include "platform/security/SecureRandom.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr size_t kKeySize = platform::security::Aes256Cbc::kKeySize;
constexpr size_t kIvSize = platform::security::Aes256Cbc::kIvSize;
constexpr size_t kBlockSize = platform::security::Aes256Cbc::kBlockSize;

// The process-wide state of all encrypters, never destroyed: detached
// workers may still encrypt while exit runs the static destructors.
struct ProcessState {
    // Guards the tag record and the making of keys.
    std::mutex lock;
    std::mutex clockMutex;
    std::function<platform::Date()> testClock;
};
ProcessState &processState() {
    static auto *state = new ProcessState;
    return *state;
}
std::mutex &processLock() { return processState().lock; }

platform::Date now() {
    auto &state = processState();
    std::lock_guard<std::mutex> lock(state.clockMutex);
    return state.testClock ? state.testClock() : platform::Date::now();
}

bool isKnownTag(const std::string &tag) {
    return tag == BCEncrypter::kEncryptionKeyTag || tag == BCEncrypter::kEncryptionKeyTagAlternate;
}

// What the keychain holds for a tag: a key, nothing, an item that is not a
// 32-byte key in Base64 (damaged), or a failure to read it.
struct StoredKey {
    enum class State { Found, Missing, Damaged, Unreadable } state;
    std::optional<platform::Data> key;
};

// Reads the key of a tag; every outcome but a key found is logged with the
// keychain status.
StoredKey readKey(const std::string &keyTag) {
    platform::security::OSStatus status = platform::security::errSecSuccess;
    auto text = BCKeychainUtil::stringForKey(keyTag, &status);
    if (status == platform::security::errSecItemNotFound) {
        BCLogWarning(kLogTag, "There is no encryption key for %@ in the keychain. OSStatus: %d", keyTag, status);
        return {StoredKey::State::Missing, std::nullopt};
    }
    // errSecParam: the item's bytes are not even text; errSecDecode: the
    // item itself does not parse.
    if (text || status == platform::security::errSecParam || status == platform::security::errSecDecode) {
        auto key = text ? platform::base64::decodeStrict(*text) : std::nullopt;
        if (key && key->size() == kKeySize) return {StoredKey::State::Found, key};
        BCLogError(kLogTag, "The encryption key of %@ in the keychain is damaged (not a 32-byte key). OSStatus: %d",
                   keyTag, status);
        return {StoredKey::State::Damaged, std::nullopt};
    }
    BCLogError(kLogTag, "Cannot read the encryption key of %@ from the keychain. OSStatus: %d", keyTag, status);
    return {StoredKey::State::Unreadable, std::nullopt};
}

bool startsWith(const platform::Data &data, const platform::Data &prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

}  // namespace

void BCEncrypter::setClockForTesting(std::function<platform::Date()> clock) {
    auto &state = processState();
    std::lock_guard<std::mutex> lock(state.clockMutex);
    state.testClock = std::move(clock);
}

std::optional<std::string> BCEncrypter::encryptString(const std::string &string) {
    auto encrypted = encryptData(platform::Data(string.begin(), string.end()));
    if (!encrypted) return std::nullopt;
    return platform::base64::encode(*encrypted);
}

std::optional<platform::Data> BCEncrypter::encryptData(const platform::Data &data) {
    std::string keyTag = getCurrentKeyTag();
    // The IV first: a failure there must not leave a new key behind.
    auto iv = generateInitializationVector();
    if (!iv) return std::nullopt;
    auto key = keyForTag(keyTag, true);
    if (!key) return std::nullopt;
    auto ciphertext = performCryptoOperation(kOperationEncrypt, data, iv, *key);
    if (!ciphertext) return std::nullopt;
    platform::Data result = getMetadataStringWithKeyTag(keyTag);
    result.push_back(':');
    result.insert(result.end(), iv->begin(), iv->end());
    result.insert(result.end(), ciphertext->begin(), ciphertext->end());
    return result;
}

std::optional<std::string> BCEncrypter::decryptString(const std::string &string) {
    auto data = platform::base64::decodeStrict(string);
    if (!data) {
        BCLogWarning(kLogTag, "Conversion of encrypted string to NSData failed.");
        return std::nullopt;
    }
    auto decrypted = decryptData(*data);
    if (!decrypted) return std::nullopt;
    std::string text(decrypted->begin(), decrypted->end());
    if (!platform::text::isValidUTF8(text)) {
        BCLogWarning(kLogTag, "Converting decrypted NSData to NSString failed.");
        return std::nullopt;
    }
    return text;
}

std::optional<platform::Data> BCEncrypter::decryptData(const platform::Data &data) {
    // Only data that begins with one of the two metadata texts is of the
    // new format; anything else is read as the older one. Guessing a tag
    // from arbitrary bytes would look for keys that were never made.
    for (const char *keyTag : {kEncryptionKeyTag, kEncryptionKeyTagAlternate}) {
        platform::Data prefix = getMetadataStringWithKeyTag(keyTag);
        prefix.push_back(':');
        if (!startsWith(data, prefix)) continue;
        size_t rest = data.size() - prefix.size();
        if (rest < kIvSize + kBlockSize || (rest - kIvSize) % kBlockSize != 0) {
            BCLogError(kLogTag, "Error performing encryption or decryption.");
            return std::nullopt;
        }
        platform::Data iv(data.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                          data.begin() + static_cast<std::ptrdiff_t>(prefix.size() + kIvSize));
        platform::Data ciphertext(data.begin() + static_cast<std::ptrdiff_t>(prefix.size() + kIvSize), data.end());
        auto key = keyForTag(keyTag, false);
        if (!key) return std::nullopt;
        return performCryptoOperation(kOperationDecrypt, ciphertext, iv, *key);
    }
    auto key = keyForTag(kEncryptionKeyTag, false);
    if (!key) return std::nullopt;
    return performCryptoOperation(kOperationDecrypt, data, std::nullopt, *key);
}

std::optional<platform::Data> BCEncrypter::getKeyWithKeyTag(const std::string &keyTag) {
    return keyForTag(keyTag, true);
}

std::optional<platform::Data> BCEncrypter::keyForTag(const std::string &keyTag, bool create) {
    if (!isKnownTag(keyTag)) {
        BCLogError(kLogTag, "There is no encryption key tag %@.", keyTag);
        return std::nullopt;
    }
    const bool original = keyTag == kEncryptionKeyTag;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        const auto &slot = original ? originalKeyData_ : alternateKeyData_;
        if (slot) return slot;
    }
    if (!create) {
        StoredKey stored = readKey(keyTag);
        if (!stored.key) BCLogError(kLogTag, "The data under the encryption key of %@ cannot be decrypted.", keyTag);
        return stored.key;
    }
    std::optional<platform::Data> key;
    {
        // Read under the lock: another thread may have made the key meanwhile.
        std::lock_guard<std::mutex> lock(processLock());
        StoredKey stored = readKey(keyTag);
        switch (stored.state) {
        case StoredKey::State::Found: key = stored.key; break;
        case StoredKey::State::Missing: key = generateAndSaveKeyWithTag(keyTag); break;
        case StoredKey::State::Damaged:
            // What it protected is unreadable already; a new key at least lets
            // new data round-trip.
            BCLogWarning(kLogTag, "Replacing the damaged encryption key of %@ with a new one.", keyTag);
            key = replaceDamagedKey(keyTag);
            break;
        case StoredKey::State::Unreadable: break;
        }
    }
    if (!key) {
        BCLogError(kLogTag, "No encryption key for %@; the data is not encrypted.", keyTag);
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(slotsMutex_);
    (original ? originalKeyData_ : alternateKeyData_) = key;
    return key;
}

std::string BCEncrypter::getCurrentKeyTag() {
    std::lock_guard<std::mutex> lock(processLock());
    platform::Value record = BCBeaconUserDefaults::shared()->objectForKey(kEncryptionKeyMetadataKey);
    if (!record.string()) {
        rotateToNewKeyTag(kEncryptionKeyTagAlternate);
        return kEncryptionKeyTagAlternate;
    }
    const std::string &text = *record.string();
    size_t slash = text.find('/');
    std::string keyTag = text.substr(0, slash);
    std::optional<platform::Date> expiry;
    if (slash != std::string::npos) expiry = BCUtility::dateFromISO8601(text.substr(slash + 1));
    // An unknown tag counts as expired too: data under it could never be
    // read back.
    if (expiry && *expiry >= now() && isKnownTag(keyTag)) return keyTag;
    std::string newTag = keyTag == kEncryptionKeyTag ? kEncryptionKeyTagAlternate : kEncryptionKeyTag;
    rotateToNewKeyTag(newTag);
    return newTag;
}

void BCEncrypter::rotateToNewKeyTag(const std::string &keyTag) {
    platform::Date expiry = now().dateByAddingTimeInterval(kKeyLifetime);
    std::string record = keyTag + "/" + BCUtility::dateToISO8601(expiry);
    BCBeaconUserDefaults::shared()->setObject(platform::Value(record), kEncryptionKeyMetadataKey);
}

std::optional<platform::Data> BCEncrypter::performCryptoOperation(uint32_t operation, const platform::Data &input,
                                                                  const std::optional<platform::Data> &iv,
                                                                  const platform::Data &key) {
    const platform::Data zeroIv(kIvSize, 0);
    const platform::Data &usedIv = iv ? *iv : zeroIv;
    std::optional<std::vector<uint8_t>> output;
    if (key.size() == kKeySize && usedIv.size() == kIvSize) {
        if (operation == kOperationEncrypt) {
            output = platform::security::Aes256Cbc::encrypt(input, key, usedIv);
        } else if (operation == kOperationDecrypt) {
            output = platform::security::Aes256Cbc::decrypt(input, key, usedIv);
        }
    }
    if (!output) {
        BCLogError(kLogTag, "Error performing encryption or decryption.");
        return std::nullopt;
    }
    return output;
}

std::optional<platform::Data> BCEncrypter::generateAndSaveKeyWithTag(const std::string &keyTag) {
    auto key = platform::security::SecureRandom::bytes(kKeySize);
    if (!key) {
        BCLogError(kLogTag, "Error generating encryption key. Error code: %d", -1);
        return std::nullopt;
    }
    platform::security::OSStatus status = 0;
    if (BCKeychainUtil::addString(platform::base64::encode(*key), keyTag, &status)) return key;
    // Another process made the key first: everybody uses that one.
    if (status == platform::security::errSecDuplicateItem) return readKey(keyTag).key;
    // A key that is not stored would leave the data it encrypts unreadable
    // after the next launch.
    return std::nullopt;
}

std::optional<platform::Data> BCEncrypter::replaceDamagedKey(const std::string &keyTag) {
    auto key = platform::security::SecureRandom::bytes(kKeySize);
    if (!key) {
        BCLogError(kLogTag, "Error generating encryption key. Error code: %d", -1);
        return std::nullopt;
    }
    // Removed first: a damaged item cannot be updated in place.
    if (!BCKeychainUtil::deleteStringForKey(keyTag) ||
        !BCKeychainUtil::addString(platform::base64::encode(*key), keyTag))
        return std::nullopt;
    return key;
}

std::optional<platform::Data> BCEncrypter::generateInitializationVector() {
    auto iv = platform::security::SecureRandom::bytes(kIvSize);
    if (!iv) {
        BCLogError(kLogTag, "Error generating initialization vector. Error code: %d", -1);
        return std::nullopt;
    }
    return iv;
}

platform::Data BCEncrypter::getMetadataStringWithKeyTag(const std::string &keyTag) {
    std::string metadata = keyTag + "/AES/CBC/PKCS7/32";
    return platform::Data(metadata.begin(), metadata.end());
}
