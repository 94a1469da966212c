#include "runtime/db/paging.h"

namespace kx::db {

Statement CountStatement(const Statement& statement) {
  return statement.Around("SELECT COUNT(*) AS RecCount FROM (", ") kx_rows");
}

Statement PageStatement(const Statement& statement, const std::string& orderColumn, int64_t offset, int64_t limit) {
  return statement.Around("SELECT * FROM (", ") kx_rows ORDER BY " + orderColumn).Page(offset, limit);
}

}  // namespace kx::db
