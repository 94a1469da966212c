#include "kx/registry.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "runtime/expose.h"

namespace kx {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = LowerLetter(c);
  return s;
}

}  // namespace

const MemberInfo* ClassInfo::Find(const std::string& member, size_t argCount) const {
  const MemberInfo* fallback = nullptr;
  for (const auto& m : members) {
    if (!SameName(m.name, member)) continue;
    const bool assignment = m.kind == MemberKind::PropertyLet;
    if (assignment && argCount == m.params.size() + 1) return &m;
    if (!assignment && argCount <= m.params.size()) return &m;
    if (!fallback) fallback = &m;
  }
  return fallback;
}

Registry& Registry::Instance() {
  // Never destroyed: the classes stay usable until the very end of the process, and its exit does
  // not spend time taking them apart.
  static Registry* const registry = new Registry;
  return *registry;
}

void Registry::Add(ClassInfo info, Origin origin) { Place(Entry{std::move(info), origin}); }

void Registry::Declare(std::string name, ClassBuilder build, Origin origin) {
  ClassInfo info;
  info.name = std::move(name);
  Place(Entry{std::move(info), origin, build});
}

void Registry::Place(Entry entry) {
  const std::string key = Lower(entry.info.name);
  std::unique_lock lock(mutex_);
  const auto it = classes_.find(key);
  const Origin origin = entry.origin;
  if (it == classes_.end() || origin == Origin::Replace ||
      (origin == Origin::Deployment && it->second.origin == Origin::Default)) {
    classes_[key] = std::move(entry);
    return;
  }
  // A class of KX's own never replaces a deployment's class registered before it.
  if (origin == Origin::Default && it->second.origin != Origin::Default) return;
  throw std::logic_error("The class " + entry.info.name + " is already registered");
}

const ClassInfo& Registry::Class(const std::string& name) const {
  const std::string key = Lower(name);
  const auto unknown = [&] {
    return Error(static_cast<int32_t>(RuntimeErrorCode::CantCreateObject), "KX",
                 std::string(RuntimeErrorText(RuntimeErrorCode::CantCreateObject)) + " (" + name + ")");
  };
  {
    std::shared_lock lock(mutex_);
    const auto it = classes_.find(key);
    if (it == classes_.end()) throw unknown();
    if (!it->second.build) return it->second.info;
  }
  // First use of a declared class: its registration is made once, under the writer's lock.
  std::unique_lock lock(mutex_);
  const auto it = classes_.find(key);
  if (it == classes_.end()) throw unknown();
  Entry& entry = it->second;
  if (entry.build) {
    ClassInfo built = entry.build();
    if (!SameName(built.name, entry.info.name))
      throw std::logic_error("The class " + entry.info.name + " was declared, but registered as " + built.name);
    entry.info = std::move(built);
    entry.build = nullptr;
  }
  return entry.info;
}

ObjectPtr Registry::Create(const std::string& name) const { return Class(name).create(); }

std::vector<std::string> Registry::ClassNames() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> names;
  for (const auto& [key, entry] : classes_) names.push_back(entry.info.name);
  return names;
}

const ClassInfo& Registry::ClassOf(const Object& object) const {
  // The last class this thread invoked on: calls on one object follow each other. An entry is never
  // taken out of the map, and a class placed again replaces its entry where it stands, so what the
  // thread remembers is the class as registered now.
  struct Last {
    const Registry* registry = nullptr;
    std::string name;
    const ClassInfo* info = nullptr;
  };
  thread_local Last last;
  const std::string_view name = object.ClassName();
  if (last.registry == this && last.name == name) return *last.info;
  const ClassInfo& info = Class(std::string(name));
  last = Last{this, std::string(name), &info};
  return info;
}

Variant Registry::Invoke(Object& object, const std::string& member, Args& args) const {
  const ClassInfo& info = ClassOf(object);
  const MemberInfo* m = info.Find(member, args.size());
  if (!m)
    throw Error(static_cast<int32_t>(RuntimeErrorCode::MemberNotSupported), "KX",
                std::string(RuntimeErrorText(RuntimeErrorCode::MemberNotSupported)) + " (" + info.name + "." +
                    member + ")");
  const size_t declared = m->params.size() + (m->kind == MemberKind::PropertyLet ? 1 : 0);
  if (args.size() > declared) ThrowRuntimeError(RuntimeErrorCode::WrongNumberOfArguments);
  if (m->kind != MemberKind::PropertyLet) {
    for (size_t i = args.size(); i < m->params.size(); ++i) {
      if (!m->params[i].optional) ThrowRuntimeError(RuntimeErrorCode::ArgumentNotOptional);
      args.push_back(m->params[i].defaultValue);
    }
  } else if (args.size() != declared) {
    ThrowRuntimeError(RuntimeErrorCode::ArgumentNotOptional);
  }
  return m->invoke(object, args);
}

}  // namespace kx
