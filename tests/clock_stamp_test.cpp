// A record's last-update day and time come from one reading of the clock: a save at midnight
// never stores the day before with the time after it, or the other way round.
#include "jb_container_retrieving_rows.h"
#include "job_order_detail_rows.h"
#include "retrieving/jb_container_retrieving_temp_file.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

class ClockStamp_ : public EngineTest {};

// The stored day and HHMM of the newest row of `table`, as "YYYY-MM-DD HHMM".
std::string NewestStamp(const std::string& table, const std::string& key) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select LAST_UPDATE_DATE as D, LAST_UPDATE_TIME as T from " + table +
                                           " order by " + key + " desc");
  return Null2Date(rs->Field("D")) + " " + std::to_string(CInt(rs->Field("T")));
}

// The clock reads 23:59 on 5 March, then 00:00 on the 6th, 00:01, ...: a stamp is one of those.
void ExpectOneReading(const std::string& stamp) {
  EXPECT_TRUE(stamp == "2024-03-05 2359" || stamp.rfind("2024-03-06 ", 0) == 0) << stamp;
  if (stamp.rfind("2024-03-06 ", 0) == 0) {
    EXPECT_LT(std::stoi(stamp.substr(11)), 100) << stamp;
  }
}

TEST_P(ClockStamp_, TheDayAndTimeOfAStampComeFromOneReading) {
  SetClock(SteppingClock(5, 23, 59));
  const auto files = Registry::Instance().Create("C_JBContainerRetrievingTempFile");
  Args add = {Variant(AddXml(LineXml("C1", "0")))};
  Registry::Instance().Invoke(*files, "add", add);
  ExpectOneReading(NewestStamp("JB_CONTAINER_RETRIEVING_TEMP_FILE", "JB_IMPORT_CONTAINER_WORK_FILE_ID"));

  SetClock(SteppingClock(5, 23, 59));
  const auto orders = Registry::Instance().Create("C_JBOrder");
  Args order = {Variant(std::string(
                    "<JBOrder JBNo=\"\" JBCreateDate=\"2024-03-01\" LastUpdateUser=\"u\" JBTypeCategory=\"TR\" "
                    "JBTypeCode=\"T\" OfficeCode=\"HKG\" VendorCode=\"V\" VendorName=\"n\" VendorContractNo=\"\" "
                    "ITNumber=\"\" ITType=\"\" BoundDirect=\"I\" TransportMode=\"\" Quantity=\"\" FromPlace=\"\" "
                    "FromDepot=\"\" EstimatedStartDate=\"\" ToPlace=\"\" ToDepot=\"\" EstimatedEndDate=\"\" "
                    "CostRemark=\"\"/>")),
                Variant(std::string("CO")), Variant(std::string("HKG"))};
  Registry::Instance().Invoke(*orders, "add", order);
  ExpectOneReading(NewestStamp("JB_ORDER", "JB_NO_ID"));
  ExpectOneReading(NewestStamp("JB_DIARY", "JB_DIARY_NO_ID"));
}

KX_ENGINE_SUITE(ClockStamp_);

}  // namespace
}  // namespace kx::test
