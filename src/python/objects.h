// KX objects in Python: an object created by name (or answered by a call) whose methods are
// Python methods and whose properties are Python attributes. Every call runs with the GIL
// released, in the transaction of the calling thread's `with kx.transaction()` or else in one of
// its own, as `kx call` runs it.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>

#include "kx/registry.h"

namespace kx::python {

namespace py = pybind11;

// What a Python kx object holds.
struct Handle {
  ObjectPtr object;
  std::string className;  // as the registry spells it
  // Shared by every Python object of the same KX object: calls on one object run one at a time,
  // whichever threads make them.
  std::shared_ptr<std::mutex> lock;
};

// The Python object of `object` (a kx.Object).
py::object WrapObject(ObjectPtr object);
// The KX object that a Python value holds, or nullptr when it is no kx.Object.
ObjectPtr ObjectOf(py::handle value);

// A member of one object, bound to it: calling it calls the member.
struct BoundMember {
  std::shared_ptr<Handle> handle;
  std::string name;  // as the registry spells it
};

// Defines kx.Object and kx.Member in `module`, and kx.create().
void DefineObjects(py::module_& module);

// Runs `member` of `handle` with the arguments as Python passed them: positional ones in order,
// keyword ones by parameter name (any letter case). Returns the result, or (result, {name: value})
// when the member has by-reference parameters.
py::object CallMember(const Handle& handle, const MemberInfo& member, const py::args& args,
                      const py::kwargs& kwargs);

}  // namespace kx::python
