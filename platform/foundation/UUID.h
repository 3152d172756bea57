#pragma once
// A 128-bit universally unique identifier; its text form is upper case.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
public:
    using Bytes = std::array<uint8_t, 16>;

    UUID() : bytes_{} {}
    explicit UUID(const Bytes &bytes) : bytes_(bytes) {}
    // A new random (version 4) UUID.
    static UUID random();
    // Parses "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" in either case.
    static std::optional<UUID> fromString(std::string_view text);

    const Bytes &bytes() const { return bytes_; }
    std::string UUIDString() const;

    friend bool operator==(const UUID &a, const UUID &b) { return a.bytes_ == b.bytes_; }
    friend bool operator<(const UUID &a, const UUID &b) { return a.bytes_ < b.bytes_; }

private:
    Bytes bytes_;
};

}  // namespace platform
