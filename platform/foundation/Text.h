#pragma once
// Text helpers for UTF-8 strings measured the way NSString measures them, in
// UTF-16 code units.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform::text {

// The number of UTF-16 code units the UTF-8 text takes (a code point above
// U+FFFF takes two). An invalid byte counts as one unit.
size_t utf16Length(std::string_view utf8);

// The longest prefix of the text that takes at most maxUnits UTF-16 units and
// never ends inside a code point or a surrogate pair.
std::string utf16Prefix(std::string_view utf8, size_t maxUnits);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF), the only text a string may hold.
bool isValidUTF8(std::string_view bytes);
// The bytes as UTF-8, every ill-formed sequence replaced by U+FFFD: for text
// read from the system (file contents, the environment), which must always
// be storable.
std::string lossyUTF8(std::string_view bytes);

bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view needle);
// Every occurrence of `from` replaced by `to`.
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);
// The first `shown` items joined with ", ", then " and <n> more" for the
// rest: names for one line that may stand for many.
std::string listed(const std::vector<std::string> &items, size_t shown);

}  // namespace platform::text
