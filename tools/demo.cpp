#include "tools/demo.h"

#include "runtime/db/connection.h"
#include "runtime/error.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {

int RunDemo(std::ostream& out) {
  try {
    S_DBHelpForKX helper;
    const std::string cs = helper.GetConnectionString();
    db::InstallDatabase(cs);
    out << "Database " << helper.database() << " on " << helper.server() << " is ready.\n";
    helper.RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'DEMO'");
    helper.RunSQL("Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('DEMO','Demo''s truck job','TR')");
    auto rs = helper.RunSQLReturnRS("select * from JB_TYPE_PROFILE where JB_TYPE_CODE = 'DEMO'");
    out << "The helper reads back " << rs->RecordCount() << " row:\n" << rs->ToText();
    helper.RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'DEMO'");
    return 0;
  } catch (const Error& e) {
    out << "demo failed: " << e.description() << "\n";
    return 1;
  }
}

}  // namespace kx
