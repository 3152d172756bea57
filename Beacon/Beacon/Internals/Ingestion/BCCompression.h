#pragma once
// gzip compression of request bodies.
#include <optional>

#include "platform/foundation/Value.h"

class BCCompression {
public:
    // A complete gzip member of the data; absent for absent or empty data and
    // when zlib fails (logged). The output buffer is the input length times
    // 1.01 plus 12 bytes and is never enlarged, so a few bytes fail.
    static std::optional<platform::Data> compressData(const std::optional<platform::Data> &data);
};
