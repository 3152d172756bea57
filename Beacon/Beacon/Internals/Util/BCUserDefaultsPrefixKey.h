#pragma once
// Stands in a migration table for every stored key that begins with a prefix.
#include <string>

class BCUserDefaultsPrefixKey {
public:
    explicit BCUserDefaultsPrefixKey(std::string keyPrefix) : keyPrefix_(std::move(keyPrefix)) {}
    const std::string &keyPrefix() const { return keyPrefix_; }

private:
    std::string keyPrefix_;
};
