// The class registry: creation by name, late-bound calls with conversions taken from the member's
// signature, by-reference arguments, defaults, and which registration wins a name.
#include "kx/registry.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/expose.h"
#include "test_support.h"

namespace kx::test {
namespace {

class Probe : public Object {
 public:
  std::string_view ClassName() const override { return name; }
  std::string Join(const std::string& a, int16_t b, bool c) {
    return a + "/" + std::to_string(b) + "/" + (c ? "T" : "F");
  }
  void Bump(Variant& counter, std::string& text, int32_t by) {
    counter = Variant(CLng(counter) + by);
    text += "!";
  }
  double Half(double x) const { return x / 2; }
  int32_t value() const { return value_; }
  void setValue(int32_t v) { value_ = v; }
  std::shared_ptr<Probe> Self() { return std::static_pointer_cast<Probe>(shared_from_this()); }
  std::string name = "KXProbe";

 private:
  int32_t value_ = 0;
};

Expose<Probe> ProbeClass(const std::string& name) {
  Expose<Probe> x(name, [name] {
    auto p = std::make_shared<Probe>();
    p->name = name;
    return std::static_pointer_cast<Object>(p);
  });
  x.Method("Join", &Probe::Join, {"a", Optional("b", int16_t{7}), Optional("c", false)})
      .Method("Bump", &Probe::Bump, {"counter", "text", "by"})
      .Method("Half", &Probe::Half, {"x"})
      .Property("Value", &Probe::value, &Probe::setValue)
      .Get("Self", &Probe::Self);
  return x;
}

const AtLoad registered([] { ProbeClass("KXProbe").Register(); });

Variant Call(Object& o, const std::string& member, Args args) {
  return Registry::Instance().Invoke(o, member, args);
}

TEST(Registry, ConversionsComeFromTheSignature) {
  auto probe = Registry::Instance().Create("kxprobe");  // names without regard to case
  EXPECT_EQ(Call(*probe, "join", {Variant("x"), Variant("12"), Variant(int32_t{1})}), Variant("x/12/T"));
  EXPECT_EQ(Call(*probe, "Join", {Variant("x")}),
            Variant("x/7/F"));  // defaults of omitted trailing arguments
  EXPECT_EQ(Call(*probe, "Half", {Variant("3")}), Variant(1.5));
  EXPECT_EQ(CaptureError([&] { Call(*probe, "Join", {Variant("x"), Variant("many")}); }).number(), 13);
  EXPECT_EQ(CaptureError([&] { Call(*probe, "Join", {Variant("x"), Variant(40000)}); }).number(), 6);
  Call(*probe, "Value", {Variant(int16_t{42})});
  EXPECT_EQ(Call(*probe, "Value", {}), Variant(42));
  const Variant self = Call(*probe, "Self", {});
  EXPECT_EQ(CObj(self), probe);
}

TEST(Registry, ByReferenceArgumentsComeBack) {
  auto probe = Registry::Instance().Create("KXProbe");
  Args args = {Variant(int16_t{1}), Variant("a"), Variant("2")};
  Registry::Instance().Invoke(*probe, "Bump", args);
  EXPECT_EQ(args[0], Variant(3));
  EXPECT_EQ(args[1], Variant("a!"));
  EXPECT_EQ(args[2], Variant("2"));  // by value: unchanged
  const ClassInfo& info = Registry::Instance().Class("KXProbe");
  const MemberInfo* bump = info.Find("Bump", 3);
  ASSERT_NE(bump, nullptr);
  EXPECT_TRUE(bump->params[0].byRef);
  EXPECT_TRUE(bump->params[1].byRef);
  EXPECT_FALSE(bump->params[2].byRef);
}

TEST(Registry, CallsThatDoNotFitAreRefused) {
  auto probe = Registry::Instance().Create("KXProbe");
  struct Case {
    std::string member;
    size_t args;
    int32_t number;
  };
  for (const Case& c : std::vector<Case>{
           {"Nothing", 0, 438}, {"Join", 0, 449}, {"Join", 4, 450}, {"Bump", 2, 449}, {"Half", 2, 450}}) {
    SCOPED_TRACE(c.member + " with " + std::to_string(c.args));
    EXPECT_EQ(CaptureError([&] { Call(*probe, c.member, Args(c.args, Variant("1"))); }).number(), c.number);
  }
  EXPECT_EQ(CaptureError([] { Registry::Instance().Create("NoSuchClass"); }).number(), 429);
}

TEST(Registry, ParameterNamesMustFitTheSignature) {
  EXPECT_THROW(Expose<Probe>("KXProbeBad").Method("Join", &Probe::Join, {"a", "b"}), std::logic_error);
  EXPECT_THROW(Expose<Probe>("KXProbeBad").Method("Half", &Probe::Half), std::logic_error);
}

TEST(Registry, ADeploymentClassWinsItsName) {
  auto& registry = Registry::Instance();
  ProbeClass("KXProbeDefault").Register(Origin::Default);
  // A second default of the same name is a mistake.
  EXPECT_THROW(ProbeClass("KXProbeDefault").Register(Origin::Default), std::logic_error);
  // The deployment's class replaces the default...
  Expose<Probe> deployment("KXProbeDefault", [] {
    auto p = std::make_shared<Probe>();
    p->name = "KXProbeDefault";
    p->setValue(99);
    return std::static_pointer_cast<Object>(p);
  });
  deployment.Property("Value", &Probe::value, &Probe::setValue).Register(Origin::Deployment);
  auto created = registry.Create("KXProbeDefault");
  EXPECT_EQ(Call(*created, "Value", {}), Variant(99));
  // ...and a default registered after it does not take the name back.
  ProbeClass("KXProbeDefault").Register(Origin::Default);
  EXPECT_EQ(Call(*registry.Create("KXProbeDefault"), "Value", {}), Variant(99));
  // A second deployment class of the name is refused, an explicit replacement is not.
  EXPECT_THROW(ProbeClass("KXProbeDefault").Register(Origin::Deployment), std::logic_error);
  ProbeClass("KXProbeDefault").Register(Origin::Replace);
  EXPECT_EQ(Call(*registry.Create("KXProbeDefault"), "Value", {}), Variant(0));
}

// A call finds the members of its object's class as registered when the call is made, also when
// the class was replaced after the object's last call.
TEST(Registry, ACallUsesTheClassAsItIsRegisteredThen) {
  ProbeClass("KXProbeSwap").Register(Origin::Replace);
  auto object = Registry::Instance().Create("KXProbeSwap");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(Call(*object, "Half", {Variant(4.0)}), Variant(2.0));
    Expose<Probe> narrower("KXProbeSwap", [] { return std::static_pointer_cast<Object>(std::make_shared<Probe>()); });
    narrower.Property("Value", &Probe::value, &Probe::setValue).Register(Origin::Replace);
    EXPECT_EQ(CaptureError([&] { Call(*object, "Half", {Variant(4.0)}); }).number(), 438);
    EXPECT_EQ(Call(*object, "Value", {}), Variant(0));
    ProbeClass("KXProbeSwap").Register(Origin::Replace);
  }
}

// How often the registration of the declared probe classes was made.
std::atomic<int> probeBuilds{0};

ClassInfo LazyProbeClass() {
  ++probeBuilds;
  return ProbeClass("KXProbeLazy").Build();
}

ClassInfo DeclaredProbeClass() {
  ++probeBuilds;
  return ProbeClass("KXProbeDeclared").Build();
}

TEST(Registry, ADeclaredClassIsBuiltOnceOnFirstUse) {
  auto& registry = Registry::Instance();
  probeBuilds = 0;
  registry.Declare("KXProbeLazy", LazyProbeClass);
  // Known by name before it is built.
  const auto names = registry.ClassNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "KXProbeLazy"), names.end());
  EXPECT_EQ(probeBuilds, 0);
  // Many threads using it first at once: one registration, and every one of them gets it.
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      auto probe = registry.Create("kxprobelazy");
      if (Call(*probe, "Half", {Variant(int32_t{8})}) == Variant(4.0)) ++answered;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered, 8);
  EXPECT_EQ(probeBuilds, 1);
  EXPECT_NE(registry.Class("KXProbeLazy").Find("Join", 1), nullptr);
  EXPECT_EQ(probeBuilds, 1);
  // A declaration over a built default of the same name is a mistake, as a second Add is.
  EXPECT_THROW(registry.Declare("KXProbeLazy", LazyProbeClass), std::logic_error);
}

TEST(Registry, DeclaredClassesFollowTheRulesOfTheName) {
  auto& registry = Registry::Instance();
  probeBuilds = 0;
  // A deployment's class replaces a declared default that was never built...
  registry.Declare("KXProbeDeclared", DeclaredProbeClass);
  Expose<Probe> deployment("KXProbeDeclared", [] {
    auto p = std::make_shared<Probe>();
    p->setValue(7);
    return std::static_pointer_cast<Object>(p);
  });
  deployment.Property("Value", &Probe::value, &Probe::setValue).Register(Origin::Deployment);
  EXPECT_EQ(Call(*registry.Create("KXProbeDeclared"), "Value", {}), Variant(7));
  // ...a default declared after it does not take the name back...
  registry.Declare("KXProbeDeclared", DeclaredProbeClass, Origin::Default);
  EXPECT_EQ(Call(*registry.Create("KXProbeDeclared"), "Value", {}), Variant(7));
  EXPECT_EQ(probeBuilds, 0);
  // ...and a declared replacement does, built when it is next used.
  registry.Declare("KXProbeDeclared", DeclaredProbeClass, Origin::Replace);
  EXPECT_EQ(Call(*registry.Create("KXProbeDeclared"), "Value", {}), Variant(0));
  EXPECT_EQ(probeBuilds, 1);
  // A registration that cannot be made fails the use, and the next use tries again.
  registry.Declare("KXProbeBroken", []() -> ClassInfo { throw std::logic_error("no registration"); });
  EXPECT_THROW(registry.Create("KXProbeBroken"), std::logic_error);
  EXPECT_THROW(registry.Create("KXProbeBroken"), std::logic_error);
  // So does a registration made under another name than the one declared.
  registry.Declare("KXProbeMisnamed", DeclaredProbeClass);
  EXPECT_THROW(registry.Create("KXProbeMisnamed"), std::logic_error);
}

TEST(Registry, EveryClassOfTheComponentIsRegistered) {
  const auto names = Registry::Instance().ClassNames();
  for (const char* name : {"S_DBHelpForKX", "Recordset", "Command", "Collection", "E_JBTypeProfile",
                           "S_JBTypeProfile", "C_JBTypeProfile"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
}

}  // namespace
}  // namespace kx::test
