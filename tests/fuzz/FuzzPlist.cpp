// The property-list reader, then the writer on what it read: whatever the
// reader accepts must be writable in both formats and read back.

#include "FuzzInput.h"
#include "platform/foundation/PropertyListSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using platform::PropertyListSerialization;
    auto value = PropertyListSerialization::propertyListWithData(platform::Data(data, data + size));
    if (!value) return 0;
    for (auto format : {PropertyListSerialization::Format::Binary, PropertyListSerialization::Format::XML}) {
        platform::ErrorPtr error;
        auto written = PropertyListSerialization::dataWithPropertyList(*value, format, &error);
        if (!written) fuzz::fail("fuzz_plist", "a list that was read could not be written");
        if (!PropertyListSerialization::propertyListWithData(*written))
            fuzz::fail("fuzz_plist", "a written list did not read back");
    }
    return 0;
}
