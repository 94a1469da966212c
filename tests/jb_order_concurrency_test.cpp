// Job orders added by several clients at once: every order gets a number of its own and nothing
// is lost; a number given twice at once is stored once.
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jb_order_rows.h"
#include "joborder/jb_order.h"
#include "runtime/context.h"
#include "test_support.h"

namespace kx::test {
namespace {

constexpr int kClients = 8;

class JBOrderConcurrency : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    S_DBHelpForKX().RunSQL("Delete KX_SERIAL_COUNTER Where COUNTER_KEY like '%'");
  }
  // Runs `work(client)` on kClients threads at once; the errors they met, one text each.
  std::vector<std::string> RunClients(const std::function<void(int)>& work) {
    std::vector<std::string> errors(kClients);
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
      threads.emplace_back([&, c] {
        try {
          work(c);
        } catch (const std::exception& e) {
          errors[c] = e.what();
        }
      });
    for (auto& t : threads) t.join();
    return errors;
  }
};

TEST_P(JBOrderConcurrency, EveryOrderGetsANumberOfItsOwn) {
  constexpr int kEach = 6;
  std::vector<std::vector<std::string>> keys(kClients);
  const auto errors = RunClients([&](int c) {
    C_JBOrder orders;
    for (int i = 0; i < kEach; ++i) {
      TransactionScope scope;
      const std::string id =
          orders.add(OrderXml({{"JBNo", ""}}, Lines({LineXml(std::to_string(c * 100 + i))})), "CO", "HKG");
      if (scope.Complete()) keys[c].push_back(id);
    }
  });
  for (const auto& e : errors) EXPECT_EQ(e, "");
  std::set<std::string> ids;
  for (const auto& k : keys) ids.insert(k.begin(), k.end());
  EXPECT_EQ(ids.size(), static_cast<size_t>(kClients * kEach));
  EXPECT_EQ(CountRows("JB_ORDER"), kClients * kEach);
  EXPECT_EQ(
      CLng(S_DBHelpForKX().RunSQLReturnRS("select Count(distinct JB_NO) as N from JB_ORDER")->Field("N")),
      kClients * kEach);
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL"), kClients * kEach);
  EXPECT_EQ(CountRows("JB_DIARY"), kClients * kEach);
}

TEST_P(JBOrderConcurrency, ANumberGivenByTwoClientsAtOnceIsStoredOnce) {
  const auto errors = RunClients([&](int c) {
    C_JBOrder orders;
    TransactionScope scope;
    orders.add(OrderXml({{"JBNo", "SAME"}}, Lines({LineXml(std::to_string(c))})), "CO", "HKG");
    scope.Complete();
  });
  int failed = 0;
  for (const auto& e : errors) failed += e.empty() ? 0 : 1;
  EXPECT_EQ(failed, kClients - 1);
  EXPECT_EQ(CountRows("JB_ORDER"), 1);
  // The refused clients left none of their lines or diary entries behind.
  EXPECT_EQ(CountRows("JB_CONTAINER_DETAIL"), 1);
  EXPECT_EQ(CountRows("JB_DIARY"), 1);
}

KX_ENGINE_SUITE(JBOrderConcurrency);

}  // namespace
}  // namespace kx::test
