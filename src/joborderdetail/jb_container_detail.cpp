#include "joborderdetail/jb_container_detail.h"

#include "framework/registration.h"

namespace kx {

namespace {

consteval FieldRead F(std::string_view property) { return {JBContainerDetailField(property)}; }

// The registry names of the record's classes.
constexpr RecordClasses kClasses{
    .entity = "E_JBContainerDetail", .storage = "S_JBContainerDetail", .collection = "Col_JBContainerDetail"};

}  // namespace

const RecordDef& JBContainerDetailDef() {
  static const RecordDef def = [] {
    // A new line takes only its fourteen text fields from its request element; a stored line also
    // takes its last activity, charge and invoice figures.
    const std::vector<FieldRead> created = {F("ContainerPrefix"),
                                            F("ContainerNo"),
                                            F("EmptyFullFlag"),
                                            F("SOCFlag"),
                                            F("BKNo"),
                                            F("BLNo"),
                                            F("ERNo"),
                                            F("FromPlace"),
                                            F("ToPlace"),
                                            F("ServiceMode"),
                                            F("ContainerType"),
                                            F("CargoDescription"),
                                            F("Reefer"),
                                            F("Hazard")};
    std::vector<FieldRead> updated = created;
    updated.insert(updated.end(),
                   {F("LastActivityCode"), F("LastActivityDate"), F("LastActivityTime"), F("ChargeCode"),
                    F("ChargeQuantity"), F("ChargeCurrency"), F("ChargeTariffRate"), F("ChargeActualRate"),
                    F("ChargeActualAmount"), F("InvoiceCurrency"), F("InvoiceAmount")});
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
