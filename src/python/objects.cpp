#include "python/objects.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "kx/transaction.h"
#include "python/errors.h"
#include "python/text.h"
#include "python/values.h"
#include "service/call.h"

namespace kx::python {

namespace {

// The lock of a KX object, shared by all its Python objects while any of them lives.
std::shared_ptr<std::mutex> LockFor(const Object* object) {
  static std::mutex tableMutex;
  static auto* table = new std::unordered_map<const Object*, std::weak_ptr<std::mutex>>;
  static size_t sweepAt = 1024;
  std::lock_guard guard(tableMutex);
  std::weak_ptr<std::mutex>& slot = (*table)[object];
  std::shared_ptr<std::mutex> lock = slot.lock();
  if (!lock) slot = lock = std::make_shared<std::mutex>();
  if (table->size() >= sweepAt) {
    std::erase_if(*table, [](const auto& entry) { return entry.second.expired(); });
    sweepAt = std::max<size_t>(1024, table->size() * 2);
  }
  return lock;
}

// The class of `handle`, or nullptr when the registry does not know it (an object that a member
// answered without registering its class has no members).
const ClassInfo* ClassOf(const Handle& handle) {
  try {
    return &Registry::Instance().Class(handle.className);
  } catch (const Error&) {
    return nullptr;
  }
}

const MemberInfo* Assignment(const ClassInfo& info, const std::string& name) {
  for (const auto& m : info.members)
    if (m.kind == MemberKind::PropertyLet && SameName(m.name, name)) return &m;
  return nullptr;
}

[[noreturn]] void NoMember(const Handle& handle, const std::string& name) {
  throw py::attribute_error("'" + handle.className + "' object has no member '" + name + "'");
}

// Whether converting `v` fails with error `number` under the conversion that raises it.
bool Fails(const Variant& v, int32_t number) {
  const auto fails = [number](auto&& convert) {
    try {
      convert();
      return false;
    } catch (const Error& e) {
      return e.number() == number;
    }
  };
  switch (static_cast<RuntimeErrorCode>(number)) {
    case RuntimeErrorCode::InvalidUseOfNull:
      return v.IsNull();
    case RuntimeErrorCode::Overflow:
      return fails([&] { CInt(v); });
    case RuntimeErrorCode::TypeMismatch:
      return fails([&] { CDbl(v); }) && fails([&] { CDate(v); });
    default:
      return false;
  }
}

// The argument error `e` of a call of `what` with `args`, its message naming the arguments whose
// values the failed conversion refuses (the registry converts them before the member runs). An
// empty name is a default the caller left, which fits by definition.
[[noreturn]] void RaiseNotFitting(const Error& e, const std::string& what, const std::vector<std::string>& names,
                                  const Args& args) {
  std::vector<std::string> suspects;
  for (size_t i = 0; i < names.size() && i < args.size(); ++i)
    if (!names[i].empty() && Fails(args[i], e.number())) suspects.push_back("'" + names[i] + "'");
  std::string which = "the arguments do not fit";
  if (suspects.size() == 1) {
    which = "argument " + suspects[0] + " does not fit";
  } else if (suspects.size() > 1) {
    which = "one of the arguments ";
    for (size_t i = 0; i < suspects.size(); ++i) which += (i ? ", " : "") + suspects[i];
    which += " does not fit";
  }
  RaiseArgument(e, what + ": " + which + ": " + e.description());
}

// Runs `member` of the object with `args`, one value per parameter (and the new value last for an
// assignment), with the GIL released: in the calling thread's transaction when it has one, else in
// a scope of its own that commits when the call succeeds.
std::optional<Error> Run(const Handle& handle, const MemberInfo& member, Args& args, Variant& result) {
  py::gil_scoped_release released;
  std::lock_guard lock(*handle.lock);
  try {
    std::optional<TransactionScope> own;
    if (!TransactionScope::Current()) own.emplace();
    result = member.invoke(*handle.object, args);
    if (own) own->Complete();
    return std::nullopt;
  } catch (...) {
    return TrappedError();
  }
}

// The Python value of `args[i]` refused, as the error of the call `what`.
Variant Argument(py::handle value, const std::string& what, const std::string& name) {
  ValueRefused refused;
  Variant v = ToVariant(value, refused);
  if (!refused.message.empty())
    RaiseArgument(refused.typeError ? RuntimeErrorCode::TypeMismatch : RuntimeErrorCode::Overflow,
                  what + ": argument '" + name + "' " + refused.message);
  return v;
}

py::object GetAttribute(const std::shared_ptr<Handle>& handle, const std::string& name) {
  if (name.size() > 4 && name.starts_with("__") && name.ends_with("__")) NoMember(*handle, name);
  const ClassInfo* info = ClassOf(*handle);
  const MemberInfo* m = info ? service::MemberByName(*info, name) : nullptr;
  if (!m) NoMember(*handle, name);
  if (m->kind == MemberKind::Method || !m->params.empty()) return py::cast(BoundMember{handle, m->name});
  return CallMember(*handle, *m, py::args(), py::kwargs());
}

void SetAttribute(const Handle& handle, const std::string& name, py::handle value) {
  const ClassInfo* info = ClassOf(handle);
  const MemberInfo* m = info ? Assignment(*info, name) : nullptr;
  if (!m) {
    if (info && service::MemberByName(*info, name))
      throw py::attribute_error("'" + handle.className + "' member '" + name + "' cannot be assigned");
    NoMember(handle, name);
  }
  if (!m->params.empty())
    throw py::attribute_error("'" + handle.className + "' property '" + m->name +
                              "' takes parameters and cannot be assigned as an attribute");
  const std::string what = handle.className + "." + m->name;
  Args args{Argument(value, what, "value")};
  Variant result;
  if (auto failure = Run(handle, *m, args, result)) {
    if (service::IsArgumentError(failure->number())) RaiseNotFitting(*failure, what, {"value"}, args);
    Raise(*failure);
  }
}

}  // namespace

py::object WrapObject(ObjectPtr object) {
  auto handle = std::make_shared<Handle>();
  handle->className = std::string(object->ClassName());
  handle->lock = LockFor(object.get());
  handle->object = std::move(object);
  return py::cast(std::move(handle));
}

ObjectPtr ObjectOf(py::handle value) {
  if (!py::isinstance<Handle>(value)) return nullptr;
  return value.cast<const Handle&>().object;
}

py::object CallMember(const Handle& handle, const MemberInfo& member, const py::args& args,
                      const py::kwargs& kwargs) {
  const std::string what = handle.className + "." + member.name + "()";
  const auto& params = member.params;
  if (args.size() > params.size())
    RaiseArgument(RuntimeErrorCode::WrongNumberOfArguments,
                  what + " takes at most " + std::to_string(params.size()) + " argument" +
                      (params.size() == 1 ? "" : "s") + " (" + std::to_string(args.size()) + " given)");
  std::vector<std::optional<Variant>> placed(params.size());
  for (size_t i = 0; i < args.size(); ++i) placed[i] = Argument(args[i], what, params[i].name);
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key);
    size_t i = 0;
    while (i < params.size() && !SameName(params[i].name, name)) ++i;
    if (i == params.size())
      RaiseArgument(Error(448, "KX", "Named argument not found"),
                    what + " got an unexpected keyword argument '" + name + "'");
    if (placed[i])
      RaiseArgument(RuntimeErrorCode::WrongNumberOfArguments,
                    what + " got multiple values for argument '" + params[i].name + "'");
    placed[i] = Argument(value, what, params[i].name);
  }
  // Every parameter gets its value: an omitted optional or by-reference one takes its default.
  Args full;
  std::vector<std::string> names;
  bool byRef = false;
  for (size_t i = 0; i < params.size(); ++i) {
    if (!placed[i] && !params[i].optional && !params[i].byRef)
      RaiseArgument(RuntimeErrorCode::ArgumentNotOptional,
                    what + " missing required argument '" + params[i].name + "'");
    names.push_back(placed[i] ? params[i].name : std::string());
    full.push_back(placed[i] ? std::move(*placed[i]) : params[i].defaultValue);
    byRef = byRef || params[i].byRef;
  }
  Variant result;
  if (auto failure = Run(handle, member, full, result)) {
    if (service::IsArgumentError(failure->number())) RaiseNotFitting(*failure, what, names, full);
    Raise(*failure);
  }
  if (!byRef) return FromVariant(result);
  py::dict out;
  for (size_t i = 0; i < params.size() && i < full.size(); ++i)
    if (params[i].byRef) out[Text(params[i].name)] = FromVariant(full[i]);
  return py::make_tuple(FromVariant(result), out);
}

void DefineObjects(py::module_& module) {
  py::class_<Handle, std::shared_ptr<Handle>>(
      module, "Object",
      "A KX object, made by kx.create() or answered by a call: its methods are Python methods, its "
      "properties Python attributes (names in any letter case).")
      .def("__getattr__", &GetAttribute)
      .def("__setattr__", [](const Handle& h, const std::string& name, py::handle value) {
        SetAttribute(h, name, value);
      })
      .def("__dir__",
           [](const Handle& h) {
             std::vector<std::string> names;
             if (const ClassInfo* info = ClassOf(h))
               for (const auto& m : info->members)
                 if (std::none_of(names.begin(), names.end(), [&](const auto& n) { return SameName(n, m.name); }))
                   names.push_back(m.name);
             std::sort(names.begin(), names.end());
             return names;
           })
      .def("__repr__", [](const Handle& h) { return "<kx.Object " + h.className + ">"; })
      .def("__eq__",
           [](const Handle& h, py::handle other) {
             const ObjectPtr o = ObjectOf(other);
             return o && o.get() == h.object.get();
           })
      .def("__hash__", [](const Handle& h) { return std::hash<const Object*>()(h.object.get()); });

  py::class_<BoundMember>(module, "Member", "A member of a KX object, bound to it; call it to call the member.")
      .def("__call__",
           [](const BoundMember& b, const py::args& args, const py::kwargs& kwargs) {
             const ClassInfo* info = ClassOf(*b.handle);
             const MemberInfo* m = info ? service::MemberByName(*info, b.name) : nullptr;
             if (!m) NoMember(*b.handle, b.name);
             return CallMember(*b.handle, *m, args, kwargs);
           })
      .def_property_readonly("name", [](const BoundMember& b) { return b.name; }, "The member's name.")
      .def_property_readonly("__self__", [](const BoundMember& b) { return py::cast(b.handle); })
      .def("__repr__", [](const BoundMember& b) {
        std::string text = "<kx member " + b.handle->className + "." + b.name + "(";
        const ClassInfo* info = ClassOf(*b.handle);
        if (const MemberInfo* m = info ? service::MemberByName(*info, b.name) : nullptr)
          for (size_t i = 0; i < m->params.size(); ++i)
            text += (i ? ", " : "") + m->params[i].name + (m->params[i].optional || m->params[i].byRef ? "=…" : "");
        return text + ")>";
      });

  module.def(
      "create",
      [](const std::string& name) {
        ObjectPtr object;
        try {
          object = Registry::Instance().Create(name);
        } catch (...) {
          Raise(TrappedError());
        }
        return WrapObject(std::move(object));
      },
      py::arg("name"), "A new object of the class registered as `name` (any letter case).");
}

}  // namespace kx::python
