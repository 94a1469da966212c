#include <functional>
#include <string>

#include "runtime/context.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "tools/demo.h"

namespace kx {

bool RunStep(std::ostream& out, const std::string& title, const std::function<std::string()>& call) {
  out << "\n== " << title << "\n";
  try {
    TransactionScope scope;
    const std::string result = call();
    scope.Complete();
    if (!result.empty()) out << result << (result.back() == '\n' ? "" : "\n");
    return true;
  } catch (const Error& e) {
    out << "error " << e.number() << ": " << e.description() << "\n";
  } catch (const std::exception& e) {
    out << "error: " << e.what() << "\n";
  }
  return false;
}

namespace {

Variant Invoke(const ObjectPtr& object, const std::string& member, Args args = {}) {
  return Registry::Instance().Invoke(*object, member, args);
}

// A work file line request for container `number`, handled or not.
std::string Line(const std::string& number, const std::string& type, const std::string& cargo, bool handled) {
  return "<JBContainerRetrievingTempDetail FromPlace=\"HKG\" ToPlace=\"YTN\" MovementMode=\"CY\" "
         "ContainerPrefix=\"KXDU\" ContainerNo=\"" +
         number + "\" ContainerType=\"" + type +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BKDEMO01\" BLNo=\"BLDEMO01\" ERNo=\"ERDEMO01\" "
         "CargoDescription=\"" +
         cargo +
         "\" Reefer=\"N\" Hazard=\"N\" PlaceAcceptance=\"HKG\" POL=\"HKG\" POD=\"LAX\" PlaceDelivery=\"LAX\" "
         "HandledFlag=\"" +
         (handled ? "1" : "0") + "\"/>";
}

// The modify request of file `id` with the first `handled` of its three lines handled.
std::string Progress(const std::string& id, int handled) {
  std::string lines;
  for (int i = 0; i < 3; ++i)
    lines +=
        "<JBContainerRetrievingTempDetail HandledFlag=\"" + std::string(i < handled ? "1" : "0") + "\"/>";
  return "<JBContainerRetrievingTempFile Id=\"" + id +
         "\" LastUpdateUser=\"demo\"><JBContainerRetrievingTempDetails>" + lines +
         "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempFile>";
}

}  // namespace

int RunRetrievingDemo(std::ostream& out) {
  const ObjectPtr files = Registry::Instance().Create("C_JBContainerRetrievingTempFile");
  std::string id;
  // The state of the file as another caller reads it from the database.
  const auto state = [&] {
    const ObjectPtr reader = Registry::Instance().Create("C_JBContainerRetrievingTempFile");
    Args args = {
        Variant(), Variant(), Variant(int32_t{0}), Variant(int32_t{0}),
        Variant(
            "<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"BKDEMO01\"/></AccessKeys>")};
    const std::string answer = CStr(Registry::Instance().Invoke(*reader, "queryOwnedElementsByXML", args));
    const size_t at = answer.rfind("ProcessState=\"");
    return at == std::string::npos ? std::string("?")
                                   : answer.substr(at + 14, answer.find('"', at + 14) - at - 14);
  };
  bool ok = RunStep(out, "add a work file with three container lines", [&] {
    const std::string request =
        "<JBContainerRetrievingTempFile SourceCategory=\"BK\" Office=\"HKG\" VesselCode=\"KXV\" "
        "VoyageNo=\"001\" "
        "VoyageLeg=\"E\" BKNo=\"BKDEMO01\" BLNo=\"BLDEMO01\" ERNo=\"ERDEMO01\" LastUpdateUser=\"demo\">"
        "<JBContainerRetrievingTempDetails>" +
        Line("0000001", "20GP", "Toys", false) + Line("0000002", "40HC", "O'Neil's furniture", false) +
        Line("0000003", "45R1", "Frozen fish", false) +
        "</JBContainerRetrievingTempDetails></JBContainerRetrievingTempFile>";
    Invoke(files, "add", {request});
    id = CStr(Invoke(Invoke(files, "JBContainerRetrievingTempFile").get<ObjectPtr>(), "Id"));
    return CStr(Invoke(files, "getElementByXML", {id}));
  });
  if (!ok) return 1;
  RunStep(out, "finishing it now is refused: no line is handled yet",
          [&] { return Invoke(files, "Finish", {id}), std::string("(not reached)"); });
  for (int handled = 1; handled <= 3; ++handled)
    ok = RunStep(out, "mark line " + std::to_string(handled) + " handled",
                 [&] {
                   Invoke(files, "modify", {Progress(id, handled)});
                   return "stored ProcessState " + state();
                 }) &&
         ok;
  ok = RunStep(out, "finish the work file",
               [&] {
                 Invoke(files, "Finish", {id});
                 return "finished; stored ProcessState " + state();
               }) &&
       ok;
  ok = RunStep(out, "remove the work file: its lines first, then the file",
               [&] {
                 Invoke(files, "remove", {id});
                 return std::string("removed; containsKey now answers ") +
                        (CBool(Invoke(files, "containsKey", {id})) ? "true" : "false");
               }) &&
       ok;
  return ok ? 0 : 1;
}

}  // namespace kx
