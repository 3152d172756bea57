#pragma once
// The root of the objects that a Value can hold by reference (model objects,
// errors): they have a class name, a description for "%@", and equality.
#include <memory>
#include <string>

namespace platform {

class Object {
public:
    virtual ~Object() = default;
    // The class name that descriptions and archives use.
    virtual std::string className() const = 0;
    // The text "%@" prints for the object.
    virtual std::string description() const;
    // Equality of two objects; by default identity.
    virtual bool isEqual(const Object &other) const { return this == &other; }
};

using ObjectPtr = std::shared_ptr<Object>;

}  // namespace platform
