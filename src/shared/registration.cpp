// Late-bound access to the shared services: the database helper, and the result sets and commands
// it answers.
#include "runtime/db/recordset.h"
#include "runtime/expose.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {
namespace {

constexpr const char* kHelper = "S_DBHelpForKX";
constexpr const char* kRecordset = "Recordset";
constexpr const char* kCommand = "Command";

ClassInfo HelperClass() {
  using H = S_DBHelpForKX;
  const std::vector<Arg> run = {"strSP", OptionalByRef("params")};
  return Expose<H>(kHelper)
      .Get("ClassDebugID", &H::ClassDebugID)
      .Method("GetConnectionString", &H::GetConnectionString)
      .Method("RunSPReturnRS", &H::RunSPReturnRS, run)
      .Method("RunSQLReturnRS", &H::RunSQLReturnRS, run)
      .Method("RunSPReturnRS_RW", &H::RunSPReturnRS_RW, run)
      .Method("RunSQLReturnRS_RW", &H::RunSQLReturnRS_RW, run)
      .Method("RunSP", &H::RunSP, run)
      .Method("RunSQL", &H::RunSQL, run)
      .Method("RunSPReturnInteger", &H::RunSPReturnInteger, run)
      .Method("RunSQLReturnCmd", &H::RunSQLReturnCmd, run)
      .Method("RunSPReturnCmd", &H::RunSPReturnCmd, run)
      .Build();
}

ClassInfo RecordsetClass() {
  using R = db::Recordset;
  return Expose<R>(kRecordset,
                   [] {
                     return std::static_pointer_cast<Object>(std::make_shared<R>(
                         std::vector<std::string>{}, std::vector<std::vector<Variant>>{}));
                   })
      .Get("RecordCount", &R::RecordCount)
      .Get("EOF", &R::EOF_)
      .Method("MoveNext", &R::MoveNext)
      .Method("MoveFirst", &R::MoveFirst)
      .Raw("Fields", MemberKind::Method, {"Name"}, [](R& rs, Args& a) { return rs.Field(CStr(a[0])); })
      .Property("PageSize", &R::PageSize, &R::SetPageSize)
      .Property("AbsolutePage", &R::AbsolutePage, &R::SetAbsolutePage)
      .Get("PageCount", &R::PageCount)
      .Build();
}

// The executed command: its text and type, and its parameters read back by position or name.
ClassInfo CommandClass() {
  return Expose<Command>(kCommand)
      .Raw("CommandText", MemberKind::PropertyGet, {},
           [](Command& c, Args&) { return Variant(c.commandText); })
      .Raw("CommandType", MemberKind::PropertyGet, {},
           [](Command& c, Args&) { return Variant(c.commandType); })
      .Raw("Parameters", MemberKind::Method, {"Index"},
           [](Command& c, Args& a) {
             for (size_t i = 0; i < c.parameters.size(); ++i)
               if (a[0].IsString() ? c.parameters[i].name == a[0].get<std::string>()
                                   : CLng(a[0]) == static_cast<int32_t>(i))
                 return c.parameters[i].value;
             ThrowRuntimeError(RuntimeErrorCode::SubscriptOutOfRange);
           })
      .Raw("ParameterCount", MemberKind::PropertyGet, {},
           [](Command& c, Args&) { return Variant(static_cast<int32_t>(c.parameters.size())); })
      .Build();
}

void Register() {
  auto& registry = Registry::Instance();
  registry.Declare(kHelper, HelperClass);
  registry.Declare(kRecordset, RecordsetClass);
  registry.Declare(kCommand, CommandClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
