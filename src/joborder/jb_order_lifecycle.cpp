// The job order controller's lifecycle members: the diary, issuing, cancelling and stopping an
// order, and its door appointments.
#include "joborder/jb_order.h"

#include "joborder/jb_order_controller.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"
#include "runtime/votes.h"

namespace kx {

namespace {
using E = E_JBOrder;
}  // namespace

void C_JBOrder::AddUserDiary(const std::string& JBNoId, const std::string& strUserCode,
                             const std::string& strDiaryText) {
  ControllerGuard("AddUserDiary Sub",
                  [&] { WriteDiary(*JBOrder(), JBNoId, strUserCode, "MEMO", strDiaryText); });
}

std::string C_JBOrder::QueryJBDiary(const std::string& JBNoId, const std::string&) {
  return ControllerGuard("QueryJBDiary Function", [&] {
    const auto answer = LoadTemplate("<?xml version='1.0' ?><Root><JBOrders><JBOrder/></JBOrders></Root>");
    auto order = JBOrder();
    order->load(JBNoId);
    order->ColJBDiary()->NestIn(FirstRequired(*answer, "JBOrder"));
    return answer->Serialize();
  });
}

std::string C_JBOrder::Issue(const std::string& JBNoId, const std::string& strIssueUser,
                             const std::string& IssueFaxNo, const std::string& IssueEMail) {
  return ControllerGuard("Issue Function: ", [&] {
    Answer answer(def().list);
    xml::Element element = answer.Append(def().item);
    auto order = JBOrder();
    order->load(JBNoId);
    const Date today = Today();
    // The order as issued: the stored values with the new issue fields and state, but the last
    // update user as it was stored.
    auto put = [&](size_t field, const Variant& value) {
      element.SetAttribute(std::string(def().AttributeName(field)), XmlText(value));
    };
    for (size_t field : {E::kId, E::kJBNo, E::kJBCreateDate, E::kLastUpdateUser, E::kJBTypeCategory,
                         E::kJBTypeCode, E::kOfficeCode})
      put(field, order->Get(field));
    put(E::kIssueUser, strIssueUser);
    put(E::kIssueFaxNo, IssueFaxNo);
    put(E::kIssueEmailAddress, IssueEMail);
    put(E::kIssueDate, today);
    put(E::kJBState, "Issued");
    for (size_t field : {E::kJBStateDate,
                         E::kJBStateRemark,
                         E::kVendorCode,
                         E::kVendorName,
                         E::kVendorContractNo,
                         E::kITNumber,
                         E::kITType,
                         E::kBoundDirect,
                         E::kTransportMode,
                         E::kQuantity,
                         E::kFromPlace,
                         E::kFromDepot,
                         E::kToPlace,
                         E::kToDepot,
                         E::kEstimatedStartDate,
                         E::kEstimatedEndDate,
                         E::kTotalActualCurrency,
                         E::kTotalActualAmount,
                         E::kTotalInvoiceCurrency,
                         E::kTotalInvoiceAmount,
                         E::kCostRemark})
      put(field, order->Get(field));
    order->ColJBContainerDetail()->NestIn(element);
    order->ColJBDoorAppointment()->NestIn(element);
    order->Set(E::kIssueUser, strIssueUser);
    order->Set(E::kIssueFaxNo, IssueFaxNo);
    order->Set(E::kIssueEmailAddress, IssueEMail);
    order->Set(E::kIssueDate, today);
    order->setJBState(1);
    Stamp(*order);
    order->Set(E::kLastUpdateUser, strIssueUser);
    order->save();
    WriteDiary(*order, JBNoId, order->LastUpdateUser(), "ACTION", "Issue JBOrder JBNoId = " + JBNoId);
    return answer.Text();
  });
}

bool C_JBOrder::End(const std::string& JBNoId, const std::string& strUserCode, const std::string& refusal,
                    const std::string& diaryText) {
  auto order = JBOrder();
  order->load(JBNoId);
  if (order->JBState() == 3) Fail(refusal);
  order->setJBState(4);
  order->Set(E::kLastUpdateUser, strUserCode);
  Stamp(*order);
  order->save();
  WriteDiary(*order, JBNoId, strUserCode, "ACTION", diaryText + JBNoId);
  return true;
}

bool C_JBOrder::Cancel(const std::string& JBNoId, const std::string& strUserCode) {
  return ControllerGuard("Cancel Function: ", [&] {
    return End(JBNoId, strUserCode, "The Job Order has been completed, can not be canceled.",
               "Cancel JBOrder JBNoId = ");
  });
}

bool C_JBOrder::StopDelivery(const std::string& JBNoId, const std::string& strUserCode) {
  return ControllerGuard("StopDelivery Function: ", [&] {
    return End(JBNoId, strUserCode, "The Job Order has been completed, can not be stoped.",
               "StopDelivery  JBNoId = ");
  });
}

std::string C_JBOrder::GetDoorAppointments(const std::string& JBNoId) {
  return ControllerGuard("GetDoorAppointments Function", [&] {
    const auto answer = LoadTemplate("<?xml version='1.0'?><Root><JBOrders><JBOrder/></JBOrders></Root>");
    const xml::Element element = FirstRequired(*answer, "JBOrder");
    auto order = JBOrder();
    order->load(JBNoId);
    order->ColJBDoorAppointment()->NestIn(element);
    return answer->Serialize();
  });
}

void C_JBOrder::OnAppointments(const std::string& JBNoId, const std::string& member, Args args) {
  auto order = JBOrder();
  order->load(JBNoId);
  auto appointments = order->ColJBDoorAppointment();
  Registry::Instance().Invoke(*appointments, member, args);
}

Variant C_JBOrder::AddDoorAppointment(const std::string& JBNoId, const std::string& ElementXml) {
  return ControllerGuard("AddDoorAppointment Function", [&] {
    OnAppointments(JBNoId, "add", {Variant(ElementXml), Variant(JBNoId)});
    return Variant();
  });
}

Variant C_JBOrder::ModifyDoorAppointment(const std::string& JBNoId, const std::string& ElementXml) {
  return ControllerGuard("ModifyDoorAppointment Function", [&] {
    OnAppointments(JBNoId, "modify", {Variant(ElementXml), Variant(JBNoId)});
    return Variant();
  });
}

Variant C_JBOrder::RemoveAppointment(const std::string& JBNoId, const std::string& JBDoorAppointmentId) {
  return ControllerGuard("RemoveDoorAppointment Function", [&] {
    OnAppointments(JBNoId, "remove", {Variant(JBDoorAppointmentId), Variant(JBNoId)});
    return Variant();
  });
}

}  // namespace kx
