// The transaction scope around a call: one connection, committed on completion, rolled back on an
// abort vote or an escaping failure; without a scope every statement stands on its own.
#include <functional>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "runtime/context.h"
#include "runtime/db/connection.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "runtime/votes.h"

namespace kx::test {
namespace {

class Scope : public EngineTest {
 protected:
  void Insert(const std::string& code) {
    helper_.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" +
                   Str2SQL(code) + "','n','TR')");
  }
  // Rows with `code` as the helper sees them (inside a scope: on the scope's connection).
  int32_t RowsSeenByHelper(const std::string& code) {
    return helper_.RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + Str2SQL(code) + "'")
        ->RecordCount();
  }
  // Rows with `code` read on a new connection of its own, outside any scope.
  int32_t RowsSeenElsewhere(const std::string& code) {
    auto c = db::Open(db::ConnectionInfo::Parse(S_DBHelpForKX().GetConnectionString()));
    return c->Query("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + Str2SQL(code) + "'")->RecordCount();
  }
  S_DBHelpForKX helper_;
};

TEST_P(Scope, CompleteCommitsWhatTheCallWrote) {
  {
    TransactionScope scope;
    Insert("A");
    EXPECT_EQ(RowsSeenByHelper("A"), 1);   // the same connection sees its own work
    EXPECT_EQ(RowsSeenElsewhere("A"), 0);  // nobody else sees it before the end
    EXPECT_TRUE(scope.Complete());
  }
  EXPECT_EQ(RowsSeenElsewhere("A"), 1);
}

TEST_P(Scope, HowTheCallEndsDecidesWhetherItsWorkStays) {
  struct Case {
    std::string code;
    std::function<void(TransactionScope&)> end;
    int32_t rowsAfter;
  };
  const std::vector<Case> cases = {
      {"DONE", [](TransactionScope& s) { CtxSetComplete(); EXPECT_TRUE(s.Complete()); }, 1},
      {"ABORT", [](TransactionScope& s) { CtxSetAbort(); EXPECT_FALSE(s.Complete()); }, 0},
      {"VOTES", [](TransactionScope& s) { CtxSetAbort(); CtxSetComplete(); EXPECT_FALSE(s.Complete()); }, 0},
      {"CTRL",
       [](TransactionScope& s) {
         CaptureError([] { ControllerGuard("add Function", [] { RaiseError(9999, "refused"); }); });
         EXPECT_FALSE(s.Complete());
       },
       0},
      {"THROW", [](TransactionScope&) { throw std::runtime_error("failure escapes the call"); }, 0},
      {"FAIL", [this](TransactionScope&) { helper_.RunSQL("Insert Into NO_SUCH_TABLE (A) Values ('1')"); }, 0},
      {"NOEND", [](TransactionScope&) {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    try {
      TransactionScope scope;
      Insert(c.code);
      c.end(scope);
    } catch (const std::exception&) {
    }
    EXPECT_EQ(RowsSeenElsewhere(c.code), c.rowsAfter);
    EXPECT_EQ(TransactionScope::Current(), nullptr);
    // The ended call holds no lock: another connection can write.
    db::Open(db::ConnectionInfo::Parse(helper_.GetConnectionString()))
        ->Execute("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" + c.code +
                  "2','n','TR')");
  }
  // The connection went back to the pool clean: work after the scopes stands on its own.
  Insert("AFTER");
  EXPECT_EQ(RowsSeenElsewhere("AFTER"), 1);
}

TEST_P(Scope, WithoutAScopeEachStatementStands) {
  Insert("FIRST");
  CaptureError([&] { helper_.RunSQL("Insert Into NO_SUCH_TABLE (A) Values ('1')"); });
  CaptureError([&] { Insert("FIRST"); });  // a duplicate key fails on its own
  EXPECT_EQ(RowsSeenElsewhere("FIRST"), 1);
  CtxSetAbort();  // no scope: no vote, nothing undone
  EXPECT_EQ(RowsSeenElsewhere("FIRST"), 1);
}

TEST_P(Scope, ProcedureAndStatementsShareTheScopesConnection) {
  {
    TransactionScope scope;
    const Variant params = Variant::MakeArray({
        mp("@SOURCE_CATEGORY", adVarChar, 10, "IMPORT", 0, 0), mp("@OFFICE", adVarChar, 10, "HKG", 0, 0),
        mp("@VESSEL_CODE", adVarChar, 6, "V1", 0, 0),         mp("@VOYAGE_NO", adVarChar, 6, "1", 0, 0),
        mp("@VOYAGE_LEG", adVarChar, 1, "E", 0, 0),           mp("@BK_NO", adVarChar, 17, "BK", 0, 0),
        mp("@BL_NO", adVarChar, 17, "BL", 0, 0),              mp("@ER_NO", adVarChar, 20, "ER", 0, 0),
        mp("@PROCESS_STATE", adSmallInt, 2, int16_t{0}, 0, 0),
        mp("@LAST_UPDATE_DATE", adDBTimeStamp, 8, "2026-03-04", 0, 0),
        mp("@LAST_UPDATE_TIME", adNumeric, 5, 1405, 4, 0),   mp("@LAST_UPDATE_USER", adVarChar, 16, "u", 0, 0),
    });
    const int32_t id = helper_.RunSPReturnInteger("JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc", params);
    auto rs = helper_.RunSQLReturnRS(
        "select BK_NO from JB_CONTAINER_RETRIEVING_TEMP_FILE where JB_IMPORT_CONTAINER_WORK_FILE_ID = '" +
        std::to_string(id) + "'");
    ASSERT_EQ(rs->RecordCount(), 1);
    EXPECT_EQ(CStr(rs->Field("BK_NO")), "BK");
    CtxSetAbort();
  }
  EXPECT_EQ(helper_.RunSQLReturnRS("select * from JB_CONTAINER_RETRIEVING_TEMP_FILE")->RecordCount(), 0);
}

TEST_P(Scope, ConcurrentCallsWaitForEachOtherInsteadOfFailing) {
  // Two callers each write in calls of their own; writers queue on the database, none fails.
  std::vector<std::string> failures[2];
  auto caller = [&](int who) {
    for (int i = 0; i < 15; ++i) {
      try {
        TransactionScope scope;
        S_DBHelpForKX helper;
        const std::string code = "T" + std::to_string(who) + "-" + std::to_string(i);
        helper.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" + code + "','n','TR')");
        helper.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE");
        scope.Complete();
      } catch (const Error& e) {
        failures[who].push_back(e.description());
      }
    }
  };
  std::thread first(caller, 0), second(caller, 1);
  first.join();
  second.join();
  EXPECT_TRUE(failures[0].empty() && failures[1].empty())
      << (failures[0].empty() ? failures[1].front() : failures[0].front());
  EXPECT_EQ(CLng(helper_.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE")->Field("N")), 30);
}

TEST_P(Scope, AScopeEndsOnlyOnce) {
  struct Case {
    std::string code;
    bool write, abort, committed;
  };
  const std::vector<Case> cases = {
      {"DONE", true, false, true}, {"ABORTED", true, true, false}, {"UNUSED", false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    TransactionScope scope;
    if (c.write) Insert(c.code);
    if (c.abort) CtxSetAbort();
    EXPECT_EQ(scope.Complete(), c.committed);
    EXPECT_THROW(scope.Complete(), db::DatabaseError);
    // The ended scope runs nothing more.
    const Error late = CaptureError([&] { Insert(c.code + "2"); });
    EXPECT_NE(late.description().find("The transaction scope has already ended"), std::string::npos)
        << late.description();
  }
  EXPECT_EQ(RowsSeenElsewhere("DONE"), 1);
  EXPECT_EQ(RowsSeenElsewhere("ABORTED"), 0);
  EXPECT_EQ(CLng(helper_.RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE")->Field("N")), 1);
}

TEST_P(Scope, CommittingATransactionTwiceFails) {
  auto c = db::Open(db::ConnectionInfo::Parse(helper_.GetConnectionString()));
  c->Begin();
  c->Execute(
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('ONCE','n','TR')");
  c->Commit();
  EXPECT_THROW(c->Commit(), db::DatabaseError);
  EXPECT_EQ(RowsSeenElsewhere("ONCE"), 1);
}

KX_ENGINE_SUITE(Scope);

}  // namespace
}  // namespace kx::test
