#pragma once
// One notification: a name, the object it concerns (or none) and a
// dictionary of further information.
#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace platform {

class Notification {
public:
    Notification(std::string name, std::shared_ptr<Object> object = nullptr, Dictionary userInfo = {})
        : name_(std::move(name)), object_(std::move(object)), userInfo_(std::move(userInfo)) {}

    const std::string &name() const { return name_; }
    const std::shared_ptr<Object> &object() const { return object_; }
    const Dictionary &userInfo() const { return userInfo_; }

private:
    std::string name_;
    std::shared_ptr<Object> object_;
    Dictionary userInfo_;
};

}  // namespace platform
