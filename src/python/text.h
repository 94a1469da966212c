// Texts of the library (UTF-8, not always well-formed) as Python strings.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace kx::python {

// `text` as a Python str; a byte that starts no valid UTF-8 sequence becomes U+FFFD.
inline pybind11::str Text(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw pybind11::error_already_set();
  return pybind11::reinterpret_steal<pybind11::str>(s);
}

}  // namespace kx::python
