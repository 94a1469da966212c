#include "joborder/jb_order.h"


#include "framework/registration.h"
#include "partners/partners.h"
#include "runtime/error.h"
#include "runtime/host.h"
#include "runtime/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/mod_kx_xml.h"

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
// S_JBOrder

bool S_JBOrder::ContainsBy(const char* proc, const std::string& column, const std::string& value,
                           std::string& JBNoId) {
  return Guard(proc, [&] {
    auto rs = Read("select JB_No_Id  from JB_ORDER where " + column + " = '" + Str2SQL(value) + "'");
    if (rs->EOF_()) return false;
    JBNoId = CStr(rs->Field("JB_No_Id"));
    return true;
  });
}

bool S_JBOrder::containsJBNo(const std::string& JBNo, std::string& JBNoId) {
  return ContainsBy("containsJBNo Function ", "JB_NO", JBNo, JBNoId);
}

bool S_JBOrder::containsITNumber(const std::string& ITNumber, std::string& JBNoId) {
  return ContainsBy("containsITNumber Function ", "IT_Number", ITNumber, JBNoId);
}

SearchPlan S_JBOrder::Search() const {
  SearchPlan plan = SearchPlan::FromRecord(def(), "a");
  // Order conditions go to the first clause, container line conditions to the second; a field
  // of neither kind is passed over.
  plan.clauseStarts = {" WHERE 1 = 1 ", " 1=1 "};
  plan.skipUnknownFields = true;
  for (const auto& [field, column] : {std::pair{"BKNo", "BK_NO"},
                                      {"BLNo", "BL_NO"},
                                      {"ERNo", "ER_NO"},
                                      {"ContainerPrefix", "CONTAINER_PREFIX"},
                                      {"ContainerNo", "CONTAINER_NO"},
                                      {"ContainerType", "CONTAINER_TYPE"},
                                      {"Reefer", "REEFER"},
                                      {"Hazard", "HAZARD"}})
    plan.fields.push_back({field, std::string(" And b.") + column, 1, ""});
  return plan;
}

std::string S_JBOrder::QueryStatement(const std::string&, const std::vector<std::string>& clauses) const {
  std::string where = clauses.at(0);
  // Every container condition holds for one and the same line; each order is selected once.
  if (clauses.at(1).find("b.") != std::string::npos)
    where += " and exists (select * from JB_Container_Detail b where a.jb_no_Id = b.jb_no_id and " +
             clauses[1] + ")";
  return "select a.* from  JB_ORDER a " + where;
}

std::string S_JBOrder::PageSource(const std::string&, const std::vector<std::string>& clauses) const {
  std::string where = clauses.at(0);
  if (clauses.at(1).find("b.") != std::string::npos)
    where += " and a.JB_NO_ID in (select b.JB_NO_ID from JB_Container_Detail b where " + clauses[1] + ")";
  return "select a.* from  JB_ORDER a " + where;
}

// ---------------------------------------------------------------------------------------------
// E_JBOrder

namespace {

// The request the serial number generator receives; JOBORDER requests fill five attributes.
constexpr const char* kSerialNoRequest =
    "<?xml version='1.0'?><Root><CDSerialNos><CDSerialNo USAGEIND='' COMPANYCODE='' OFFICECODE='' POL='' "
    "POD='' "
    "DEL='' POR='' DEST='' IGNO='' BKNO='' BKTERMI='' BLNO='' INVNO='' RENNO='' VOUCHERNO='' GLSEQ='' "
    "ITNO='' "
    "TARIFFNO='' QUOTATIONNO='' JOBORDERNO='' CNNO='' SEQNO='' SERIALNO=''/></CDSerialNos></Root>";

// The refusal of a job order number that another order holds, followed by the number.
const std::string kNumberTaken = "The job order no has existing: ";

// How many candidates GenerateJBNo tests at most.
constexpr int kMaxNumberTests = 101;

std::shared_ptr<Collection> NewCollection(const char* className) {
  auto collection = std::dynamic_pointer_cast<Collection>(Registry::Instance().Create(className));
  if (!collection) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return collection;
}

}  // namespace

std::shared_ptr<S_JBOrder> E_JBOrder::OrderStorage() const {
  auto s = std::dynamic_pointer_cast<S_JBOrder>(storage());
  if (!s) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
  return s;
}

std::shared_ptr<Collection> E_JBOrder::Child(const char* proc, ChildSlot& slot, const char* className) {
  return Guard(proc, [&] { return slot.Get(*this, kId, [className] { return NewCollection(className); }); });
}

std::shared_ptr<Collection> E_JBOrder::ColJBDoorAppointment() {
  return Child("ColJBDoorAppointment Property", doorAppointments_, "Col_JBDoorAppointment");
}

std::shared_ptr<Collection> E_JBOrder::ColJBDiary() {
  return Child("ColJBDiary Property", diary_, "Col_JBDiary");
}

std::shared_ptr<Collection> E_JBOrder::ColJBContainerDetail() {
  return Child("ColJBContainerDetail Property", containerDetails_, "Col_JBContainerDetail");
}

void E_JBOrder::OnSave() {
  const std::string number = JBNo();
  std::string holder;
  if (status() == esModified) {
    // A changed number that another order holds is refused as a new order's is, before the update
    // meets the unique index with the engine's own text.
    if (OrderStorage()->containsJBNo(number, holder) && holder != std::to_string(Id()))
      Fail(kNumberTaken + number);
    return;
  }
  if (status() != esNew) return;
  if (Trim(number).empty()) {
    setJBNo(GenerateJBNo());
    return;
  }
  if (OrderStorage()->containsJBNo(number, holder)) Fail(kNumberTaken + number);
}

std::string E_JBOrder::GenerateJBNo() {
  // A failure keeps its own number, put on the object error base: a number that already holds
  // the base overflows, and the caller sees the overflow.
  try {
    std::string sequence = LPZero("1", 2);
    const auto request = LoadTemplate(kSerialNoRequest);
    xml::Element serial = FirstRequired(*request, "CDSerialNo");
    serial.SetAttribute("USAGEIND", "JOBORDER");
    serial.SetAttribute("COMPANYCODE", CompanyCode());
    serial.SetAttribute("OFFICECODE", OfficeCodeOfUser());
    serial.SetAttribute("ITNO", ITNumber());
    serial.SetAttribute("SEQNO", sequence);
    const ObjectPtr generator = Registry::Instance().Create(partners::kSerialNoGenerator);
    auto ask = [&] {
      Args args = {Variant(request->Serialize())};
      return CStr(Registry::Instance().Invoke(*generator, partners::kGenerateSerialNo, args));
    };
    std::string candidate = ask();
    std::string result;
    bool found = false;
    const auto storage = OrderStorage();
    for (int test = 0; test < kMaxNumberTests; ++test) {
      std::string holder;
      if (!storage->containsJBNo(candidate, holder)) {
        result = candidate;
        found = true;
        break;
      }
      sequence = LPZero(std::to_string(CInt(Variant(sequence)) + 1), 2);
      serial.SetAttribute("SEQNO", sequence);
      candidate = ask();
    }
    if (!found || result.empty()) Fail(22060, "GenerateJBNo error.");
    return result;
  } catch (const Error& e) {
    RaiseError(e.number(), "GenerateJBNo Function" + e.description());
  } catch (...) {
    RaiseError(kProcedureError, "GenerateJBNo Function" + TrappedDescription());
  }
}

// ---------------------------------------------------------------------------------------------
// C_JBOrder

namespace {

// Today's date, without a time of day.
Date Today() {
  const LocalTime t = ToLocal(Now());
  return Date::FromParts(t.year, t.month, t.day);
}

// Writes one diary entry of the order `masterKey` through the order's diary collection.
void WriteDiary(E_JBOrder& order, const std::string& masterKey, const std::string& user,
                const std::string& type, const std::string& text) {
  auto diary = order.ColJBDiary();
  Args args = {Variant(masterKey), Variant(user), Variant(type), Variant(text)};
  Registry::Instance().Invoke(*diary, "add", args);
}

// Calls the one member of an outside component.
Variant CallPartner(const char* component, const char* member, Args& args) {
  const ObjectPtr partner = Registry::Instance().Create(component);
  return Registry::Instance().Invoke(*partner, member, args);
}

// Appends the children of `collection` under their list element to `parent`.
void NestChildren(xml::Element parent, Collection& collection) {
  collection.WriteItems(parent.AppendElement(collection.def().collection.root));
}

}  // namespace

std::shared_ptr<E_JBOrder> C_JBOrder::JBOrder() {
  return ControllerGuard("JBOrder Property", [&] {
    auto order = std::dynamic_pointer_cast<E_JBOrder>(entity());
    if (!order) ThrowRuntimeError(RuntimeErrorCode::TypeMismatch);
    return order;
  });
}

void C_JBOrder::setJBOrder(std::shared_ptr<E_JBOrder> order) { setEntity(std::move(order)); }

void C_JBOrder::Stamp(E_JBOrder& order) {
  order.Set(E::kLastUpdateDate, Today());
  order.Set(E::kLastUpdateTime, Variant(static_cast<double>(GetTime())));
}

xml::Element C_JBOrder::WriteEntity(Answer& answer) {
  xml::Element element = Controller::WriteEntity(answer);
  NestChildren(element, *JBOrder()->ColJBContainerDetail());
  return element;
}

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
    order->ColJBContainerDetail()->updateColElements(ElementXml, id);
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
    order->ColJBContainerDetail()->updateColElements(FirstRequired(*doc, "JBContainerDetails").Text(),
                                                     id);
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
    NestChildren(FirstRequired(*answer, "JBOrder"), *order->ColJBDiary());
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
    NestChildren(element, *order->ColJBContainerDetail());
    NestChildren(element, *order->ColJBDoorAppointment());
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
    NestChildren(element, *order->ColJBDoorAppointment());
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

ClassInfo EntityClass() {
  return ExposeEntity<E_JBOrder>(JBOrderDef())
      .Get("ColJBDoorAppointment", &E_JBOrder::ColJBDoorAppointment)
      .Get("ColJBDiary", &E_JBOrder::ColJBDiary)
      .Get("ColJBContainerDetail", &E_JBOrder::ColJBContainerDetail)
      .Build();
}

ClassInfo StorageClass() {
  return ExposeStorage<S_JBOrder>(JBOrderDef())
      .Method("containsJBNo", &S_JBOrder::containsJBNo, {"JBNo", OptionalByRef("JBNoId")})
      .Method("containsITNumber", &S_JBOrder::containsITNumber, {"ITNumber", OptionalByRef("JBNoId")})
      .Build();
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
  auto& registry = Registry::Instance();
  registry.Declare(kClasses.entity, EntityClass);
  registry.Declare(kClasses.storage, StorageClass);
  registry.Declare(kClasses.controller, ControllerClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
