// Type profile rows written and read with plain statements, beside the classes under test.
#pragma once

#include <string>
#include <vector>

#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"

namespace kx::test {

inline void InsertRow(const std::string& code, const std::string& name, const std::string& category) {
  S_DBHelpForKX().RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('" +
                         Str2SQL(code) + "','" + Str2SQL(name) + "','" + Str2SQL(category) + "')");
}

inline int32_t RowCount() {
  return CLng(S_DBHelpForKX().RunSQLReturnRS("select Count(*) as N from JB_TYPE_PROFILE")->Field("N"));
}

// The stored name and category of `code`, or nothing when the row is missing.
inline std::vector<std::string> StoredRow(const std::string& code) {
  auto rs = S_DBHelpForKX().RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = '" + Str2SQL(code) + "'");
  if (rs->RecordCount() == 0) return {};
  return {CStr(rs->Field("JB_TYPE_NAME")), CStr(rs->Field("JB_TYPE_CATEGORY"))};
}

}  // namespace kx::test
