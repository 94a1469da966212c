#include "joborderdetail/jb_container_detail.h"

#include "framework/registration.h"

namespace kx {

namespace {

using F = E_JBContainerDetail::F;

// The registry names of the record's classes.
constexpr RecordClasses kClasses{
    .entity = "E_JBContainerDetail", .storage = "S_JBContainerDetail", .collection = "Col_JBContainerDetail"};

}  // namespace

const RecordDef& JBContainerDetailDef() {
  static const RecordDef def = [] {
    // A new line takes only its fourteen text fields from its request element; a stored line also
    // takes its last activity, charge and invoice figures.
    const std::vector<FieldRead> created = {F::Read("ContainerPrefix"),
                                            F::Read("ContainerNo"),
                                            F::Read("EmptyFullFlag"),
                                            F::Read("SOCFlag"),
                                            F::Read("BKNo"),
                                            F::Read("BLNo"),
                                            F::Read("ERNo"),
                                            F::Read("FromPlace"),
                                            F::Read("ToPlace"),
                                            F::Read("ServiceMode"),
                                            F::Read("ContainerType"),
                                            F::Read("CargoDescription"),
                                            F::Read("Reefer"),
                                            F::Read("Hazard")};
    std::vector<FieldRead> updated = created;
    updated.insert(updated.end(),
                   {F::Read("LastActivityCode"), F::Read("LastActivityDate"), F::Read("LastActivityTime"), F::Read("ChargeCode"),
                    F::Read("ChargeQuantity"), F::Read("ChargeCurrency"), F::Read("ChargeTariffRate"), F::Read("ChargeActualRate"),
                    F::Read("ChargeActualAmount"), F::Read("InvoiceCurrency"), F::Read("InvoiceAmount")});
    return Complete({
        .entityClass = kClasses.entity,
        .storageClass = kClasses.storage,
        .table = "JB_CONTAINER_DETAIL",
        .fields = kJBContainerDetailFields,
        .key = E_JBContainerDetail::kId,
        .identity = true,
        .collection = {.className = kClasses.collection,
                       .root = "JBContainerDetails",
                       .item = "JBContainerDetail",
                       .parentKey = E_JBContainerDetail::kJBNoId,
                       .colItemsProc = "ColItems Property",
                       .updateReads = updated,
                       .createReads = created},
    });
  }();
  return def;
}

namespace {

ClassInfo CollectionClass() {
  return ExposeCollection<Col_JBContainerDetail>(JBContainerDetailDef())
      .Method("getColElementsByXML", &Collection::getColElementsByXML, {OptionalByRef("key")})
      .Build();
}

void Register() {
  DeclareRecord<JBContainerDetailDef, E_JBContainerDetail, S_JBContainerDetail>(kClasses, nullptr, CollectionClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
