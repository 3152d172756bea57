#include "BCHttpUtil.h"

#include "platform/foundation/Text.h"

bool BCHttpUtil::isSuccessStatusCode(long statusCode) { return statusCode >= 200 && statusCode < 300; }

bool BCHttpUtil::isRecoverableError(long statusCode) {
    return statusCode >= 500 || statusCode == 408 || statusCode == 429 || statusCode == 0;
}

std::string BCHttpUtil::hideSecret(const std::string &secret) {
    // Lengths are counted in UTF-16 units, as the platform's strings count
    // them. A character that straddles the masked head is masked whole, so
    // the kept tail never starts inside a surrogate pair.
    constexpr size_t kVisible = 8;
    size_t length = platform::text::utf16Length(secret);
    size_t hidden = length <= kVisible ? length : length - kVisible;
    std::string out;
    size_t units = 0, offset = 0;
    while (offset < secret.size()) {
        std::string head = platform::text::utf16Prefix(secret.substr(offset), 2);
        // One character: the shortest prefix of one or two units.
        std::string one = platform::text::utf16Prefix(secret.substr(offset), 1);
        std::string character = one.empty() ? head : one;
        size_t characterUnits = platform::text::utf16Length(character);
        if (units < hidden) out.append(characterUnits, '*');
        else out += character;
        units += characterUnits;
        offset += character.size();
    }
    return out;
}
