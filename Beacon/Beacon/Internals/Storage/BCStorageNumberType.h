#pragma once
// A bindable number, bound as a signed 64-bit integer.
#include <cstdint>

#include "BCStorageBindableType.h"

class BCStorageNumberType : public BCStorageBindableType {
public:
    explicit BCStorageNumberType(int64_t value) : value_(value) {}
    int64_t value() const { return value_; }
    int bindWithStatement(sqlite3_stmt *query, int index) const override;

private:
    int64_t value_;
};
