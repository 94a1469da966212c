// Shared by the job order detail tests: the dump of the detail tables that write calls are checked
// against, the table of write calls, and the kx command run as a user runs it.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "framework/entity.h"
#include "framework/storage.h"
#include "runtime/context.h"
#include "kx/host.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "fault_injection.h"
#include "test_support.h"

namespace kx::test {

// The declaration the serialized collection documents begin with.
inline const std::string kDecl = "<?xml version=\"1.0\"?>\n";

// The statement the storage of entity `e` ran last.
inline std::string LastStatement(const Entity& e) {
  return std::dynamic_pointer_cast<Storage>(e.storage())->strSQL();
}

// Every row of the three job order detail tables, in key order, as text.
inline std::string DumpDetailTables() {
  S_DBHelpForKX db;
  std::string out;
  for (const char* table :
       {"JB_CONTAINER_DETAIL order by JB_CONTAINER_DETAIL_ID", "JB_DIARY order by JB_DIARY_NO_ID",
        "JB_DOOR_APPOINTMENT order by JB_DOOR_APPOINTMENT_ID"})
    out += db.RunSQLReturnRS(std::string("select * from ") + table)->ToText();
  return out;
}

// The newest key of `table` (its largest `keyColumn`).
inline int32_t LastKey(const std::string& table, const std::string& keyColumn) {
  return CLng(Null2Int(
      S_DBHelpForKX().RunSQLReturnRS("select max(" + keyColumn + ") as K from " + table)->Field("K")));
}

// One write member's call: what it is, the request it sends and the call itself. The write calls of
// a class family are kept in one such table, so that every check on writes covers all of them.
struct WriteCall {
  std::string name;
  std::string request;
  std::function<void()> call;
};


// A clock that starts at `hour`:`minute` local time on `day` March 2024 and moves on one minute
// each time it is read.
inline Clock SteppingClock(int day, int hour, int minute) {
  std::tm start{};
  start.tm_year = 124, start.tm_mon = 2, start.tm_mday = day, start.tm_hour = hour, start.tm_min = minute;
  start.tm_isdst = -1;
  auto next = std::make_shared<std::chrono::system_clock::time_point>(
      std::chrono::system_clock::from_time_t(std::mktime(&start)));
  return [next] {
    const auto now = *next;
    *next += std::chrono::minutes(1);
    return now;
  };
}

// What a run of the kx command printed and how it ended (the shared runner of the test support).
using KxRun = CommandOutcome;

// Reaches the entity and storage classes of a record by name, through the registry and through the
// kx command: the row `id` of order `jbNoId` is found, loaded and listed; a key without a row fails.
inline void ExpectEntityAndStorageByName(const TestHome& home, const std::string& entityClass,
                                         const std::string& storageClass, int32_t id, int32_t jbNoId) {
  auto& reg = Registry::Instance();
  ObjectPtr storage = reg.Create(storageClass);
  Args pk{Variant(std::to_string(id))};
  EXPECT_TRUE(CBool(reg.Invoke(*storage, "containsPK", pk)));
  auto list = std::make_shared<EntityList>();
  Args load{Variant(std::to_string(jbNoId)), Variant(std::static_pointer_cast<Object>(list))};
  reg.Invoke(*storage, "LoadElementsIntoCol", load);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->Item(1)->ClassName(), entityClass);
  ObjectPtr entity = reg.Create(entityClass);
  reg.Invoke(*entity, "load", pk);
  Args none;
  EXPECT_EQ(CInt(reg.Invoke(*entity, "status", none)), esLoaded);
  EXPECT_EQ(CLng(reg.Invoke(*entity, "Id", none)), id);

  const KxRun found = RunKx(home, "call --json " + storageClass + " containsPK " + std::to_string(id));
  EXPECT_EQ(found.out, "{\"result\": true, \"out\": {}}\n") << found.err;
  const KxRun missing = RunKx(home, "--quiet call " + entityClass + " load 0");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.err, "error 0x8004270F: load SubLoadByPK SubCan not use code '0'\n");
}

}  // namespace kx::test
