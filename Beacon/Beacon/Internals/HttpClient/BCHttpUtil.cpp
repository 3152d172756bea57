#include "BCHttpUtil.h"

#include <string_view>

#include "platform/foundation/Text.h"

bool BCHttpUtil::isSuccessStatusCode(long statusCode) { return statusCode >= 200 && statusCode < 300; }

bool BCHttpUtil::isRecoverableError(long statusCode) {
    return statusCode >= 500 || (statusCode >= 300 && statusCode < 400) || statusCode == 408 || statusCode == 429 ||
           statusCode == 0;
}

std::string BCHttpUtil::hideSecret(const std::string &secret) {
    // Lengths are counted in UTF-16 units, as the platform's strings count
    // them. A character that straddles the masked head is masked whole, so
    // the kept tail never starts inside a surrogate pair.
    constexpr size_t kVisible = 8;
    size_t length = platform::text::utf16Length(secret);
    size_t hidden = length <= kVisible ? length : length - kVisible;
    std::string out;
    out.reserve(secret.size());
    std::string_view rest(secret);
    size_t units = 0;
    while (!rest.empty()) {
        // One character: the shortest prefix of one or two units.
        std::string character = platform::text::utf16Prefix(rest, 1);
        if (character.empty()) character = platform::text::utf16Prefix(rest, 2);
        size_t characterUnits = platform::text::utf16Length(character);
        if (units < hidden)
            out.append(characterUnits, '*');
        else
            out += character;
        units += characterUnits;
        rest.remove_prefix(character.size());
    }
    return out;
}
