// Values between Python and the registry: Python arguments as Variants, Variants as Python values.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "kx/variant.h"

namespace kx::python {

namespace py = pybind11;

// Why a Python value cannot be an argument: `what` names the argument in the message.
struct ValueRefused {
  bool typeError;  // false: the type fits, the value does not (a float that is not finite)
  std::string message;
};

// The Variant of a Python argument: str, int, float, bool, None (Null), datetime.date and
// datetime.datetime, a kx object, and a list or tuple of those (an array). Anything else is
// refused with the reason in `refused` (and an Empty result).
Variant ToVariant(py::handle value, ValueRefused& refused);

// The Python value of a Variant: Empty and Null as None, numbers as int or float, Booleans as bool,
// texts as str, dates as datetime.date (datetime.datetime when the time of day is not midnight),
// arrays as lists, result sets as lists of dicts keyed by column name, other objects as kx objects.
// Call with the GIL held.
py::object FromVariant(const Variant& value);

}  // namespace kx::python
