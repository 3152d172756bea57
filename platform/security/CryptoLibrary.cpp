#include "platform/security/CryptoLibrary.h"

#include <openssl/crypto.h>

namespace platform::security {

bool CryptoLibrary::ensureInitialized() {
    // The first initialisation of the process decides whether the atexit
    // handler is registered; OpenSSL makes the call idempotent and safe
    // from any thread.
    static const bool initialized = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return initialized;
}

namespace {

// At load, before anything else of the process (libcurl among them) can
// initialise the library with the handler.
[[maybe_unused]] const bool initializedAtLoad = CryptoLibrary::ensureInitialized();

}  // namespace

}  // namespace platform::security
