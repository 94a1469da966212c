// `with kx.transaction():` — the calls a thread makes inside the block run in one transaction
// scope: committed when the block ends normally, rolled back by an exception leaving it, by
// abort(), or when a call inside it failed (the block then raises kx.Error, even if the failure
// was caught, since nothing of the block was kept). Blocks nest: an inner one joins the outer.
#pragma once

#include <pybind11/pybind11.h>

namespace kx::python {

namespace py = pybind11;

// Defines kx.Transaction and kx.transaction() in `module`.
void DefineTransactions(py::module_& module);

}  // namespace kx::python
