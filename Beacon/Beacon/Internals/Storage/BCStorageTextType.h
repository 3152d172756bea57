#pragma once
// A bindable text value; absent binds SQL NULL.
#include <optional>
#include <string>

#include "BCStorageBindableType.h"

class BCStorageTextType : public BCStorageBindableType {
public:
    explicit BCStorageTextType(std::optional<std::string> value) : value_(std::move(value)) {}
    const std::optional<std::string> &value() const { return value_; }
    // The whole text, every byte of it (embedded NULs included), bound in
    // place without a copy (a stored log is kilobytes): the value must stay
    // unchanged until the statement is reset with its bindings cleared, or
    // finalized, as the store's statements are right after their steps.
    int bindWithStatement(sqlite3_stmt *query, int index) const override;

private:
    std::optional<std::string> value_;
};
