#pragma once
// AES-256 in CBC mode with PKCS#7 padding, one whole message per call.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform::security {

class Aes256Cbc {
public:
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kIvSize = 16;
    static constexpr std::size_t kBlockSize = 16;

    // The padded ciphertext (a non-zero multiple of 16 bytes; an empty
    // plaintext gives one block of padding). Nothing when the key is not 32
    // bytes, the IV not 16 bytes, or the cipher fails.
    static std::optional<std::vector<std::uint8_t>> encrypt(std::span<const std::uint8_t> plaintext,
                                                            std::span<const std::uint8_t> key,
                                                            std::span<const std::uint8_t> iv);

    // The plaintext with its padding removed (possibly empty). Nothing when
    // the key or IV has the wrong size, the ciphertext is empty or not a
    // multiple of 16 bytes, or its padding is wrong.
    static std::optional<std::vector<std::uint8_t>> decrypt(std::span<const std::uint8_t> ciphertext,
                                                            std::span<const std::uint8_t> key,
                                                            std::span<const std::uint8_t> iv);
};

}  // namespace platform::security
