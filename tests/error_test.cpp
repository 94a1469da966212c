// The component error and the chain that every failing member builds on its way out.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/context.h"
#include "kx/error.h"
#include "test_support.h"
#include "runtime/votes.h"

namespace kx::test {
namespace {

TEST(ComponentError, RaiseErrorAddsTheObjectErrorBase) {
  const Error e = CaptureError([] { RaiseError(9999, "save SubCan not use code 'X'"); });
  EXPECT_EQ(e.number(), -2147211505);
  EXPECT_EQ(e.source(), "save SubCan not use code 'X'");
  EXPECT_EQ(e.description(), "save SubCan not use code 'X'");
  EXPECT_EQ(static_cast<uint32_t>(CaptureError([] { RaiseError(1, "t"); }).number()), 0x80040001u);
}

TEST(ComponentError, NumberThatAlreadyHoldsTheBaseOverflows) {
  for (int32_t number : {kComponentError, kObjectErrorBase, INT32_MIN}) {
    const Error e = CaptureError([&] { RaiseError(number, "text"); });
    EXPECT_EQ(e.number(), 6) << number;
    EXPECT_EQ(e.description(), "Overflow");
  }
}

TEST(ComponentError, RuntimeErrorsKeepTheirUsualTexts) {
  const std::vector<std::pair<int32_t, std::string>> cases = {
      {13, "Type mismatch"}, {6, "Overflow"}, {91, "Object variable or With block variable not set"},
      {9, "Subscript out of range"}, {5, "Invalid procedure call or argument"}, {94, "Invalid use of Null"}};
  for (const auto& [number, text] : cases) {
    const Error e = CaptureError([n = number] { ThrowRuntimeError(static_cast<RuntimeErrorCode>(n)); });
    EXPECT_EQ(e.number(), number);
    EXPECT_EQ(e.description(), text);
  }
}

// Three members calling each other, the innermost failing with `fail`.
void ThreeDeep(const std::function<void()>& fail) {
  Guard("getElementByXML Function", [&] {
    Guard("load Sub", [&] { Guard("LoadByPK Sub", [&] { fail(); }); });
  });
}

TEST(ErrorChain, FailureThreeCallsDeepListsTheProceduresOutermostFirst) {
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[] { RaiseError(9999, "Can not use code 'K1'"); }, "Can not use code 'K1'"},
      {[] { ThrowRuntimeError(RuntimeErrorCode::TypeMismatch); }, "Type mismatch"},
      {[] { throw std::runtime_error("no such table: JB_ORDER"); }, "no such table: JB_ORDER"},
      {[] { throw std::out_of_range("vector::at"); }, "vector::at"},
  };
  for (const auto& [fail, first] : cases) {
    const Error e = CaptureError([&, &fail = fail] { ThreeDeep(fail); });
    EXPECT_EQ(e.number(), kComponentError);
    EXPECT_EQ(e.description(), "getElementByXML Functionload SubLoadByPK Sub" + first);
    EXPECT_EQ(e.source(), e.description());
  }
}

TEST(ControllerVotes, FailureVotesAbortAndSuccessVotesComplete) {
  {
    TransactionScope scope;
    EXPECT_EQ(ControllerGuard("add Function", [] { return 5; }), 5);
    EXPECT_FALSE(scope.aborted());
    EXPECT_TRUE(scope.Complete());
  }
  TransactionScope scope;
  const Error e = CaptureError(
      [] { ControllerGuard("add Function", [] { Guard("save Sub", [] { RaiseError(9999, "duplicate"); }); }); });
  EXPECT_EQ(e.description(), "add Functionsave Subduplicate");
  EXPECT_EQ(e.number(), kComponentError);
  EXPECT_TRUE(scope.aborted());
  EXPECT_FALSE(scope.Complete());
}

}  // namespace
}  // namespace kx::test
