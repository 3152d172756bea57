#pragma once
// Process-wide set-up of the crypto library (OpenSSL libcrypto). By default
// OpenSSL frees its state from an atexit handler, and a detached worker
// still encrypting while exit runs would then crash the process; the state
// is therefore set up once, without that handler, and lives until the
// process ends.
namespace platform::security {

class CryptoLibrary {
public:
    // Sets the library up (once; later calls only check). False when the
    // library could not be initialised.
    static bool ensureInitialized();
};

}  // namespace platform::security
