#include "partners/partners.h"

#include "framework/xml_mapping.h"
#include "runtime/db/statement.h"
#include "kx/error.h"
#include "runtime/expose.h"
#include "kx/host.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {
namespace {

// The longest job order number (the width of JB_NO).
constexpr size_t kMaxNumberLength = 20;
// The longest prefix (company and office code) of a number.
constexpr size_t kMaxPrefixLength = 10;

using db::Statement;

// "<column> = " and `value`, bound.
Statement Equals(const std::string& column, const std::string& value) {
  return Statement(column + " = ").Value(value);
}

// The containers that `sql` selects (columns prefix, number, type, booking, bill of lading).
std::string ContainerAnswer(const Statement& sql) {
  auto rs = S_DBHelpForKX().RunStatementReturnRS(sql);
  Answer answer("Containers");
  for (; !rs->EOF_(); rs->MoveNext()) {
    Answer::Row row = answer.AppendRow("Container");
    row.Attribute("ContainerPrefix", CStr(Null2Str(rs->Field("CONTAINER_PREFIX"))));
    row.Attribute("ContainerNo", CStr(Null2Str(rs->Field("CONTAINER_NO"))));
    row.Attribute("ContainerType", CStr(Null2Str(rs->Field("CONTAINER_TYPE"))));
    row.Attribute("BKNo", CStr(Null2Str(rs->Field("BK_NO"))));
    row.Attribute("BLNo", CStr(Null2Str(rs->Field("BL_NO"))));
  }
  return std::move(answer).Text();
}

const char* const kColumns = "CONTAINER_PREFIX, CONTAINER_NO, CONTAINER_TYPE, BK_NO, BL_NO";

// The container lines of job orders whose line matches `condition` (columns of alias d), for
// orders of one bound direction when `bound` is not empty.
Statement OrderLines(const Statement& condition, const std::string& bound) {
  Statement sql = condition.Around(
      "select d.CONTAINER_PREFIX, d.CONTAINER_NO, d.CONTAINER_TYPE, d.BK_NO, d.BL_NO from JB_CONTAINER_DETAIL d "
      "where ",
      "");
  if (!bound.empty())
    sql.Append(Equals(" and exists (select 1 from JB_ORDER o where o.JB_NO_ID = d.JB_NO_ID and o.BOUND_DIRECT", bound)
                   .Around("", ")"));
  return sql;
}

// The work file lines that match `condition`.
Statement WorkFileLines(const Statement& condition) {
  return condition.Around(std::string("select ") + kColumns + " from JB_CONTAINER_RETRIEVING_TEMP_DETAIL where ", "");
}

Statement Ordered(const Statement& sql) {
  return sql.Around("select distinct " + std::string(kColumns) + " from (",
                    ") c order by CONTAINER_PREFIX, CONTAINER_NO, CONTAINER_TYPE, BK_NO, BL_NO");
}

// The lines of inbound or any job orders and of work files whose `column` is `value`.
Statement OrderAndWorkFileLines(const char* column, const std::string& value, const std::string& bound) {
  return Ordered(OrderLines(Equals(std::string("d.") + column, value), bound)
                     .Append(" union ")
                     .Append(WorkFileLines(Equals(column, value))));
}

}  // namespace

std::string SerialNoGenerator::GenerateSerialNo(const std::string& requestXml) {
  return Guard("GenerateSerialNo Function", [&] {
    std::string reason;
    const auto doc = xml::Document::Parse(requestXml, reason);
    if (!doc) Fail(reason);
    const xml::Element request = FirstRequired(*doc, "CDSerialNo");
    auto attribute = [&](const char* name) { return request.Attribute(name).value_or(""); };
    const LocalTime now = ToLocal(Now());
    const std::string yymm = LPZero(std::to_string(now.year % 100), 2) + LPZero(std::to_string(now.month), 2);
    const std::string key = attribute("USAGEIND") + "/" + attribute("COMPANYCODE") + "/" +
                            attribute("OFFICECODE") + "/" + std::to_string(now.year) + yymm.substr(2);
    // One statement raises the counter or starts it at 1, and answers its new value: SQL Server
    // merges under a key-range lock, the other engines insert or update on the key's conflict.
    auto rs = S_DBHelpForKX().RunStatementReturnRS(
        Statement()
            .Append("MERGE KX_SERIAL_COUNTER WITH (HOLDLOCK) AS c USING (SELECT ",
                    "INSERT INTO KX_SERIAL_COUNTER (COUNTER_KEY, LAST_VALUE) VALUES (")
            .Value(key)
            .Append(" AS COUNTER_KEY) AS s ON c.COUNTER_KEY = s.COUNTER_KEY "
                    "WHEN MATCHED THEN UPDATE SET LAST_VALUE = c.LAST_VALUE + 1 "
                    "WHEN NOT MATCHED THEN INSERT (COUNTER_KEY, LAST_VALUE) VALUES (s.COUNTER_KEY, 1) "
                    "OUTPUT inserted.LAST_VALUE;",
                    ", 1) ON CONFLICT (COUNTER_KEY) DO UPDATE SET LAST_VALUE = KX_SERIAL_COUNTER.LAST_VALUE + 1 "
                    "RETURNING LAST_VALUE"));
    const std::string counter = CStr(Variant(CLng(rs->Field("LAST_VALUE"))));
    const std::string prefix =
        (attribute("COMPANYCODE") + attribute("OFFICECODE")).substr(0, kMaxPrefixLength);
    const std::string number = prefix + yymm + (counter.size() < 6 ? LPZero(counter, 6) : counter);
    if (number.size() > kMaxNumberLength)
      Fail("The serial number counter " + key + " has run out of numbers");
    return number;
  });
}

std::string IBBLContainerProvider::GetContainers(const std::string& strIBBLNo) {
  return Guard("GetContainers Function",
               [&] { return ContainerAnswer(OrderAndWorkFileLines("BL_NO", strIBBLNo, "I")); });
}

std::string OBBLContainerProvider::GetContainers(const std::string& strOBBLNo) {
  return Guard("GetContainers Function",
               [&] { return ContainerAnswer(Ordered(OrderLines(Equals("d.BL_NO", strOBBLNo), "O"))); });
}

std::string BookingContainerProvider::GetContainers(const std::string& strBKNo) {
  return Guard("GetContainers Function",
               [&] { return ContainerAnswer(OrderAndWorkFileLines("BK_NO", strBKNo, "")); });
}

std::string IBVoyageContainerProvider::GetContainers(const std::string& VesselCode,
                                                     const std::string& VoyageNo,
                                                     const std::string& VoyageLeg,
                                                     const std::string& PortCode) {
  return Guard("GetContainers Function", [&] {
    Statement condition =
        Statement(
            "JB_IMPORT_CONTAINER_WORK_FILE_ID in (select f.JB_IMPORT_CONTAINER_WORK_FILE_ID from "
            "JB_CONTAINER_RETRIEVING_TEMP_FILE f where ")
            .Append(Equals("f.VESSEL_CODE", VesselCode))
            .Append(Equals(" and f.VOYAGE_NO", VoyageNo))
            .Append(Equals(" and f.VOYAGE_LEG", VoyageLeg))
            .Append(")");
    if (!PortCode.empty()) condition.Append(Equals(" and POD", PortCode));
    return ContainerAnswer(Ordered(WorkFileLines(condition)));
  });
}

bool PartnerNotifyProvider::GetPartnerNotifyInfo(const std::string& VendorCode,
                                                 const std::string& NotifyPurposeInd,
                                                 const std::string& NotifyMethodInd, std::string& strResult) {
  return Guard("GetPartnerNotifyInfo Function", [&] {
    auto rs = S_DBHelpForKX().RunStatementReturnRS(
        Equals("select FAX_NO, EMAIL_ADDRESS from PARTNER_NOTIFY_SETTING where VENDOR_CODE", VendorCode)
            .Append(Equals(" and NOTIFY_PURPOSE_IND", NotifyPurposeInd))
            .Append(Equals(" and NOTIFY_METHOD_IND", NotifyMethodInd)));
    if (rs->EOF_()) return false;
    const std::string fax = CStr(Null2Str(rs->Field("FAX_NO")));
    const std::string email = CStr(Null2Str(rs->Field("EMAIL_ADDRESS")));
    if (Trim(fax).empty() && Trim(email).empty()) return false;
    Answer answer("PartnerNotifyInfos");
    xml::Element e = answer.Append("PartnerNotifyInfo");
    e.SetAttribute("VendorCode", VendorCode);
    e.SetAttribute("NotifyPurposeInd", NotifyPurposeInd);
    e.SetAttribute("NotifyMethodInd", NotifyMethodInd);
    e.SetAttribute("FaxNo", fax);
    e.SetAttribute("EmailAddress", email);
    strResult = answer.Text();
    return true;
  });
}

namespace {

// The registrations of the default classes, made when a class is first used.
ClassInfo SerialNoGeneratorClass() {
  return Expose<SerialNoGenerator>(partners::kSerialNoGenerator)
      .Method(partners::kGenerateSerialNo, &SerialNoGenerator::GenerateSerialNo, {"requestXml"})
      .Build();
}
ClassInfo IBBLContainerProviderClass() {
  return Expose<IBBLContainerProvider>(partners::kIBBLContainerProvider)
      .Method(partners::kGetContainers, &IBBLContainerProvider::GetContainers, {"strIBBLNo"})
      .Build();
}
ClassInfo OBBLContainerProviderClass() {
  return Expose<OBBLContainerProvider>(partners::kOBBLContainerProvider)
      .Method(partners::kGetContainers, &OBBLContainerProvider::GetContainers, {"strOBBLNo"})
      .Build();
}
ClassInfo BookingContainerProviderClass() {
  return Expose<BookingContainerProvider>(partners::kBookingContainerProvider)
      .Method(partners::kGetContainers, &BookingContainerProvider::GetContainers, {"strBKNo"})
      .Build();
}
ClassInfo IBVoyageContainerProviderClass() {
  return Expose<IBVoyageContainerProvider>(partners::kIBVoyageContainerProvider)
      .Method(partners::kGetContainers, &IBVoyageContainerProvider::GetContainers,
              {"VesselCode", "VoyageNo", "VoyageLeg", "PortCode"})
      .Build();
}
ClassInfo PartnerNotifyProviderClass() {
  return Expose<PartnerNotifyProvider>(partners::kPartnerNotifyProvider)
      .Method(partners::kGetPartnerNotifyInfo, &PartnerNotifyProvider::GetPartnerNotifyInfo,
              {"VendorCode", "NotifyPurposeInd", "NotifyMethodInd", "strResult"})
      .Build();
}

}  // namespace

namespace partners {

void RegisterDefaults(Origin origin) {
  const std::pair<const char*, ClassBuilder> defaults[] = {
      {kSerialNoGenerator, SerialNoGeneratorClass},
      {kIBBLContainerProvider, IBBLContainerProviderClass},
      {kOBBLContainerProvider, OBBLContainerProviderClass},
      {kBookingContainerProvider, BookingContainerProviderClass},
      {kIBVoyageContainerProvider, IBVoyageContainerProviderClass},
      {kPartnerNotifyProvider, PartnerNotifyProviderClass},
  };
  auto& registry = Registry::Instance();
  for (const auto& [name, build] : defaults) registry.Declare(name, build, origin);
}

}  // namespace partners

namespace {

void Register() { partners::RegisterDefaults(Origin::Default); }

const AtLoad registered(Register);

}  // namespace
}  // namespace kx
