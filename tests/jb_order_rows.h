// Shared by the job order tests: request documents, a fixed clock, a dump of every job order
// table, and a serial number generator whose answers a test scripts.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "job_order_detail_rows.h"
#include "partners/partners.h"
#include "runtime/expose.h"
#include "kx/host.h"
#include "runtime/xml.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::test {

// The attributes of a complete JBOrder request, in request order.
inline std::vector<std::pair<std::string, std::string>> OrderAttributes() {
  return {{"JBNo", "JB001"},
          {"JBCreateDate", "2026-12-01"},
          {"LastUpdateUser", "amy"},
          {"JBTypeCategory", "TR"},
          {"JBTypeCode", "TRK"},
          {"OfficeCode", "HKG"},
          {"VendorCode", "V001"},
          {"VendorName", "O'Neil & Sons"},
          {"VendorContractNo", "C-9"},
          {"ITNumber", "IT1"},
          {"ITType", "A"},
          {"BoundDirect", "I"},
          {"TransportMode", "TRK"},
          {"Quantity", "3"},
          {"FromPlace", "HKHKG"},
          {"FromDepot", "D1"},
          {"EstimatedStartDate", "2026-12-02"},
          {"ToPlace", "CNSZX"},
          {"ToDepot", "D2"},
          {"EstimatedEndDate", "2026-12-05"},
          {"CostRemark", "rush"}};
}

// Text of an attribute value in a request.
inline std::string XmlAttr(const std::string& v) {
  std::string out;
  for (char c : v) out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '"' ? "&quot;" : std::string(1, c);
  return out;
}

// A JBOrder element with the complete attributes, `changes` applied (an empty value for a name
// "-Name" drops the attribute), and `inner` as its content.
inline std::string OrderXml(const std::map<std::string, std::string>& changes = {},
                            const std::string& inner = "") {
  std::string out = "<JBOrder";
  if (auto id = changes.find("Id"); id != changes.end()) out += " Id=\"" + XmlAttr(id->second) + "\"";
  for (auto [name, value] : OrderAttributes()) {
    if (changes.count("-" + name)) continue;
    if (auto c = changes.find(name); c != changes.end()) value = c->second;
    out += " " + name + "=\"" + XmlAttr(value) + "\"";
  }
  return out + (inner.empty() ? "/>" : ">" + inner + "</JBOrder>");
}

// A container line as add creates it (the fourteen text attributes).
inline std::string LineXml(const std::string& no, const std::string& bk = "BK1",
                           const std::string& bl = "BL1", const std::string& cargo = "toys") {
  return "<JBContainerDetail ContainerPrefix=\"ABCU\" ContainerNo=\"" + no +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"" + bk + "\" BLNo=\"" + bl +
         "\" ERNo=\"ER1\" FromPlace=\"HKHKG\" ToPlace=\"CNSZX\" ServiceMode=\"CY\" ContainerType=\"40HC\" "
         "CargoDescription=\"" +
         XmlAttr(cargo) + "\" Reefer=\"N\" Hazard=\"N\"/>";
}

// A container line as modify reads it: the fourteen text attributes and the eleven of a stored line.
inline std::string FullLineXml(const std::string& no, const std::string& chargeCode = "") {
  std::string line = LineXml(no);
  return line.substr(0, line.size() - 2) +
         " LastActivityCode=\"\" LastActivityDate=\"\" LastActivityTime=\"\" ChargeCode=\"" + chargeCode +
         "\" ChargeQuantity=\"\" ChargeCurrency=\"\" ChargeTariffRate=\"\" ChargeActualRate=\"\" "
         "ChargeActualAmount=\"\" "
         "InvoiceCurrency=\"\" InvoiceAmount=\"\"/>";
}

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out = "<JBContainerDetails>";
  for (const auto& l : lines) out += l;
  return out + "</JBContainerDetails>";
}

// A container line as the answer writes a line that add created.
inline std::string StoredLine(int id, int order, const std::string& no, const std::string& cargo) {
  return "<JBContainerDetail Id=\"" + std::to_string(id) + "\" JBNoId=\"" + std::to_string(order) +
         "\" ContainerPrefix=\"ABCU\" ContainerNo=\"" + no +
         "\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" FromPlace=\"HKHKG\" "
         "ToPlace=\"CNSZX\" ServiceMode=\"CY\" ContainerType=\"40HC\" CargoDescription=\"" +
         cargo +
         "\" Reefer=\"N\" Hazard=\"N\" ProcessState=\"0\" LastActivityCode=\"\" "
         "LastActivityDate=\"1899-12-30\" "
         "LastActivityTime=\"0\" ChargeCode=\"\" ChargeQuantity=\"0\" ChargeCurrency=\"\" "
         "ChargeTariffRate=\"0\" "
         "ChargeActualRate=\"\" ChargeActualAmount=\"0\" InvoiceCurrency=\"\" InvoiceAmount=\"0\"/>";
}

// A clock that always reads `hour`:`minute`:`second` local time on the given day.
inline void FixClock(int year, int month, int day, int hour, int minute, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900, t.tm_mon = month - 1, t.tm_mday = day, t.tm_hour = hour, t.tm_min = minute;
  t.tm_sec = second, t.tm_isdst = -1;
  const auto at = std::chrono::system_clock::from_time_t(std::mktime(&t));
  SetClock([at] { return at; });
}

// Every row of every job order table, in key order, as text.
inline std::string DumpOrderTables() {
  return S_DBHelpForKX().RunSQLReturnRS("select * from JB_ORDER order by JB_NO_ID")->ToText() +
         DumpDetailTables();
}

inline int32_t CountRows(const std::string& table, const std::string& where = "") {
  return CLng(
      S_DBHelpForKX()
          .RunSQLReturnRS("select Count(*) as N from " + table + (where.empty() ? "" : " where " + where))
          ->Field("N"));
}

// One column of the order `id` as text.
inline std::string OrderColumn(int32_t id, const std::string& column) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select " + column + " as V from JB_ORDER where JB_NO_ID = '" +
                                           std::to_string(id) + "'");
  return rs->EOF_() ? "(no row)" : CStr(Null2Str(rs->Field("V")));
}

// The diary texts of the order `id`, in key order.
inline std::vector<std::string> DiaryTexts(int32_t id) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from JB_DIARY where JB_NO_ID = '" + std::to_string(id) +
                                           "' order by JB_DIARY_NO_ID");
  std::vector<std::string> out;
  for (; !rs->EOF_(); rs->MoveNext())
    out.push_back(CStr(rs->Field("JB_DIARY_TYPE_IND")) + "|" + CStr(rs->Field("LAST_UPDATE_USER")) + "|" +
                  CStr(rs->Field("JB_DIARY_TEXT")));
  return out;
}

// The value of attribute `name` of every element `element` of `xml`.
inline std::vector<std::string> AttributeValues(const std::string& xml, const std::string& element,
                                                const std::string& name) {
  std::string reason;
  auto doc = xml::Document::Parse(xml, reason);
  std::vector<std::string> out;
  if (!doc) return {"(not XML: " + reason + ")"};
  for (const auto& e : doc->ElementsByTagName(element)) out.push_back(e.Attribute(name).value_or("(none)"));
  return out;
}

// A serial number generator whose answers the test decides; it records every request.
class ScriptedGenerator : public Object {
 public:
  std::string_view ClassName() const override { return partners::kSerialNoGenerator; }
  std::string GenerateSerialNo(const std::string& requestXml) {
    requests.push_back(requestXml);
    return answer(static_cast<int>(requests.size()));
  }
  // The answer to the n-th request (from 1).
  std::function<std::string(int)> answer = [](int n) { return "GEN" + std::to_string(n); };
  std::vector<std::string> requests;
};

// Puts one scripted generator in the registry for the life of the object, then the default back.
class ScriptedGeneratorInstalled {
 public:
  ScriptedGeneratorInstalled() : generator(std::make_shared<ScriptedGenerator>()) {
    auto g = generator;
    Expose<ScriptedGenerator>(partners::kSerialNoGenerator,
                              [g] { return std::static_pointer_cast<Object>(g); })
        .Method(partners::kGenerateSerialNo, &ScriptedGenerator::GenerateSerialNo, {"requestXml"})
        .Register(Origin::Replace);
  }
  ~ScriptedGeneratorInstalled() { partners::RegisterDefaults(Origin::Replace); }
  std::shared_ptr<ScriptedGenerator> generator;
};

}  // namespace kx::test
