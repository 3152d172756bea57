// Base64: whatever decodes (strictly or leniently) encodes to text that
// decodes strictly to the same bytes; anything encoded decodes back.
#include <string_view>

#include "FuzzInput.h"
#include "platform/foundation/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    // (Not the same text: unused bits of the last symbol may be set.)
    if (auto decoded = platform::base64::decodeStrict(text)) {
        if (platform::base64::decodeStrict(platform::base64::encode(*decoded)) != decoded)
            fuzz::fail("fuzz_base64", "a strictly decoded value does not round-trip");
    }
    if (auto lenient = platform::base64::decodeLenient(text)) {
        if (platform::base64::decodeStrict(platform::base64::encode(*lenient)) != lenient)
            fuzz::fail("fuzz_base64", "a leniently decoded value does not round-trip");
    }
    platform::Data raw(data, data + size);
    if (platform::base64::decodeStrict(platform::base64::encode(raw)) != raw)
        fuzz::fail("fuzz_base64", "encoding does not round-trip");
    return 0;
}
