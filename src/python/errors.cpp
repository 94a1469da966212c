#include "python/errors.h"

#include <pybind11/eval.h>

#include "python/text.h"
#include "runtime/db/connection.h"

namespace kx::python {

namespace {

// The classes live as long as the interpreter; they are never released (the module cannot be
// unloaded).
PyObject* errorClass = nullptr;
PyObject* argumentErrorClass = nullptr;

constexpr const char* kErrorClasses = R"(
class Error(Exception):
    """A KX call failed: number, source and description as `kx call --json` reports them."""

    def __init__(self, number, source, description):
        super().__init__(number, source, description)
        self.number = number
        self.source = source
        self.description = description

    def __str__(self):
        return self.description


class ArgumentError(Error, TypeError):
    """The arguments of a call do not fit the member: too many, one missing, unknown or of the
    wrong type. The message names the parameter; number, source and description are those of
    the run-time error that the registry raises for it."""

    def __init__(self, number, source, description, message):
        super().__init__(number, source, description)
        self.args = (number, source, description, message)
        self.message = message

    def __str__(self):
        return self.message
)";

[[noreturn]] void RaiseInstance(PyObject* cls, py::tuple args) {
  py::object instance = py::reinterpret_borrow<py::object>(cls)(*args);
  PyErr_SetObject(cls, instance.ptr());
  throw py::error_already_set();
}

}  // namespace

void DefineErrors(py::module_& module) {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  scope["__name__"] = "kx";
  py::exec(kErrorClasses, scope);
  module.attr("Error") = scope["Error"];
  module.attr("ArgumentError") = scope["ArgumentError"];
  errorClass = scope["Error"].ptr();
  argumentErrorClass = scope["ArgumentError"].ptr();
  Py_INCREF(errorClass);
  Py_INCREF(argumentErrorClass);
}

Error TrappedError() {
  try {
    throw;
  } catch (const Error& e) {
    return e;
  } catch (const db::DatabaseError& e) {
    return Error(kComponentError, "KX", e.what(), e.Cause());
  } catch (const std::exception& e) {
    return Error(kComponentError, "kx", e.what());
  } catch (...) {
    return Error(kComponentError, "kx", "An unknown failure");
  }
}

void Raise(const Error& e) {
  RaiseInstance(errorClass, py::make_tuple(e.number(), Text(e.source()), Text(e.description())));
}

void RaiseArgument(const Error& e, const std::string& message) {
  RaiseInstance(argumentErrorClass,
                py::make_tuple(e.number(), Text(e.source()), Text(e.description()), Text(message)));
}

void RaiseArgument(RuntimeErrorCode code, const std::string& message) {
  RaiseArgument(Error(static_cast<int32_t>(code), "KX", std::string(RuntimeErrorText(code))), message);
}

}  // namespace kx::python
