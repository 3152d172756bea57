#pragma once
// A value that can be bound to a parameter of a prepared statement.
#include <sqlite3.h>

class BCStorageBindableType {
public:
    virtual ~BCStorageBindableType() = default;
    // Binds at the 1-based index; answers SQLite's code.
    virtual int bindWithStatement(sqlite3_stmt *query, int index) const = 0;
};
