// Work files: E_ and S_JBContainerRetrievingTempFile. The insert procedure with its bound values,
// the search fields, and the line collection the file hands out.
#include "retrieving/jb_container_retrieving_temp_file.h"

#include <string>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

using File = E_JBContainerRetrievingTempFile;

const std::string kTable = "JB_CONTAINER_RETRIEVING_TEMP_FILE";
const std::string kKey = "JB_IMPORT_CONTAINER_WORK_FILE_ID";

std::string LastStatement(const Entity& e) {
  return std::dynamic_pointer_cast<Storage>(e.storage())->strSQL();
}

// Sets every header field of `file` as a caller would, text values with quotes.
void Fill(File& file, int16_t state) {
  file.Set("SourceCategory", "B'K");
  file.Set("Office", "HKG");
  file.Set("VesselCode", "VSL");
  file.Set("VoyageNo", "001");
  file.Set("VoyageLeg", "E");
  file.Set("BKNo", "BK'1");
  file.Set("BLNo", "BL1");
  file.Set("ERNo", "ER1");
  file.setProcessState(state);
  file.Set(File::kLastUpdateDate, Date::FromParts(2026, 3, 4));
  file.Set(File::kLastUpdateTime, 1435.0);
  file.Set(File::kLastUpdateUser, "O'Neil");
}

class JBContainerRetrievingTempFile : public EngineTest {};

TEST_P(JBContainerRetrievingTempFile, InsertThroughTheProcedureReturnsTheKey) {
  InsertFileRow();
  File file;
  file.add();
  Fill(file, 0);
  file.save();
  EXPECT_EQ(LastStatement(file), "JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc");
  EXPECT_EQ(file.Id(), 2);
  EXPECT_EQ(file.status(), esSaved);
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from " + kTable + " where " + kKey + " = '2'");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CStr(rs->Field("SOURCE_CATEGORY")), "B'K");
  EXPECT_EQ(CStr(rs->Field("BK_NO")), "BK'1");
  EXPECT_EQ(CLng(rs->Field("PROCESS_STATE")), 0);
  EXPECT_EQ(Null2Date(rs->Field("LAST_UPDATE_DATE")), "2026-03-04");
  EXPECT_EQ(CLng(rs->Field("LAST_UPDATE_TIME")), 1435);
  EXPECT_EQ(CStr(rs->Field("LAST_UPDATE_USER")), "O'Neil");

  // Loading it back gives every field as stored.
  File loaded;
  loaded.load("2");
  EXPECT_EQ(LastStatement(loaded), "select * from " + kTable + " where " + kKey + " = '2'");
  for (const char* p :
       {"SourceCategory", "BKNo", "LastUpdateUser", "ProcessState", "LastUpdateDate", "LastUpdateTime"})
    EXPECT_EQ(XmlText(loaded.Get(p)), XmlText(file.Get(p))) << p;
  EXPECT_EQ(loaded.status(), esLoaded);
}

TEST(JBContainerRetrievingTempFileDefinition, TwelveInsertParametersInOrder) {
  std::vector<std::string> params;
  for (const FieldSpec& f : JBContainerRetrievingTempFileDef().fields)
    if (!f.param.empty())
      params.push_back(std::string(f.param) + " " + std::to_string(f.paramType) + " " +
                       std::to_string(f.paramSize) + " " + std::to_string(f.paramPrecision) + " " +
                       std::to_string(f.paramScale));
  EXPECT_EQ(params,
            (std::vector<std::string>{
                "@SOURCE_CATEGORY 200 10 0 0", "@OFFICE 200 10 0 0", "@VESSEL_CODE 200 6 0 0",
                "@VOYAGE_NO 200 6 0 0", "@VOYAGE_LEG 200 1 0 0", "@BK_NO 200 17 0 0", "@BL_NO 200 17 0 0",
                "@ER_NO 200 20 0 0", "@PROCESS_STATE 2 0 0 0", "@LAST_UPDATE_DATE 135 0 0 0",
                "@LAST_UPDATE_TIME 131 0 4 0", "@LAST_UPDATE_USER 200 16 0 0"}));
}

TEST_P(JBContainerRetrievingTempFile, LoadOfMissingKeyLeavesTheFileAsItWas) {
  const int32_t id = InsertFileRow();
  File file;
  file.load(std::to_string(id));
  const Error err = CaptureError([&] { file.load("77"); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '77'");
  EXPECT_EQ(file.status(), esLoading);
  EXPECT_EQ(file.Id(), id);
  EXPECT_EQ(file.Text(File::kLastUpdateUser), "old");
}

TEST_P(JBContainerRetrievingTempFile, UnchangedFileWritesNothing) {
  const int32_t id = InsertFileRow();
  File file;
  file.load(std::to_string(id));
  file.Set("Office", "HKG");
  file.setProcessState(0);
  file.Set(File::kLastUpdateTime, 930);
  EXPECT_EQ(file.status(), esLoaded);
  file.save();
  EXPECT_EQ(LastStatement(file),
            "select * from " + kTable + " where " + kKey + " = '" + std::to_string(id) + "'");
  file.Set("Office", "SHA");
  file.save();
  file.save();  // saved is not dirty: the second save runs nothing
  EXPECT_EQ(file.status(), esSaved);
  EXPECT_EQ(LastStatement(file).rfind("Update ", 0), 0u);
}

TEST_P(JBContainerRetrievingTempFile, SearchFields) {
  const int32_t a = InsertFileRow("BKA", 1);
  InsertFileRow("BKB", 2);
  S_JBContainerRetrievingTempFile storage;
  EXPECT_EQ(storage.Query("")->RecordCount(), 2);
  EXPECT_EQ(storage.strSQL(), "select * from  " + kTable);
  const struct {
    std::string field, column, key;
  } fields[] = {
      {"SourceCategory", "SOURCE_CATEGORY", "BK"},
      {"Office", "OFFICE", "HKG"},
      {"VesselCode", "VESSEL_CODE", "VSL"},
      {"VoyageNo", "VOYAGE_NO", "001"},
      {"VoyageLeg", "VOYAGE_LEG", "E"},
      {"BKNo", "BK_NO", "BKA"},
      {"BLNo", "BL_NO", "BL1"},
      {"ERNo", "ER_NO", "ER1"},
      {"ProcessState", "PROCESS_STATE", "1"},
  };
  for (const auto& f : fields) {
    SCOPED_TRACE(f.field);
    auto rs = storage.Query("<AccessKeys><AccessKey Field=\"" + f.field + "\" SearchCondition=\"=\" Key=\"" +
                            f.key + "\"/></AccessKeys>");
    EXPECT_EQ(storage.strSQL(),
              "select * from " + kTable + "   where 1=1   And " + f.column + " = '" + f.key + "'");
    EXPECT_GE(rs->RecordCount(), 1);
  }
  auto rs = storage.Query(
      "<AccessKeys><AccessKey Field=\"BKNo\" SearchCondition=\"Include\" Key=\"K\"/><AccessKey "
      "Field=\"ProcessState\" "
      "SearchCondition=\"&lt;\" Key=\"2\"/></AccessKeys>");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CLng(rs->Field(kKey)), a);
  for (const char* unsearchable : {"Id", "LastUpdateDate", "LastUpdateTime", "LastUpdateUser"}) {
    const Error err = CaptureError([&] {
      storage.Query("<AccessKey Field=\"" + std::string(unsearchable) +
                    "\" SearchCondition=\"=\" Key=\"1\"/>");
    });
    EXPECT_EQ(err.description().rfind("Query Function", 0), 0u) << err.description();
    EXPECT_NE(err.description().find(unsearchable), std::string::npos) << err.description();
  }
}

TEST_P(JBContainerRetrievingTempFile, LinesOfANewFileAreEmptyWithoutAQueryThenFreshlyLoaded) {
  const int32_t id = InsertFileRow();
  InsertLineRow(id, "A");
  File file;
  file.load(std::to_string(id));
  file.add();  // new, still holding the key of the load
  // With the database out of reach the first read still succeeds: it runs no query.
  home_->WriteConfig("[DATABASE]\nPROVIDER=SQLOLEDB\n");
  auto first = file.ColJBContainerRetrievingTempDetail();
  EXPECT_EQ(first->Count(), 0);
  EXPECT_EQ(CaptureError([&] { file.ColJBContainerRetrievingTempDetail(); })
                .description()
                .rfind("ColJBContainerRetrievingTempDetail Property"
                       "loadElements Sub",
                       0),
            0u);
  home_->WriteConfig(home_->DefaultConfig());
  auto second = file.ColJBContainerRetrievingTempDetail();
  EXPECT_NE(second, first);
  ASSERT_EQ(second->Count(), 1);
  EXPECT_EQ(first->Count(), 0);  // the earlier collection is not reloaded

  // A loaded file loads on the first read; held changes are not seen through a later read.
  File loaded;
  loaded.load(std::to_string(id));
  auto lines = loaded.ColJBContainerRetrievingTempDetail();
  ASSERT_EQ(lines->Count(), 1);
  std::static_pointer_cast<E_JBContainerRetrievingTempDetail>(lines->Item(1))->setHandledFlag(true);
  EXPECT_FALSE(std::static_pointer_cast<E_JBContainerRetrievingTempDetail>(
                   loaded.ColJBContainerRetrievingTempDetail()->Item(1))
                   ->HandledFlag());
}

KX_ENGINE_SUITE(JBContainerRetrievingTempFile);

}  // namespace
}  // namespace kx::test
