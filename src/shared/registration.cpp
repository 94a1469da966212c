// Late-bound access to the shared services.
#include "runtime/registry.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

void RegisterSharedClasses() {
  const std::vector<ParamInfo> run = {Param("strSP"), RefParam("params", true)};
  using H = S_DBHelpForKX;
  auto rs = [](std::shared_ptr<db::Recordset> r) { return Variant(std::static_pointer_cast<Object>(r)); };
  auto cmd = [](std::shared_ptr<Command> c) { return Variant(std::static_pointer_cast<Object>(c)); };
  ClassBuilder<H>("S_DBHelpForKX")
      .Get("ClassDebugID", [](H& h) { return Variant(h.ClassDebugID()); })
      .Method("GetConnectionString", {}, [](H& h, Args&) { return Variant(h.GetConnectionString()); })
      .Method("RunSPReturnRS", run, [rs](H& h, Args& a) { return rs(h.RunSPReturnRS(CStr(a[0]), a[1])); })
      .Method("RunSQLReturnRS", run, [rs](H& h, Args& a) { return rs(h.RunSQLReturnRS(CStr(a[0]), a[1])); })
      .Method("RunSPReturnRS_RW", run, [rs](H& h, Args& a) { return rs(h.RunSPReturnRS_RW(CStr(a[0]), a[1])); })
      .Method("RunSQLReturnRS_RW", run, [rs](H& h, Args& a) { return rs(h.RunSQLReturnRS_RW(CStr(a[0]), a[1])); })
      .Method("RunSP", run, [](H& h, Args& a) { return h.RunSP(CStr(a[0]), a[1]); })
      .Method("RunSQL", run, [](H& h, Args& a) { return h.RunSQL(CStr(a[0]), a[1]); })
      .Method("RunSPReturnInteger", run, [](H& h, Args& a) { return Variant(h.RunSPReturnInteger(CStr(a[0]), a[1])); })
      .Method("RunSQLReturnCmd", run, [cmd](H& h, Args& a) { return cmd(h.RunSQLReturnCmd(CStr(a[0]), a[1])); })
      .Method("RunSPReturnCmd", run, [cmd](H& h, Args& a) { return cmd(h.RunSPReturnCmd(CStr(a[0]), a[1])); });
}

}  // namespace kx
