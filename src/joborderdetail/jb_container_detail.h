// Container lines of a job order: which container moves under which booking, bill of lading and ER
// numbers, from where to where, with what cargo, how far its handling has come, and its charges
// and invoice figures.
#pragma once

#include "framework/collection.h"
#include "framework/entity.h"
#include "framework/storage.h"

namespace kx {

inline constexpr FieldSpec kJBContainerDetailFields[] = {
    Int32Field("Id", "JB_CONTAINER_DETAIL_ID"),
    Int32Field("JBNoId", "JB_NO_ID").Proc("JbNoId Property"),
    TextField("ContainerPrefix", "CONTAINER_PREFIX"),
    TextField("ContainerNo", "CONTAINER_NO"),
    TextField("EmptyFullFlag", "EMPTY_FULL_FLAG"),
    TextField("SOCFlag", "SOC_FLAG"),
    TextField("BKNo", "BK_NO").SearchAs("BkNo"),
    TextField("BLNo", "BL_NO").SearchAs("BlNo"),
    TextField("ERNo", "ER_NO").SearchAs("ErNo"),
    TextField("FromPlace", "FROM_PLACE"),
    TextField("ToPlace", "TO_PLACE"),
    TextField("ServiceMode", "SERVICE_MODE"),
    TextField("ContainerType", "CONTAINER_TYPE"),
    TextField("CargoDescription", "CARGO_DESCRIPTION"),
    TextField("Reefer", "REEFER"),
    TextField("Hazard", "HAZARD"),
    Int16Field("ProcessState", "PROCESS_STATE"),
    // A search on the process date or the last activity time includes its bounds: ">" acts as ">=".
    DateField("ProcessDate", "PROCESS_DATE").NoXml().SearchSuffix("="),
    TextField("ProcessRemarks", "PROCESS_REMARKS").NoXml(),
    TextField("LastActivityCode", "LAST_ACTIVITY_CODE"),
    DateField("LastActivityDate", "LAST_ACTIVITY_DATE"),
    DoubleField("LastActivityTime", "LAST_ACTIVITY_TIME").SearchSuffix("="),
    TextField("LastActivityPlace", "LAST_ACTIVITY_PLACE").NoXml(),
    TextField("ChargeCode", "CHARGE_CODE"),
    Int32Field("ChargeQuantity", "CHARGE_QUANTITY"),
    TextField("ChargeCurrency", "CHARGE_CURRENCY"),
    DoubleField("ChargeTariffRate", "CHARGE_TARIFF_RATE"),
    DoubleField("ChargeTariffAmount", "CHARGE_TARIFF_AMOUNT").NoXml(),
    TextField("ChargeActualRate", "CHARGE_ACTUAL_RATE"),
    DoubleField("ChargeActualAmount", "CHARGE_ACTUAL_AMOUNT"),
    TextField("InvoiceCurrency", "INVOICE_CURRENCY"),
    DoubleField("InvoiceAmount", "INVOICE_AMOUNT"),
    TextField("InvoiceNo", "INVOICE_NO").NoXml(),
};

// Table JB_CONTAINER_DETAIL, keyed by JB_CONTAINER_DETAIL_ID (assigned by the database), children of
// a job order by JB_NO_ID.
const RecordDef& JBContainerDetailDef();

class S_JBContainerDetail : public StorageOf<JBContainerDetailDef> {};

// One container line; its fields are reached by index (F) or by name.
class E_JBContainerDetail : public EntityOf<S_JBContainerDetail> {
 public:
  using F = FieldsOf<kJBContainerDetailFields>;
  static constexpr size_t kId = F::Index("Id");
  static constexpr size_t kJBNoId = F::Index("JBNoId");
};

// The container lines of one job order.
class Col_JBContainerDetail : public CollectionOf<S_JBContainerDetail> {};

}  // namespace kx
