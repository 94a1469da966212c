#include "runtime/db/paging.h"

namespace kx::db {

std::string CountStatement(Engine, const std::string& sql) {
  return "SELECT COUNT(*) AS RecCount FROM (" + sql + ") kx_rows";
}

std::string PageStatement(Engine engine, const std::string& sql, const std::string& orderColumn,
                          int64_t offset, int64_t limit) {
  std::string out = "SELECT * FROM (" + sql + ") kx_rows ORDER BY " + orderColumn;
  if (limit < 0) return out;
  if (engine == Engine::SqlServer)
    return out + " OFFSET " + std::to_string(offset) + " ROWS FETCH NEXT " + std::to_string(limit) +
           " ROWS ONLY";
  return out + " LIMIT " + std::to_string(limit) + " OFFSET " + std::to_string(offset);
}

}  // namespace kx::db
