// Job orders: the order a shipping office issues to a transport vendor to move containers, with
// its number, type, route, dates, vendor, cost totals and state. The order owns its container
// lines, diary entries and door appointments (child collections reached through the registry).
#pragma once

#include <memory>
#include <string>

#include "framework/collection.h"
#include "framework/controller.h"
#include "framework/entity.h"
#include "framework/storage.h"
#include "joborderdetail/jb_container_detail.h"
#include "joborderdetail/jb_diary.h"
#include "joborderdetail/jb_door_appointment.h"
#include "kx/registry.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

// The 37 stored fields in table order, then the two values that only form a new number.
inline constexpr FieldSpec kJBOrderFields[] = {
    Int32Field("Id", "JB_NO_ID").NoSearch(),
    TextField("JBNo", "JB_NO").Param("@JB_NO", adVarChar, 20),
    DateField("JBCreateDate", "JB_CREATE_DATE").NoSearch().Param("@JB_CREATE_DATE", adDBTimeStamp),
    DateField("LastUpdateDate", "LAST_UPDATE_DATE").NoSearch().Param("@LAST_UPDATE_DATE", adDBTimeStamp),
    DoubleField("LastUpdateTime", "LAST_UPDATE_TIME")
        .NoSearch()
        .Param("@LAST_UPDATE_TIME", adNumeric, 0, 4, 0),
    TextField("LastUpdateUser", "LAST_UPDATE_USER").NoSearch().Param("@LAST_UPDATE_USER", adVarChar, 16),
    TextField("JBTypeCategory", "JB_TYPE_CATEGORY").Param("@JB_TYPE_CATEGORY", adVarChar, 2),
    TextField("JBTypeCode", "JB_TYPE_CODE").Param("@JB_TYPE_CODE", adVarChar, 20),
    TextField("OfficeCode", "OFFICE_CODE").Param("@OFFICE_CODE", adVarChar, 10),
    TextField("IssueUser", "ISSUE_USER").Param("@ISSUE_USER", adVarChar, 16),
    TextField("IssueFaxNo", "ISSUE_FAX_NO").NoSearch().Param("@ISSUE_FAX_NO", adVarChar, 20),
    TextField("IssueEmailAddress", "ISSUE_EMAIL_ADDRESS")
        .NoSearch()
        .Param("@ISSUE_EMAIL_ADDRESS", adVarChar, 20),
    DateField("IssueDate", "ISSUE_DATE").SearchSuffix("=").Param("@ISSUE_DATE", adDBTimeStamp),
    Int16Field("JBState", "JB_STATE").Param("@JB_STATE", adSmallInt),
    DateField("JBStateDate", "JB_STATE_DATE").NoSearch().Param("@JB_STATE_DATE", adDBTimeStamp),
    TextField("JBStateRemark", "JB_STATE_REMARK").NoSearch().Param("@JB_STATE_REMARK", adVarChar, 256),
    TextField("VendorCode", "VENDOR_CODE").Param("@VENDOR_CODE", adVarChar, 8),
    TextField("VendorName", "VENDOR_NAME").Param("@VENDOR_NAME", adVarChar, 50),
    TextField("VendorContractNo", "VENDOR_CONTRACT_NO")
        .NoSearch()
        .Param("@VENDOR_CONTRACT_NO", adVarChar, 20),
    TextField("ITNumber", "IT_NUMBER").NoSearch().Param("@IT_NUMBER", adVarChar, 10),
    TextField("ITType", "IT_TYPE").NoSearch().Param("@IT_TYPE", adVarChar, 2),
    TextField("BoundDirect", "BOUND_DIRECT").Param("@BOUND_DIRECT", adVarChar, 1),
    TextField("TransportMode", "TRANSPORT_MODE").Param("@TRANSPORT_MODE", adVarChar, 5),
    Int32Field("Quantity", "QUANTITY").NoSearch().Param("@QUANTITY", adInteger),
    TextField("FromPlace", "FROM_PLACE").Param("@FROM_PLACE", adVarChar, 5),
    TextField("FromDepot", "FROM_DEPOT").Param("@FROM_DEPOT", adVarChar, 5),
    DateField("EstimatedStartDate", "ESTIMATED_START_DATE")
        .NoSearch()
        .Param("@ESTIMATED_START_DATE", adDBTimeStamp),
    DateField("ActualStartDate", "ACTUAL_START_DATE").NoSearch().Param("@ACTUAL_START_DATE", adDBTimeStamp),
    TextField("ToPlace", "TO_PLACE").Param("@TO_PLACE", adVarChar, 5),
    TextField("ToDepot", "TO_DEPOT").Param("@TO_DEPOT", adVarChar, 5),
    DateField("EstimatedEndDate", "ESTIMATED_END_DATE")
        .NoSearch()
        .Param("@ESTIMATED_END_DATE", adDBTimeStamp),
    DateField("ActualEndDate", "ACTUAL_END_DATE").NoSearch().Param("@ACTUAL_END_DATE", adDBTimeStamp),
    TextField("TotalActualCurrency", "TOTAL_ACTUAL_CURRENCY")
        .NoSearch()
        .Param("@TOTAL_ACTUAL_CURRENCY", adVarChar, 3),
    DoubleField("TotalActualAmount", "TOTAL_ACTUAL_AMOUNT")
        .NoSearch()
        .Param("@TOTAL_ACTUAL_AMOUNT", adNumeric, 0, 9, 3),
    TextField("TotalInvoiceCurrency", "TOTAL_INVOICE_CURRENCY")
        .NoSearch()
        .Param("@TOTAL_INVOICE_CURRENCY", adVarChar, 3),
    DoubleField("TotalInvoiceAmount", "TOTAL_INVOICE_AMOUNT")
        .NoSearch()
        .Param("@TOTAL_INVOICE_AMOUNT", adNumeric, 0, 9, 3),
    TextField("CostRemark", "COST_REMARK").NoSearch().Param("@COST_REMARK", adVarChar, 256),
    TextField("CompanyCode", "").NoXml().NoSearch(),
    TextField("OfficeCodeOfUser", "").NoXml().NoSearch(),
};

// Table JB_ORDER, keyed by JB_NO_ID, inserted through JB_ORDERInsProc.
const RecordDef& JBOrderDef();

// The storage of job orders: the generated statements, the look-ups by number and IT number, and
// a search that also tests container lines through one EXISTS sub-query.
class S_JBOrder : public StorageOf<JBOrderDef> {
 public:
  // True when an order has the number `JBNo` (compared as given); its key goes into JBNoId.
  bool containsJBNo(const std::string& JBNo, std::string& JBNoId);
  // True when an order has the IT number `ITNumber`; its key goes into JBNoId.
  bool containsITNumber(const std::string& ITNumber, std::string& JBNoId);

 protected:
  SearchPlan Search() const override;
  db::Statement QueryStatement(const std::string& AccessKey, const SearchClauses& clauses) const override;
  // The search with the container condition as "JB_NO_ID in (lines that match)": the same orders,
  // found through the container line indexes instead of a test of every order.
  db::Statement PageSource(const std::string& AccessKey, const SearchClauses& clauses) const override;

 private:
  bool ContainsBy(const char* proc, const std::string& column, const std::string& value, std::string& JBNoId);
};

class E_JBOrder : public EntityOf<S_JBOrder> {
 public:
  using F = FieldsOf<kJBOrderFields>;
  static constexpr size_t kId = F::Index("Id");
  static constexpr size_t kJBNo = F::Index("JBNo");
  static constexpr size_t kJBCreateDate = F::Index("JBCreateDate");
  static constexpr size_t kLastUpdateDate = F::Index("LastUpdateDate");
  static constexpr size_t kLastUpdateTime = F::Index("LastUpdateTime");
  static constexpr size_t kLastUpdateUser = F::Index("LastUpdateUser");
  static constexpr size_t kJBTypeCategory = F::Index("JBTypeCategory");
  static constexpr size_t kJBTypeCode = F::Index("JBTypeCode");
  static constexpr size_t kOfficeCode = F::Index("OfficeCode");
  static constexpr size_t kIssueUser = F::Index("IssueUser");
  static constexpr size_t kIssueFaxNo = F::Index("IssueFaxNo");
  static constexpr size_t kIssueEmailAddress = F::Index("IssueEmailAddress");
  static constexpr size_t kIssueDate = F::Index("IssueDate");
  static constexpr size_t kJBState = F::Index("JBState");
  static constexpr size_t kJBStateDate = F::Index("JBStateDate");
  static constexpr size_t kJBStateRemark = F::Index("JBStateRemark");
  static constexpr size_t kVendorCode = F::Index("VendorCode");
  static constexpr size_t kVendorName = F::Index("VendorName");
  static constexpr size_t kVendorContractNo = F::Index("VendorContractNo");
  static constexpr size_t kITNumber = F::Index("ITNumber");
  static constexpr size_t kITType = F::Index("ITType");
  static constexpr size_t kBoundDirect = F::Index("BoundDirect");
  static constexpr size_t kTransportMode = F::Index("TransportMode");
  static constexpr size_t kQuantity = F::Index("Quantity");
  static constexpr size_t kFromPlace = F::Index("FromPlace");
  static constexpr size_t kFromDepot = F::Index("FromDepot");
  static constexpr size_t kEstimatedStartDate = F::Index("EstimatedStartDate");
  static constexpr size_t kActualStartDate = F::Index("ActualStartDate");
  static constexpr size_t kToPlace = F::Index("ToPlace");
  static constexpr size_t kToDepot = F::Index("ToDepot");
  static constexpr size_t kEstimatedEndDate = F::Index("EstimatedEndDate");
  static constexpr size_t kActualEndDate = F::Index("ActualEndDate");
  static constexpr size_t kTotalActualCurrency = F::Index("TotalActualCurrency");
  static constexpr size_t kTotalActualAmount = F::Index("TotalActualAmount");
  static constexpr size_t kTotalInvoiceCurrency = F::Index("TotalInvoiceCurrency");
  static constexpr size_t kTotalInvoiceAmount = F::Index("TotalInvoiceAmount");
  static constexpr size_t kCostRemark = F::Index("CostRemark");
  static constexpr size_t kCompanyCode = F::Index("CompanyCode");
  static constexpr size_t kOfficeCodeOfUser = F::Index("OfficeCodeOfUser");

  int32_t Id() const { return Long(kId); }
  std::string JBNo() const { return Text(kJBNo); }
  void setJBNo(const std::string& v) { Set(kJBNo, v); }
  int16_t JBState() const { return CInt(Get(kJBState)); }
  void setJBState(int16_t v) { Set(kJBState, v); }
  std::string LastUpdateUser() const { return Text(kLastUpdateUser); }
  std::string VendorCode() const { return Text(kVendorCode); }
  std::string ITNumber() const { return Text(kITNumber); }
  std::string CompanyCode() const { return Text(kCompanyCode); }
  void setCompanyCode(const std::string& v) { Set(kCompanyCode, v); }
  std::string OfficeCodeOfUser() const { return Text(kOfficeCodeOfUser); }
  void setOfficeCodeOfUser(const std::string& v) { Set(kOfficeCodeOfUser, v); }

  // The children of this order. The first read of a new order gives an empty collection without
  // reading the database; every other read gives a collection freshly loaded from it.
  std::shared_ptr<Col_JBDoorAppointment> ColJBDoorAppointment();
  std::shared_ptr<Col_JBDiary> ColJBDiary();
  std::shared_ptr<Col_JBContainerDetail> ColJBContainerDetail();

  // The storage as its own class.
  std::shared_ptr<S_JBOrder> OrderStorage() const;

 protected:
  // A new order settles its number: a given number must be free, a blank one is generated. A
  // changed order keeps a number that no other order holds.
  void OnSave() override;

 private:
  // A number no order has yet, from the serial number generator (at most 101 candidates tested).
  std::string GenerateJBNo();
  ChildSlot<Col_JBDoorAppointment> doorAppointments_;
  ChildSlot<Col_JBDiary> diary_;
  ChildSlot<Col_JBContainerDetail> containerDetails_;
};

// The job order controller: maintenance, lifecycle (issue, cancel, stop, diary), door
// appointments, container look-ups and partner notification.
class C_JBOrder : public ControllerOf<E_JBOrder, S_JBOrder> {
 public:
  std::shared_ptr<E_JBOrder> JBOrder();
  void setJBOrder(std::shared_ptr<E_JBOrder> order);

  // Adds the order of `ElementXml` with its container lines and an "EDIT" diary entry; the new
  // key as decimal text. Each add starts from a fresh entity.
  std::string add(const std::string& ElementXml, const std::string& astrCompanyCode,
                  const std::string& astrOfficeCode);
  // Updates the order of `ElementXml` (by its Id), its container lines, and writes a diary entry.
  void modify(const std::string& ElementXml);
  // Deletes the order's container lines, door appointments and diary entries, then the order.
  void remove(const std::string& ElementId);

  // Writes a "MEMO" diary entry for the order `JBNoId`.
  void AddUserDiary(const std::string& JBNoId, const std::string& strUserCode,
                    const std::string& strDiaryText);
  // The order's diary entries (every entry, whatever `strLogType`).
  std::string QueryJBDiary(const std::string& JBNoId, const std::string& strLogType);
  // Issues the order to its vendor (state 1) and answers it as issued.
  std::string Issue(const std::string& JBNoId, const std::string& strIssueUser, const std::string& IssueFaxNo,
                    const std::string& IssueEMail);
  // Cancels an order that is not completed (state 4).
  bool Cancel(const std::string& JBNoId, const std::string& strUserCode);
  // Stops the delivery of an order that is not completed (state 4).
  bool StopDelivery(const std::string& JBNoId, const std::string& strUserCode);

  // The order's door appointments.
  std::string GetDoorAppointments(const std::string& JBNoId);
  // Adds, changes or removes one door appointment of the order; each answers Empty.
  Variant AddDoorAppointment(const std::string& JBNoId, const std::string& ElementXml);
  Variant ModifyDoorAppointment(const std::string& JBNoId, const std::string& ElementXml);
  Variant RemoveAppointment(const std::string& JBNoId, const std::string& JBDoorAppointmentId);

  // The container look-ups, answered by the container provider components unchanged.
  std::string GetContainersByIBBLNo(const std::string& strIBBLNo);
  std::string GetContainersByOBBLNo(const std::string& strOBBLNo);
  std::string GetContainersByBKNo(const std::string& strBKNo);
  std::string GetContainersByIBVoyage(const std::string& VesselCode, const std::string& VoyageNo,
                                      const std::string& VoyageLeg, const std::string& PortCode);
  // The vendor's notification details for the purpose "IJ" and a method, from the partner
  // notification component; the order is loaded only when its key differs from the held one.
  bool getPartnerNotifyInfo(const std::string& strJBNoID, const std::string& strNotifyPurposeInd,
                            const std::string& strNotifyMethodInd, std::string& strResult);

 protected:
  // The order element with its container lines nested.
  std::vector<std::shared_ptr<Collection>> NestedInAnswer() override;

 private:
  // Cancel and StopDelivery: state 4 unless the order is completed.
  bool End(const std::string& JBNoId, const std::string& strUserCode, const std::string& refusal,
           const std::string& diaryText);
  // Stamps the last update date and time of the working order.
  void Stamp(E_JBOrder& order);
  // A door appointment member of the order's collection, after loading the order.
  void OnAppointments(const std::string& JBNoId, const std::string& member, Args args);
};

}  // namespace kx
