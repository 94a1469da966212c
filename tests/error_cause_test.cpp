// A database failure keeps its category and engine code through every guard up to the host, which
// answers "unavailable" for a lost connection from that alone, whatever the procedure texts say.
#include "fault_injection.h"
#include "service/call.h"
#include "service_support.h"
#include "type_profile_rows.h"
#include "runtime/votes.h"

namespace kx::test {
namespace {

class ErrorCause_ : public EngineTest {};

TEST_P(ErrorCause_, TheCauseOfADatabaseFailureReachesTheHost) {
  struct Case {
    const char* name;
    ErrorCategory category;
    service::Failure failure;
  };
  const Case cases[] = {
      {"connection lost", ErrorCategory::Connection, service::Failure::Unavailable},
      {"statement refused", ErrorCategory::Syntax, service::Failure::Component},
      {"constraint", ErrorCategory::Constraint, service::Failure::Component},
  };
  InsertRow("TRK", "Truck", "TR");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultPlan plan;
    plan.failStatement = 1;
    plan.category = c.category;
    plan.loseConnection = c.category == ErrorCategory::Connection;
    // Two calls, each on connections of its own: a read, and a write whose failure passes the
    // controller's, the entity's and the storage's guards.
    for (const auto& [member, argument] :
         {std::pair<std::string, std::string>{"getElementByXML", "TRK"}, {"add", ProfileXml("NEW")}}) {
      SCOPED_TRACE(member);
      FaultInjector faults(plan);
      const service::CallOutcome outcome = service::RunCall("C_JBTypeProfile", member, {Variant(argument)}, true);
      EXPECT_EQ(outcome.failure, c.failure);
      ASSERT_TRUE(outcome.error.has_value());
      EXPECT_EQ(outcome.error->number(), kComponentError);
      EXPECT_NE(outcome.error->description().find(kInjectedFailure), std::string::npos);
      ASSERT_TRUE(outcome.error->cause().has_value());
      EXPECT_EQ(outcome.error->cause()->category, c.category);
    }
  }
  EXPECT_EQ(RowCount(), 1);
}

TEST(ErrorCause, AComponentsOwnRefusalHasNoCause) {
  const Error e = CaptureError([] { ControllerGuard("add Function", [] { Guard("save Sub", [] { Fail("duplicate"); }); }); });
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_EQ(e.description(), "add Functionsave Subduplicate");
  EXPECT_FALSE(e.cause().has_value());
  // A cause given at the bottom is kept by every guard above it.
  const Error kept = CaptureError([] {
    Guard("outer Sub", [] { Guard("inner Sub", [] { throw Error(1, "db", "gone", ErrorCause{ErrorCategory::Connection, "08006"}); }); });
  });
  ASSERT_TRUE(kept.cause().has_value());
  EXPECT_EQ(kept.cause()->category, ErrorCategory::Connection);
  EXPECT_EQ(kept.cause()->engineCode, "08006");
  EXPECT_EQ(kept.description(), "outer Subinner Subgone");
}

KX_ENGINE_SUITE(ErrorCause_);

}  // namespace
}  // namespace kx::test
