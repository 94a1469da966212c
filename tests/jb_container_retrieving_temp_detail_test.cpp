// Work file lines: E_, S_ and Col_JBContainerRetrievingTempDetail. The handled flag's two
// readings, pairing request lines with stored lines by position, and the completion check that
// reads the database.
#include "retrieving/jb_container_retrieving_temp_detail.h"

#include <string>
#include <vector>

#include "jb_container_retrieving_rows.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

using Line = E_JBContainerRetrievingTempDetail;
using Lines = Col_JBContainerRetrievingTempDetail;

const std::string kTable = "JB_CONTAINER_RETRIEVING_TEMP_DETAIL";

// A line in `status` with text field i set to "v<i>" (CargoDescription to `cargo`).
std::shared_ptr<Line> Prepared(int16_t status, const std::string& cargo, bool handled, int32_t id = 7,
                               int32_t fileId = 3) {
  auto e = std::make_shared<Line>();
  e->setStatus(esLoading);
  for (size_t i = Line::kFromPlace; i <= Line::kPlaceDelivery; ++i) e->Set(i, "v" + std::to_string(i));
  e->setCargoDescription(cargo);
  e->setHandledFlag(handled);
  e->Set(Line::kId, id);
  e->setJBImportContainerWorkFileId(fileId);
  e->setStatus(status);
  return e;
}

std::string LastStatement(Line& e) {
  return std::dynamic_pointer_cast<S_JBContainerRetrievingTempDetail>(e.storage())->strSQL();
}

class JBContainerRetrievingTempDetail : public EngineTest {};

TEST_P(JBContainerRetrievingTempDetail, LoadOfMissingKeyAndSavesThatRunNothing) {
  Line e;
  const Error err = CaptureError([&] { e.load("42"); });
  EXPECT_EQ(err.description(),
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '42'");
  EXPECT_EQ(e.status(), esLoading);
  for (int16_t status : {int16_t{0}, int16_t{esLoaded}, int16_t{esSaved}}) {
    auto p = Prepared(status, "c", true);
    p->save();
    EXPECT_EQ(LastStatement(*p), "") << status;
  }
}

TEST_P(JBContainerRetrievingTempDetail, HandledFlagReadsNullEmptyAndTextAsStored) {
  const int32_t file = InsertFileRow();
  InsertLineRow(file, "A", "'1'");
  InsertLineRow(file, "B", "'0'");
  InsertLineRow(file, "C", "NULL");
  InsertLineRow(file, "D", "''");
  InsertLineRow(file, "E", "'Y'");
  Lines lines;
  lines.loadElements(std::to_string(file));
  S_JBContainerRetrievingTempDetail s;
  ASSERT_EQ(lines.Count(), 5);
  std::vector<bool> flags;
  for (int16_t i = 1; i <= 5; ++i)
    flags.push_back(std::static_pointer_cast<Line>(lines.Item(i))->HandledFlag());
  EXPECT_EQ(flags, (std::vector<bool>{true, false, false, false, true}));
  EXPECT_EQ(lines.Item(1)->status(), esLoaded);
}

TEST_P(JBContainerRetrievingTempDetail, LinesAnswerInTheirAttributeOrder) {
  const int32_t file = InsertFileRow();
  const int32_t other = InsertFileRow("BK2");
  InsertLineRow(file, "A", "'1'");
  InsertLineRow(other, "B", "'0'");
  Lines lines;
  lines.loadElements(std::to_string(file));
  lines.loadElements(std::to_string(other));
  S_JBContainerRetrievingTempDetail storage;
  const std::string line =
      "FromPlace=\"HKG\" ToPlace=\"YTN\" MovementMode=\"CY\" ContainerPrefix=\"ABCU\" ContainerNo=\"B\" "
      "ContainerType=\"20GP\" EmptyFullFlag=\"F\" SOCFlag=\"N\" BKNo=\"BK1\" BLNo=\"BL1\" ERNo=\"ER1\" "
      "CargoDescription=\"toys\" Reefer=\"N\" Hazard=\"N\" PlaceAcceptance=\"HKG\" POL=\"HKG\" POD=\"LAX\" "
      "PlaceDelivery=\"LAX\" HandledFlag=\"0\"";
  EXPECT_EQ(
      lines.getColElementsByXML(std::to_string(other)),
      "<?xml version=\"1.0\"?>\n<JBContainerRetrievingTempDetails><JBContainerRetrievingTempDetail Id=\"2\" "
      "JBImportContainerWorkFileId=\"" +
          std::to_string(other) + "\" " + line + "/></JBContainerRetrievingTempDetails>\n");
  EXPECT_EQ(lines.getColElementsByXML("999"),
            "<?xml version=\"1.0\"?>\n<JBContainerRetrievingTempDetails/>\n");
  EXPECT_EQ(Lines().getColElementsByXML(), "<?xml version=\"1.0\"?>\n<JBContainerRetrievingTempDetails/>\n");
  // The load of a file's lines is the one generated statement.
  auto rs = std::make_shared<EntityList>();
  storage.LoadElementsIntoCol(std::to_string(file), *rs);
  EXPECT_EQ(storage.strSQL(), "select * from " + kTable + " where JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
                                  std::to_string(file) + "'");
  EXPECT_EQ(rs->Count(), 1);
}

TEST_P(JBContainerRetrievingTempDetail, SearchFieldsAreEveryProperty) {
  const int32_t file = InsertFileRow();
  InsertLineRow(file, "A1", "'1'");
  InsertLineRow(file, "B2", "'0'");
  S_JBContainerRetrievingTempDetail storage;
  EXPECT_EQ(storage.Query("")->RecordCount(), 2);
  EXPECT_EQ(storage.strSQL(), "select * from  " + kTable);
  auto rs = storage.Query(
      "<Root><AccessKey Field=\"ContainerNo\" SearchCondition=\"BeginWith\" Key=\"A\"/>"
      "<AccessKey Field=\"HandledFlag\" SearchCondition=\"=\" Key=\"1\"/>"
      "<AccessKey Field=\"JBImportContainerWorkFileId\" SearchCondition=\"=\" Key=\"" +
      std::to_string(file) + "\"/></Root>");
  EXPECT_EQ(storage.strSQL(), "select * from " + kTable +
                                  "   where 1=1   And CONTAINER_NO like 'A%' And HANDLED_FLAG = '1' And "
                                  "JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
                                  std::to_string(file) + "'");
  EXPECT_EQ(rs->RecordCount(), 1);
}

TEST_P(JBContainerRetrievingTempDetail, UpdatePairsByPositionAndTakesOnlyTheFlag) {
  const int32_t file = InsertFileRow();
  const int32_t other = InsertFileRow("BK2");
  InsertLineRow(file, "A");
  InsertLineRow(file, "B", "'1'");
  const auto before = DumpWorkFileTables();
  Lines lines;
  lines.loadElements(std::to_string(file));
  // Other attributes, even another container number or parent key, are not read for stored lines.
  lines.updateColElements("<X>" + LineXml("CHANGED", "Y") + FlagXml("n") + "</X>", std::to_string(file));
  EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"A:1", "B:0"}));
  EXPECT_EQ(lines.Count(), 2);
  // The same flags again write nothing.
  auto after = DumpWorkFileTables();
  lines.updateColElements("<X>" + FlagXml("true") + FlagXml("0") + "</X>", std::to_string(file));
  EXPECT_EQ(DumpWorkFileTables(), after);
  EXPECT_EQ(lines.Item(1)->status(), esSaved);
  EXPECT_NE(after, before);
  EXPECT_TRUE(StoredLines(other).empty());
}

TEST_P(JBContainerRetrievingTempDetail, UpdateCreatesAndDeletesBeyondThePairs) {
  const int32_t file = InsertFileRow();
  InsertLineRow(file, "A");
  InsertLineRow(file, "B");
  Lines lines;
  lines.loadElements(std::to_string(file));
  lines.updateColElements("<X><Y>" + FlagXml("1") + FlagXml("1") + LineXml("C", "true", "O'Neil's") +
                              LineXml("D", "0") + "</Y>" + LineXml("E", "-1") + "</X>",
                          std::to_string(file));
  EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"A:1", "B:1", "C:1", "D:0", "E:1"}));
  EXPECT_EQ(lines.Count(), 5);
  EXPECT_EQ(std::static_pointer_cast<Line>(lines.Item(3))->Id(), 0);  // a new line holds 0 until reloaded
  Lines reloaded;
  reloaded.loadElements(std::to_string(file));
  EXPECT_EQ(std::static_pointer_cast<Line>(reloaded.Item(3))->CargoDescription(), "O'Neil's");

  reloaded.updateColElements("<X/>", std::to_string(file));
  EXPECT_TRUE(StoredLines(file).empty());
  EXPECT_EQ(reloaded.Count(), 5);  // deleted lines stay in the list
  EXPECT_EQ(reloaded.Item(5)->status(), esSaved);
}

TEST_P(JBContainerRetrievingTempDetail, NewLineRefusesYesWhileStoredLineTakesIt) {
  const int32_t file = InsertFileRow();
  InsertLineRow(file, "A");
  Lines lines;
  lines.loadElements(std::to_string(file));
  lines.updateColElements(FlagXml("Y"), std::to_string(file));
  EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"A:1"}));

  const struct {
    std::string request, description;
  } refused[] = {
      {"<X>" + FlagXml("Y") + LineXml("B", "Y") + "</X>",
       "updateColElements Sub"
       "Type mismatch"},
      {"<X>" + FlagXml("Y") + "<JBContainerRetrievingTempDetail HandledFlag=\"1\"/></X>",
       "updateColElements Sub"
       "Object variable or With block variable not set"},
      {"<X><JBContainerRetrievingTempDetail/></X>",
       "updateColElements Sub"
       "Object variable or With block variable not set"},
      {"<X>" + FlagXml("maybe") + "</X>",
       "updateColElements Sub"
       "Null2Bln Function"
       "Type mismatch"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.request);
    Lines fresh;
    fresh.loadElements(std::to_string(file));
    const Error err = CaptureError([&] { fresh.updateColElements(c.request, std::to_string(file)); });
    EXPECT_EQ(err.description(), c.description);
    EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"A:1"}));
  }
  // Text that does not parse is no empty list: nothing is deleted.
  Lines fresh;
  fresh.loadElements(std::to_string(file));
  EXPECT_EQ(CaptureError([&] { fresh.updateColElements("<X>", std::to_string(file)); })
                .description()
                .rfind("updateColElements Sub", 0),
            0u);
  EXPECT_EQ(CaptureError([&] { fresh.updateColElements(FlagXml("1"), "x"); }).description(),
            "updateColElements Sub"
            "Type mismatch");
  EXPECT_EQ(StoredLines(file), (std::vector<std::string>{"A:1"}));
}

TEST_P(JBContainerRetrievingTempDetail, IsAllFinishedReadsTheDatabase) {
  struct Case {
    std::vector<std::string> flags;
    bool finished;
  };
  const std::vector<Case> cases = {
      {{"'1'"}, true},
      {{"'1'", "'1'", "'1'"}, true},
      {{"'0'", "'1'", "'1'"}, false},
      {{"'1'", "'0'", "'1'"}, false},
      {{"'1'", "'1'", "'0'"}, false},
      {{"'1'", "NULL"}, false},
      {{"'1'", "''"}, false},
      {{"'Y'", "'1'"}, true},
  };
  for (const auto& c : cases) {
    const int32_t file = InsertFileRow();
    for (const auto& f : c.flags) InsertLineRow(file, "C", f);
    SCOPED_TRACE(testing::PrintToString(c.flags));
    EXPECT_EQ(Lines().isAllFinished(file), c.finished);
  }
  // Lines held in memory and not saved do not count.
  const int32_t file = InsertFileRow();
  InsertLineRow(file, "A", "'0'");
  Lines lines;
  lines.loadElements(std::to_string(file));
  std::static_pointer_cast<Line>(lines.Item(1))->setHandledFlag(true);
  EXPECT_FALSE(lines.isAllFinished(file));

  const Error err = CaptureError([&] { lines.isAllFinished(9999); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "isAllFinished Function"
            "LoadByPK Function"
            "Can not use code '9999'");
}

KX_ENGINE_SUITE(JBContainerRetrievingTempDetail);

}  // namespace
}  // namespace kx::test
