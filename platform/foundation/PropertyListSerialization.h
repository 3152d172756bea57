#pragma once
// Property lists on disk: converts between Value and the binary or XML
// property-list formats (libplist). Only property-list values convert:
// nil, booleans, integers, reals, strings, data, dates, arrays and
// dictionaries; UUIDs and objects are refused.
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

class PropertyListSerialization {
public:
    enum class Format { Binary, XML };

    // The encoded property list, or nullopt with an error when the value (or
    // something inside it) is not a property-list value. Dates must lie
    // between 1933 and 2068 (libplist keeps 32-bit seconds since 2001);
    // binary lists keep their microseconds, XML lists whole seconds.
    static std::optional<Data> dataWithPropertyList(const Value &plist, Format format, ErrorPtr *error = nullptr);

    // Reads a binary or XML property list; nullopt with an error for
    // anything else (garbage, truncation, keyed-archive UIDs).
    static std::optional<Value> propertyListWithData(const Data &data, ErrorPtr *error = nullptr);

    // Whether the value could be written as a property list.
    static bool isValidPropertyList(const Value &plist);
};

}  // namespace platform
