// The module's exceptions: kx.Error carries the number, source and description of a failed call
// exactly as `kx call --json` prints them; kx.ArgumentError (also a TypeError) is a call whose
// arguments do not fit the member, with a message that names the parameter.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "kx/error.h"

namespace kx::python {

namespace py = pybind11;

// Defines kx.Error and kx.ArgumentError in `module`.
void DefineErrors(py::module_& module);

// The error of the exception being handled, as a host reports it (call only inside a catch block):
// the component's errors as they are, a database failure and any other failure as the component error.
Error TrappedError();

// Raises `e` in Python as kx.Error (throws py::error_already_set).
[[noreturn]] void Raise(const Error& e);
// Raises `e` in Python as kx.ArgumentError with `message` as its text.
[[noreturn]] void RaiseArgument(const Error& e, const std::string& message);
// Raises the run-time error `code` as kx.ArgumentError with `message` as its text.
[[noreturn]] void RaiseArgument(RuntimeErrorCode code, const std::string& message);

}  // namespace kx::python
