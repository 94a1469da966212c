// Diary entries: the collection's XML and its pairing by position, the entry written straight to
// the database by Col_JBDiary.add with its votes and its failure text, the search, and keys that
// are no numbers (the protocol every record shares is checked in record_protocol_test.cpp).
#include "joborderdetail/jb_diary.h"

#include <string>
#include <vector>

#include "job_order_detail_rows.h"
#include "runtime/context.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

// Inserts a diary entry of order `jbNoId`; returns its key.
int32_t InsertEntry(int32_t jbNoId, const std::string& type, const std::string& text) {
  S_DBHelpForKX().RunSQL(
      "Insert Into JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, JB_DIARY_TEXT, "
      "JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME) Values ('" +
      std::to_string(jbNoId) + "','bob','2024-03-01','800','" + Str2SQL(text) + "','" + type +
      "','2024-03-02','815')");
  return LastKey("JB_DIARY", "JB_DIARY_NO_ID");
}

// The element the collection writes for an entry inserted by InsertEntry.
std::string EntryElement(int32_t id, int32_t jbNoId, const std::string& type, const std::string& text) {
  return "<JBDiary Id=\"" + std::to_string(id) + "\" JBNoId=\"" + std::to_string(jbNoId) +
         "\" LastUpdateUser=\"bob\" LastUpdateDate=\"2024-03-01\" LastUpdateTime=\"800\" JBDiaryText=\"" +
         text + "\" JBDiaryTypeInd=\"" + type + "\" JBDiaryDate=\"2024-03-02\" JBDiaryTime=\"815\"/>";
}

std::string Request(const std::string& user, const std::string& date, const std::string& text,
                    const std::string& diaryDate = "2024-04-02", const std::string& diaryTime = "1015") {
  return "<JBDiary LastUpdateUser=\"" + user + "\" LastUpdateDate=\"" + date +
         "\" LastUpdateTime=\"1000\" JBDiaryText=\"" + text + "\" JBDiaryTypeInd=\"MEMO\" JBDiaryDate=\"" +
         diaryDate + "\" JBDiaryTime=\"" + diaryTime + "\"/>";
}

std::string Entries(const std::string& elements) { return "<JBDiarys>" + elements + "</JBDiarys>"; }

int32_t EntryCount(int32_t jbNoId) {
  return S_DBHelpForKX()
      .RunSQLReturnRS("select * from JB_DIARY where JB_NO_ID = '" + std::to_string(jbNoId) + "'")
      ->RecordCount();
}

class JBDiary : public EngineTest {
 protected:
  Col_JBDiary diary;
};

TEST_P(JBDiary, AddWritesOneStampedEntryWithoutTouchingTheList) {
  for (int i = 0; i < 3; ++i) InsertEntry(57, "EDIT", "e" + std::to_string(i));
  diary.loadElements("57");
  const std::string listed = diary.getColElementsByXML();
  SetClock(SteppingClock(5, 9, 30));
  {
    TransactionScope scope;
    diary.add("57", "alice", "MEMO", "Bob's 'note'");
    EXPECT_FALSE(scope.aborted());
    EXPECT_EQ(scope.completeVotes(), 1);
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(diary.Count(), 3);
  EXPECT_EQ(diary.getColElementsByXML(), listed);
  EXPECT_EQ(EntryCount(57), 4);
  Col_JBDiary reloaded;
  reloaded.loadElements("57");
  ASSERT_EQ(reloaded.Count(), 4);
  const std::string id = XmlText(reloaded.Item(4)->Get("Id"));
  // The update stamp and the diary stamp are read from the clock one after the other.
  std::string key = "57";
  EXPECT_NE(reloaded.getColElementsByXML(key).find(
                "<JBDiary Id=\"" + id +
                "\" JBNoId=\"57\" LastUpdateUser=\"alice\" LastUpdateDate=\"2024-03-05\" "
                "LastUpdateTime=\"930\" JBDiaryText=\"Bob's 'note'\" JBDiaryTypeInd=\"MEMO\" "
                "JBDiaryDate=\"2024-03-05\" "
                "JBDiaryTime=\"931\"/>"),
            std::string::npos)
      << reloaded.getColElementsByXML(key);
}

TEST_P(JBDiary, AddWithAKeyThatIsNoNumberWritesNothing) {
  for (const std::string key : {"x57", "", "57 and more"}) {
    SCOPED_TRACE(key);
    TransactionScope scope;
    const Error err = CaptureError([&] { diary.add(key, "alice", "MEMO", "note"); });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description(), "Add Sub :Type mismatch");
    EXPECT_TRUE(scope.aborted());
  }
  EXPECT_EQ(S_DBHelpForKX().RunSQLReturnRS("select * from JB_DIARY")->RecordCount(), 0);
}

TEST_P(JBDiary, CollectionXmlWritesEveryEntryDeletedOnesIncluded) {
  const int32_t a = InsertEntry(57, "EDIT", "added & <checked>");
  const int32_t b = InsertEntry(57, "MEMO", "call back");
  diary.loadElements("57");
  diary.updateColElements("<JBDiarys/>", "57");
  EXPECT_EQ(EntryCount(57), 0);
  EXPECT_EQ(diary.getColElementsByXML(), kDecl + "<JBDiarys>" +
                                             EntryElement(a, 57, "EDIT", "added &amp; &lt;checked&gt;") +
                                             EntryElement(b, 57, "MEMO", "call back") + "</JBDiarys>\n");
  Col_JBDiary none;
  EXPECT_EQ(none.getColElementsByXML(), kDecl + "<JBDiarys/>\n");
}

TEST_P(JBDiary, UpdateReadsEveryFieldInBothSteps) {
  const int32_t a = InsertEntry(57, "EDIT", "old");
  diary.loadElements("57");
  diary.updateColElements(
      Entries(Request("carol", "2024-04-01", "it's new", "") + Request("dave", "", "second")), "58");
  EXPECT_EQ(diary.Count(), 2);
  EXPECT_EQ(
      LastStatement(*diary.Item(1)),
      "Update JB_DIARY Set JB_NO_ID = '58', LAST_UPDATE_USER = 'carol', LAST_UPDATE_DATE = '2024-04-01', "
      "LAST_UPDATE_TIME = '1000', JB_DIARY_TEXT = 'it''s new', JB_DIARY_TYPE_IND = 'MEMO', JB_DIARY_DATE = "
      "'1900-01-01', JB_DIARY_TIME = '1015' Where JB_DIARY_NO_ID= '" +
          std::to_string(a) + "'");
  EXPECT_EQ(
      LastStatement(*diary.Item(2)),
      "Insert Into JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, JB_DIARY_TEXT, "
      "JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME)Values "
      "('58','dave','1900-01-01','1000','second','MEMO',"
      "'2024-04-02','1015')");
  EXPECT_EQ(EntryCount(57), 0);
  EXPECT_EQ(EntryCount(58), 2);
  E_JBDiary stored;
  stored.load(std::to_string(a));
  EXPECT_EQ(CDate(stored.Get("JBDiaryDate")), Date::FromParts(1900, 1, 1));
  EXPECT_EQ(CStr(stored.Get("JBDiaryText")), "it's new");
}

TEST_P(JBDiary, BadRequestsFailThroughUpdateColElements) {
  InsertEntry(57, "EDIT", "old");
  const std::string mismatch(RuntimeErrorText(RuntimeErrorCode::TypeMismatch));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Entries(Request("u", "someday", "t")), mismatch},
      {Entries(Request("u", "2024-01-01", "t", "2024-01-01", "late")), mismatch},
      {Entries("<JBDiary LastUpdateUser=\"u\"/>"),
       std::string(RuntimeErrorText(RuntimeErrorCode::ObjectNotSet))},
  };
  const std::string before = DumpDetailTables();
  for (const auto& [request, description] : cases) {
    SCOPED_TRACE(request);
    Col_JBDiary fresh;
    fresh.loadElements("57");
    EXPECT_EQ(CaptureError([&] { fresh.updateColElements(request, "57"); }).description(),
              "updateColElements Sub" + description);
  }
  EXPECT_EQ(
      CaptureError([&] { diary.updateColElements(Entries(Request("u", "", "t")), "none"); }).description(),
      "updateColElements Sub" + mismatch);
  EXPECT_EQ(DumpDetailTables(), before);
}

TEST_P(JBDiary, SearchSelectsTheNotes) {
  InsertEntry(57, "EDIT", "edited");
  InsertEntry(57, "MEMO", "it's a note");
  InsertEntry(58, "MEMO", "another");
  S_JBDiary storage;
  auto rs =
      storage.Query("<Root><AccessKey Field=\"JBDiaryTypeInd\" SearchCondition=\"=\" Key=\"MEMO\"/></Root>");
  EXPECT_EQ(storage.strSQL(), "select * from JB_DIARY   where 1=1   And JB_DIARY_TYPE_IND = 'MEMO'");
  EXPECT_EQ(rs->RecordCount(), 2);
  for (; !rs->EOF_(); rs->MoveNext()) EXPECT_EQ(CStr(rs->Field("JB_DIARY_TYPE_IND")), "MEMO");
  EXPECT_EQ(storage
                .Query("<Root><AccessKey Field=\"JBDiaryText\" SearchCondition=\"Include\" Key=\"it's\"/>"
                       "<AccessKey Field=\"JBNoId\" SearchCondition=\"=\" Key=\"57\"/></Root>")
                ->RecordCount(),
            1);
  EXPECT_EQ(storage.strSQL(),
            "select * from JB_DIARY   where 1=1   And JB_DIARY_TEXT like '%it''s%' And JB_NO_ID = '57'");
}

TEST_P(JBDiary, KeysThatAreNoNumbersFindNothing) {
  InsertEntry(57, "EDIT", "one");
  S_JBDiary storage;
  for (const std::string key : {"abc", "", "1 or 1=1", "1.5", "x'y"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(storage.containsPK(key));
    EXPECT_EQ(storage.strSQL(),
              "select Count(*) as RecCount from JB_DIARY where JB_DIARY_NO_ID = '" + Str2SQL(key) + "'");
    E_JBDiary e;
    EXPECT_EQ(CaptureError([&] { storage.LoadByPK(key, e); }).description(),
              "LoadByPK SubCan not use code '" + key + "'");
    EntityList list;
    storage.LoadElementsIntoCol(key, list);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(storage.strSQL(), "select * from JB_DIARY where JB_NO_ID = '" + Str2SQL(key) + "'");
  }
  EXPECT_TRUE(storage.containsPK("1"));
}

KX_ENGINE_SUITE(JBDiary);

}  // namespace
}  // namespace kx::test
