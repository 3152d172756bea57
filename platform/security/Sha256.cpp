#include "platform/security/Sha256.h"

#include "platform/security/CryptoLibrary.h"

#include <openssl/evp.h>

namespace platform::security {

std::optional<Sha256::Digest> Sha256::digest(std::span<const std::uint8_t> data) {
    Digest out{};
    unsigned int length = 0;
    if (!CryptoLibrary::ensureInitialized()) return std::nullopt;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != kDigestSize) {
        return std::nullopt;
    }
    return out;
}

std::optional<Sha256::Digest> Sha256::digest(std::string_view text) {
    return digest(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

std::optional<std::string> Sha256::hexDigest(std::span<const std::uint8_t> data) {
    auto bytes = digest(data);
    if (!bytes) return std::nullopt;
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(kDigestSize * 2);
    for (std::uint8_t b : *bytes) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0f]);
    }
    return out;
}

std::optional<std::string> Sha256::hexDigest(std::string_view text) {
    return hexDigest(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(text.data()), text.size()));
}

}  // namespace platform::security
