#pragma once
// Writes a Value as a binary property list ("bplist00") in time linear in
// the value: every object is laid out once, in one pass, with no key
// lookups (a Dictionary's keys are unique already). libplist's own writer
// costs the square of a large dictionary, which made writing a settings file
// of many keys take seconds. Internal to platform/foundation; what it writes
// is read back by libplist (PlistNode::parse).
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

class BinaryPropertyListWriter {
public:
    // The encoded list, or nullopt with `reason` set when the value (or one
    // inside it) is not a property-list value, nests deeper than `maxDepth`,
    // holds text that is not storable, or a date out of libplist's range.
    static std::optional<Data> dataWithPropertyList(const Value &plist, int maxDepth, std::string &reason);
};

}  // namespace platform
