// Counting and paging a statement's rows in the database, in each engine's dialect.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/db/connection.h"

namespace kx::db {

// A statement answering the number of rows of `sql` in the column "RecCount".
std::string CountStatement(Engine engine, const std::string& sql);
// A statement answering the rows of `sql` ordered by `orderColumn`: `limit` rows after the first
// `offset`, or every row when `limit` is below 0.
std::string PageStatement(Engine engine, const std::string& sql, const std::string& orderColumn,
                          int64_t offset, int64_t limit);

}  // namespace kx::db
