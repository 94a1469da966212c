// The outside components that job orders call: the serial number generator, the four container
// providers and the partner notification provider. Each is a class in the class registry that is
// created by name and called late-bound through one member; the classes here are the defaults, and
// a deployment replaces one by registering its own class under the same name with the same member.
#pragma once

#include <string>

#include "kx/object.h"

namespace kx {

enum class Origin;

// Registry names of the outside components and of the one member each is called through.
namespace partners {
inline constexpr const char* kSerialNoGenerator = "SerialNoGenerator";
inline constexpr const char* kGenerateSerialNo = "GenerateSerialNo";
inline constexpr const char* kIBBLContainerProvider = "IBBLContainerProvider";
inline constexpr const char* kOBBLContainerProvider = "OBBLContainerProvider";
inline constexpr const char* kBookingContainerProvider = "BookingContainerProvider";
inline constexpr const char* kIBVoyageContainerProvider = "IBVoyageContainerProvider";
inline constexpr const char* kGetContainers = "GetContainers";
inline constexpr const char* kPartnerNotifyProvider = "PartnerNotifyProvider";
inline constexpr const char* kGetPartnerNotifyInfo = "GetPartnerNotifyInfo";

// Registers the default classes under `origin` (tests restore them with Origin::Replace).
void RegisterDefaults(Origin origin);
}  // namespace partners

// Job order numbers. The request is the CDSerialNo document that a job order sends: the number is
// the company code and the user's office code (together cut to 10 characters), the year and month
// ("YYMM") and a counter of at least six digits kept per usage, company, office and month in
// KX_SERIAL_COUNTER. The counter is raised and read in one statement, so concurrent clients never
// receive the same number; every call hands out a new number, so SEQNO needs no reading. A number
// never exceeds 20 characters: a counter that would make it longer fails.
class SerialNoGenerator : public Object {
 public:
  std::string_view ClassName() const override { return partners::kSerialNoGenerator; }
  // The next number for the request document `requestXml`.
  std::string GenerateSerialNo(const std::string& requestXml);
};

// The answer of every container provider: the distinct containers that the component's own tables
// know for the question, ordered by prefix and number:
//   <?xml version="1.0"?>
//   <Root><Containers><Container ContainerPrefix="" ContainerNo="" ContainerType="" BKNo="" BLNo=""/>
//   ...</Containers></Root>
// Container lines of job orders and lines of container retrieving work files both count.

// Containers of an inbound bill of lading: lines of inbound job orders (BoundDirect "I") and work
// file lines with that bill of lading number.
class IBBLContainerProvider : public Object {
 public:
  std::string_view ClassName() const override { return partners::kIBBLContainerProvider; }
  std::string GetContainers(const std::string& strIBBLNo);
};

// Containers of an outbound bill of lading: lines of outbound job orders (BoundDirect "O").
class OBBLContainerProvider : public Object {
 public:
  std::string_view ClassName() const override { return partners::kOBBLContainerProvider; }
  std::string GetContainers(const std::string& strOBBLNo);
};

// Containers of a booking: job order lines and work file lines with that booking number.
class BookingContainerProvider : public Object {
 public:
  std::string_view ClassName() const override { return partners::kBookingContainerProvider; }
  std::string GetContainers(const std::string& strBKNo);
};

// Containers of an inbound voyage: lines of the work files of that vessel, voyage and leg, whose
// port of discharge is PortCode (any port when it is empty).
class IBVoyageContainerProvider : public Object {
 public:
  std::string_view ClassName() const override { return partners::kIBVoyageContainerProvider; }
  std::string GetContainers(const std::string& VesselCode, const std::string& VoyageNo,
                            const std::string& VoyageLeg, const std::string& PortCode);
};

// A vendor's notification details for a purpose and method, from PARTNER_NOTIFY_SETTING. When a
// fax number or e-mail address is set, strResult becomes
//   <?xml version="1.0"?>
//   <Root><PartnerNotifyInfos><PartnerNotifyInfo VendorCode="" NotifyPurposeInd="" NotifyMethodInd=""
//   FaxNo="" EmailAddress=""/></PartnerNotifyInfos></Root>
// and the answer is true; otherwise the answer is false and strResult is left as it was.
class PartnerNotifyProvider : public Object {
 public:
  std::string_view ClassName() const override { return partners::kPartnerNotifyProvider; }
  bool GetPartnerNotifyInfo(const std::string& VendorCode, const std::string& NotifyPurposeInd,
                            const std::string& NotifyMethodInd, std::string& strResult);
};

}  // namespace kx
