#include "shared/s_db_help_for_kx.h"
#include "test_support.h"

namespace kx::test {
namespace {

class HelperSmoke : public EngineTest {};

TEST_P(HelperSmoke, WritesAndReadsBack) {
  S_DBHelpForKX helper;
  helper.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','x''y','C')");
  auto rs = helper.RunSQLReturnRS("select * from JB_TYPE_PROFILE");
  ASSERT_EQ(rs->RecordCount(), 1);
  EXPECT_EQ(CStr(rs->Field("JB_TYPE_NAME")), "x'y");
}

KX_ENGINE_SUITE(HelperSmoke);

}  // namespace
}  // namespace kx::test
