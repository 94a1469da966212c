// E_JBOrder: the number rules of a new order (a given number tested, a blank one generated from the
// serial number component with SEQNO and at most 101 tests), the error numbers of the generation,
// the child collections, and the setter and status rules.
#include <string>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "kx/registry.h"
#include "test_support.h"

namespace kx::test {
namespace {

using E = E_JBOrder;

// A new order with every field a request sets, and the number `no`.
std::shared_ptr<E_JBOrder> NewOrder(const std::string& no) {
  auto e = std::make_shared<E_JBOrder>();
  e->add();
  e->setJBNo(no);
  e->setCompanyCode("CO");
  e->setOfficeCodeOfUser("HKG");
  e->Set(E::kITNumber, "IT7");
  e->Set(E::kLastUpdateUser, "amy");
  e->Set(E::kJBCreateDate, Date::FromParts(2026, 12, 1));
  return e;
}

class JBOrderEntity : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    FixClock(2026, 12, 8, 9, 30);
  }
  ScriptedGeneratorInstalled scripted;
  ScriptedGenerator& generator() { return *scripted.generator; }
};

TEST_P(JBOrderEntity, AGivenNumberIsKeptWhenFree) {
  auto e = NewOrder("JB001");
  e->save();
  EXPECT_EQ(e->status(), esSaved);
  EXPECT_EQ(e->Id(), 1);
  EXPECT_EQ(OrderColumn(1, "JB_NO"), "JB001");
  EXPECT_TRUE(generator().requests.empty());
}

TEST_P(JBOrderEntity, ATakenNumberIsRefusedAndNothingIsWritten) {
  NewOrder("JB001")->save();
  auto e = NewOrder("JB001");
  const Error err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "save Sub"
            "The job order no has existing: JB001");
  EXPECT_EQ(e->status(), esNew);
  EXPECT_EQ(CountRows("JB_ORDER"), 1);
}

TEST_P(JBOrderEntity, ABlankNumberAsksTheGeneratorWithTheRequestDocument) {
  auto e = NewOrder("  ");
  e->save();
  EXPECT_EQ(e->JBNo(), "GEN1");
  EXPECT_EQ(OrderColumn(1, "JB_NO"), "GEN1");
  ASSERT_EQ(generator().requests.size(), 1u);
  EXPECT_EQ(
      generator().requests[0],
      "<?xml version=\"1.0\"?>\n<Root><CDSerialNos><CDSerialNo USAGEIND=\"JOBORDER\" COMPANYCODE=\"CO\" "
      "OFFICECODE=\"HKG\" POL=\"\" POD=\"\" DEL=\"\" POR=\"\" DEST=\"\" IGNO=\"\" BKNO=\"\" BKTERMI=\"\" "
      "BLNO=\"\" "
      "INVNO=\"\" RENNO=\"\" VOUCHERNO=\"\" GLSEQ=\"\" ITNO=\"IT7\" TARIFFNO=\"\" QUOTATIONNO=\"\" "
      "JOBORDERNO=\"\" "
      "CNNO=\"\" SEQNO=\"01\" SERIALNO=\"\"/></CDSerialNos></Root>\n");
}

TEST_P(JBOrderEntity, TakenCandidatesRaiseTheSequence) {
  NewOrder("T1")->save();
  NewOrder("T2")->save();
  generator().answer = [](int n) { return n == 1 ? "T1" : n == 2 ? "T2" : "FREE"; };
  auto e = NewOrder("");
  e->save();
  EXPECT_EQ(e->JBNo(), "FREE");
  std::vector<std::string> seq;
  for (const auto& r : generator().requests) seq.push_back(AttributeValues(r, "CDSerialNo", "SEQNO").at(0));
  EXPECT_EQ(seq, (std::vector<std::string>{"01", "02", "03"}));
}

TEST_P(JBOrderEntity, TheSearchEndsAfter101Tests) {
  NewOrder("TAKEN")->save();
  generator().answer = [](int) { return "TAKEN"; };
  auto e = NewOrder("");
  const Error err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "save Sub"
            "GenerateJBNo Function"
            "GenerateJBNo error.");
  EXPECT_EQ(CountRows("JB_ORDER"), 1);
  // 101 tests, each taken candidate followed by a new request: 102 requests in all.
  ASSERT_EQ(generator().requests.size(), 102u);
  std::vector<std::string> seq;
  for (const auto& r : generator().requests) seq.push_back(AttributeValues(r, "CDSerialNo", "SEQNO").at(0));
  EXPECT_EQ(seq[0], "01");
  EXPECT_EQ(seq[8], "09");
  EXPECT_EQ(seq[9], "10");
  EXPECT_EQ(seq[98], "99");
  EXPECT_EQ(seq[99], "00");
  EXPECT_EQ(seq[100], "01");
  EXPECT_EQ(seq[101], "02");
  // One free answer within the limit is taken.
  generator().requests.clear();
  generator().answer = [](int n) { return n == 101 ? "LAST" : "TAKEN"; };
  e->save();
  EXPECT_EQ(e->JBNo(), "LAST");
}

TEST_P(JBOrderEntity, AnEmptyAnswerIsNoNumber) {
  generator().answer = [](int) { return ""; };
  auto e = NewOrder("");
  const Error err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.description(),
            "save Sub"
            "GenerateJBNo Function"
            "GenerateJBNo error.");
  EXPECT_EQ(CountRows("JB_ORDER"), 0);
  EXPECT_EQ(generator().requests.size(), 1u);
}

TEST_P(JBOrderEntity, GenerationFailuresKeepTheirNumberOnTheObjectErrorBase) {
  // A plain error number is put on the base, and save reports it in the usual way.
  generator().answer = [](int) -> std::string { Fail(5, "no counter"); };
  auto e = NewOrder("");
  Error err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "save Sub"
            "GenerateJBNo Function"
            "no counter");
  // An error that already holds the base overflows: save receives the overflow.
  generator().answer = [](int) -> std::string {
    RaiseError(9999,
               "Counter Function"
               "locked");
  };
  err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.number(), kComponentError);
  EXPECT_EQ(err.description(),
            "save Sub"
            "Overflow");
  // A generator that cannot be created fails the same way as a plain error.
  Expose<ScriptedGenerator>(partners::kSerialNoGenerator, []() -> ObjectPtr {
    ThrowRuntimeError(RuntimeErrorCode::CantCreateObject);
  }).Register(Origin::Replace);
  err = CaptureError([&] { e->save(); });
  EXPECT_EQ(err.description().substr(0, 29),
            "save Sub"
            "GenerateJBNo Function");
  EXPECT_EQ(CountRows("JB_ORDER"), 0);
  EXPECT_EQ(e->status(), esNew);
}

TEST_P(JBOrderEntity, TheDefaultGeneratorNumbersByCompanyOfficeAndMonth) {
  partners::RegisterDefaults(Origin::Replace);
  S_DBHelpForKX().RunSQL("Delete KX_SERIAL_COUNTER Where COUNTER_KEY like 'JOBORDER/%'");
  auto a = NewOrder("");
  a->save();
  auto b = NewOrder("");
  b->save();
  EXPECT_EQ(a->JBNo(), "COHKG2612000001");
  EXPECT_EQ(b->JBNo(), "COHKG2612000002");
}

TEST_P(JBOrderEntity, ACleanOrderIsNotWritten) {
  NewOrder("JB001")->save();
  E_JBOrder e;
  e.load("1");
  EXPECT_EQ(e.status(), esLoaded);
  e.Set(E::kVendorName, "");  // the value it holds
  EXPECT_EQ(e.status(), esLoaded);
  e.save();
  EXPECT_EQ(e.OrderStorage()->strSQL(), "select * from JB_ORDER where JB_NO_ID = '1'");
  e.setCompanyCode("X");  // a value held but not stored marks the order modified like any other
  EXPECT_EQ(e.status(), esModified);
}

TEST_P(JBOrderEntity, SettersWhileLoadingAndOnANewOrder) {
  E_JBOrder e;
  e.setStatus(esLoading);
  e.setJBState(3);
  EXPECT_EQ(e.status(), esLoading);
  e.add();
  e.setJBState(1);
  EXPECT_EQ(e.status(), esNew);
  const Error err = CaptureError([&] { e.load("5"); });
  EXPECT_EQ(err.description(),
            "load Sub"
            "LoadByPK Sub"
            "Can not use code '5'");
  EXPECT_EQ(e.status(), esLoading);
  EXPECT_EQ(e.JBState(), 1);
  EXPECT_EQ(CaptureError([&] { e.Set(E::kQuantity, "many"); }).description(),
            "Quantity Property"
            "Type mismatch");
}

TEST_P(JBOrderEntity, TheFirstReadOfANewOrdersCollectionsNeedsNoDatabase) {
  E_JBOrder e;
  e.add();
  // A database that cannot be reached: any read fails.
  home_->WriteConfig("[DATABASE]\nPROVIDER=SQLOLEDB\n");
  EXPECT_EQ(e.ColJBDiary()->Count(), 0);
  EXPECT_EQ(e.ColJBContainerDetail()->Count(), 0);
  EXPECT_EQ(e.ColJBDoorAppointment()->Count(), 0);
  EXPECT_EQ(CaptureError([&] { e.ColJBDiary(); }).description().substr(0, 31),
            "ColJBDiary Property"
            "loadElements");
}

TEST_P(JBOrderEntity, EveryLaterReadIsFreshlyLoaded) {
  NewOrder("JB001")->save();
  S_DBHelpForKX().RunSQL("Insert Into JB_DIARY (JB_NO_ID, JB_DIARY_TEXT) Values ('1', 'one')");
  E_JBOrder e;
  e.load("1");
  auto first = e.ColJBDiary();
  EXPECT_EQ(first->Count(), 1);
  S_DBHelpForKX().RunSQL("Insert Into JB_DIARY (JB_NO_ID, JB_DIARY_TEXT) Values ('1', 'two')");
  auto second = e.ColJBDiary();
  EXPECT_NE(first, second);
  EXPECT_EQ(first->Count(), 1);
  EXPECT_EQ(second->Count(), 2);
  S_DBHelpForKX().RunSQL("Insert Into JB_CONTAINER_DETAIL (JB_NO_ID, CONTAINER_NO) Values ('1', 'C1')");
  EXPECT_EQ(e.ColJBContainerDetail()->Count(), 1);
}

TEST_P(JBOrderEntity, LateBoundMembers) {
  const ObjectPtr e = Registry::Instance().Create("E_JBOrder");
  auto call = [&](const std::string& member, Args args = {}) {
    return Registry::Instance().Invoke(*e, member, args);
  };
  call("add");
  call("JBNo", {Variant("LB1")});
  call("CompanyCode", {Variant("CO")});
  call("save");
  EXPECT_EQ(CLng(call("Id")), 1);
  EXPECT_EQ(CStr(call("CompanyCode")), "CO");
  EXPECT_EQ(CLng(call("status")), esSaved);
  Args none;
  EXPECT_EQ(CLng(Registry::Instance().Invoke(*CObj(call("ColJBContainerDetail")), "Count", none)), 0);
}

KX_ENGINE_SUITE(JBOrderEntity);

}  // namespace
}  // namespace kx::test
