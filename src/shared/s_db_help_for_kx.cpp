#include "shared/s_db_help_for_kx.h"

#include <strings.h>

#include "runtime/context.h"
#include "runtime/db/statement.h"
#include "kx/host.h"
#include "runtime/ini.h"
#include "shared/mod_kx_common.h"

namespace kx {
namespace {

constexpr const char* kCollectParamsError = "collectParams(...): incorrect # of parameters";

std::string Unscramble(const std::string& text, const std::string& key) {
  if (key.size() < 3) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
  const size_t divisor = key.size() - 2;
  std::string bytes = text;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(bytes[i] ^ key[i % divisor]);
  const int16_t n = CInt(Variant(bytes.substr(0, 2)));
  if (n < 0) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
  return bytes.size() > 2 ? bytes.substr(2, static_cast<size_t>(n)) : std::string();
}

// The value as the parameter's type holds it; empty text for a non-text type is no value.
Variant ConvertForType(int32_t type, Variant value) {
  if (value.IsNull() || value.IsEmpty()) return Variant::Null();
  const bool blank = value.IsString() && value.get<std::string>().find_first_not_of(' ') == std::string::npos;
  switch (type) {
    case adSmallInt:
    case adTinyInt: return blank ? Variant::Null() : Variant(CInt(value));
    case adInteger:
    case adBigInt: return blank ? Variant::Null() : Variant(CLng(value));
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDecimal:
    case adNumeric: return blank ? Variant::Null() : Variant(CDbl(value));
    case adDate:
    case adDBDate:
    case adDBTime:
    case adDBTimeStamp: return blank ? Variant::Null() : Variant(CDate(value));
    case adBoolean: return blank ? Variant::Null() : Variant(CBool(value));
    case adBSTR:
    case adChar:
    case adWChar:
    case adVarChar:
    case adLongVarChar:
    case adVarWChar:
    case adLongVarWChar: return value.IsString() ? std::move(value) : Variant(CStr(value));
    default: throw db::DatabaseError("unsupported parameter type");
  }
}

// The failure text of `operation` on `strSP`: operation + "(" + strSP + ")" + the trapped
// description, with the statement and the description each cut to the description limit.
std::string Failed(const char* operation, const std::string& strSP, const std::string& trapped) {
  return operation + ("(" + db::Abbreviate(strSP) + ")") + db::Abbreviate(trapped);
}

// Runs `fn` on the connection of the call: the transaction scope's, or a pooled one.
template <class Fn>
auto WithConnection(const db::Target& target, Fn&& fn) {
  if (auto* scope = TransactionScope::Current()) return fn(scope->ConnectionFor(target));
  db::Lease lease = db::AcquireConnection(target);
  return fn(*lease);
}

std::vector<db::ProcedureArgument> Arguments(const std::vector<CommandParameter>& params) {
  std::vector<db::ProcedureArgument> args;
  for (const auto& p : params)
    if (p.direction == 1) args.push_back({p.name, p.type, p.size, p.value});
  return args;
}

// The values of the input parameters, in order, for the placeholders of a statement.
std::vector<Variant> Values(const std::vector<CommandParameter>& params) {
  std::vector<Variant> values;
  for (const auto& p : params)
    if (p.direction == 1) values.push_back(p.value);
  return values;
}

}  // namespace

std::string config::DefaultServer(const std::string& provider) {
  if (strcasecmp(provider.c_str(), "SQLite") == 0) return ComponentFolder();
  if (strcasecmp(provider.c_str(), "ODBC") == 0) return {};
  if (strcasecmp(provider.c_str(), "SQLOLEDB") == 0) return "(local)";
  return "localhost";
}

namespace {

// The value of `key` in section DATABASE.
std::string DatabaseValue(const IniFile& ini, const char* key, const std::string& defaultValue) {
  return ini.Value(config::kDatabaseSection, key, defaultValue);
}

// The failure of a value that cannot be used, naming the file and the key.
db::DatabaseError Unusable(const std::string& path, const char* key, const std::string& what) {
  return db::DatabaseError(path + ": key " + key + " of section " + config::kDatabaseSection + " " + what);
}

db::Limits LimitsOf(const IniFile& ini, const std::string& path) {
  using namespace config;
  db::Limits limits;
  const std::string timeout =
      Trim(DatabaseValue(ini, kStatementTimeout, std::to_string(kDefaultStatementTimeout)));
  // Whole seconds whose milliseconds still fit the engines' 32-bit setting.
  const bool digits = !timeout.empty() && timeout.size() <= 7 &&
                      timeout.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stol(timeout) > 2147483)
    throw Unusable(path, kStatementTimeout,
                   "must be a whole number of seconds from 0 (no limit) to 2147483, not '" + timeout + "'");
  limits.statementTimeoutSeconds = static_cast<int>(std::stol(timeout));
  limits.jit = Trim(DatabaseValue(ini, kJit, "0")) == "1";
  return limits;
}

// The stored text of `key` unscrambled; one that is no scrambled value fails naming the key.
std::string Unscrambled(const IniFile& ini, const std::string& path, const char* key,
                        const std::string& stored, std::string (*unscramble)(const std::string&)) {
  try {
    return unscramble(stored);
  } catch (const std::exception&) {
    const std::string which =
        ini.Has(config::kDatabaseSection, key) ? "holds" : "is missing, and its default '" + stored + "' is";
    throw Unusable(path, key, which + " no scrambled value, as FLAG=1 requires");
  }
}

}  // namespace

db::Limits config::ReadLimits(const std::string& path) { return LimitsOf(*IniFile::Load(path), path); }

std::string config::Problem(const std::string& path) {
  try {
    const auto ini = IniFile::Load(path);
    S_DBHelpForKX().ConnectionStringFrom(*ini, path);
    LimitsOf(*ini, path);
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::string Command::ToText() const {
  std::string out = commandText;
  for (const auto& p : parameters)
    out += "\n" + p.name + "=" + (p.value.IsNull() ? std::string("NULL") : CStr(p.value));
  return out;
}

int32_t S_DBHelpForKX::ClassDebugID() const {
  return Guard("ClassDebugID Property", [] { return int32_t{0}; });
}

namespace {

// What one parsed state of Config.ini gives: the call's target and the settings it was made of.
struct WorkedOut {
  std::string path;
  std::shared_ptr<const IniFile> ini;  // held, so that its address names no other state
  std::shared_ptr<const db::Target> target;
  S_DBHelpForKX::Settings settings;
};

// The last state worked out on this thread: an unchanged file gives the same target again without
// its values being looked up, converted and joined once more.
thread_local WorkedOut lastWorkedOut;

// Whether `ini` at `path` is the state worked out last on this thread.
bool WorkedOutBefore(const std::string& path, const std::shared_ptr<const IniFile>& ini) {
  return lastWorkedOut.ini == ini && lastWorkedOut.path == path;
}

}  // namespace

std::string S_DBHelpForKX::GetConnectionString() {
  const std::string path = ConfigPath();
  const auto ini = CallConfig(path);
  if (WorkedOutBefore(path, ini)) {
    KeepSettings(lastWorkedOut.settings, lastWorkedOut.target);
    return lastWorkedOut.target->connectionString;
  }
  return GuardWith([](const std::string&) { return std::string("GetConnectionString Function"); },
                   [&] { return ConnectionStringFrom(*ini, path); });
}

std::string S_DBHelpForKX::ConnectionStringFrom(const IniFile& ini, const std::string& path) {
  using namespace config;
  const std::string provider = DatabaseValue(ini, kProvider, kDefaultProvider);
  keptFrom_.reset();
  server_ = DatabaseValue(ini, kServerName, DefaultServer(provider));
  database_ = DatabaseValue(ini, kDatabaseName, kDefaultDatabase);
  userId_ = DatabaseValue(ini, kUserId, kDefaultUserId);
  password_ = DatabaseValue(ini, kPassword, kDefaultPassword);
  const std::string flag = DatabaseValue(ini, kFlag, kDefaultFlag);
  int16_t flagValue = 0;
  try {
    flagValue = CInt(Variant(flag));
  } catch (const Error&) {
    throw Unusable(path, kFlag, "must be a number, not '" + flag + "'");
  }
  if (flagValue == 1) {
    userId_ = Unscrambled(ini, path, kUserId, userId_, &UnscrambleUserId);
    password_ = Unscrambled(ini, path, kPassword, password_, &UnscramblePassword);
  }
  return "Provider=" + provider + ";Data Source=" + server_ + ";Initial Catalog=" + database_ +
         ";User Id=" + userId_ + ";Password=" + password_ + ";Connect Timeout=10;" +
         OdbcConnection(ini, path, provider);
}

std::string S_DBHelpForKX::OdbcConnection(const IniFile& ini, const std::string& path, const std::string& provider) {
  using namespace config;
  auto attribute = [](const char* key, const std::string& value) {
    return std::string(key) + "=" + db::OdbcValue(value) + ";";
  };
  if (strcasecmp(provider.c_str(), "SQLOLEDB") == 0) {
    // SQL Server through Debian's FreeTDS driver (the database layer writes the rest), or through
    // the driver DRIVER names.
    const std::string driver = Trim(DatabaseValue(ini, kDriver, ""));
    return driver.empty() ? std::string() : "Extended Properties=" + attribute("Driver", driver);
  }
  if (strcasecmp(provider.c_str(), "ODBC") != 0) return {};
  std::string odbc = Trim(DatabaseValue(ini, kConnectionString, ""));
  if (odbc.empty()) throw Unusable(path, kConnectionString, "must name the ODBC connection when PROVIDER is ODBC");
  if (odbc.back() != ';') odbc += ';';
  // The user and password of section DATABASE go with a connection string that names none.
  if (ini.Has(kDatabaseSection, kUserId) && !db::OdbcNames(odbc, "UID")) odbc += attribute("UID", userId_);
  if (ini.Has(kDatabaseSection, kPassword) && !db::OdbcNames(odbc, "PWD")) odbc += attribute("PWD", password_);
  return "Extended Properties=" + odbc;
}

std::shared_ptr<const db::Target> S_DBHelpForKX::TargetForCall() {
  // Config.ini is looked at once per call, and inside a transaction scope once for the whole scope.
  auto workOut = [this]() -> std::shared_ptr<const db::Target> {
    const std::string& path = CurrentConfigPath();
    const auto ini = CallConfig(path);
    if (WorkedOutBefore(path, ini)) {
      KeepSettings(lastWorkedOut.settings, lastWorkedOut.target);
      return lastWorkedOut.target;
    }
    std::string connectionString =
        GuardWith([](const std::string&) { return std::string("GetConnectionString Function"); },
                  [&] { return ConnectionStringFrom(*ini, path); });
    auto target = std::make_shared<const db::Target>(db::Target{std::move(connectionString), LimitsOf(*ini, path)});
    // Only a state that gave a usable target is kept; one that failed fails alike every time.
    lastWorkedOut = WorkedOut{path, ini, target, {server_, database_, userId_, password_}};
    keptFrom_ = target;
    return target;
  };
  if (auto* scope = TransactionScope::Current()) return scope->TargetFor(workOut);
  return workOut();
}

void S_DBHelpForKX::KeepSettings(const Settings& settings, const std::shared_ptr<const db::Target>& from) {
  // An object that calls again on the same state holds its settings already.
  if (keptFrom_ == from) return;
  keptFrom_ = from;
  server_ = settings[0];
  database_ = settings[1];
  userId_ = settings[2];
  password_ = settings[3];
}

std::string S_DBHelpForKX::UnscrambleUserId(const std::string& text) {
  return Unscramble(text, "DORMIQUESTAL");
}

std::string S_DBHelpForKX::UnscramblePassword(const std::string& text) {
  return Unscramble(text, "VANTRELOKS");
}

std::string S_DBHelpForKX::Scramble(const std::string& plain, const std::string& key) {
  if (key.size() < 3) ThrowRuntimeError(RuntimeErrorCode::InvalidArgument);
  std::string text = LPZero(std::to_string(plain.size()), 2) + plain;
  const size_t divisor = key.size() - 2;
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(text[i] ^ key[i % divisor]);
  return text;
}

std::vector<CommandParameter> S_DBHelpForKX::collectParams(const Variant& params) {
  return GuardWith([](const std::string&) { return std::string(kCollectParamsError); }, [&] {
    std::vector<CommandParameter> out;
    if (params.IsEmpty()) return out;
    for (const Variant& element : CArray(params)) {
      const auto* entries = element.get_if<ArrayPtr>();
      if (!entries || !*entries || (*entries)->size() != 6) throw db::DatabaseError(kCollectParamsError);
      const Array& e = **entries;
      CommandParameter p;
      p.name = CStr(e[0]);
      p.type = CLng(e[1]);
      p.size = CLng(e[2]);
      p.value = ConvertForType(p.type, e[3]);
      if (p.type == adNumeric) {
        p.precision = CByte(e[4]);
        p.scale = CByte(e[5]);
      }
      out.push_back(std::move(p));
    }
    return out;
  });
}

std::shared_ptr<db::Recordset> S_DBHelpForKX::ReturnRS(const char* operation, const std::string& strSP,
                                                       const Variant& params, bool procedure) {
  return GuardWith([&](const std::string& d) { return Failed(operation, strSP, d); }, [&] {
    return WithConnection(*TargetForCall(), [&](db::Connection& c) {
      if (procedure) return c.CallProcedure(strSP, Arguments(collectParams(params)));
      return c.Query(strSP, Values(collectParams(params)));
    });
  });
}

std::shared_ptr<db::Recordset> S_DBHelpForKX::RunSPReturnRS(const std::string& strSP, const Variant& params) {
  return ReturnRS("RunSPReturnRS", strSP, params, true);
}
std::shared_ptr<db::Recordset> S_DBHelpForKX::RunSQLReturnRS(const std::string& strSP, const Variant& params) {
  return ReturnRS("RunSQLReturnRS", strSP, params, false);
}
std::shared_ptr<db::Recordset> S_DBHelpForKX::RunSPReturnRS_RW(const std::string& strSP, const Variant& params) {
  return ReturnRS("RunSPReturnRS_RW", strSP, params, true);
}
std::shared_ptr<db::Recordset> S_DBHelpForKX::RunSQLReturnRS_RW(const std::string& strSP, const Variant& params) {
  return ReturnRS("RunSQLReturnRS_RW", strSP, params, false);
}

Variant S_DBHelpForKX::RunSP(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSP", strSP, d); }, [&] {
    WithConnection(*TargetForCall(),
                   [&](db::Connection& c) { return c.CallProcedure(strSP, Arguments(collectParams(params))); });
    return Variant();
  });
}

Variant S_DBHelpForKX::RunSQL(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return db::Abbreviate(d) + Failed("RunSQL", strSP, d); }, [&] {
    WithConnection(*TargetForCall(), [&](db::Connection& c) {
      c.Execute(strSP, Values(collectParams(params)));
      return 0;
    });
    return Variant();
  });
}

// Runs the procedure `strSP` with the arguments `args()` gives, as RunSPReturnInteger: the first
// column of its first row, 0 when it returns nothing.
template <class MakeArguments>
int32_t S_DBHelpForKX::ReturnInteger(const std::string& strSP, MakeArguments&& args) {
  return GuardWith([&](const std::string& d) { return Failed("RunSPReturnInteger", strSP, d); }, [&] {
    auto rs = WithConnection(*TargetForCall(), [&](db::Connection& c) { return c.CallProcedure(strSP, args()); });
    // A procedure that returns nothing returns 0.
    if (rs->EOF_() || rs->Columns().empty()) return int32_t{0};
    const Variant& value = rs->Field(rs->Columns().front());
    return value.IsNull() ? int32_t{0} : CLng(value);
  });
}

int32_t S_DBHelpForKX::RunSPReturnInteger(const std::string& strSP, const Variant& params) {
  return ReturnInteger(strSP, [&] { return Arguments(collectParams(params)); });
}

int32_t S_DBHelpForKX::RunProcedureReturnInteger(const std::string& strSP, std::vector<db::ProcedureArgument> args) {
  return ReturnInteger(strSP, [&]() -> const std::vector<db::ProcedureArgument>& {
    GuardWith([](const std::string&) { return std::string(kCollectParamsError); }, [&] {
      for (auto& a : args) a.value = ConvertForType(a.type, std::move(a.value));
    });
    return args;
  });
}

std::shared_ptr<Command> S_DBHelpForKX::RunSQLReturnCmd(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSQLReturnCmd", strSP, d); }, [&] {
    const auto target = TargetForCall();
    auto cmd = std::make_shared<Command>();
    cmd->commandText = " Set TRANSACTION ISOLATION LEVEL READ COMMITTED " + strSP;
    cmd->commandType = 1;
    cmd->parameters = collectParams(params);
    WithConnection(*target, [&](db::Connection& c) {
      c.Execute(strSP, Values(cmd->parameters));
      return 0;
    });
    return cmd;
  });
}

std::shared_ptr<db::Recordset> S_DBHelpForKX::RunStatementReturnRS(const db::Statement& statement) {
  return GuardWith([&](const std::string& d) { return Failed("RunSQLReturnRS", statement.Shown(), d); }, [&] {
    return WithConnection(*TargetForCall(), [&](db::Connection& c) { return c.Run(statement); });
  });
}

void S_DBHelpForKX::RunStatement(const db::Statement& statement) {
  GuardWith(
      [&](const std::string& d) { return db::Abbreviate(d) + Failed("RunSQL", statement.Shown(), d); },
      [&] { WithConnection(*TargetForCall(), [&](db::Connection& c) { return c.Run(statement); }); });
}

std::shared_ptr<Command> S_DBHelpForKX::RunSPReturnCmd(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSPReturnCmd", strSP, d); }, [&] {
    const auto target = TargetForCall();
    auto cmd = std::make_shared<Command>();
    cmd->commandText = strSP;
    cmd->commandType = 4;
    cmd->parameters = collectParams(params);
    WithConnection(*target,
                   [&](db::Connection& c) { return c.CallProcedure(strSP, Arguments(cmd->parameters)); });
    return cmd;
  });
}

}  // namespace kx
