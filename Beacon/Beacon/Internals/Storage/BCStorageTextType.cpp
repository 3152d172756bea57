// A text value bound to a statement.
#include "BCStorageTextType.h"

int BCStorageTextType::bindWithStatement(sqlite3_stmt *query, int index) const {
    if (!value_) return sqlite3_bind_null(query, index);
    return sqlite3_bind_text64(query, index, value_->data(), value_->size(), SQLITE_STATIC, SQLITE_UTF8);
}
