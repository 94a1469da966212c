// Door appointments of a job order: when and where the transport vendor meets the customer at the
// door, for which booking and bill of lading, with the customer's name, address, contact and phone.
#pragma once

#include <string>

#include "framework/collection.h"
#include "framework/entity.h"
#include "framework/storage.h"

namespace kx {

inline constexpr FieldSpec kJBDoorAppointmentFields[] = {
    Int32Field("Id", "JB_DOOR_APPOINTMENT_ID"),
    TextField("BKNo", "BK_NO").SearchAs("BkNo"),
    TextField("BLNo", "BL_NO").SearchAs("BlNo"),
    TextField("ContainerRemarks", "CONTAINER_REMARKS"),
    TextField("CustomerName", "CUSTOMER_NAME"),
    TextField("AppointmentAddress", "APPOINTMENT_ADDRESS"),
    TextField("CustomerContactor", "CUSTOMER_CONTACTOR"),
    TextField("AppointmentPhone", "APPOINTMENT_PHONE"),
    DateField("AppointmentDate", "APPOINTMENT_DATE"),
    DoubleField("AppointmentTime", "APPOINTMENT_TIME"),
    TextField("AppointmentRemarks", "APPOINTMENT_REMARKS"),
    Int32Field("JBNoId", "JB_NO_ID").Proc("JbNoId Property"),
};

// Table JB_DOOR_APPOINTMENT, keyed by JB_DOOR_APPOINTMENT_ID (assigned by the database), children of
// a job order by JB_NO_ID.
const RecordDef& JBDoorAppointmentDef();

class S_JBDoorAppointment : public StorageOf<JBDoorAppointmentDef> {};

// One door appointment; its fields are reached by index (F) or by name.
class E_JBDoorAppointment : public EntityOf<S_JBDoorAppointment> {
 public:
  using F = FieldsOf<kJBDoorAppointmentFields>;
};

// The door appointments of one job order. Besides the list, single appointments are added,
// changed and removed straight in the database from validated appointment documents; those calls
// do not touch the list and vote on the call's transaction.
class Col_JBDoorAppointment : public CollectionOf<S_JBDoorAppointment> {
 public:
  // Deletes the appointment `JBDoorAppointmentId`, whichever order it belongs to (`JBNoId` is not
  // used); a key without a row fails.
  void remove(const std::string& JBDoorAppointmentId, const std::string& JBNoId = "");
  // Inserts the first JBDoorAppointment element of `ElementXml` for the order `JBNoId`; returns
  // the empty text.
  std::string add(const std::string& ElementXml, const std::string& JBNoId);
  // Updates the appointment that the Id of the first JBDoorAppointment element of `ElementXml`
  // names, moving it to the order `JBNoId`; nothing is written when no value changes. Returns the
  // empty text.
  std::string modify(const std::string& ElementXml, const std::string& JBNoId);

 private:
  // Sets the order and the request fields of `appointment` from `element`, then saves it.
  void Apply(Entity& appointment, const xml::Element& element, const std::string& JBNoId);
};

}  // namespace kx
