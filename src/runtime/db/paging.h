// Counting and paging a statement's rows in the database.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/db/statement.h"

namespace kx::db {

// A statement answering the number of rows of `statement` in the column "RecCount".
Statement CountStatement(const Statement& statement);
// A statement answering the rows of `statement` ordered by `orderColumn`: `limit` rows after the
// first `offset`, or every row when `limit` is below 0, in the words of the dialect it runs in.
Statement PageStatement(const Statement& statement, const std::string& orderColumn, int64_t offset, int64_t limit);

}  // namespace kx::db
