// The default outside components: job order numbers from a counter in the database, the container
// providers over job order lines and work file lines, and partner notification settings; a
// deployment's class replaces a default one.
#include "partners/partners.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

std::string SerialRequest(const std::string& company, const std::string& office,
                          const std::string& seq = "01") {
  return "<?xml version='1.0'?><Root><CDSerialNos><CDSerialNo USAGEIND='JOBORDER' COMPANYCODE='" + company +
         "' OFFICECODE='" + office + "' ITNO='' SEQNO='" + seq + "' SERIALNO=''/></CDSerialNos></Root>";
}

std::string Containers(const std::string& elements) {
  return "<?xml version=\"1.0\"?>\n<Root><Containers" +
         (elements.empty() ? "/>" : ">" + elements + "</Containers>") + "</Root>\n";
}

std::string Container(const std::string& prefix, const std::string& no, const std::string& bk,
                      const std::string& bl) {
  return "<Container ContainerPrefix=\"" + prefix + "\" ContainerNo=\"" + no +
         "\" ContainerType=\"40HC\" BKNo=\"" + bk + "\" BLNo=\"" + bl + "\"/>";
}

class Partners : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    FixClock(2026, 12, 8, 9, 30);
    S_DBHelpForKX db;
    db.RunSQL("Delete KX_SERIAL_COUNTER Where COUNTER_KEY like '%'");
    db.RunSQL("Delete PARTNER_NOTIFY_SETTING Where VENDOR_CODE like '%'");
  }
  void TearDown() override {
    partners::RegisterDefaults(Origin::Replace);
    EngineTest::TearDown();
  }
  // A container line of a job order with bound direction `bound`.
  void OrderLine(int order, const std::string& bound, const std::string& prefix, const std::string& no,
                 const std::string& bk, const std::string& bl) {
    S_DBHelpForKX db;
    if (CLng(db.RunSQLReturnRS("select Count(*) as N from JB_ORDER where JB_NO_ID = '" +
                               std::to_string(order) + "'")
                 ->Field("N")) == 0)
      db.RunSQL("Insert Into JB_ORDER (JB_NO_ID, JB_NO, BOUND_DIRECT) Values ('" + std::to_string(order) +
                "', 'N" + std::to_string(order) + "', '" + bound + "')");
    db.RunSQL(
        "Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, CONTAINER_TYPE, BK_NO, "
        "BL_NO) "
        "Values ('" +
        std::to_string(order) + "', '" + prefix + "', '" + no + "', '40HC', '" + bk + "', '" + bl + "')");
  }
  // A work file line of the file `file` (vessel VSL, voyage 001, leg E) discharged at `pod`.
  void WorkFileLine(int file, const std::string& prefix, const std::string& no, const std::string& bk,
                    const std::string& bl, const std::string& pod) {
    S_DBHelpForKX db;
    const std::string f = std::to_string(file);
    if (CLng(db.RunSQLReturnRS("select Count(*) as N from JB_CONTAINER_RETRIEVING_TEMP_FILE where "
                               "JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
                               f + "'")
                 ->Field("N")) == 0)
      db.RunSQL(
          "Insert Into JB_CONTAINER_RETRIEVING_TEMP_FILE (JB_IMPORT_CONTAINER_WORK_FILE_ID, VESSEL_CODE, "
          "VOYAGE_NO, VOYAGE_LEG) Values ('" +
          f + "', 'VSL', '00" + f + "', 'E')");
    db.RunSQL(
        "Insert Into JB_CONTAINER_RETRIEVING_TEMP_DETAIL (JB_IMPORT_CONTAINER_WORK_FILE_ID, "
        "CONTAINER_PREFIX, "
        "CONTAINER_NO, CONTAINER_TYPE, BK_NO, BL_NO, POD) Values ('" +
        f + "', '" + prefix + "', '" + no + "', '40HC', '" + bk + "', '" + bl + "', '" + pod + "')");
  }
};

TEST_P(Partners, SerialNumbersCountPerCompanyOfficeAndMonth) {
  SerialNoGenerator g;
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("CO", "HKG")), "COHKG2612000001");
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("CO", "HKG", "02")), "COHKG2612000002");
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("CO", "SHA")), "COSHA2612000001");
  FixClock(2027, 1, 2, 8, 0);
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("CO", "HKG")), "COHKG2701000001");
  // Long codes are cut so that the number fits JB_NO.
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("COMPANY", "OFFICE99")), "COMPANYOFF2701000001");
  // The counter lives in the database.
  EXPECT_EQ(
      CStr(S_DBHelpForKX()
               .RunSQLReturnRS(
                   "select LAST_VALUE from KX_SERIAL_COUNTER where COUNTER_KEY = 'JOBORDER/CO/HKG/202612'")
               ->Field("LAST_VALUE")),
      "2");
}

TEST_P(Partners, ANumberNeverExceedsTwentyCharacters) {
  S_DBHelpForKX().RunSQL(
      "Insert Into KX_SERIAL_COUNTER (COUNTER_KEY, LAST_VALUE) Values ('JOBORDER/COMPANY/OFFICE99/202612', "
      "999999)");
  SerialNoGenerator g;
  const Error err = CaptureError([&] { g.GenerateSerialNo(SerialRequest("COMPANY", "OFFICE99")); });
  EXPECT_EQ(err.description(),
            "GenerateSerialNo Function"
            "The serial number counter JOBORDER/COMPANY/OFFICE99/202612 has run out of numbers");
  // A short prefix leaves room for a longer counter.
  S_DBHelpForKX().RunSQL(
      "Insert Into KX_SERIAL_COUNTER (COUNTER_KEY, LAST_VALUE) Values ('JOBORDER/C/H/202612', 999999)");
  EXPECT_EQ(g.GenerateSerialNo(SerialRequest("C", "H")), "CH26121000000");
  EXPECT_EQ(CaptureError([&] { g.GenerateSerialNo("<Root/>"); }).description(),
            "GenerateSerialNo Function"
            "Object variable or With block variable not set");
}

TEST_P(Partners, ConcurrentClientsNeverReceiveTheSameNumber) {
  constexpr int kClients = 8, kEach = 10;
  std::vector<std::vector<std::string>> numbers(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < kEach; ++i) {
        try {
          TransactionScope scope;
          Args args = {Variant(SerialRequest("CO", "HKG"))};
          const ObjectPtr g = Registry::Instance().Create("SerialNoGenerator");
          const std::string n = CStr(Registry::Instance().Invoke(*g, "GenerateSerialNo", args));
          if (scope.Complete()) numbers[c].push_back(n);
        } catch (const std::exception& e) {
          numbers[c].push_back(std::string("error: ") + e.what());
        }
      }
    });
  for (auto& t : clients) t.join();
  std::set<std::string> all;
  for (const auto& list : numbers)
    for (const auto& n : list) {
      EXPECT_EQ(n.substr(0, 9), "COHKG2612") << n;
      all.insert(n);
    }
  EXPECT_EQ(all.size(), static_cast<size_t>(kClients * kEach));
}

TEST_P(Partners, ContainerProvidersAnswerFromOrderAndWorkFileLines) {
  OrderLine(1, "I", "ABCU", "1", "BK1", "BL1");
  OrderLine(1, "I", "ABCU", "2", "BK1", "BL1");
  OrderLine(2, "O", "XYZU", "9", "BK1", "BL1");
  OrderLine(3, "I", "ABCU", "1", "BK1", "BL1");  // the same container on another order counts once
  WorkFileLine(1, "WFLU", "5", "BK1", "BL1", "HKHKG");
  WorkFileLine(1, "WFLU", "6", "BK7", "BL7", "CNSHA");
  WorkFileLine(2, "WFLU", "8", "BK8", "BL8", "HKHKG");
  IBBLContainerProvider ib;
  EXPECT_EQ(ib.GetContainers("BL1"),
            Containers(Container("ABCU", "1", "BK1", "BL1") + Container("ABCU", "2", "BK1", "BL1") +
                       Container("WFLU", "5", "BK1", "BL1")));
  OBBLContainerProvider ob;
  EXPECT_EQ(ob.GetContainers("BL1"), Containers(Container("XYZU", "9", "BK1", "BL1")));
  BookingContainerProvider bk;
  EXPECT_EQ(bk.GetContainers("BK1"),
            Containers(Container("ABCU", "1", "BK1", "BL1") + Container("ABCU", "2", "BK1", "BL1") +
                       Container("WFLU", "5", "BK1", "BL1") + Container("XYZU", "9", "BK1", "BL1")));
  EXPECT_EQ(bk.GetContainers("x' or '1'='1"), Containers(""));
  IBVoyageContainerProvider voyage;
  EXPECT_EQ(voyage.GetContainers("VSL", "001", "E", "HKHKG"),
            Containers(Container("WFLU", "5", "BK1", "BL1")));
  EXPECT_EQ(voyage.GetContainers("VSL", "001", "E", ""),
            Containers(Container("WFLU", "5", "BK1", "BL1") + Container("WFLU", "6", "BK7", "BL7")));
  EXPECT_EQ(voyage.GetContainers("VSL", "001", "W", ""), Containers(""));
}

TEST_P(Partners, PartnerNotifySettings) {
  S_DBHelpForKX db;
  db.RunSQL(
      "Insert Into PARTNER_NOTIFY_SETTING (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND, FAX_NO, "
      "EMAIL_ADDRESS) "
      "Values ('V1', 'IJ', 'EMAIL', '', 'ops@v1.example')");
  db.RunSQL(
      "Insert Into PARTNER_NOTIFY_SETTING (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND, FAX_NO, "
      "EMAIL_ADDRESS) "
      "Values ('V1', 'IJ', 'FAX', NULL, NULL)");
  PartnerNotifyProvider p;
  std::string result = "old";
  EXPECT_TRUE(p.GetPartnerNotifyInfo("V1", "IJ", "EMAIL", result));
  EXPECT_EQ(result,
            "<?xml version=\"1.0\"?>\n<Root><PartnerNotifyInfos><PartnerNotifyInfo VendorCode=\"V1\" "
            "NotifyPurposeInd=\"IJ\" NotifyMethodInd=\"EMAIL\" FaxNo=\"\" EmailAddress=\"ops@v1.example\"/>"
            "</PartnerNotifyInfos></Root>\n");
  result = "old";
  EXPECT_FALSE(p.GetPartnerNotifyInfo("V1", "IJ", "FAX", result));  // a row with nothing set
  EXPECT_FALSE(p.GetPartnerNotifyInfo("V2", "IJ", "EMAIL", result));
  EXPECT_EQ(result, "old");
  // Late bound, the result comes back by reference.
  const ObjectPtr o = Registry::Instance().Create("PartnerNotifyProvider");
  Args args = {Variant("V1"), Variant("IJ"), Variant("EMAIL"), Variant("")};
  EXPECT_TRUE(CBool(Registry::Instance().Invoke(*o, "GetPartnerNotifyInfo", args)));
  EXPECT_NE(CStr(args[3]).find("ops@v1.example"), std::string::npos);
}

// A deployment's own number generator.
class OfficeGenerator : public Object {
 public:
  std::string_view ClassName() const override { return partners::kSerialNoGenerator; }
  std::string GenerateSerialNo(const std::string&) { return "DEPLOYED-1"; }
};

TEST_P(Partners, ADeploymentReplacesADefaultComponent) {
  // A deployment registers its class under the component's name: it wins over the default.
  Expose<OfficeGenerator>(partners::kSerialNoGenerator)
      .Method(partners::kGenerateSerialNo, &OfficeGenerator::GenerateSerialNo, {"requestXml"})
      .Register(Origin::Replace);
  // A default registration that comes later does not take the name back.
  Expose<SerialNoGenerator>(partners::kSerialNoGenerator)
      .Method(partners::kGenerateSerialNo, &SerialNoGenerator::GenerateSerialNo, {"requestXml"})
      .Register(Origin::Default);
  C_JBOrder orders;
  const std::string id = orders.add(OrderXml({{"JBNo", ""}}), "CO", "HKG");
  EXPECT_EQ(AttributeValues(orders.getElementByXML(id), "JBOrder", "JBNo"),
            std::vector<std::string>{"DEPLOYED-1"});
}

KX_ENGINE_SUITE(Partners);

}  // namespace
}  // namespace kx::test
