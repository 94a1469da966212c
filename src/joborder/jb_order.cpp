// The job order's record (table, fields, what an add or modify request sets), the controller's
// maintenance (add, modify, remove, the answer of an order), its container look-ups and partner
// notification, and the registration of the order's classes. The entity, the storage and the
// lifecycle members are in jb_order_entity.cpp, jb_order_storage.cpp and jb_order_lifecycle.cpp.
#include "joborder/jb_order.h"

#include "framework/registration.h"
#include "joborder/jb_order_controller.h"
#include "partners/partners.h"
#include "kx/error.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"
#include "runtime/votes.h"

namespace kx {

namespace {
using E = E_JBOrder;

// Fields read from the JBOrder element of an add or modify request, in this order.
const std::vector<FieldRead> kRequestReads = {
    {E::kJBNo},
    {E::kJBCreateDate},
    {E::kLastUpdateUser},
    {E::kJBTypeCategory},
    {E::kJBTypeCode},
    {E::kOfficeCode},
    {E::kVendorCode},
    {E::kVendorName},
    {E::kVendorContractNo},
    {E::kITNumber},
    {E::kITType},
    {E::kBoundDirect},
    {E::kTransportMode},
    {E::kQuantity},
    {E::kFromPlace},
    {E::kFromDepot},
    {E::kEstimatedStartDate},
    {E::kToPlace},
    {E::kToDepot},
    {E::kEstimatedEndDate},
    {E::kCostRemark},
};

// The registry names of the record's classes.
constexpr RecordClasses kClasses{.entity = "E_JBOrder", .storage = "S_JBOrder", .controller = "C_JBOrder"};

}  // namespace

const RecordDef& JBOrderDef() {
  static const RecordDef def = Complete({
      .entityClass = kClasses.entity,
      .storageClass = kClasses.storage,
      .table = "JB_ORDER",
      .fields = kJBOrderFields,
      .key = E::kId,
      .identity = true,
      .insertProcedure = "JB_ORDERInsProc",
      .controllerClass = kClasses.controller,
      .list = "JBOrders",
      .item = "JBOrder",
      .schema = Sch_JBOrderAdd,
      .searchAttributes = {E::kId, E::kJBNo, E::kJBTypeCategory, E::kJBTypeCode, E::kOfficeCode,
                           E::kIssueDate, E::kJBState, E::kVendorCode, E::kVendorName,
                           E::kTotalActualCurrency, E::kTotalActualAmount, E::kTotalInvoiceCurrency,
                           E::kTotalInvoiceAmount, E::kCostRemark},
      .addReads = kRequestReads,
      .modifyReads = kRequestReads,
  });
  return def;
}

// ---------------------------------------------------------------------------------------------
// C_JBOrder

namespace {

// Calls the one member of an outside component.
Variant CallPartner(const char* component, const char* member, Args& args) {
  const ObjectPtr partner = Registry::Instance().Create(component);
  return Registry::Instance().Invoke(*partner, member, args);
}

}  // namespace

void WriteDiary(E_JBOrder& order, const std::string& masterKey, const std::string& user,
                const std::string& type, const std::string& text) {
  order.ColJBDiary()->add(masterKey, user, type, text);
}

std::shared_ptr<E_JBOrder> C_JBOrder::JBOrder() {
  return ControllerGuard("JBOrder Property", [&] {
    auto order = std::dynamic_pointer_cast<E_JBOrder>(entity());
    if (!order) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
    return order;
  });
}

void C_JBOrder::setJBOrder(std::shared_ptr<E_JBOrder> order) { setEntity(std::move(order)); }

void C_JBOrder::Stamp(E_JBOrder& order) {
  const ClockStamp now = ReadClock();
  order.Set(E::kLastUpdateDate, now.day);
  order.Set(E::kLastUpdateTime, Variant(static_cast<double>(now.time)));
}

std::vector<std::shared_ptr<Collection>> C_JBOrder::NestedInAnswer() { return {JBOrder()->ColJBContainerDetail()}; }

std::string C_JBOrder::add(const std::string& ElementXml, const std::string& astrCompanyCode,
                           const std::string& astrOfficeCode) {
  return ControllerGuard("add Function", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBOrderAdd());
    const xml::Element element = FirstRequired(*doc, "JBOrder");
    // A fresh entity: nothing of an order this controller handled before reaches the new one.
    auto order = std::make_shared<E_JBOrder>();
    setJBOrder(order);
    order->add();
    order->setCompanyCode(astrCompanyCode);
    order->setOfficeCodeOfUser(astrOfficeCode);
    ReadAttributes(element, *order, def().addReads);
    Stamp(*order);
    order->setJBState(0);
    order->Set(E::kJBStateDate, Today());
    order->save();
    const std::string id = XmlText(order->Get(E::kId));
    order->ColJBContainerDetail()->UpdateElements(doc->Root(), id);
    WriteDiary(*order, id, order->LastUpdateUser(), "EDIT", "Add JBOrder JBNoId =" + id);
    return id;
  });
}

void C_JBOrder::modify(const std::string& ElementXml) {
  ControllerGuard("modify Sub", [&] {
    const auto doc = LoadValidated(ElementXml, Sch_JBOrderModify());
    const xml::Element element = FirstRequired(*doc, "JBOrder");
    auto order = JBOrder();
    order->load(RequiredAttribute(element, "Id"));
    ReadAttributes(element, *order, def().modifyReads);
    Stamp(*order);
    order->save();
    const std::string id = XmlText(order->Get(E::kId));
    order->ColJBContainerDetail()->UpdateElements(FirstRequired(*doc, "JBContainerDetails"), id);
    WriteDiary(*order, id, order->LastUpdateUser(), "EDIT", "Modify JBOrder JBNoId =" + id);
  });
}

void C_JBOrder::remove(const std::string& ElementId) {
  ControllerGuard("remove Sub", [&] {
    auto order = JBOrder();
    order->load(ElementId);
    order->ColJBContainerDetail()->removeColElements();
    order->ColJBDoorAppointment()->removeColElements();
    order->ColJBDiary()->removeColElements();
    order->remove();
    order->save();
  });
}

std::string C_JBOrder::GetContainersByIBBLNo(const std::string& strIBBLNo) {
  return ControllerGuard("GetContainersByIBBLNo Function", [&] {
    Args args = {Variant(strIBBLNo)};
    return CStr(CallPartner(partners::kIBBLContainerProvider, partners::kGetContainers, args));
  });
}

std::string C_JBOrder::GetContainersByOBBLNo(const std::string& strOBBLNo) {
  return ControllerGuard("GetContainersByOBBLNo Function", [&] {
    Args args = {Variant(strOBBLNo)};
    return CStr(CallPartner(partners::kOBBLContainerProvider, partners::kGetContainers, args));
  });
}

std::string C_JBOrder::GetContainersByBKNo(const std::string& strBKNo) {
  return ControllerGuard("GetContainersByBKNo Function", [&] {
    Args args = {Variant(strBKNo)};
    return CStr(CallPartner(partners::kBookingContainerProvider, partners::kGetContainers, args));
  });
}

std::string C_JBOrder::GetContainersByIBVoyage(const std::string& VesselCode, const std::string& VoyageNo,
                                               const std::string& VoyageLeg, const std::string& PortCode) {
  return ControllerGuard("GetContainersByIBVoyage Function", [&] {
    Args args = {Variant(VesselCode), Variant(VoyageNo), Variant(VoyageLeg), Variant(PortCode)};
    return CStr(CallPartner(partners::kIBVoyageContainerProvider, partners::kGetContainers, args));
  });
}

bool C_JBOrder::getPartnerNotifyInfo(const std::string& strJBNoID, const std::string& strNotifyPurposeInd,
                                     const std::string& strNotifyMethodInd, std::string& strResult) {
  return ControllerGuard("getPartnerNotifyInfo Sub: ", [&] {
    auto order = JBOrder();
    if (CDbl(Variant(strJBNoID)) != static_cast<double>(order->Id())) order->load(strJBNoID);
    if (strNotifyPurposeInd != "IJ") return false;
    Args args = {Variant(order->VendorCode()), Variant(strNotifyPurposeInd), Variant(strNotifyMethodInd),
                 Variant(strResult)};
    const bool found =
        CBool(CallPartner(partners::kPartnerNotifyProvider, partners::kGetPartnerNotifyInfo, args));
    strResult = CStr(args[3]);
    return found;
  });
}

// ---------------------------------------------------------------------------------------------
// Registration

namespace {

void EntityMembers(Expose<E_JBOrder>& x) {
  x.Get("ColJBDoorAppointment", &E_JBOrder::ColJBDoorAppointment)
      .Get("ColJBDiary", &E_JBOrder::ColJBDiary)
      .Get("ColJBContainerDetail", &E_JBOrder::ColJBContainerDetail);
}

void StorageMembers(Expose<S_JBOrder>& x) {
  x.Method("containsJBNo", &S_JBOrder::containsJBNo, {"JBNo", OptionalByRef("JBNoId")})
      .Method("containsITNumber", &S_JBOrder::containsITNumber, {"ITNumber", OptionalByRef("JBNoId")});
}

ClassInfo ControllerClass() {
  return ExposeController<C_JBOrder>(JBOrderDef())
      .Method("add", &C_JBOrder::add, {"ElementXml", "astrCompanyCode", "astrOfficeCode"})
      .Method("modify", &C_JBOrder::modify, {"ElementXml"})
      .Method("remove", &C_JBOrder::remove, {"ElementId"})
      .Property("JBOrder", &C_JBOrder::JBOrder, &C_JBOrder::setJBOrder)
      .Method("AddUserDiary", &C_JBOrder::AddUserDiary, {"JBNoId", "strUserCode", "strDiaryText"})
      .Method("QueryJBDiary", &C_JBOrder::QueryJBDiary, {"JBNoId", Optional("strLogType", std::string())})
      .Method("Issue", &C_JBOrder::Issue, {"JBNoId", "strIssueUser", "IssueFaxNo", "IssueEMail"})
      .Method("Cancel", &C_JBOrder::Cancel, {"JBNoId", "strUserCode"})
      .Method("StopDelivery", &C_JBOrder::StopDelivery, {"JBNoId", "strUserCode"})
      .Method("GetDoorAppointments", &C_JBOrder::GetDoorAppointments, {"JBNoId"})
      .Method("AddDoorAppointment", &C_JBOrder::AddDoorAppointment, {"JBNoId", "ElementXml"})
      .Method("ModifyDoorAppointment", &C_JBOrder::ModifyDoorAppointment, {"JBNoId", "ElementXml"})
      .Method("RemoveAppointment", &C_JBOrder::RemoveAppointment, {"JBNoId", "JBDoorAppointmentId"})
      .Method("GetContainersByIBBLNo", &C_JBOrder::GetContainersByIBBLNo, {"strIBBLNo"})
      .Method("GetContainersByOBBLNo", &C_JBOrder::GetContainersByOBBLNo, {"strOBBLNo"})
      .Method("GetContainersByBKNo", &C_JBOrder::GetContainersByBKNo, {"strBKNo"})
      .Method("GetContainersByIBVoyage", &C_JBOrder::GetContainersByIBVoyage,
              {"VesselCode", "VoyageNo", "VoyageLeg", "PortCode"})
      .Method("getPartnerNotifyInfo", &C_JBOrder::getPartnerNotifyInfo,
              {"strJBNoID", "strNotifyPurposeInd", "strNotifyMethodInd", "strResult"})
      .Build();
}

void Register() {
  DeclareRecord<JBOrderDef, E_JBOrder, S_JBOrder, EntityMembers, StorageMembers>(kClasses, ControllerClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
