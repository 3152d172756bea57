#pragma once
// Turns short secrets the SDK keeps on disk into self-describing encrypted
// text and back: AES-256-CBC with PKCS#7 padding, a fresh random IV per
// message, and two 256-bit keys kept in the keychain under two key tags.
// The tag that encrypts new data is recorded, with an expiry a year ahead,
// under "EncryptionKeyMetadata" in the SDK's user defaults; when it expires
// new data switches to the other tag, while data under either stays
// readable. Encrypted bytes are "<tag>/AES/CBC/PKCS7/32" ":" IV ciphertext;
// bytes without that metadata are the older format: ciphertext under the
// key of "kBNEncryptionKeyTag" with an all-zero IV.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

class BCEncrypter {
public:
    static constexpr const char *kEncryptionKeyTag = "kBNEncryptionKeyTag";
    static constexpr const char *kEncryptionKeyTagAlternate = "kBNEncryptionKeyTagAlternate";
    static constexpr const char *kEncryptionKeyMetadataKey = "EncryptionKeyMetadata";
    // A tag encrypts new data for this long: 365 days.
    static constexpr double kKeyLifetime = 31536000;

    enum Operation : uint32_t { kOperationEncrypt = 0, kOperationDecrypt = 1 };

    // Base64 of encryptData of the UTF-8 bytes; nothing when it failed.
    std::optional<std::string> encryptString(const std::string &string);
    // Metadata, ":", IV and ciphertext; nothing when it failed (and no key
    // is stored then).
    std::optional<platform::Data> encryptData(const platform::Data &data);
    // The text of decryptData of the Base64 text; nothing when the text is
    // not Base64, the data does not decrypt or is not UTF-8.
    std::optional<std::string> decryptString(const std::string &string);
    // Decrypts either format. Never makes a key: data under a tag whose key
    // does not exist cannot be read.
    std::optional<platform::Data> decryptData(const platform::Data &data);

    // The key of the tag (only the two tags above), made and stored in the
    // keychain when it does not exist yet, and made anew when the stored item
    // is damaged (not a 32-byte key); nothing, with a log line naming the
    // keychain status, when it cannot be read, made or stored.
    std::optional<platform::Data> getKeyWithKeyTag(const std::string &keyTag);

    // The tag that encrypts new data, rotated when its year has passed.
    static std::string getCurrentKeyTag();
    // Records the tag with an expiry a year from now; makes no key.
    static void rotateToNewKeyTag(const std::string &keyTag);
    // One AES-256-CBC pass with PKCS#7 padding; no IV means all zeros.
    // Nothing for a key that is not 32 bytes, an IV that is not 16, a
    // ciphertext that is not a non-zero multiple of 16 bytes, or a bad
    // padding.
    static std::optional<platform::Data> performCryptoOperation(uint32_t operation, const platform::Data &input,
                                                                const std::optional<platform::Data> &iv,
                                                                const platform::Data &key);
    // 32 random bytes, stored in the keychain under the tag as Base64 unless
    // a key exists there already (made by another process), which is then
    // answered instead. Nothing when no key could be made or stored.
    static std::optional<platform::Data> generateAndSaveKeyWithTag(const std::string &keyTag);
    // 16 random bytes; nothing when the generator fails.
    static std::optional<platform::Data> generateInitializationVector();
    // The UTF-8 bytes of "<tag>/AES/CBC/PKCS7/32".
    static platform::Data getMetadataStringWithKeyTag(const std::string &keyTag);

    // The clock of the tag rotation (tests move it; nullptr: the real one).
    static void setClockForTesting(std::function<platform::Date()> clock);

private:
    std::optional<platform::Data> keyForTag(const std::string &keyTag, bool create);
    // A new key stored over the damaged item of the tag.
    static std::optional<platform::Data> replaceDamagedKey(const std::string &keyTag);

    std::mutex slotsMutex_;
    std::optional<platform::Data> originalKeyData_;
    std::optional<platform::Data> alternateKeyData_;
};
