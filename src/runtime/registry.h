// The class registry: every public class registered under its name, created by name, its members
// invoked by name with Variant arguments (by-reference arguments come back changed).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/object.h"
#include "runtime/variant.h"

namespace kx {

struct ParamInfo {
  std::string name;
  bool byRef = false;
  bool optional = false;
  Variant defaultValue;
};

// A required by-value parameter.
inline ParamInfo Param(std::string name) { return ParamInfo{std::move(name), false, false, Variant()}; }
// A by-reference parameter (its final value comes back to the caller).
inline ParamInfo RefParam(std::string name, bool optional = false) {
  return ParamInfo{std::move(name), true, optional, Variant()};
}
// An optional parameter with its default.
inline ParamInfo OptionalParam(std::string name, Variant defaultValue = {}) {
  return ParamInfo{std::move(name), false, true, std::move(defaultValue)};
}

enum class MemberKind { Method, PropertyGet, PropertyLet };

using Args = std::vector<Variant>;

struct MemberInfo {
  std::string name;
  MemberKind kind = MemberKind::Method;
  std::vector<ParamInfo> params;
  // Runs the member; `args` holds one value per declared parameter (defaults filled in), and for a
  // property assignment the new value last.
  std::function<Variant(Object&, Args&)> invoke;
};

struct ClassInfo {
  std::string name;
  std::function<ObjectPtr()> create;
  std::vector<MemberInfo> members;

  // The member called `name` (case-insensitive) that fits `argCount` arguments, or nullptr.
  const MemberInfo* Find(const std::string& member, size_t argCount) const;
};

class Registry {
 public:
  static Registry& Instance();

  void Add(ClassInfo info);
  // The class registered as `name` (case-insensitive); unknown names fail with error 429.
  const ClassInfo& Class(const std::string& name) const;
  ObjectPtr Create(const std::string& name) const;
  std::vector<std::string> ClassNames() const;

  // Invokes `member` of `object` late-bound. Omitted trailing optional arguments take their
  // defaults; `args` is extended to the full parameter list and returns by-reference values.
  Variant Invoke(Object& object, const std::string& member, Args& args) const;

 private:
  std::map<std::string, ClassInfo> classes_;  // keyed by lower-case name
};

// Fluent registration of one class T.
template <class T>
class ClassBuilder {
 public:
  explicit ClassBuilder(std::string name)
      : ClassBuilder(std::move(name), [] { return std::static_pointer_cast<Object>(std::make_shared<T>()); }) {}
  // For a family of classes sharing T's members: `create` makes the registered class.
  ClassBuilder(std::string name, std::function<ObjectPtr()> create) {
    info_.name = std::move(name);
    info_.create = std::move(create);
  }
  ~ClassBuilder() { Registry::Instance().Add(std::move(info_)); }

  ClassBuilder& Method(std::string name, std::vector<ParamInfo> params,
                       std::function<Variant(T&, Args&)> fn) {
    return Add(std::move(name), MemberKind::Method, std::move(params), std::move(fn));
  }
  ClassBuilder& Get(std::string name, std::function<Variant(T&)> fn) {
    return Add(std::move(name), MemberKind::PropertyGet, {},
               [fn = std::move(fn)](T& o, Args&) { return fn(o); });
  }
  ClassBuilder& Let(std::string name, std::function<void(T&, const Variant&)> fn) {
    return Add(std::move(name), MemberKind::PropertyLet, {}, [fn = std::move(fn)](T& o, Args& a) {
      fn(o, a.back());
      return Variant();
    });
  }
  ClassBuilder& Property(std::string name, std::function<Variant(T&)> get,
                         std::function<void(T&, const Variant&)> let) {
    Get(name, std::move(get));
    return Let(std::move(name), std::move(let));
  }

 private:
  ClassBuilder& Add(std::string name, MemberKind kind, std::vector<ParamInfo> params,
                    std::function<Variant(T&, Args&)> fn) {
    info_.members.push_back(MemberInfo{
        std::move(name), kind, std::move(params),
        [fn = std::move(fn)](Object& o, Args& a) { return fn(static_cast<T&>(o), a); }});
    return *this;
  }
  ClassInfo info_;
};

// Registers the classes of every subsystem once (idempotent).
void RegisterAllClasses();

}  // namespace kx
