// Setting up a database: the component's tables and procedures, from the scripts built into the
// library.
#include <map>

#include "runtime/db/connection.h"

namespace kx::db {

// The scripts of database/, by their path below it (cmake/embed_sql.cmake writes them at build time).
const std::map<std::string, std::string>& DatabaseScripts();

std::vector<std::string> InstallScripts(Engine engine) {
  const std::string folder =
      engine == Engine::PostgreSQL ? "postgresql/" : engine == Engine::SqlServer ? "sqlserver/" : "sqlite/";
  std::vector<std::string> scripts;
  for (const char* file : {"tables.sql", "procedures.sql"}) {
    const auto it = DatabaseScripts().find(folder + file);
    if (it != DatabaseScripts().end()) scripts.push_back(it->second);
  }
  return scripts;
}

void InstallDatabase(const std::string& connectionString) {
  const ConnectionInfo info = ConnectionInfo::Parse(connectionString);
  // Every script is idempotent, so a run that stops half-way is simply run again.
  auto connection = Open(info, OpenMode::Create);
  // Through ODBC the server's own dialect is known once connected.
  for (const auto& script : InstallScripts(connection->engine())) connection->ExecuteScript(script);
}

}  // namespace kx::db
