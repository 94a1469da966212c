#include "tools/demo.h"

#include <functional>

#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "kx/error.h"
#include "kx/registry.h"

namespace kx {
namespace {

// A late-bound call, as every client makes it.
Variant Call(const ObjectPtr& object, const std::string& member, Args args = {}) {
  return Registry::Instance().Invoke(*object, member, args);
}

// One page of the demo profiles that `conditions` select, with its counts.
std::string Page(const ObjectPtr& profiles, const std::string& conditions, int32_t perPage, int32_t page) {
  Args args = {
      Variant(), Variant(), Variant(perPage), Variant(page),
      Variant("<AccessKeys>" + conditions +
              "<AccessKey Field=\"Code\" SearchCondition=\"BeginWith\" Key=\"DEMO\"/></AccessKeys>")};
  const std::string answer = CStr(Registry::Instance().Invoke(*profiles, "queryOwnedElementsByXML", args));
  return "ResultCount " + CStr(args[0]) + ", ResultPages " + CStr(args[1]) + "\n" + answer;
}

std::string Profile(const std::string& code, const std::string& name, const std::string& category) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"" + category +
         "\"/>";
}

}  // namespace

DatabaseName SetUpDatabase() {
  const std::string cs = CStr(Call(Registry::Instance().Create("S_DBHelpForKX"), "GetConnectionString"));
  db::InstallDatabase(cs);
  const db::ConnectionInfo info = db::ConnectionInfo::Parse(cs);
  return {info.catalog, info.dataSource};
}

int RunDemo(std::ostream& out) {
  try {
    const DatabaseName name = SetUpDatabase();
    out << "Database " << name.database << " on " << name.server << " is ready.\n";
    Call(Registry::Instance().Create("S_DBHelpForKX"), "RunSQL",
         {"Delete JB_TYPE_PROFILE Where JB_TYPE_CODE like 'DEMO%'"});
  } catch (const Error& e) {
    out << "demo failed: " << e.description() << "\n";
    return 1;
  } catch (const std::exception& e) {
    out << "demo failed: " << e.what() << "\n";
    return 1;
  }

  const ObjectPtr profiles = Registry::Instance().Create("C_JBTypeProfile");
  RunStep(out, "add twelve job order type profiles", [&] {
    for (int i = 1; i <= 12; ++i) {
      const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
      Call(profiles, "add",
           {Profile("DEMO" + n, i % 3 ? "Trucking to depot " + n : "O'Neil's rail " + n,
                    i % 2 ? "TR" : "RL")});
    }
    return std::string("added DEMO01 to DEMO12");
  });
  RunStep(out, "fetch DEMO03 (a name with a quote is stored intact)",
       [&] { return CStr(Call(profiles, "getElementByXML", {"DEMO03"})); });
  RunStep(out, "search names that include \"rail\", page 1 of 2 per page", [&] {
    return Page(profiles, "<AccessKey Field=\"JBTypeName\" SearchCondition=\"Include\" Key=\" rail \"/>", 2,
                1);
  });
  RunStep(out, "page 3 of all profiles, 5 per page", [&] { return Page(profiles, "", 5, 3); });
  RunStep(out, "modify DEMO03 and read it back", [&] {
    Call(profiles, "modify", {Profile("DEMO03", "Rail to inland depot", "RL")});
    return CStr(Call(profiles, "getElementByXML", {"DEMO03"}));
  });
  RunStep(out, "an invalid request is refused before anything is written", [&] {
    Call(profiles, "add", {"<JBTypeProfile Code=\"DEMO99\"/>"});
    return std::string("(not reached)");
  });
  RunStep(out, "remove DEMO03", [&] {
    Call(profiles, "remove", {"DEMO03"});
    return std::string("removed DEMO03; containsKey now answers ") +
           (CBool(Call(profiles, "containsKey", {"DEMO03"})) ? "true" : "false");
  });
  RunStep(out, "remove DEMO03 again: the missing row is reported with the chain of procedures", [&] {
    Call(profiles, "remove", {"DEMO03"});
    return std::string("(not reached)");
  });
  RunStep(out, "clean up", [&] {
    Args args = {Variant(), Variant()};
    Registry::Instance().Invoke(*profiles, "queryOwnedElementsByXML", args);
    Call(Registry::Instance().Create("S_DBHelpForKX"), "RunSQL",
         {"Delete JB_TYPE_PROFILE Where JB_TYPE_CODE like 'DEMO%'"});
    return "removed the demo profiles (" + CStr(args[0]) + " rows were in the table)";
  });
  out << "\n";
  const int orders = RunJobOrderDemo(out);
  out << "\n";
  return RunRetrievingDemo(out) || orders;
}

}  // namespace kx
