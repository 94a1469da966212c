// The class registry: every public class registered under its name, created by name, its members
// invoked by name with Variant arguments (by-reference arguments come back changed).
#pragma once

#include <functional>
#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kx/error.h"
#include "kx/object.h"
#include "kx/variant.h"

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

// Which registration wins when a name is registered twice.
enum class Origin {
  Default,     // a class of KX itself; a deployment's class of the same name replaces it
  Deployment,  // a class of the installation; refused when the name is already a deployment's
  Replace,     // replaces whatever is registered under the name
};

// Makes the registration of one class.
using ClassBuilder = ClassInfo (*)();

class Registry {
 public:
  // The one registry of the process. It lives until the process ends and is never torn down.
  static Registry& Instance();

  // Registers a class. A second registration of a name is refused (std::logic_error) unless it is
  // a replacement, or a deployment's class over one of KX's own, which wins whichever comes first.
  void Add(ClassInfo info, Origin origin);
  // Registers class `name` under the same rules as Add(), with the registration that `build` makes
  // when the class is first looked up: a process pays only for the classes it uses. `build` must
  // not use the registry; a registration it makes under another name fails that lookup.
  void Declare(std::string name, ClassBuilder build, Origin origin = Origin::Default);
  // The class registered as `name` (case-insensitive); unknown names fail with error 429.
  const ClassInfo& Class(const std::string& name) const;
  ObjectPtr Create(const std::string& name) const;
  std::vector<std::string> ClassNames() const;

  // Invokes `member` of `object` late-bound. Omitted trailing optional arguments take their
  // defaults; `args` is extended to the full parameter list and returns by-reference values.
  Variant Invoke(Object& object, const std::string& member, Args& args) const;

 private:
  struct Entry {
    ClassInfo info;  // holds only the name while `build` is set
    Origin origin;
    ClassBuilder build = nullptr;  // set until the class is first looked up
  };
  // Puts `entry` under its name if the rules of Add() let it win the name.
  void Place(Entry entry);
  // The class of `object`, as Class gives it for the object's class name.
  const ClassInfo& ClassOf(const Object& object) const;

  mutable std::shared_mutex mutex_;
  // Keyed by lower-case name. A lookup completes a declared entry, hence mutable.
  mutable std::map<std::string, Entry> classes_;
};

}  // namespace kx
