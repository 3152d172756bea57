#pragma once
// Keyed archiving of model objects: a class that can be archived derives
// from Coding, writes its fields in encodeWithCoder, and registers a decoder
// under its class name with KeyedUnarchiver::registerClass.
#include "platform/foundation/Object.h"

namespace platform {

class KeyedArchiver;

class Coding : public Object {
public:
    // Writes the object's fields under their keys. className() names the
    // class record in the archive.
    virtual void encodeWithCoder(KeyedArchiver &coder) const = 0;
};

}  // namespace platform
