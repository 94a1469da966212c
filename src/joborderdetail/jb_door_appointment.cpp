#include "joborderdetail/jb_door_appointment.h"

#include "framework/xml_mapping.h"
#include "framework/registration.h"
#include "shared/mod_kx_xml.h"
#include "runtime/votes.h"

namespace kx {

namespace {

using F = E_JBDoorAppointment::F;

constexpr const char* kItem = "JBDoorAppointment";

// The registry names of the record's classes.
constexpr RecordClasses kClasses{
    .entity = "E_JBDoorAppointment", .storage = "S_JBDoorAppointment", .collection = "Col_JBDoorAppointment"};

}  // namespace

const RecordDef& JBDoorAppointmentDef() {
  static const RecordDef def = [] {
    const std::vector<FieldRead> reads = {F::Read("BKNo"),
                                          F::Read("BLNo"),
                                          F::Read("ContainerRemarks"),
                                          F::Read("CustomerName"),
                                          F::Read("AppointmentAddress"),
                                          F::Read("CustomerContactor"),
                                          F::Read("AppointmentPhone"),
                                          F::Read("AppointmentDate"),
                                          F::Read("AppointmentTime"),
                                          F::Read("AppointmentRemarks")};
    // The order's key comes last among the fields but second among the attributes, after the Id and
    // before the fields a request carries.
    std::vector<size_t> answerOrder = {F::Index("Id"), F::Index("JBNoId")};
    for (const FieldRead& r : reads) answerOrder.push_back(r.field);
    return Complete({
        .entityClass = kClasses.entity,
        .storageClass = kClasses.storage,
        .table = "JB_DOOR_APPOINTMENT",
        .fields = kJBDoorAppointmentFields,
        .key = F::Index("Id"),
        .identity = true,
        .schema = Sch_JBDoorAppointmentAddModify,
        .attributeOrder = answerOrder,
        .addReads = reads,
        .modifyReads = reads,
        .collection = {.className = kClasses.collection,
                       .root = "JBDoorAppointments",
                       .item = kItem,
                       .parentKey = F::Index("JBNoId"),
                       .updateReads = reads,
                       .createReads = reads},
    });
  }();
  return def;
}

void Col_JBDoorAppointment::Apply(Entity& appointment, const xml::Element& element,
                                  const std::string& JBNoId) {
  appointment.Set(def().collection.parentKey, ParentKey(JBNoId));
  ReadAttributes(element, appointment, def().addReads);
  appointment.save();
}

std::string Col_JBDoorAppointment::add(const std::string& ElementXml, const std::string& JBNoId) {
  return ControllerGuard("add Function", [&] {
    const auto doc = LoadValidated(ElementXml, def().schema());
    const xml::Element element = FirstRequired(*doc, kItem);
    auto appointment = storage()->NewEntity();
    appointment->add();
    Apply(*appointment, element, JBNoId);
    return std::string();
  });
}

std::string Col_JBDoorAppointment::modify(const std::string& ElementXml, const std::string& JBNoId) {
  return ControllerGuard("modify Function", [&] {
    const auto doc = LoadValidated(ElementXml, def().schema());
    const xml::Element element = FirstRequired(*doc, kItem);
    auto appointment = storage()->NewEntity();
    appointment->load(RequiredAttribute(element, "Id"));
    Apply(*appointment, element, JBNoId);
    return std::string();
  });
}

void Col_JBDoorAppointment::remove(const std::string& JBDoorAppointmentId, const std::string&) {
  ControllerGuard("remove Sub", [&] {
    auto appointment = storage()->NewEntity();
    appointment->load(JBDoorAppointmentId);
    appointment->remove();
    appointment->save();
  });
}

namespace {

ClassInfo CollectionClass() {
  return ExposeCollection<Col_JBDoorAppointment>(JBDoorAppointmentDef())
      .Method("remove", &Col_JBDoorAppointment::remove,
              {"JBDoorAppointmentId", Optional("JBNoId", std::string())})
      .Method("add", &Col_JBDoorAppointment::add, {"ElementXml", "JBNoId"})
      .Method("modify", &Col_JBDoorAppointment::modify, {"ElementXml", "JBNoId"})
      .Build();
}

void Register() {
  DeclareRecord<JBDoorAppointmentDef, E_JBDoorAppointment, S_JBDoorAppointment>(kClasses, nullptr, CollectionClass);
}

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
