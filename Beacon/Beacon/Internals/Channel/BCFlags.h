#pragma once
// Enqueue flags of a log. The low byte is the storage priority of the log's
// row: critical logs are kept longest when the store is full and sent first.
#include <cstdint>

enum BCFlags : uint32_t {
    BCFlagsNone = 0,
    BCFlagsNormal = 1,
    BCFlagsCritical = 2,
};

// The storage priority carried by a set of flags.
inline constexpr uint32_t BCFlagsPriority(uint32_t flags) { return flags & 0xFFu; }
