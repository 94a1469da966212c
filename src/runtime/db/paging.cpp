#include "runtime/db/paging.h"

namespace kx::db {

Statement CountStatement(const Statement& statement) {
  return statement.Around("SELECT COUNT(*) AS RecCount FROM (", ") kx_rows");
}

Statement PageStatement(Engine engine, const Statement& statement, const std::string& orderColumn,
                        int64_t offset, int64_t limit) {
  Statement out = statement.Around("SELECT * FROM (", ") kx_rows ORDER BY " + orderColumn);
  if (limit < 0) return out;
  if (engine == Engine::SqlServer)
    return out.Append(" OFFSET " + std::to_string(offset) + " ROWS FETCH NEXT " + std::to_string(limit) +
                      " ROWS ONLY");
  return out.Append(" LIMIT " + std::to_string(limit) + " OFFSET " + std::to_string(offset));
}

}  // namespace kx::db
