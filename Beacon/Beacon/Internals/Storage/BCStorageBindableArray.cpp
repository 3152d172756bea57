// The values of one statement.
#include "BCStorageBindableArray.h"

#include "BCLogger.h"
#include "BCStorageNumberType.h"
#include "BCStorageTextType.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

void BCStorageBindableArray::addString(std::optional<std::string> value) {
    values_.push_back(std::make_shared<BCStorageTextType>(std::move(value)));
}

void BCStorageBindableArray::addNumber(int64_t value) {
    values_.push_back(std::make_shared<BCStorageNumberType>(value));
}

int BCStorageBindableArray::bindAllValuesWithStatement(sqlite3_stmt *query, sqlite3 *db) const {
    for (size_t i = 0; i < values_.size(); ++i) {
        int index = static_cast<int>(i + 1);
        int result = values_[i]->bindWithStatement(query, index);
        if (result != SQLITE_OK) {
            BCLogError(kLogTag, "Binding query parameter %d failed with error: %d. Message: %@", index, result,
                       std::string(sqlite3_errmsg(db)));
            return result;
        }
    }
    return SQLITE_OK;
}
