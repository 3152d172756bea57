#pragma once
// Text helpers for UTF-8 strings measured the way NSString measures them, in
// UTF-16 code units.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform::text {

// The number of UTF-16 code units the UTF-8 text takes (a code point above
// U+FFFF takes two). An invalid byte counts as one unit.
size_t utf16Length(std::string_view utf8);

// The longest prefix of the text that takes at most maxUnits UTF-16 units and
// never ends inside a code point or a surrogate pair.
std::string utf16Prefix(std::string_view utf8, size_t maxUnits);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates
// or code points above U+10FFFF), as NSString requires of its input.
bool isValidUTF8(std::string_view bytes);

bool hasPrefix(std::string_view s, std::string_view prefix);
bool hasSuffix(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view needle);
// Every occurrence of `from` replaced by `to`.
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);

}  // namespace platform::text
