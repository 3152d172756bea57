#pragma once
// The values of one statement, bound in order from parameter index 1.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCStorageBindableType.h"

class BCStorageBindableArray {
public:
    void addString(std::optional<std::string> value);
    void addNumber(int64_t value);
    const std::vector<std::shared_ptr<BCStorageBindableType>> &values() const { return values_; }
    // 0 when every value is bound (also when there are none); otherwise the
    // first failing code, logged with the 1-based index and SQLite's message.
    int bindAllValuesWithStatement(sqlite3_stmt *query, sqlite3 *db) const;

private:
    std::vector<std::shared_ptr<BCStorageBindableType>> values_;
};
