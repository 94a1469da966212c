// A call that fails at any of its statements, or at its commit, leaves every table as it was.
#include <string>

#include "fault_injection.h"
#include "test_support.h"
#include "type_profile_rows.h"

namespace kx::test {
namespace {

std::string Profile(const std::string& code, const std::string& name, const std::string& category) {
  return "<JBTypeProfile Code=\"" + code + "\" JBTypeName=\"" + name + "\" JBTypeCategory=\"" + category +
         "\"/>";
}

class AllOrNothing : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!home_) return;
    InsertRow("KEEP", "kept", "TR");
    InsertRow("MOD", "before", "TR");
    InsertRow("DEL", "doomed", "RL");
  }
};

TEST_P(AllOrNothing, TypeProfileAdd) {
  ExpectAllOrNothing(*home_, "C_JBTypeProfile", "add", {Variant(Profile("NEW", "O'Neil's rail", "RL"))});
}

TEST_P(AllOrNothing, TypeProfileModify) {
  ExpectAllOrNothing(*home_, "C_JBTypeProfile", "modify", {Variant(Profile("MOD", "after", "RL"))});
}

TEST_P(AllOrNothing, TypeProfileRemove) {
  ExpectAllOrNothing(*home_, "C_JBTypeProfile", "remove", {Variant("DEL")});
}

KX_ENGINE_SUITE(AllOrNothing);

}  // namespace
}  // namespace kx::test
