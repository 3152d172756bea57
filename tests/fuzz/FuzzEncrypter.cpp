// The encrypter's decryption of stored tokens, both as bytes and as Base64
// text, with both keys in a keychain of its own.
#include <filesystem>
#include <string>

#include "BCEncrypter.h"
#include "BCKeychainUtil.h"
#include "BCLogger.h"
#include "FuzzInput.h"
#include "platform/foundation/Base64.h"
#include "platform/security/Keychain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static BCEncrypter *encrypter = [] {
        BCLogger::setCurrentLogLevel(BCLogLevelNone);
        char folder[] = "/tmp/plotwick-fuzz-keychain-XXXXXX";
        if (!mkdtemp(folder)) fuzz::fail("fuzz_encrypter", "no temporary folder");
        platform::security::Keychain::setSharedInstance(std::make_shared<platform::security::Keychain>(folder));
        BCKeychainUtil::storeString(platform::base64::encode(platform::Data(32, 1)), BCEncrypter::kEncryptionKeyTag);
        BCKeychainUtil::storeString(platform::base64::encode(platform::Data(32, 2)),
                                    BCEncrypter::kEncryptionKeyTagAlternate);
        return new BCEncrypter;
    }();
    platform::Data bytes(data, data + size);
    (void)encrypter->decryptData(bytes);
    (void)encrypter->decryptString(std::string(bytes.begin(), bytes.end()));
    return 0;
}
