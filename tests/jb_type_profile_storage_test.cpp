// S_JBTypeProfile: quotes in every value, saves that run nothing, wrapped failures, and the
// search-condition queries built from access key documents.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "typeprofile/jb_type_profile.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

const std::string kSelectAll = "select * from JB_TYPE_PROFILE ";
const std::string kWhere = "  where 1=1  ";

std::set<std::string> Codes(db::Recordset& rs) {
  std::set<std::string> codes;
  for (rs.MoveFirst(); !rs.EOF_(); rs.MoveNext()) codes.insert(CStr(rs.Field("JB_TYPE_CODE")));
  return codes;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char ch : text) out += ch == '<' ? "&lt;" : ch == '>' ? "&gt;" : ch == '&' ? "&amp;" : std::string(1, ch);
  return out;
}

std::string Condition(const std::string& field, const std::string& word, const std::string& key) {
  return "<AccessKey Field=\"" + Escaped(field) + "\" SearchCondition=\"" + Escaped(word) + "\" Key=\"" +
         Escaped(key) + "\"/>";
}

std::string AccessKeys(const std::string& conditions) { return "<Root>" + conditions + "</Root>"; }

// An entity in the given status with the given fields, without touching the database.
void Prepare(E_JBTypeProfile& e, int16_t status, const std::string& code, const std::string& name,
             const std::string& category) {
  e.setStatus(esLoading);
  e.setCode(code);
  e.setJBTypeName(name);
  e.setJBTypeCategory(category);
  e.setStatus(status);
}

class JBTypeProfileStorage : public EngineTest {
 protected:
  S_JBTypeProfile storage;
};

TEST_P(JBTypeProfileStorage, NameWithQuoteIsStoredIntact) {
  E_JBTypeProfile e;
  Prepare(e, esNew, "A", "O'Brien", "c");
  storage.save(e);
  EXPECT_EQ(storage.strSQL(),
            "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','O''Brien','c')");
  E_JBTypeProfile loaded;
  storage.LoadByPK("A", loaded);
  EXPECT_EQ(loaded.JBTypeName(), "O'Brien");

  Prepare(e, esModified, "A", "O'Brien's 'Line'", "c");
  storage.save(e);
  EXPECT_EQ(storage.strSQL(),
            "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'O''Brien''s ''Line''', JB_TYPE_CATEGORY = 'c' Where JB_TYPE_CODE= 'A'");
  storage.LoadByPK("A", loaded);
  EXPECT_EQ(loaded.JBTypeName(), "O'Brien's 'Line'");
}

// A quote in a code or category can neither break nor change a statement.
TEST_P(JBTypeProfileStorage, QuotesInCodeAndCategoryStayLiteral) {
  InsertRow("A", "n", "c");
  InsertRow("B", "m", "d");
  for (const std::string code : {"X' OR '1'='1", "O'K", "'", "'; Delete x --"}) {
    SCOPED_TRACE(code);
    const std::string quoted = Str2SQL(code);
    EXPECT_FALSE(storage.containsPK(code));
    EXPECT_EQ(storage.strSQL(), "select Count(*) as RecCount from JB_TYPE_PROFILE where  JB_TYPE_CODE= '" + quoted + "'");

    E_JBTypeProfile e;
    const Error err = CaptureError([&] { storage.LoadByPK(code, e); });
    EXPECT_EQ(err.description(), "LoadByPK Sub" "Can not use code '" + code + "'");
    EXPECT_EQ(storage.strSQL(), "select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + quoted + "'");

    Prepare(e, esNew, code, "q", "'");
    storage.save(e);
    EXPECT_EQ(storage.strSQL(), "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" +
                                    quoted + "','q','''')");
    EXPECT_TRUE(storage.containsPK(code));
    E_JBTypeProfile loaded;
    storage.LoadByPK(code, loaded);
    EXPECT_EQ(loaded.Code(), code);
    EXPECT_EQ(loaded.JBTypeCategory(), "'");

    Prepare(e, esModified, code, "r", "'x");
    storage.save(e);
    EXPECT_EQ(storage.strSQL(), "Update JB_TYPE_PROFILE Set JB_TYPE_NAME = 'r', JB_TYPE_CATEGORY = '''x' Where JB_TYPE_CODE= '" +
                                    quoted + "'");
    storage.LoadByPK(code, loaded);
    EXPECT_EQ(loaded.JBTypeName(), "r");

    Prepare(e, esDeleted, code, "r", "'x");
    storage.save(e);
    EXPECT_EQ(storage.strSQL(), "Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= '" + quoted + "'");
    EXPECT_FALSE(storage.containsPK(code));
    EXPECT_EQ(RowCount(), 2);
  }
  E_JBTypeProfile a;
  storage.LoadByPK("A", a);
  EXPECT_EQ(a.JBTypeName(), "n");
}

TEST_P(JBTypeProfileStorage, ContainsPK) {
  EXPECT_FALSE(storage.containsPK(""));
  InsertRow("A", "n", "c");
  EXPECT_TRUE(storage.containsPK("A"));
  EXPECT_FALSE(storage.containsPK("Z"));
  EXPECT_FALSE(storage.containsPK("a"));
  EXPECT_FALSE(storage.containsPK(""));
  EXPECT_EQ(storage.strSQL(), "select Count(*) as RecCount from JB_TYPE_PROFILE where  JB_TYPE_CODE= ''");
  InsertRow("", "empty", "e");
  EXPECT_TRUE(storage.containsPK(""));
}

TEST_P(JBTypeProfileStorage, SaveOfACleanEntityRunsNothing) {
  InsertRow("A", "n", "c");
  for (int16_t status : {int16_t{0}, int16_t{esLoading}, int16_t{esLoaded}, int16_t{esSaved}}) {
    E_JBTypeProfile e;
    Prepare(e, status, "A", "changed", "x");
    storage.setStrSQL("untouched");
    storage.save(e);
    EXPECT_EQ(storage.strSQL(), "untouched") << "status " << status;
  }
  E_JBTypeProfile a;
  storage.LoadByPK("A", a);
  EXPECT_EQ(a.JBTypeName(), "n");
  EXPECT_EQ(a.JBTypeCategory(), "c");
}

TEST_P(JBTypeProfileStorage, DatabaseFailureArrivesWrapped) {
  InsertRow("A", "n", "c");
  E_JBTypeProfile e;
  Prepare(e, esNew, "A", "n", "c");
  const Error err = CaptureError([&] { storage.save(e); });
  const std::string statement =
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','c')";
  EXPECT_EQ(storage.strSQL(), statement);
  EXPECT_EQ(err.number(), kComponentError);
  const std::string& d = err.description();
  ASSERT_EQ(d.rfind("save Sub", 0), 0u) << d;
  const size_t at = d.find("RunSQL(" + statement + ")");
  ASSERT_NE(at, std::string::npos) << d;
  const std::string provider = d.substr(8, at - 8);
  EXPECT_FALSE(provider.empty());
  EXPECT_EQ(d.substr(at + statement.size() + 8), provider);
}

// A storage reads each row through the columns of its own result set: after the table's columns
// changed order its loads read the right columns, and a column the table lost fails as it did.
// (SQLite's own driver: a kept statement's result sets share their columns until the table changes.)
// A table changed while statements on it are kept: loads read the columns as they are now.
TEST_P(JBTypeProfileStorage, LoadsReadTheColumnsOfTheirOwnResultSet) {
  // A server's database outlives the test: the table is made anew after it.
  struct Restore {
    const TestHome& home;
    ~Restore() {
      S_DBHelpForKX().RunSQL("DROP TABLE JB_TYPE_PROFILE");
      home.ResetDatabase();
    }
  } restore{*home_};
  InsertRow("A", "Truck", "TR");
  InsertRow("B", "Barge", "BG");
  auto loaded = [&](const std::string& code) {
    E_JBTypeProfile e;
    storage.LoadByPK(code, e);
    return std::vector<std::string>{e.Code(), e.JBTypeName(), e.JBTypeCategory()};
  };
  EXPECT_EQ(loaded("A"), (std::vector<std::string>{"A", "Truck", "TR"}));
  // Its columns change order on a connection of its own, as another process would change them.
  db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()))
      ->ExecuteScript(
          "ALTER TABLE JB_TYPE_PROFILE RENAME TO JB_TYPE_PROFILE_OLD; "
          "CREATE TABLE JB_TYPE_PROFILE (JB_TYPE_CATEGORY VARCHAR(2), JB_TYPE_NAME VARCHAR(100), "
          "JB_TYPE_CODE VARCHAR(20) NOT NULL PRIMARY KEY); "
          "INSERT INTO JB_TYPE_PROFILE SELECT JB_TYPE_CATEGORY, JB_TYPE_NAME, JB_TYPE_CODE FROM JB_TYPE_PROFILE_OLD; "
          "DROP TABLE JB_TYPE_PROFILE_OLD");
  EXPECT_EQ(loaded("B"), (std::vector<std::string>{"B", "Barge", "BG"}));
  EXPECT_EQ(loaded("A"), (std::vector<std::string>{"A", "Truck", "TR"}));
  // A column goes, on the connection the loads use, within one call.
  TransactionScope scope;
  S_DBHelpForKX().RunSQL("ALTER TABLE JB_TYPE_PROFILE DROP COLUMN JB_TYPE_NAME");
  const Error e = CaptureError([&] { loaded("A"); });
  EXPECT_NE(e.description().find("Item cannot be found in the collection"), std::string::npos) << e.description();
}

class JBTypeProfileSearch : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (IsSkipped()) return;
    InsertRow("A1", "Alpha Truck", "T");
    InsertRow("B2", "Beta Barge", "B");
    InsertRow("C3", "Gamma Truck", "T");
    InsertRow("D4", "Delta Rail", "R");
    InsertRow("E5", "Truck Epsilon", "T");
  }
  std::set<std::string> Run(const std::string& accessKey) { return Codes(*storage.Query(accessKey)); }
  S_JBTypeProfile storage;
};

TEST_P(JBTypeProfileSearch, EmptyAccessKeySelectsAllRows) {
  EXPECT_EQ(Run(""), (std::set<std::string>{"A1", "B2", "C3", "D4", "E5"}));
  EXPECT_EQ(storage.strSQL(), "select * from  JB_TYPE_PROFILE");
}

TEST_P(JBTypeProfileSearch, EmptyAccessKeyReadsNoSchemaFile) {
  std::string config = home_->DefaultConfig();
  const size_t at = config.find(SchemaFolder());
  ASSERT_NE(at, std::string::npos);
  home_->WriteConfig(config.replace(at, SchemaFolder().size(), "/nonexistent-kx-schemas/"));
  EXPECT_EQ(storage.Query("")->RecordCount(), 5);
  const Error err = CaptureError([&] { storage.Query(AccessKeys(Condition("Code", "=", "A1"))); });
  EXPECT_EQ(err.description().rfind("Query Function", 0), 0u) << err.description();
}

TEST_P(JBTypeProfileSearch, KeyIsTrimmed) {
  EXPECT_EQ(Run(AccessKeys(Condition("JBTypeName", "Include", " Truck "))), (std::set<std::string>{"A1", "C3", "E5"}));
  EXPECT_EQ(storage.strSQL(), "select * from JB_TYPE_PROFILE " "  where 1=1  " " And JB_TYPE_NAME" " like '%Truck%'");
}

TEST_P(JBTypeProfileSearch, EachComparisonWord) {
  struct Case {
    std::string field, word, key, tail;
    std::set<std::string> codes;
  };
  const std::vector<Case> cases = {
      {"JBTypeName", "Include", "Truck", " And JB_TYPE_NAME like '%Truck%'", {"A1", "C3", "E5"}},
      {"JBTypeName", "BeginWith", "Truck", " And JB_TYPE_NAME like 'Truck%'", {"E5"}},
      {"Code", ">", "C3", " And JB_TYPE_CODE > 'C3'", {"D4", "E5"}},
      {"Code", ">=", "C3", " And JB_TYPE_CODE >= 'C3'", {"C3", "D4", "E5"}},
      {"Code", "<", "C3", " And JB_TYPE_CODE < 'C3'", {"A1", "B2"}},
      {"Code", "<=", "C3", " And JB_TYPE_CODE <= 'C3'", {"A1", "B2", "C3"}},
      {"JBTypeCategory", "=", "T", " And JB_TYPE_CATEGORY = 'T'", {"A1", "C3", "E5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    EXPECT_EQ(Run(AccessKeys(Condition(c.field, c.word, c.key))), c.codes);
    EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + c.tail);
  }
}

TEST_P(JBTypeProfileSearch, BlankKeySkipsTheCondition) {
  EXPECT_EQ(Run(AccessKeys(Condition("Code", "=", "   "))).size(), 5u);
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere);
  EXPECT_EQ(Run(AccessKeys(Condition("Code", "=", "") + Condition("Code", "<", "B2"))), (std::set<std::string>{"A1"}));
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_CODE < 'B2'");
}

TEST_P(JBTypeProfileSearch, TwoConditionsOnOneFieldBothApply) {
  EXPECT_EQ(Run(AccessKeys(Condition("Code", ">=", "B2") + Condition("Code", "<=", "D4"))),
            (std::set<std::string>{"B2", "C3", "D4"}));
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_CODE >= 'B2' And JB_TYPE_CODE <= 'D4'");
}

TEST_P(JBTypeProfileSearch, ConditionsAtAnyDepthInDocumentOrder) {
  const std::string key = "<Search><Group>" + Condition("JBTypeCategory", "=", "T") + "</Group>" +
                          Condition("JBTypeName", "BeginWith", "Gamma") + "</Search>";
  EXPECT_EQ(Run(key), (std::set<std::string>{"C3"}));
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_CATEGORY = 'T' And JB_TYPE_NAME like 'Gamma%'");
}

TEST_P(JBTypeProfileSearch, PercentStaysAWildcard) {
  InsertRow("P1", "50% off", "X");
  InsertRow("P2", "5000 boxes", "X");
  InsertRow("P3", "5 0", "X");
  EXPECT_EQ(Run(AccessKeys(Condition("JBTypeName", "Include", "50%"))), (std::set<std::string>{"P1", "P2"}));
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_NAME like '%50%%'");
}

TEST_P(JBTypeProfileSearch, KeyWithQuoteFindsTheRowHoldingIt) {
  InsertRow("Q1", "O'Brien Lines", "Q");
  InsertRow("Q2", "OBrien Lines", "Q");
  EXPECT_EQ(Run(AccessKeys(Condition("JBTypeName", "Include", "O'Brien"))), (std::set<std::string>{"Q1"}));
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_NAME like '%O''Brien%'");
  EXPECT_TRUE(Run(AccessKeys(Condition("Code", "=", "x' OR '1'='1"))).empty());
  EXPECT_EQ(storage.strSQL(), kSelectAll + kWhere + " And JB_TYPE_CODE = 'x'' OR ''1''=''1'");
  EXPECT_EQ(RowCount(), 7);
}

// A field or word outside the tables leaves a malformed statement that the database refuses.
TEST_P(JBTypeProfileSearch, UnknownFieldOrWordIsRefusedOnEveryEngine) {
  // Such a condition would leave a malformed statement that one engine refuses and another runs
  // with a different meaning; it is refused before anything runs.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Condition("Colour", "Include", "x"), "The search field 'Colour' is unknown"},
      {Condition("code", "=", "1"), "The search field 'code' is unknown"},
      {Condition("JBTypeName", "Contains", "x"), "The search condition 'Contains' is unknown"},
      {Condition("JBTypeName", "include", "x"), "The search condition 'include' is unknown"},
  };
  for (const auto& [condition, reason] : cases) {
    SCOPED_TRACE(condition);
    storage.setStrSQL("before");
    const Error err = CaptureError([&] { storage.Query(AccessKeys(condition)); });
    EXPECT_EQ(err.number(), kComponentError);
    EXPECT_EQ(err.description(), "Query Function" + reason);
    EXPECT_EQ(storage.strSQL(), "before");
  }
}

TEST_P(JBTypeProfileSearch, MalformedAccessKeyIsRejected) {
  const std::vector<std::string> keys = {
      "<Root><AccessKey Field=\"Code\"",                                 // not well-formed
      "<Root><AccessKey Field=\"Code\" SearchCondition=\"=\"/></Root>",  // no Key
      "<Unknown/>",                                                      // no such document element
      "<Root><AccessKey Field=\"Code\" SearchCondition=\"=\" Key=\"A1\" Extra=\"1\"/></Root>",
  };
  for (const auto& key : keys) {
    SCOPED_TRACE(key);
    storage.setStrSQL("before");
    const Error err = CaptureError([&] { storage.Query(key); });
    const std::string head = "Query Function" " The AccessKey is wrong ";
    EXPECT_EQ(err.description().rfind(head, 0), 0u) << err.description();
    EXPECT_GT(err.description().size(), head.size());
    EXPECT_EQ(storage.strSQL(), "before");
  }
}

KX_ENGINE_SUITE(JBTypeProfileStorage);
KX_ENGINE_SUITE(JBTypeProfileSearch);

}  // namespace
}  // namespace kx::test
