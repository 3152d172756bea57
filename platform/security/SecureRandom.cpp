#include "platform/security/SecureRandom.h"

#include "platform/security/CryptoLibrary.h"

#include <climits>
#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace platform::security {

std::optional<std::vector<std::uint8_t>> SecureRandom::bytes(std::size_t count) {
    if (count > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    std::vector<std::uint8_t> out(count);
    if (count == 0) return out;
    if (!CryptoLibrary::ensureInitialized()) return std::nullopt;
    if (RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

}  // namespace platform::security
