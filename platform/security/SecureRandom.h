#pragma once
// Bytes from the system's cryptographically secure random generator.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::security {

class SecureRandom {
public:
    // count random bytes (an empty buffer for zero), or nothing when the
    // generator fails or the count is too large for it; never a partly
    // filled buffer.
    static std::optional<std::vector<std::uint8_t>> bytes(std::size_t count);
};

}  // namespace platform::security
