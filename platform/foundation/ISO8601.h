#pragma once
// Dates as "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'": UTC, milliseconds, a literal Z.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"

namespace platform::iso8601 {

std::string format(const Date &date);
std::optional<Date> parse(std::string_view text);

}  // namespace platform::iso8601
