// The record machinery on a sample record that holds every field type: generated statements,
// loading through every conversion, child collections paired by position, and paging in the
// database against a reference that reads every row.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "framework/collection.h"
#include "framework/controller.h"
#include "framework/registration.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

inline constexpr FieldSpec kSampleFields[] = {
    Int32Field("Id", "SAMPLE_ID"),
    TextField("Name", "SAMPLE_NAME").SearchAs("Nm"),
    Int16Field("Small", "SAMPLE_SMALL").Proc("SmallNumber Property"),
    DoubleField("Amount", "SAMPLE_AMOUNT").NoXml(),
    DateField("When", "SAMPLE_WHEN").SearchSuffix("="),
    BoolField("Flag", "SAMPLE_FLAG"),
    Int32Field("ParentId", "PARENT_ID"),
};
constexpr size_t kId = FieldIndex(kSampleFields, "Id");
constexpr size_t kName = FieldIndex(kSampleFields, "Name");
constexpr size_t kSmall = FieldIndex(kSampleFields, "Small");
constexpr size_t kAmount = FieldIndex(kSampleFields, "Amount");
constexpr size_t kWhen = FieldIndex(kSampleFields, "When");
constexpr size_t kFlag = FieldIndex(kSampleFields, "Flag");
constexpr size_t kParent = FieldIndex(kSampleFields, "ParentId");

const RecordDef& SampleDef() {
  static const RecordDef def = Complete({
      .entityClass = "E_KXSample",
      .storageClass = "S_KXSample",
      .table = "KX_SAMPLE",
      .fields = kSampleFields,
      .key = kId,
      .controllerClass = "C_KXSample",
      .list = "KXSamples",
      .item = "KXSample",
      .collection = {.className = "Col_KXSample",
                     .root = "KXSamples",
                     .item = "KXSample",
                     .parentKey = kParent,
                     .colItemsProc = "ColItems Property",
                     .updateReads = {{kName}, {kFlag}},
                     .createReads = {{kId}, {kName}, {kSmall}, {kWhen}, {kFlag, Conversion::Plain}}},
  });
  return def;
}

class S_KXSample : public StorageOf<SampleDef> {
 public:
  using Storage::DeleteStatement;
  using Storage::InsertStatement;
  using Storage::UpdateStatement;
};
class E_KXSample : public EntityOf<S_KXSample> {};
class Col_KXSample : public CollectionOf<S_KXSample> {};

// Registered for the test: the collection makes its children by class name.
const AtLoad registered([] {
  ExposeEntity<E_KXSample>(SampleDef()).Register();
  ExposeStorage<S_KXSample>(SampleDef()).Register();
  ExposeCollection<Col_KXSample>(SampleDef()).Register();
});

class Record : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (IsSkipped()) return;
    const bool pg = OnPostgreSQL(GetParam());
    db.RunSQL(pg ? "DROP TABLE IF EXISTS KX_SAMPLE" : "DROP TABLE IF EXISTS KX_SAMPLE");
    db.RunSQL(
        std::string("CREATE TABLE KX_SAMPLE (SAMPLE_ID INTEGER PRIMARY KEY, SAMPLE_NAME VARCHAR(50), ") +
        "SAMPLE_SMALL SMALLINT, SAMPLE_AMOUNT " + (pg ? "DOUBLE PRECISION" : "REAL") + ", SAMPLE_WHEN " +
        (pg ? "TIMESTAMP" : "DATETIME") + ", SAMPLE_FLAG VARCHAR(1), PARENT_ID INTEGER)");
  }
  void TearDown() override {
    if (!IsSkipped()) db.RunSQL("DROP TABLE KX_SAMPLE");
    EngineTest::TearDown();
  }
  void Row(const std::string& values) {
    db.RunSQL(
        "Insert Into KX_SAMPLE (SAMPLE_ID, SAMPLE_NAME, SAMPLE_SMALL, SAMPLE_AMOUNT, SAMPLE_WHEN, "
        "SAMPLE_FLAG, "
        "PARENT_ID) Values (" +
        values + ")");
  }
  int32_t Count(const std::string& where = "1=1") {
    return CLng(db.RunSQLReturnRS("select Count(*) as N from KX_SAMPLE where " + where)->Field("N"));
  }
  S_DBHelpForKX db;
};

TEST_P(Record, GeneratedStatementsDoubleEveryQuote) {
  E_KXSample e;
  S_KXSample s;
  e.add();
  e.Set(kId, Variant(7));
  e.Set(kName, Variant("O'Brien"));
  e.Set(kSmall, Variant(int16_t{-3}));
  e.Set(kAmount, Variant(12.5));
  e.Set(kWhen, Variant(Date::FromParts(2024, 3, 5, 14, 30, 0)));
  e.Set(kFlag, Variant(true));
  e.Set(kParent, Variant(9));
  EXPECT_EQ(
      s.InsertStatement(e).Shown(),
      "Insert Into KX_SAMPLE (SAMPLE_ID, SAMPLE_NAME, SAMPLE_SMALL, SAMPLE_AMOUNT, SAMPLE_WHEN, SAMPLE_FLAG, "
      "PARENT_ID)Values ('7','O''Brien','-3','12.5','2024-03-05 14:30:00','1','9')");
  EXPECT_EQ(s.UpdateStatement(e).Shown(),
            "Update KX_SAMPLE Set SAMPLE_NAME = 'O''Brien', SAMPLE_SMALL = '-3', SAMPLE_AMOUNT = '12.5', "
            "SAMPLE_WHEN = "
            "'2024-03-05 14:30:00', SAMPLE_FLAG = '1', PARENT_ID = '9' Where SAMPLE_ID= '7'");
  EXPECT_EQ(s.DeleteStatement(e).Shown(), "Delete KX_SAMPLE Where SAMPLE_ID= '7'");
  // What runs binds every value, and deletes in the words every engine reads.
  EXPECT_EQ(s.InsertStatement(e).Text(db::Engine::SQLite),
            "Insert Into KX_SAMPLE (SAMPLE_ID, SAMPLE_NAME, SAMPLE_SMALL, SAMPLE_AMOUNT, SAMPLE_WHEN, SAMPLE_FLAG, "
            "PARENT_ID)Values (?,?,?,?,?,?,?)");
  EXPECT_EQ(s.UpdateStatement(e).values().size(), 7u);
  EXPECT_EQ(s.DeleteStatement(e).Text(db::Engine::PostgreSQL), "DELETE FROM KX_SAMPLE Where SAMPLE_ID= $1");
  e.save();
  EXPECT_EQ(Count(), 1);
  // A quote cannot change the statement: SQLite finds no such key, PostgreSQL refuses the text.
  try {
    EXPECT_FALSE(s.containsPK("x' or '1'='1"));
  } catch (const Error& e) {
    EXPECT_TRUE(OnPostgreSQL(GetParam())) << e.description();
  }
  EXPECT_EQ(s.strSQL(), "select Count(*) as RecCount from KX_SAMPLE where SAMPLE_ID = 'x'' or ''1''=''1'");
  E_KXSample loaded;
  loaded.load("7");
  EXPECT_EQ(s.strSQL(), "select Count(*) as RecCount from KX_SAMPLE where SAMPLE_ID = 'x'' or ''1''=''1'");
  EXPECT_EQ(std::dynamic_pointer_cast<S_KXSample>(loaded.storage())->strSQL(),
            "select * from KX_SAMPLE where SAMPLE_ID = '7'");
  EXPECT_EQ(loaded.Get(kName), Variant("O'Brien"));
  EXPECT_EQ(loaded.Get(kAmount), Variant(12.5));
  EXPECT_EQ(loaded.Get(kWhen), Variant(Date::FromParts(2024, 3, 5)));  // the day only
  EXPECT_EQ(loaded.Get(kFlag), Variant(true));
  EXPECT_EQ(loaded.status(), esLoaded);
}

TEST_P(Record, EveryLoadConversion) {
  struct Case {
    std::string values;
    Variant name, small, amount, when, flag;
  };
  const Date zero = Date::FromParts(1900, 1, 1);
  const std::vector<Case> cases = {
      {"1, NULL, NULL, NULL, NULL, NULL, NULL", Variant(""), Variant(int16_t{0}), Variant(0.0), Variant(zero),
       Variant(false)},
      {"2, '', 5, 2.25, '2020-02-29', '', 3", Variant(""), Variant(int16_t{5}), Variant(2.25),
       Variant(Date::FromParts(2020, 2, 29)), Variant(false)},
      {"3, 'x', -1, 0, '2021-12-31 23:59:00', 'Y', 3", Variant("x"), Variant(int16_t{-1}), Variant(0.0),
       Variant(Date::FromParts(2021, 12, 31)), Variant(true)},
      {"4, 'y', 0, 1, NULL, 'y', 3", Variant("y"), Variant(int16_t{0}), Variant(1.0), Variant(zero),
       Variant(true)},
      {"5, 'n', 0, 1, NULL, 'N', 3", Variant("n"), Variant(int16_t{0}), Variant(1.0), Variant(zero),
       Variant(false)},
      {"6, 'one', 0, 1, NULL, '1', 3", Variant("one"), Variant(int16_t{0}), Variant(1.0), Variant(zero),
       Variant(true)},
      {"7, 'zero', 0, 1, NULL, '0', 3", Variant("zero"), Variant(int16_t{0}), Variant(1.0), Variant(zero),
       Variant(false)},
  };
  for (const Case& c : cases) Row(c.values);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].values);
    E_KXSample e;
    e.load(std::to_string(i + 1));
    EXPECT_EQ(e.Get(kName), cases[i].name);
    EXPECT_EQ(e.Get(kSmall), cases[i].small);
    EXPECT_EQ(e.Get(kAmount), cases[i].amount);
    EXPECT_EQ(e.Get(kWhen), cases[i].when);
    EXPECT_EQ(e.Get(kFlag), cases[i].flag);
  }
  // A flag that no conversion reads fails the load, naming the property.
  Row("8, 'bad', 0, 0, NULL, 'Q', 3");
  E_KXSample e;
  EXPECT_EQ(CaptureError([&] { e.load("8"); }).description(),
            "load SubLoadByPK SubNull2Bln FunctionType mismatch");
}

TEST_P(Record, AccessorsCarryTheirProcedureTexts) {
  E_KXSample e;
  EXPECT_EQ(CaptureError([&] { e.Set(kSmall, Variant("many")); }).description(),
            "SmallNumber PropertyType mismatch");
  EXPECT_EQ(CaptureError([&] { e.Set(kSmall, Variant(100000)); }).description(),
            "SmallNumber PropertyOverflow");
  e.Set(kWhen, Variant("2024-01-02"));
  EXPECT_EQ(e.Get(kWhen), Variant(Date::FromParts(2024, 1, 2)));
  EXPECT_EQ(e.status(), esModified);
}

TEST_P(Record, SearchSpellingsAndSuffixes) {
  S_KXSample s;
  s.Query(
      "<AccessKeys><AccessKey Field=\"Nm\" SearchCondition=\"BeginWith\" Key=\"a\"/>"
      "<AccessKey Field=\"When\" SearchCondition=\"&gt;\" Key=\"2024-01-01\"/></AccessKeys>");
  EXPECT_EQ(
      s.strSQL(),
      "select * from KX_SAMPLE   where 1=1   And SAMPLE_NAME like 'a%' And SAMPLE_WHEN >= '2024-01-01'");
  // The property name is not the search spelling, and ">=" on a suffixed field is no comparison.
  EXPECT_NE(CaptureError([&] { s.Query("<AccessKey Field=\"Name\" SearchCondition=\"=\" Key=\"a\"/>"); })
                .description()
                .find("The search field 'Name' is unknown"),
            std::string::npos);
  EXPECT_NE(CaptureError([&] { s.Query("<AccessKey Field=\"When\" SearchCondition=\"&gt;=\" Key=\"a\"/>"); })
                .description()
                .find("The search condition '>=' is unknown"),
            std::string::npos);
}

TEST_P(Record, SearchLimitsAreRefusedBeforeAnythingRuns) {
  S_KXSample s;
  std::string many;
  for (size_t i = 0; i <= kMaxSearchConditions; ++i)
    many += "<AccessKey Field=\"Nm\" SearchCondition=\"Include\" Key=\"a\"/>";
  s.setStrSQL("untouched");
  const Error tooMany = CaptureError([&] { s.Query("<AccessKeys>" + many + "</AccessKeys>"); });
  EXPECT_EQ(tooMany.description(),
            "Query FunctionThe access key holds 65 conditions; at most 64 are allowed");
  EXPECT_EQ(s.strSQL(), "untouched");
  const std::string longKey(kMaxSearchKeyLength + 1, 'k');
  EXPECT_NE(CaptureError(
                [&] { s.Query("<AccessKey Field=\"Nm\" SearchCondition=\"=\" Key=\"" + longKey + "\"/>"); })
                .description()
                .find("is longer than 1000 characters"),
            std::string::npos);
  // Exactly the limits still run.
  s.Query("<AccessKeys>" + many.substr(many.find("/>") + 2) + "</AccessKeys>");
  s.Query("<AccessKey Field=\"Nm\" SearchCondition=\"=\" Key=\"" + longKey.substr(1) + "\"/>");
}

TEST_P(Record, TheSearchKeyLimitCountsCharactersNotBytes) {
  S_KXSample s;
  // Characters of two, three and four bytes in UTF-8.
  for (const std::string character : {"\u00e9", "\u8a9e", "\U0001D11E"}) {
    SCOPED_TRACE(character);
    std::string key;
    for (size_t i = 0; i < kMaxSearchKeyLength; ++i) key += character;
    s.setStrSQL("untouched");
    s.Query("<AccessKey Field=\"Nm\" SearchCondition=\"=\" Key=\"" + key + "\"/>");
    EXPECT_NE(s.strSQL().find("'" + key + "'"), std::string::npos);
    s.setStrSQL("untouched");
    const Error tooLong = CaptureError(
        [&] { s.Query("<AccessKey Field=\"Nm\" SearchCondition=\"=\" Key=\"" + key + character + "\"/>"); });
    EXPECT_EQ(tooLong.description(),
              "Query FunctionThe search key of field 'Nm' is longer than 1000 characters");
    EXPECT_EQ(s.strSQL(), "untouched");
  }
}

// ---- collections

std::string Nodes(const std::vector<std::string>& names) {
  std::string xml = "<Root><KXSamples>";
  int id = 100;
  for (const auto& n : names)
    xml += "<KXSample Id=\"" + std::to_string(id++) + "\" Name=\"" + n +
           "\" Small=\"1\" When=\"2024-05-06\" Flag=\"" + (n == "Y" ? "Y" : "1") + "\"/>";
  return xml + "</KXSamples></Root>";
}

TEST_P(Record, CollectionPairsChildrenByPosition) {
  Row("1, 'a', 1, 1, NULL, '0', 5");
  Row("2, 'b', 1, 1, NULL, '0', 5");
  Row("3, 'other', 1, 1, NULL, '0', 6");
  Col_KXSample col;
  col.loadElements("5");
  ASSERT_EQ(col.Count(), 2);
  EXPECT_EQ(col.Item(1)->status(), esLoaded);
  // Two nodes on two children: each is updated in place; the node's Id plays no part.
  col.updateColElements(Nodes({"a", "B2"}), "5");
  EXPECT_EQ(Count("SAMPLE_NAME = 'B2' and SAMPLE_ID = 2 and SAMPLE_FLAG = '1'"), 1);
  EXPECT_EQ(col.Item(1)->status(), esSaved);
  // Four nodes: two more children are created with the node's values, under the parent key.
  col.updateColElements(Nodes({"a", "B2", "c", "d"}), "5");
  EXPECT_EQ(col.Count(), 4);
  EXPECT_EQ(Count("PARENT_ID = 5"), 4);
  EXPECT_EQ(Count("SAMPLE_ID = 102 and SAMPLE_NAME = 'c'"), 1);
  // No node: every child row is deleted, the entries stay in the list.
  col.updateColElements("<Root/>", "5");
  EXPECT_EQ(Count("PARENT_ID = 5"), 0);
  EXPECT_EQ(col.Count(), 4);
  EXPECT_EQ(Count("PARENT_ID = 6"), 1);
  // Loading twice holds every child twice.
  Col_KXSample twice;
  twice.loadElements("6");
  twice.loadElements("6");
  EXPECT_EQ(twice.Count(), 2);
}

TEST_P(Record, CollectionRefusesWhatItCannotApply) {
  Row("1, 'a', 1, 1, NULL, '0', 5");
  Col_KXSample col;
  col.loadElements("5");
  // Text that does not parse is no empty list: nothing is deleted.
  EXPECT_EQ(CaptureError([&] { col.updateColElements("<Root><KXSample", "5"); })
                .description()
                .rfind("updateColElements Sub", 0),
            0u);
  EXPECT_EQ(Count("PARENT_ID = 5"), 1);
  // A missing attribute, a key that is no number, and "Y" where only a plain Boolean is read.
  EXPECT_EQ(CaptureError([&] { col.updateColElements("<KXSample Name=\"a\"/>", "5"); }).description(),
            "updateColElements SubObject variable or With block variable not set");
  EXPECT_EQ(CaptureError([&] { col.updateColElements(Nodes({"a"}), "five"); }).description(),
            "updateColElements SubType mismatch");
  EXPECT_EQ(CaptureError([&] {
              col.updateColElements(Nodes({"a", "Y"}), "5");
            }).description(),
            "updateColElements SubType mismatch");
  EXPECT_EQ(CaptureError([&] { col.Item(0); }).description(), "Item FunctionSubscript out of range");
  EXPECT_EQ(CaptureError([&] { col.Item(3); }).description(), "Item FunctionSubscript out of range");
  col.setColItems(nullptr);
  EXPECT_EQ(CaptureError([&] { col.colItems(); }).description(),
            "ColItems PropertyObject variable or With block variable not set");
}

TEST_P(Record, CollectionWritesTheChildrenOfAKey) {
  Row("1, 'a&b', 1, 9.5, '2024-02-03', '1', 5");
  Row("2, 'c', 2, 1, NULL, '0', 6");
  Col_KXSample col;
  col.loadElements("5");
  col.loadElements("6");
  const std::string decl = "<?xml version=\"1.0\"?>\n";
  EXPECT_EQ(col.getColElementsByXML("5"),
            decl +
                "<KXSamples><KXSample Id=\"1\" Name=\"a&amp;b\" Small=\"1\" When=\"2024-02-03\" Flag=\"1\" "
                "ParentId=\"5\"/></KXSamples>\n");
  EXPECT_EQ(col.getColElementsByXML("7"), decl + "<KXSamples/>\n");
  EXPECT_NE(col.getColElementsByXML("").find("Id=\"2\""), std::string::npos);
  col.removeColElements();
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(col.Count(), 2);
}

TEST_P(Record, ChildSlotLoadsExceptOnTheFirstReadOfANewParent) {
  Row("1, 'a', 1, 1, NULL, '0', 0");
  E_KXSample parent;  // its own Id (0) is the parent key of the row above
  ChildSlot<Col_KXSample> slot;
  parent.add();
  EXPECT_EQ(slot.Get(parent, kId)->Count(), 0);
  auto second = slot.Get(parent, kId);
  EXPECT_EQ(second->Count(), 1);
  EXPECT_NE(slot.Get(parent, kId), second);
}

// ---- paging

TEST(Paging, PageCountBoundaries) {
  struct Case {
    int32_t count, perPage, pages;
  };
  for (const Case& c : std::vector<Case>{{0, 10, 0},
                                         {0, 0, 1},
                                         {25, 0, 1},
                                         {25, -1, 1},
                                         {20, 10, 2},
                                         {21, 10, 3},
                                         {19, 10, 2},
                                         {1, 1, 1},
                                         {2147483647, 1, 2147483647}})
    EXPECT_EQ(PageCount(c.count, c.perPage), c.pages) << c.count << "/" << c.perPage;
}

TEST_P(Record, PagesInTheDatabaseEqualPagesOfEveryRow) {
  std::mt19937 random(7);
  const int rows = 57;
  std::vector<int> ids;
  for (int i = 0; i < rows; ++i) ids.push_back(1000 - i * 7);
  std::shuffle(ids.begin(), ids.end(), random);
  for (int id : ids) Row(std::to_string(id) + ", '" + (id % 3 ? "even" : "odd") + "', 1, 1, NULL, '0', 1");
  S_KXSample s;
  const std::vector<std::string> keys = {"", "<AccessKey Field=\"Nm\" SearchCondition=\"=\" Key=\"odd\"/>"};
  for (int round = 0; round < 60; ++round) {
    const std::string key = keys[static_cast<size_t>(round) % 2];
    const int32_t perPage = static_cast<int32_t>(random() % 13) - 2;
    const int32_t page = static_cast<int32_t>(random() % 12) - 2;
    // The reference: every row, in key order, cut as the pages say.
    auto all = s.Query(key);
    std::vector<int32_t> expected;
    for (; !all->EOF_(); all->MoveNext()) expected.push_back(CLng(all->Field("SAMPLE_ID")));
    std::sort(expected.begin(), expected.end());
    const auto count = static_cast<int32_t>(expected.size());
    if (page >= 1 && perPage >= 1) {
      const size_t from = std::min<size_t>(expected.size(), static_cast<size_t>((page - 1) * perPage));
      const size_t to = std::min<size_t>(expected.size(), from + static_cast<size_t>(perPage));
      expected = std::vector<int32_t>(expected.begin() + static_cast<long>(from),
                                      expected.begin() + static_cast<long>(to));
    }
    const Storage::Page got = s.QueryPage(key, perPage, page);
    std::vector<int32_t> ids2;
    for (auto& rs = *got.rows; !rs.EOF_(); rs.MoveNext()) ids2.push_back(CLng(rs.Field("SAMPLE_ID")));
    ASSERT_EQ(got.count, count) << perPage << " per page, page " << page;
    ASSERT_EQ(ids2, expected) << perPage << " per page, page " << page << ", key " << key;
    // strSQL holds the search statement itself.
    EXPECT_EQ(s.strSQL().rfind("select * from ", 0), 0u);
  }
}

KX_ENGINE_SUITE(Record);

}  // namespace
}  // namespace kx::test
