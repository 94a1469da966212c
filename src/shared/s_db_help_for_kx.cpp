#include "shared/s_db_help_for_kx.h"

#include <strings.h>

#include "runtime/context.h"
#include "runtime/host.h"
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
Variant ConvertForType(int32_t type, const Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return Variant::Null();
  const bool blank = value.IsString() && Trim(value.get<std::string>()).empty();
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
    case adLongVarWChar: return Variant(CStr(value));
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

// Statements are plain text: parameters go to stored procedures only.
void RefuseSqlParameters(const Variant& params) {
  if (!S_DBHelpForKX::collectParams(params).empty())
    throw db::DatabaseError("Parameters are only passed to stored procedures");
}

}  // namespace

std::string config::DefaultServer(const std::string& provider) {
  if (strcasecmp(provider.c_str(), "SQLite") == 0) return ComponentFolder();
  if (strcasecmp(provider.c_str(), "SQLOLEDB") == 0) return "(local)";
  return "localhost";
}

db::Limits config::ReadLimits(const std::string& path) {
  db::Limits limits;
  const std::string timeout =
      Trim(sGetINI(path, kDatabaseSection, kStatementTimeout, std::to_string(kDefaultStatementTimeout)));
  // Whole seconds whose milliseconds still fit the engines' 32-bit setting.
  const bool digits = !timeout.empty() && timeout.size() <= 7 &&
                      timeout.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stol(timeout) > 2147483)
    throw db::DatabaseError(path + ": key " + kStatementTimeout + " of section " + kDatabaseSection +
                            " must be a whole number of seconds from 0 (no limit) to 2147483, not '" + timeout +
                            "'");
  limits.statementTimeoutSeconds = static_cast<int>(std::stol(timeout));
  limits.jit = Trim(sGetINI(path, kDatabaseSection, kJit, "0")) == "1";
  return limits;
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

std::string S_DBHelpForKX::GetConnectionString() {
  return GuardWith([](const std::string&) { return std::string("GetConnectionString Function"); }, [&] {
    using namespace config;
    const std::string path = ConfigPath();
    const std::string provider = sGetINI(path, kDatabaseSection, kProvider, kDefaultProvider);
    server_ = sGetINI(path, kDatabaseSection, kServerName, DefaultServer(provider));
    database_ = sGetINI(path, kDatabaseSection, kDatabaseName, kDefaultDatabase);
    userId_ = sGetINI(path, kDatabaseSection, kUserId, kDefaultUserId);
    password_ = sGetINI(path, kDatabaseSection, kPassword, kDefaultPassword);
    const int16_t flag = CInt(Variant(sGetINI(path, kDatabaseSection, kFlag, kDefaultFlag)));
    if (flag == 1) {
      userId_ = UnscrambleUserId(userId_);
      password_ = UnscramblePassword(password_);
    }
    return "Provider=" + provider + ";Data Source=" + server_ + ";Initial Catalog=" + database_ +
           ";User Id=" + userId_ + ";Password=" + password_ + ";Connect Timeout=10;";
  });
}

db::Target S_DBHelpForKX::TargetForCall() {
  return {GetConnectionString(), config::ReadLimits(ConfigPath())};
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
    return WithConnection(TargetForCall(), [&](db::Connection& c) {
      if (procedure) return c.CallProcedure(strSP, Arguments(collectParams(params)));
      RefuseSqlParameters(params);
      return c.Query(strSP);
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
    WithConnection(TargetForCall(), [&](db::Connection& c) { return c.CallProcedure(strSP, Arguments(collectParams(params))); });
    return Variant();
  });
}

Variant S_DBHelpForKX::RunSQL(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return db::Abbreviate(d) + Failed("RunSQL", strSP, d); }, [&] {
    WithConnection(TargetForCall(), [&](db::Connection& c) {
      RefuseSqlParameters(params);
      c.Execute(strSP);
      return 0;
    });
    return Variant();
  });
}

int32_t S_DBHelpForKX::RunSPReturnInteger(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSPReturnInteger", strSP, d); }, [&] {
    auto rs = WithConnection(TargetForCall(), [&](db::Connection& c) {
      return c.CallProcedure(strSP, Arguments(collectParams(params)));
    });
    // A procedure that returns nothing returns 0.
    if (rs->EOF_() || rs->Columns().empty()) return int32_t{0};
    const Variant& value = rs->Field(rs->Columns().front());
    return value.IsNull() ? int32_t{0} : CLng(value);
  });
}

std::shared_ptr<Command> S_DBHelpForKX::RunSQLReturnCmd(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSQLReturnCmd", strSP, d); }, [&] {
    const db::Target target = TargetForCall();
    auto cmd = std::make_shared<Command>();
    cmd->commandText = " Set TRANSACTION ISOLATION LEVEL READ COMMITTED " + strSP;
    cmd->commandType = 1;
    cmd->parameters = collectParams(params);
    WithConnection(target, [&](db::Connection& c) {
      RefuseSqlParameters(params);
      c.Execute(strSP);
      return 0;
    });
    return cmd;
  });
}

std::shared_ptr<Command> S_DBHelpForKX::RunSPReturnCmd(const std::string& strSP, const Variant& params) {
  return GuardWith([&](const std::string& d) { return Failed("RunSPReturnCmd", strSP, d); }, [&] {
    const db::Target target = TargetForCall();
    auto cmd = std::make_shared<Command>();
    cmd->commandText = strSP;
    cmd->commandType = 4;
    cmd->parameters = collectParams(params);
    WithConnection(target, [&](db::Connection& c) { return c.CallProcedure(strSP, Arguments(cmd->parameters)); });
    return cmd;
  });
}

}  // namespace kx
