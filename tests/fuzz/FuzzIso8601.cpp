// ISO 8601 dates: parse, format, parse again; the text must come back the
// same, so that whatever is read can be written and read again.
#include <cstring>
#include <string_view>

#include "FuzzInput.h"
#include "platform/foundation/ISO8601.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    if (auto date = platform::iso8601::parse(text)) {
        std::string written = platform::iso8601::format(*date);
        auto again = platform::iso8601::parse(written);
        if (!again) fuzz::fail("fuzz_iso8601", "a formatted date does not parse");
        if (platform::iso8601::format(*again) != written) fuzz::fail("fuzz_iso8601", "a date changes when read again");
    }
    // Any date at all formats to text that parses.
    if (size >= sizeof(double)) {
        double t;
        std::memcpy(&t, data, sizeof t);
        if (!platform::iso8601::parse(platform::iso8601::format(platform::Date::fromTimeIntervalSince1970(t))))
            fuzz::fail("fuzz_iso8601", "a formatted date does not parse");
    }
    return 0;
}
