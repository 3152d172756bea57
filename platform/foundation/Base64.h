#pragma once
// Base64 (RFC 4648, with padding).
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform::base64 {

std::string encode(const Data &data);
// Refuses any character outside the alphabet, bad padding or a bad length.
std::optional<Data> decodeStrict(std::string_view text);
// Skips characters outside the alphabet (line breaks, blanks) and accepts a
// missing padding; refuses only a length that cannot be base64.
std::optional<Data> decodeLenient(std::string_view text);

}  // namespace platform::base64
