#pragma once
// SHA-256 digests of byte strings.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::security {

class Sha256 {
public:
    static constexpr std::size_t kDigestSize = 32;
    using Digest = std::array<std::uint8_t, kDigestSize>;

    // The 32-byte digest of the bytes, or nothing when libcrypto fails.
    static std::optional<Digest> digest(std::span<const std::uint8_t> data);
    static std::optional<Digest> digest(std::string_view text);

    // The digest as 64 lowercase hexadecimal characters.
    static std::optional<std::string> hexDigest(std::span<const std::uint8_t> data);
    static std::optional<std::string> hexDigest(std::string_view text);
};

}  // namespace platform::security
