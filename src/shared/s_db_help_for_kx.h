// S_DBHelpForKX: the component's only road to its database. Every call reads Config.ini, takes a
// connection (the transaction scope's, or one from the pool reset to READ COMMITTED), runs one
// statement or procedure and returns nothing, a return value, a disconnected result set or the
// executed command.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/db/connection.h"
#include "kx/object.h"

namespace kx {

class IniFile;

// ADO data type codes used by the component's parameters.
enum AdoType : int32_t {
  adSmallInt = 2, adInteger = 3, adSingle = 4, adDouble = 5, adCurrency = 6, adDate = 7,
  adBSTR = 8, adBoolean = 11, adDecimal = 14, adTinyInt = 16, adBigInt = 20, adChar = 129,
  adWChar = 130, adNumeric = 131, adDBDate = 133, adDBTime = 134, adDBTimeStamp = 135,
  adVarChar = 200, adLongVarChar = 201, adVarWChar = 202, adLongVarWChar = 203,
};

// One parameter of an executed command.
struct CommandParameter {
  std::string name;
  int32_t type = 0;
  int32_t direction = 1;  // 1 input, 4 return value
  int32_t size = 0;
  Variant value;
  uint8_t precision = 0;
  uint8_t scale = 0;
};

// An executed command, detached from its connection.
class Command : public Object {
 public:
  std::string_view ClassName() const override { return "Command"; }
  std::string ToText() const override;
  std::string commandText;
  int32_t commandType = 1;  // 1 text, 4 stored procedure
  std::vector<CommandParameter> parameters;
};

class S_DBHelpForKX : public Object {
 public:
  std::string_view ClassName() const override { return "S_DBHelpForKX"; }

  int32_t ClassDebugID() const;
  std::string GetConnectionString();

  std::shared_ptr<db::Recordset> RunSPReturnRS(const std::string& strSP, const Variant& params = {});
  std::shared_ptr<db::Recordset> RunSQLReturnRS(const std::string& strSP, const Variant& params = {});
  std::shared_ptr<db::Recordset> RunSPReturnRS_RW(const std::string& strSP, const Variant& params = {});
  std::shared_ptr<db::Recordset> RunSQLReturnRS_RW(const std::string& strSP, const Variant& params = {});
  Variant RunSP(const std::string& strSP, const Variant& params = {});
  Variant RunSQL(const std::string& strSP, const Variant& params = {});
  int32_t RunSPReturnInteger(const std::string& strSP, const Variant& params = {});
  std::shared_ptr<Command> RunSQLReturnCmd(const std::string& strSP, const Variant& params = {});
  std::shared_ptr<Command> RunSPReturnCmd(const std::string& strSP, const Variant& params = {});
  // RunSPReturnInteger for a caller that holds the parameters' parts: each argument as mp(...)
  // describes it, its value converted to its type here as collectParams converts it (and failing
  // as it fails). The same call and errors, without the array of arrays.
  int32_t RunProcedureReturnInteger(const std::string& strSP, std::vector<db::ProcedureArgument> args);

  // A statement the component built, its values bound (runtime/db/statement.h): its rows, or none
  // for one that writes. A failure reads as that of RunSQLReturnRS or RunSQL on the text shown.
  std::shared_ptr<db::Recordset> RunStatementReturnRS(const db::Statement& statement);
  void RunStatement(const db::Statement& statement);

  // The settings as last read by GetConnectionString.
  const std::string& server() const { return server_; }
  const std::string& database() const { return database_; }
  const std::string& userId() const { return userId_; }
  const std::string& password() const { return password_; }

  // The unscrambling routines of the stored user id and password (public for tests).
  static std::string UnscrambleUserId(const std::string& text);
  static std::string UnscramblePassword(const std::string& text);
  // The inverse, with the same key rule: what a stored value looks like for `plain`.
  static std::string Scramble(const std::string& plain, const std::string& key);

  // The connection string from the parsed Config.ini at `path`, keeping the settings read; a value
  // that cannot be used fails with an error naming the file and the key.
  std::string ConnectionStringFrom(const IniFile& ini, const std::string& path);
  // The end of the connection string of a database reached through ODBC: "Extended Properties="
  // and the ODBC connection string (PROVIDER ODBC: CONNECTIONSTRING, with UID and PWD from USERID
  // and PASSWORD when it names none; SQLOLEDB: "Driver=" and DRIVER when it is set); empty for
  // the other providers.
  std::string OdbcConnection(const IniFile& ini, const std::string& path, const std::string& provider);

  // Turns the parameter array into command parameters (each element exactly six values).
  static std::vector<CommandParameter> collectParams(const Variant& params);

  // The settings read from Config.ini: server, database, user id and password.
  using Settings = std::array<std::string, 4>;

 private:
  // Where the statements of this call go and the limits they run under.
  std::shared_ptr<const db::Target> TargetForCall();
  // Takes the settings a connection string was made of, as reading them would have set them;
  // `from` is the target they were worked out for.
  void KeepSettings(const Settings& settings, const std::shared_ptr<const db::Target>& from);
  std::shared_ptr<db::Recordset> ReturnRS(const char* operation, const std::string& strSP,
                                          const Variant& params, bool procedure);
  template <class MakeArguments>
  int32_t ReturnInteger(const std::string& strSP, MakeArguments&& args);
  std::string server_, database_, userId_, password_;
  // The target whose settings the four above hold (held, so that its address names no other);
  // null once they were read from the file.
  std::shared_ptr<const db::Target> keptFrom_;
};

// The Config.ini keys of section "DATABASE" and their defaults.
namespace config {
inline constexpr const char* kDatabaseSection = "DATABASE";
inline constexpr const char* kProvider = "PROVIDER";  // "SQLite" (default), "PostgreSQL", "SQLOLEDB", "ODBC"
inline constexpr const char* kConnectionString = "CONNECTIONSTRING";  // the ODBC connection (PROVIDER ODBC)
inline constexpr const char* kDriver = "DRIVER";  // the ODBC driver of SQL Server (PROVIDER SQLOLEDB; FreeTDS)
inline constexpr const char* kServerName = "SERVERNAME";
inline constexpr const char* kDatabaseName = "DATABASENAME";
inline constexpr const char* kUserId = "USERID";
inline constexpr const char* kPassword = "PASSWORD";
inline constexpr const char* kFlag = "FLAG";
inline constexpr const char* kStatementTimeout = "STATEMENTTIMEOUT";  // seconds a statement may run; 0: none
inline constexpr const char* kJit = "JIT";  // "1": PostgreSQL may compile queries just in time
inline constexpr const char* kDefaultProvider = "SQLite";
inline constexpr const char* kDefaultDatabase = "QLP_DB";
inline constexpr const char* kDefaultUserId = "sa";
inline constexpr const char* kDefaultPassword = "2977";
inline constexpr const char* kDefaultFlag = "0";
inline constexpr int kDefaultStatementTimeout = 30;
// The limits of section DATABASE of the Config.ini at `path`; a STATEMENTTIMEOUT that is no whole
// number of seconds from 0 to 2147483 fails with an error naming the file and the key.
db::Limits ReadLimits(const std::string& path);
// What makes section DATABASE of the Config.ini at `path` unusable, naming the file and the key;
// empty when it can be used.
std::string Problem(const std::string& path);
// The default SERVERNAME: the component folder for SQLite, "localhost" for PostgreSQL, "(local)"
// for SQL Server.
std::string DefaultServer(const std::string& provider);
}  // namespace config

}  // namespace kx
