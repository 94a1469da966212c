// The database helper: connection string and its settings, result sets, statements, the insert
// procedure and the failure texts, on every engine.
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

const char* kWorkFileProc = "JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc";

// The twelve insert parameters of a work file, in the procedure's order.
Variant WorkFileParams(const std::string& bkNo, const Variant& processState = Variant(int16_t{0})) {
  return Variant::MakeArray({
      mp("@SOURCE_CATEGORY", adVarChar, 10, "IMPORT", 0, 0), mp("@OFFICE", adVarChar, 10, "HKG", 0, 0),
      mp("@VESSEL_CODE", adVarChar, 6, "EVRG", 0, 0),        mp("@VOYAGE_NO", adVarChar, 6, "0123", 0, 0),
      mp("@VOYAGE_LEG", adVarChar, 1, "E", 0, 0),            mp("@BK_NO", adVarChar, 17, bkNo, 0, 0),
      mp("@BL_NO", adVarChar, 17, "", 0, 0),                 mp("@ER_NO", adVarChar, 20, Variant::Null(), 0, 0),
      mp("@PROCESS_STATE", adSmallInt, 2, processState, 0, 0),
      mp("@LAST_UPDATE_DATE", adDBTimeStamp, 8, Date::FromParts(2026, 3, 4), 0, 0),
      mp("@LAST_UPDATE_TIME", adNumeric, 5, 930.0, 4, 0), mp("@LAST_UPDATE_USER", adVarChar, 16, "tester", 0, 0),
  });
}

// The description of `e` split around `middle`: the texts before and after it.
std::pair<std::string, std::string> Around(const Error& e, const std::string& middle) {
  const auto at = e.description().find(middle);
  if (at == std::string::npos) return {"<missing>", e.description()};
  return {e.description().substr(0, at), e.description().substr(at + middle.size())};
}

void InsertProfile(S_DBHelpForKX& helper, const std::string& code, const std::string& name) {
  helper.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" +
                Str2SQL(code) + "','" + Str2SQL(name) + "','TR')");
}

class Helper : public EngineTest {
 protected:
  S_DBHelpForKX helper_;
};

TEST_P(Helper, StatementWithoutRowsGivesAnEmptyResultSet) {
  auto rs = helper_.RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = 'none'");
  EXPECT_EQ(rs->RecordCount(), 0);
  EXPECT_TRUE(rs->EOF_());
}

TEST_P(Helper, InsertProcedureReturnsIncreasingKeysAndTheRowReadsBack) {
  const int32_t first = helper_.RunSPReturnInteger(kWorkFileProc, WorkFileParams("BK'001"));
  const int32_t second = helper_.RunSPReturnInteger(kWorkFileProc, WorkFileParams("BK002", Variant("3")));
  EXPECT_GT(first, 0);
  EXPECT_GT(second, first);

  auto rs = helper_.RunSQLReturnRS(
      "select * from JB_CONTAINER_RETRIEVING_TEMP_FILE order by JB_IMPORT_CONTAINER_WORK_FILE_ID");
  ASSERT_EQ(rs->RecordCount(), 2);
  EXPECT_EQ(CLng(rs->Field("JB_Import_Container_Work_File_Id")), first);
  EXPECT_EQ(CStr(rs->Field("BK_NO")), "BK'001");  // bound, never spliced into the text
  EXPECT_EQ(CInt(rs->Field("PROCESS_STATE")), 0);
  EXPECT_EQ(Null2Date(rs->Field("LAST_UPDATE_DATE")), "2026-03-04");
  EXPECT_EQ(CLng(rs->Field("LAST_UPDATE_TIME")), 930);
  EXPECT_TRUE(rs->Field("ER_NO").IsNull());
  rs->MoveNext();
  EXPECT_EQ(CInt(rs->Field("PROCESS_STATE")), 3);
}

TEST_P(Helper, MalformedParameterIsRefusedBeforeAnythingIsWritten) {
  // An element of four entries, and a value its type cannot hold.
  for (const Variant& bad : {Variant::MakeArray({Variant("@VOYAGE_NO"), Variant(adVarChar), Variant(int16_t{6}), Variant("1")}),
                             mp("@PROCESS_STATE", adSmallInt, 2, "abc", 0, 0)}) {
    Array params = CArray(WorkFileParams("BK1"));
    params[8] = bad;
    const Error e = CaptureError([&] { helper_.RunSPReturnInteger(kWorkFileProc, Variant::MakeArray(params)); });
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description(),
              "RunSPReturnInteger(JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc)collectParams(...): incorrect # of parameters");
  }
  EXPECT_EQ(helper_.RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE")->RecordCount(), 0);
}

// A caller that holds the parameters' parts (a record's insert) gets what the array of mp(...)
// arrays gets: the same conversions, the same row, the same failure and nothing written by it.
TEST_P(Helper, ArgumentsInPartsRunAsTheArrayOfThemRuns) {
  // The work file's row, without its key, or the failure's description.
  const auto outcome = [&](const std::function<int32_t()>& call) {
    std::string seen;
    try {
      const int32_t key = call();
      auto rs = helper_.RunSQLReturnRS(
          "select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where JB_IMPORT_CONTAINER_WORK_FILE_ID = " +
          std::to_string(key));
      for (const auto& column : rs->Columns())
        if (!SameName(column, "JB_Import_Container_Work_File_Id"))
          seen += column + "=" + (rs->Field(column).IsNull() ? "<null>" : CStr(rs->Field(column))) + ";";
    } catch (const Error& e) {
      return e.description();
    }
    return seen;
  };
  for (const Variant& state : {Variant(int16_t{2}), Variant("3"), Variant(" 4 "), Variant(7.0), Variant(""),
                               Variant("  "), Variant::Null(), Variant(), Variant("abc"), Variant("99999")}) {
    SCOPED_TRACE(state.IsString() ? "'" + CStr(state) + "'" : std::to_string(static_cast<int>(state.type())));
    const Variant params = WorkFileParams("BK'9", state);
    const std::string asArray = outcome([&] { return helper_.RunSPReturnInteger(kWorkFileProc, params); });
    std::vector<std::string> names;
    std::vector<db::ProcedureArgument> args;
    for (const Variant& p : CArray(params)) names.push_back(CStr(CArray(p)[0]));
    for (size_t i = 0; i < names.size(); ++i) {
      const Array& p = CArray(CArray(params)[i]);
      args.push_back({names[i], CLng(p[1]), CLng(p[2]), p[3]});
    }
    const std::string inParts =
        outcome([&] { return helper_.RunProcedureReturnInteger(kWorkFileProc, std::move(args)); });
    EXPECT_EQ(inParts, asArray);
    EXPECT_NE(asArray, "");
  }
}

TEST_P(Helper, FailingStatementsCarryTheEngineText) {
  const std::string sql = "Insert Into NO_SUCH_TABLE (A) Values ('1')";
  const Error e = CaptureError([&] { helper_.RunSQL(sql); });
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_EQ(e.source(), e.description());
  const auto [before, after] = Around(e, "RunSQL(" + sql + ")");  // T + "RunSQL(S)" + T
  EXPECT_EQ(before, after);
  std::string lower = before;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(lower.find("no_such_table"), std::string::npos) << before;  // the engine's own text
  // A read names itself and the statement first: "RunSQLReturnRS(S)" + T.
  const Error read = CaptureError([&] { helper_.RunSQLReturnRS("select * from NO_SUCH_TABLE"); });
  EXPECT_EQ(Around(read, "RunSQLReturnRS(select * from NO_SUCH_TABLE)"), std::make_pair(std::string(), before));
}

TEST_P(Helper, DeleteWithoutFromWorksOnEveryEngine) {
  InsertProfile(helper_, "X", "x");
  InsertProfile(helper_, "Y", "y");
  helper_.RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'X'");
  auto rs = helper_.RunSQLReturnRS("select JB_TYPE_CODE from JB_TYPE_PROFILE");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CStr(rs->Field("JB_TYPE_CODE")), "Y");
}

TEST_P(Helper, LikeReadsNumbersAndDatesAsText) {
  helper_.RunSQL("Insert Into JB_CONTAINER_RETRIEVING_TEMP_FILE (PROCESS_STATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME) "
                 "Values ('12', '2026-03-04', '930')");
  for (const char* condition : {"PROCESS_STATE like '%2%'", "LAST_UPDATE_TIME like '93%'",
                                "LAST_UPDATE_DATE like '2026-03%'", "PROCESS_STATE = '12'"}) {
    SCOPED_TRACE(condition);
    EXPECT_EQ(helper_.RunSQLReturnRS(std::string("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where ") + condition)
                  ->RecordCount(), 1);
  }
  EXPECT_EQ(helper_.RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE where PROCESS_STATE like '%3%'")
                ->RecordCount(), 0);
}

TEST_P(Helper, QuotedValuesStoreAndMatchIntact) {
  InsertProfile(helper_, "O'N", "O'Neil's ''truck''");
  InsertProfile(helper_, "ON", "other");
  auto rs = helper_.RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + Str2SQL("O'N") + "'");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CStr(rs->Field("JB_TYPE_NAME")), "O'Neil's ''truck''");
  // A key with a quote cannot widen a statement to other rows.
  helper_.RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= '" + Str2SQL("x' or '1'='1") + "'");
  EXPECT_EQ(helper_.RunSQLReturnRS("select * from JB_TYPE_PROFILE")->RecordCount(), 2);
}

TEST_P(Helper, PagesOfAResultSet) {
  for (int i = 1; i <= 25; ++i) InsertProfile(helper_, "C" + LPZero(std::to_string(i), 2), "p");
  auto rs = helper_.RunSQLReturnRS("select JB_TYPE_CODE from JB_TYPE_PROFILE order by JB_TYPE_CODE");
  ASSERT_EQ(rs->RecordCount(), 25);
  rs->SetPageSize(10);
  EXPECT_EQ(rs->PageCount(), 3);
  // The codes on page `page`, read until the page is full or the set ends.
  auto page = [&](int32_t n) {
    rs->SetAbsolutePage(n);
    std::vector<std::string> codes;
    for (int i = 0; i < rs->PageSize() && !rs->EOF_(); ++i, rs->MoveNext())
      codes.push_back(CStr(rs->Field("JB_TYPE_CODE")));
    return codes;
  };
  EXPECT_EQ(page(3), (std::vector<std::string>{"C21", "C22", "C23", "C24", "C25"}));
  EXPECT_EQ(page(1).front(), "C01");
  EXPECT_EQ(page(2).size(), 10u);
  EXPECT_TRUE(page(4).empty());
  EXPECT_TRUE(rs->EOF_());
}

TEST_P(Helper, StatementsTakeParametersForTheirPlaceholders) {
  const Variant insert = Variant::MakeArray({mp("@CODE", adVarChar, 20, "Q?'1", 0, 0),
                                             mp("@NAME", adVarChar, 100, "it's ? bound", 0, 0),
                                             mp("@CATEGORY", adVarChar, 2, Variant::Null(), 0, 0)});
  helper_.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values (?, ?, ?)",
                 insert);
  InsertProfile(helper_, "OTHER", "?");
  const Variant byCode = Variant::MakeArray({mp("@CODE", adVarChar, 20, "Q?'1", 0, 0)});
  for (const char* read : {"RunSQLReturnRS", "RunSQLReturnRS_RW"}) {
    SCOPED_TRACE(read);
    const std::string sql = "select * from JB_TYPE_PROFILE where JB_TYPE_NAME <> '?' and JB_TYPE_CODE = ?";
    auto rs = std::string(read) == "RunSQLReturnRS" ? helper_.RunSQLReturnRS(sql, byCode)
                                                    : helper_.RunSQLReturnRS_RW(sql, byCode);
    ASSERT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(CStr(rs->Field("JB_TYPE_NAME")), "it's ? bound");
    EXPECT_TRUE(rs->Field("JB_TYPE_CATEGORY").IsNull());
  }
  // A number bound where a number is compared; a delete adapted and bound.
  const Variant count = Variant::MakeArray({mp("@N", adInteger, 4, 1, 0, 0)});
  EXPECT_EQ(helper_.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE having Count(*) > ?", count)
                ->RecordCount(),
            1);
  auto cmd = helper_.RunSQLReturnCmd("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= ?", byCode);
  ASSERT_EQ(cmd->parameters.size(), 1u);
  EXPECT_EQ(CStr(cmd->parameters[0].value), "Q?'1");
  EXPECT_EQ(CLng(helper_.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE")->Field("N")), 1);
}

TEST_P(Helper, ParametersThatDoNotFitTheStatementAreRefused) {
  const Variant one = Variant::MakeArray({mp("@CODE", adVarChar, 20, "X", 0, 0)});
  const Variant two =
      Variant::MakeArray({mp("@A", adVarChar, 20, "X", 0, 0), mp("@B", adVarChar, 20, "Y", 0, 0)});
  struct Case {
    std::string sql;
    Variant params;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"select * from JB_TYPE_PROFILE where JB_TYPE_CODE = ?", two,
       "The statement expects 1 parameters, 2 were supplied."},
      {"select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '?'", one,
       "The statement expects 0 parameters, 1 were supplied."},
      {"Delete JB_TYPE_PROFILE Where JB_TYPE_CODE = ?; Delete JB_TYPE_PROFILE", one,
       "A statement with parameters must be a single statement"},
  };
  InsertProfile(helper_, "X", "x");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    const Error e = CaptureError([&] { helper_.RunSQL(c.sql, c.params); });
    EXPECT_EQ(e.description(), c.reason + "RunSQL(" + c.sql + ")" + c.reason);
  }
  EXPECT_EQ(CLng(helper_.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE")->Field("N")), 1);
}

TEST_P(Helper, HugeStatementsAndReasonsAreCutInDescriptions) {
  const std::string code(1 << 20, 'x');
  const std::string ellipsis = "\u2026";
  struct Case {
    std::string name, sql;
  };
  const std::vector<Case> cases = {
      {"huge statement", "select * from NO_SUCH_TABLE where A = '" + code + "'"},
      {"huge statement and reason", "select '" + code},  // the engine quotes the unclosed text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Error read = CaptureError([&] { helper_.RunSQLReturnRS(c.sql); });
    EXPECT_LT(read.description().size(), 10000u);
    const std::string shown = c.sql.substr(0, kx::db::kDescriptionLimit) + ellipsis + ")";
    EXPECT_EQ(read.description().rfind("RunSQLReturnRS(" + shown, 0), 0u) << read.description().substr(0, 80);
    // RunSQL keeps its shape T + "RunSQL(" + S + ")" + T with both parts cut.
    const Error write = CaptureError([&] { helper_.RunSQL(c.sql); });
    EXPECT_LT(write.description().size(), 10000u);
    const auto [before, after] = Around(write, "RunSQL(" + shown);
    EXPECT_EQ(before, after);
    EXPECT_FALSE(before.empty());
  }
}

// What a late-bound caller can do with the result sets and commands the helper answers: the helper
// created by name, every member of it and of what it returns invoked by name.
TEST_P(Helper, ResultSetsAndCommandsServeLateBoundCallers) {
  const auto& registry = Registry::Instance();
  auto call = [&](const ObjectPtr& object, const std::string& member, Args args = {}) {
    return registry.Invoke(*object, member, args);
  };
  const ObjectPtr helper = registry.Create("S_DBHelpForKX");
  for (int i = 1; i <= 5; ++i)
    call(helper, "RunSQL",
         {"Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('L" + std::to_string(i) +
          "','name " + std::to_string(i) + "','TR')"});

  const ObjectPtr rs = CObj(call(helper, "RunSQLReturnRS",
                                 {"select JB_TYPE_CODE, JB_TYPE_NAME from JB_TYPE_PROFILE order by JB_TYPE_CODE"}));
  EXPECT_EQ(call(rs, "RecordCount"), Variant(5));
  EXPECT_EQ(call(rs, "EOF"), Variant(false));
  EXPECT_EQ(CStr(call(rs, "Fields", {"jb_type_name"})), "name 1");
  call(rs, "MoveNext");
  EXPECT_EQ(CStr(call(rs, "Fields", {"JB_TYPE_CODE"})), "L2");
  // Two rows a page: the second row is on page 1, the fifth alone on page 3.
  EXPECT_EQ(call(rs, "PageSize"), Variant(10));
  call(rs, "PageSize", {2});
  EXPECT_EQ(call(rs, "PageSize"), Variant(2));
  EXPECT_EQ(call(rs, "AbsolutePage"), Variant(1));
  call(rs, "AbsolutePage", {3});
  EXPECT_EQ(call(rs, "AbsolutePage"), Variant(3));
  EXPECT_EQ(CStr(call(rs, "Fields", {"JB_TYPE_CODE"})), "L5");
  call(rs, "AbsolutePage", {2});
  EXPECT_EQ(CStr(call(rs, "Fields", {"JB_TYPE_CODE"})), "L3");
  call(rs, "MoveNext");
  EXPECT_EQ(call(rs, "AbsolutePage"), Variant(2));
  EXPECT_EQ(CStr(call(rs, "Fields", {"JB_TYPE_CODE"})), "L4");
  call(rs, "MoveNext");
  EXPECT_EQ(call(rs, "AbsolutePage"), Variant(3));
  call(rs, "MoveNext");
  EXPECT_EQ(call(rs, "EOF"), Variant(true));
  EXPECT_EQ(call(rs, "AbsolutePage"), Variant(-3));  // past the last row
  call(rs, "AbsolutePage", {4});                      // beyond the last page: at the end
  EXPECT_EQ(call(rs, "EOF"), Variant(true));
  EXPECT_EQ(CaptureError([&] { call(rs, "PageSize", {0}); }).number(), 5);
  EXPECT_EQ(CaptureError([&] { call(rs, "AbsolutePage", {0}); }).number(), 5);
  const ObjectPtr none = CObj(call(helper, "RunSQLReturnRS", {"select * from JB_TYPE_PROFILE where 1 = 0"}));
  EXPECT_EQ(call(none, "AbsolutePage"), Variant(-1));

  // The executed procedure: its text, its type and its parameters, by name and by position from 0.
  const ObjectPtr cmd = CObj(call(helper, "RunSPReturnCmd", {kWorkFileProc, WorkFileParams("BK'9")}));
  EXPECT_EQ(CStr(call(cmd, "CommandText")), kWorkFileProc);
  EXPECT_EQ(call(cmd, "CommandType"), Variant(4));
  EXPECT_EQ(call(cmd, "ParameterCount"), Variant(12));
  EXPECT_EQ(CStr(call(cmd, "Parameters", {"@BK_NO"})), "BK'9");
  EXPECT_EQ(CStr(call(cmd, "Parameters", {5})), "BK'9");
  EXPECT_EQ(CStr(call(cmd, "Parameters", {0})), "IMPORT");
  EXPECT_EQ(CStr(call(cmd, "Parameters", {"@LAST_UPDATE_USER"})), "tester");
  EXPECT_TRUE(call(cmd, "Parameters", {"@ER_NO"}).IsNull());
  EXPECT_EQ(CaptureError([&] { call(cmd, "Parameters", {12}); }).number(), 9);
  EXPECT_EQ(CaptureError([&] { call(cmd, "Parameters", {"@NONE"}); }).number(), 9);
  // It ran: the work file is stored.
  const ObjectPtr stored = CObj(call(
      helper, "RunSQLReturnRS", {"select BK_NO from JB_CONTAINER_RETRIEVING_TEMP_FILE where BK_NO = 'BK''9'"}));
  EXPECT_EQ(call(stored, "RecordCount"), Variant(1));
}

KX_ENGINE_SUITE(Helper);

TEST(HelperDescriptions, TextsAreCutToTheLimitInWholeCharacters) {
  const std::string e = "\u00e9";  // two bytes in UTF-8
  auto times = [](const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"short", "short"},
      {std::string(2000, 'a'), std::string(2000, 'a')},
      {std::string(2001, 'a'), std::string(2000, 'a') + "\u2026"},
      {times(e, 2000), times(e, 2000)},
      {times(e, 2001), times(e, 2000) + "\u2026"},
      {std::string(1999, 'a') + e + "b", std::string(1999, 'a') + e + "\u2026"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(kx::db::Abbreviate(text), expected) << text.size();
  EXPECT_EQ(kx::db::Abbreviate("abcdef", 3), "abc\u2026");
}

// ---- settings, without a database

TEST(HelperSettings, NoConfigFileGivesTheDefaults) {
  TestHome home("SQLite", "", /*writeConfig=*/false);
  S_DBHelpForKX helper;
  EXPECT_EQ(helper.GetConnectionString(), "Provider=SQLite;Data Source=" + home.folder() +
                                              ";Initial Catalog=QLP_DB;User Id=sa;Password=2977;Connect Timeout=10;");
  EXPECT_EQ(helper.ClassDebugID(), 0);
}

TEST(HelperSettings, ProviderShapesTheConnectionString) {
  TestHome home;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"PROVIDER=SQLOLEDB\nSERVERNAME=srv\nDATABASENAME=db\nUSERID=u\nPASSWORD=p\n",
       "Provider=SQLOLEDB;Data Source=srv;Initial Catalog=db;User Id=u;Password=p;Connect Timeout=10;"},
      {"provider=PostgreSQL\nservername=pg1,5433\nDATABASENAME=kx\nUSERID=app\nPASSWORD=s;x\nFLAG=0\n",
       "Provider=PostgreSQL;Data Source=pg1,5433;Initial Catalog=kx;User Id=app;Password=s;x;Connect Timeout=10;"},
      {"PROVIDER=SQLite\nSERVERNAME=/data/kx\nFLAG=2\nUSERID=plain\n",
       "Provider=SQLite;Data Source=/data/kx;Initial Catalog=QLP_DB;User Id=plain;Password=2977;Connect Timeout=10;"},
  };
  for (const auto& [lines, expected] : cases) {
    home.WriteConfig("[DATABASE]\n" + lines);
    S_DBHelpForKX helper;
    EXPECT_EQ(helper.GetConnectionString(), expected);
  }
}

// `text` xor-ed byte by byte with the letters of the key that take part (all but its last two).
std::string ScrambleByHand(const std::string& text, const std::string& usedKeyLetters) {
  std::string out = text;
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ usedKeyLetters[i % usedKeyLetters.size()]);
  return out;
}

TEST(HelperSettings, FlagOneUnscramblesUserIdAndPassword) {
  // Only the first (length - 2) letters of each key take part; the scrambled forms built below
  // rely on that.
  EXPECT_EQ(S_DBHelpForKX::Scramble("secret-pass", "VANTRELOKS"), ScrambleByHand("11secret-pass", "VANTRELO"));
  EXPECT_EQ(S_DBHelpForKX::UnscrambleUserId(ScrambleByHand("12operator-one", "DORMIQUEST")), "operator-one");
  TestHome home;
  // Stored values whose unscrambled text starts with a two-digit length: "05" with more after the
  // five characters, and "09" with only four characters left.
  std::string user = S_DBHelpForKX::Scramble("admin-and-more", "DORMIQUESTAL");  // "14admin-and-more"
  user[0] = static_cast<char>('0' ^ 'D');
  user[1] = static_cast<char>('5' ^ 'O');
  std::string password = S_DBHelpForKX::Scramble("pw12", "VANTRELOKS");  // "04pw12"
  password[1] = static_cast<char>('9' ^ 'A');
  home.WriteConfig("[DATABASE]\nPROVIDER=SQLOLEDB\nSERVERNAME=srv\nDATABASENAME=db\nFLAG=1\nUSERID=" + user +
                   "\nPASSWORD=" + password + "\n");
  S_DBHelpForKX helper;
  EXPECT_EQ(helper.GetConnectionString(),
            "Provider=SQLOLEDB;Data Source=srv;Initial Catalog=db;User Id=admin;Password=pw12;Connect Timeout=10;");
}

TEST(HelperSettings, UnreadableFlagOrScrambledValueFailsTheConnectionString) {
  TestHome home;
  const std::string user = S_DBHelpForKX::Scramble("sa", "DORMIQUESTAL");
  // The default password "2977" is no stored value; a flag that is no number; a plain user id.
  const std::vector<std::string> configs = {"FLAG=1\nUSERID=" + user + "\n", "FLAG=abc\n", "FLAG=1\nUSERID=plain\n"};
  for (const auto& lines : configs) {
    home.WriteConfig("[DATABASE]\n" + lines);
    S_DBHelpForKX helper;
    const Error e = CaptureError([&] { helper.GetConnectionString(); });
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description(), "GetConnectionString Function") << lines;
    // Every operation reports it in its own shape.
    const Error run = CaptureError([&] { helper.RunSQL("select 1"); });
    EXPECT_EQ(run.description(), "GetConnectionString FunctionRunSQL(select 1)GetConnectionString Function");
  }
}

// SQL Server is reached through ODBC (FreeTDS by default): a server that is not there is a failure
// to connect that names the driver; an unknown provider is refused before anything is opened.
TEST(HelperSettings, AnAbsentSqlServerAndUnknownProvidersFailToConnect) {
  TestHome home;
  const std::vector<std::pair<std::string, std::string>> cases = {{"SQLOLEDB", "[FreeTDS]"},
                                                                   {"Oracle", "Provider cannot be found"}};
  for (const auto& [provider, expected] : cases) {
    home.WriteConfig("[DATABASE]\nPROVIDER=" + provider + "\nSERVERNAME=srv\n");
    S_DBHelpForKX helper;
    const Error e = CaptureError([&] { helper.RunSQLReturnRS("select 1"); });
    EXPECT_EQ(e.number(), kComponentError);
    const auto [before, after] = Around(e, "RunSQLReturnRS(select 1)");
    EXPECT_EQ(before, "");
    EXPECT_NE(after.find(expected), std::string::npos) << after;
  }
}

}  // namespace
}  // namespace kx::test
