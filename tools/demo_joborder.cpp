// The job order part of `kx demo`: an order with container lines is added, found, issued, given a
// note, cancelled and removed, each step a call in its own transaction, through the class registry
// only. The database must be set up already.
#include <functional>
#include <ostream>
#include <string>

#include "kx/error.h"
#include "kx/registry.h"
#include "tools/demo.h"

namespace kx {
namespace {

Variant Invoke(const ObjectPtr& object, const std::string& member, Args args = {}) {
  return Registry::Instance().Invoke(*object, member, args);
}

std::string Line(const std::string& no, const std::string& type, const std::string& cargo) {
  return "<JBContainerDetail ContainerPrefix=\"DEMU\" ContainerNo=\"" + no +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"DEMOBK1\" BLNo=\"DEMOBL1\" ERNo=\"\" FromPlace=\"HKHKG\" "
         "ToPlace=\"CNSZX\" ServiceMode=\"CY\" ContainerType=\"" + type + "\" CargoDescription=\"" + cargo +
         "\" Reefer=\"N\" Hazard=\"N\"/>";
}

const char* const kOrder =
    "<JBOrder JBNo=\"\" JBCreateDate=\"2026-12-01\" LastUpdateUser=\"demo\" JBTypeCategory=\"TR\" "
    "JBTypeCode=\"TRUCK\" OfficeCode=\"HKG\" VendorCode=\"DEMOV\" VendorName=\"O'Neil Trucking\" "
    "VendorContractNo=\"C-2026\" ITNumber=\"IT0001\" ITType=\"IM\" BoundDirect=\"I\" TransportMode=\"TRK\" "
    "Quantity=\"2\" FromPlace=\"HKHKG\" FromDepot=\"KT9\" EstimatedStartDate=\"2026-12-02\" ToPlace=\"CNSZX\" "
    "ToDepot=\"YT1\" EstimatedEndDate=\"2026-12-03\" CostRemark=\"door delivery\">";

}  // namespace

int RunJobOrderDemo(std::ostream& out) {
  const ObjectPtr orders = Registry::Instance().Create("C_JBOrder");
  std::string id;
  const bool added = RunStep(out, "add a job order with two container lines (its number is generated)", [&] {
    id = CStr(Invoke(orders, "add",
                     {std::string(kOrder) + "<JBContainerDetails>" + Line("1234565", "40HC", "toys") +
                          Line("7654321", "20GP", "O'Neil's tiles") + "</JBContainerDetails></JBOrder>",
                      "DEMO", "HKG"}));
    return "added job order " + id;
  });
  if (!added) return 1;
  RunStep(out, "fetch it with its container lines", [&] { return CStr(Invoke(orders, "getElementByXML", {id})); });
  RunStep(out, "search orders with a line of booking DEMOBK1, page 1 of 20 per page", [&] {
    Args args = {Variant(), Variant(), Variant(int32_t{20}), Variant(int32_t{1}),
                 Variant("<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"=\" Key=\"DEMOBK1\"/>"
                         "<AccessKey Field=\"VendorCode\" SearchCondition=\"=\" Key=\"DEMOV\"/></AccessKeys>")};
    const std::string answer = CStr(Registry::Instance().Invoke(*orders, "queryOwnedElementsByXML", args));
    return "ResultCount " + CStr(args[0]) + ", ResultPages " + CStr(args[1]) + "\n" + answer;
  });
  RunStep(out, "issue it to the vendor", [&] {
    return CStr(Invoke(orders, "Issue", {id, "demo", "852-2345-6789", "ops@vendor.example"}));
  });
  RunStep(out, "add a note to its diary", [&] {
    Invoke(orders, "AddUserDiary", {id, "demo", "Driver to call the consignee an hour ahead"});
    return std::string("note added");
  });
  RunStep(out, "cancel it", [&] {
    return std::string("Cancel answered ") + (CBool(Invoke(orders, "Cancel", {id, "demo"})) ? "true" : "false");
  });
  RunStep(out, "read its diary", [&] { return CStr(Invoke(orders, "QueryJBDiary", {id, ""})); });
  RunStep(out, "remove it with its lines and diary", [&] {
    Invoke(orders, "remove", {id});
    return "removed job order " + id + "; containsKey now answers " +
           (CBool(Invoke(orders, "containsKey", {id})) ? "true" : "false");
  });
  return 0;
}

}  // namespace kx
