// E_JBTypeProfile: status values, the setter rule, load/save/remove against the database, the error
// chain of its members and late-bound access through the class registry.
#include <memory>
#include <string>
#include <vector>

#include "typeprofile/jb_type_profile.h"
#include "kx/registry.h"
#include "shared/mod_kx_common.h"
#include "shared/s_db_help_for_kx.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

std::string StorageSQL(const E_JBTypeProfile& e) {
  auto storage = std::dynamic_pointer_cast<S_JBTypeProfile>(e.storage());
  EXPECT_NE(storage, nullptr);
  return storage ? storage->strSQL() : std::string();
}

TEST(JBTypeProfileEntity, StatusNumbersAndErrorNumber) {
  EXPECT_EQ(esLoading, 1);
  EXPECT_EQ(esLoaded, 2);
  EXPECT_EQ(esNew, 3);
  EXPECT_EQ(esModified, 4);
  EXPECT_EQ(esDeleted, 5);
  EXPECT_EQ(esSaved, 6);
  EXPECT_EQ(kComponentError, -2147211505);
  EXPECT_EQ(static_cast<uint32_t>(kComponentError), 0x8004270Fu);
}

TEST(JBTypeProfileEntity, DirtyOnlyWhenNewModifiedOrDeleted) {
  const std::vector<std::pair<int16_t, bool>> cases = {{0, false}, {esLoading, false}, {esLoaded, false},
                                                       {esNew, true}, {esModified, true}, {esDeleted, true},
                                                       {esSaved, false}, {7, false}};
  for (const auto& [status, dirty] : cases) {
    E_JBTypeProfile e;
    e.setStatus(status);
    EXPECT_EQ(e.status(), status);
    EXPECT_EQ(e.isDirty(), dirty) << "status " << status;
  }
}

// The setter rule: a differing value marks the entity modified only when it is neither loading nor
// dirty; the value is stored in every case.
TEST(JBTypeProfileEntity, SetterRuleByStartingStatus) {
  struct Case {
    int16_t start;
    std::string value;  // the stored name is "n"
    int16_t expected;
  };
  const std::vector<Case> cases = {
      {0, "other", esModified},        {esLoaded, "other", esModified}, {esSaved, "other", esModified},
      {esLoaded, "n", esLoaded},       {esSaved, "n", esSaved},         {0, "n", 0},
      {esLoaded, "N", esModified},     {esLoading, "other", esLoading}, {esNew, "other", esNew},
      {esDeleted, "other", esDeleted}, {esModified, "other", esModified},
  };
  for (const auto& c : cases) {
    E_JBTypeProfile e;
    e.setStatus(esLoading);
    e.setJBTypeName("n");
    e.setStatus(c.start);
    e.setJBTypeName(c.value);
    EXPECT_EQ(e.status(), c.expected) << "from " << c.start << " to '" << c.value << "'";
    EXPECT_EQ(e.JBTypeName(), c.value);
  }
}

TEST(JBTypeProfileEntity, EveryFieldFollowsTheSetterRule) {
  using Setter = void (E_JBTypeProfile::*)(const std::string&);
  for (Setter set : {&E_JBTypeProfile::setCode, &E_JBTypeProfile::setJBTypeName, &E_JBTypeProfile::setJBTypeCategory}) {
    E_JBTypeProfile e;
    e.setStatus(esLoaded);
    (e.*set)("");  // fields start empty: the same value
    EXPECT_EQ(e.status(), esLoaded);
    (e.*set)("X");
    EXPECT_EQ(e.status(), esModified);
  }
}

TEST(JBTypeProfileEntity, AddRemoveModifySetTheirStatusFromAny) {
  for (int16_t start : {int16_t{0}, int16_t{esLoaded}, int16_t{esNew}, int16_t{esDeleted}, int16_t{esSaved}}) {
    E_JBTypeProfile e;
    e.setStatus(start);
    e.add();
    EXPECT_EQ(e.status(), esNew);
    EXPECT_EQ(e.Code() + e.JBTypeName() + e.JBTypeCategory(), "");  // add sets no field values
    e.remove();
    EXPECT_EQ(e.status(), esDeleted);
    e.modify();
    EXPECT_EQ(e.status(), esModified);
  }
}

TEST(JBTypeProfileEntity, AccessorFailureCarriesItsProcedureText) {
  E_JBTypeProfile e;
  const Error err = CaptureError([&] { e.Set("Code", Variant::Null()); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(), "Code Property" + std::string(RuntimeErrorText(RuntimeErrorCode::InvalidUseOfNull)));
  EXPECT_EQ(err.source(), err.description());
  EXPECT_EQ(e.Code(), "");
  EXPECT_EQ(e.status(), 0);
}

TEST(JBTypeProfileEntity, PropertiesThroughTheClassRegistry) {
  ObjectPtr obj = Registry::Instance().Create("E_JBTypeProfile");
  ASSERT_NE(std::dynamic_pointer_cast<E_JBTypeProfile>(obj), nullptr);
  auto& reg = Registry::Instance();
  Args none;
  EXPECT_EQ(CInt(reg.Invoke(*obj, "status", none)), 0);
  for (const std::string property : {"Code", "JBTypeName", "JBTypeCategory"}) {
    Args let{Variant(property + "-value")};
    reg.Invoke(*obj, property, let);
    Args get;
    EXPECT_EQ(CStr(reg.Invoke(*obj, property, get)), property + "-value");
  }
  // The first change of a fresh entity marked it modified.
  Args get;
  EXPECT_EQ(CInt(reg.Invoke(*obj, "status", get)), esModified);
  Args toNew{Variant(int16_t{esNew})};
  reg.Invoke(*obj, "status", toNew);
  Args dirty;
  EXPECT_TRUE(CBool(reg.Invoke(*obj, "isDirty", dirty)));
  EXPECT_EQ(std::dynamic_pointer_cast<E_JBTypeProfile>(obj)->Code(), "Code-value");
}

class JBTypeProfileEntityDb : public EngineTest {};

TEST_P(JBTypeProfileEntityDb, FreshEntityIsCleanAndSaveWritesNothing) {
  E_JBTypeProfile e;
  EXPECT_EQ(e.status(), 0);
  EXPECT_FALSE(e.isDirty());
  e.save();
  EXPECT_EQ(e.status(), 0);
  EXPECT_EQ(StorageSQL(e), "");
  EXPECT_EQ(RowCount(), 0);
}

TEST_P(JBTypeProfileEntityDb, AddedEntityStaysNewAndSaveInserts) {
  E_JBTypeProfile e;
  e.add();
  e.setCode("A");
  e.setJBTypeName("n");
  e.setJBTypeCategory("c");
  EXPECT_EQ(e.status(), esNew);
  EXPECT_TRUE(e.isDirty());
  e.save();
  EXPECT_EQ(e.status(), esSaved);
  EXPECT_FALSE(e.isDirty());
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));
  // A saved entity is clean: saving again writes nothing.
  const std::string last = StorageSQL(e);
  e.save();
  EXPECT_EQ(StorageSQL(e), last);
  EXPECT_EQ(RowCount(), 1);
}

TEST_P(JBTypeProfileEntityDb, LoadThenChangeName) {
  InsertRow("A", "n", "c");
  E_JBTypeProfile e;
  e.load("A");
  EXPECT_EQ(e.status(), esLoaded);
  EXPECT_EQ(e.Code(), "A");
  EXPECT_EQ(e.JBTypeName(), "n");
  EXPECT_EQ(e.JBTypeCategory(), "c");
  e.setJBTypeName("n");
  EXPECT_EQ(e.status(), esLoaded);
  e.setJBTypeName("renamed");
  EXPECT_EQ(e.status(), esModified);
  e.save();
  EXPECT_EQ(e.status(), esSaved);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"renamed", "c"}));
}

TEST_P(JBTypeProfileEntityDb, SettingCodeOnLoadedEntityMarksItModified) {
  InsertRow("A", "n", "c");
  E_JBTypeProfile e;
  e.load("A");
  e.setCode("B");
  EXPECT_EQ(e.status(), esModified);
  EXPECT_EQ(e.Code(), "B");
}

TEST_P(JBTypeProfileEntityDb, RemoveThenSaveDeletes) {
  InsertRow("A", "n", "c");
  InsertRow("B", "m", "d");
  E_JBTypeProfile e;
  e.load("A");
  e.remove();
  EXPECT_EQ(e.status(), esDeleted);
  EXPECT_TRUE(e.isDirty());
  e.save();
  EXPECT_EQ(e.status(), esSaved);
  EXPECT_FALSE(e.isDirty());
  EXPECT_TRUE(StoredRow("A").empty());
  EXPECT_EQ(StoredRow("B"), (std::vector<std::string>{"m", "d"}));
}

TEST_P(JBTypeProfileEntityDb, StatusLoadingStopsSettersFromMarkingModified) {
  InsertRow("A", "n", "c");
  E_JBTypeProfile e;
  e.load("A");
  e.setStatus(esLoading);
  e.setJBTypeName("changed");
  e.setCode("Z");
  EXPECT_EQ(e.status(), esLoading);
  EXPECT_FALSE(e.isDirty());
  e.save();  // not dirty: nothing is written
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));
  EXPECT_TRUE(StoredRow("Z").empty());
}

TEST_P(JBTypeProfileEntityDb, LoadOfMissingCodeFailsAndLeavesLoading) {
  InsertRow("A", "n", "c");
  E_JBTypeProfile e;
  e.setCode("prev");
  e.setJBTypeName("kept");
  const Error err = CaptureError([&] { e.load("X"); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(), "load Sub" "LoadByPK Sub" "Can not use code 'X'");
  EXPECT_EQ(err.source(), err.description());
  EXPECT_EQ(e.status(), esLoading);
  EXPECT_EQ(e.Code(), "prev");
  EXPECT_EQ(e.JBTypeName(), "kept");
}

TEST_P(JBTypeProfileEntityDb, FailingSaveKeepsStatusSoItCanBeSavedAgain) {
  InsertRow("A", "old", "o");
  E_JBTypeProfile e;
  e.add();
  e.setCode("A");
  e.setJBTypeName("n");
  e.setJBTypeCategory("c");
  const std::string insert =
      "Insert Into JB_TYPE_PROFILE (JB_TYPE_CODE,JB_TYPE_NAME, JB_TYPE_CATEGORY)Values ('A','n','c')";
  const Error err = CaptureError([&] { e.save(); });
  EXPECT_EQ(err.number(), kComponentError);
  // "save Sub" of the entity, "save Sub" of the storage, then the helper's text around the statement.
  const std::string& d = err.description();
  const std::string head = "save Subsave Sub";
  const std::string mid = "RunSQL(" + insert + ")";
  ASSERT_EQ(d.rfind(head, 0), 0u) << d;
  const size_t at = d.find(mid);
  ASSERT_NE(at, std::string::npos) << d;
  const std::string provider = d.substr(head.size(), at - head.size());
  EXPECT_FALSE(provider.empty());
  EXPECT_EQ(d.substr(at + mid.size()), provider);
  EXPECT_EQ(e.status(), esNew);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"old", "o"}));

  S_DBHelpForKX().RunSQL("Delete JB_TYPE_PROFILE Where JB_TYPE_CODE= 'A'");
  e.save();
  EXPECT_EQ(e.status(), esSaved);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"n", "c"}));
}

TEST_P(JBTypeProfileEntityDb, LateBoundLoadAndSave) {
  InsertRow("A", "n", "c");
  auto& reg = Registry::Instance();
  ObjectPtr obj = reg.Create("E_JBTypeProfile");
  Args load{Variant("A")};
  reg.Invoke(*obj, "load", load);
  Args get;
  EXPECT_EQ(CStr(reg.Invoke(*obj, "JBTypeName", get)), "n");
  Args let{Variant("via registry")};
  reg.Invoke(*obj, "JBTypeName", let);
  Args none;
  EXPECT_EQ(CInt(reg.Invoke(*obj, "status", none)), esModified);
  Args save;
  reg.Invoke(*obj, "save", save);
  EXPECT_EQ(StoredRow("A"), (std::vector<std::string>{"via registry", "c"}));

  Args missing{Variant("Q")};
  const Error err = CaptureError([&] { reg.Invoke(*obj, "load", missing); });
  EXPECT_EQ(err.description(), "load Sub" "LoadByPK Sub" "Can not use code 'Q'");
}

KX_ENGINE_SUITE(JBTypeProfileEntityDb);

}  // namespace
}  // namespace kx::test
