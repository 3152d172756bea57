// A number bound to a statement.
#include "BCStorageNumberType.h"

int BCStorageNumberType::bindWithStatement(sqlite3_stmt *query, int index) const {
    return sqlite3_bind_int64(query, index, value_);
}
