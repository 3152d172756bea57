#pragma once
// An observer of the user id context. Its one optional callback is a
// function member: empty means it does not respond.
#include <functional>
#include <optional>
#include <string>

class BCUserIdContext;

class BCUserIdContextDelegate {
public:
    virtual ~BCUserIdContextDelegate() = default;

    // Told the new user id (or nothing) after it was stored.
    std::function<void(BCUserIdContext &context, const std::optional<std::string> &userId)>
        userIdContextDidUpdateUserId;
};
