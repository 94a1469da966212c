// The kx module: the classes of the registry in the Python process, as `kx call` reaches them.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <optional>

#include "kx/host.h"
#include "kx/registry.h"
#include "python/errors.h"
#include "python/objects.h"
#include "python/stubs.h"
#include "python/transaction.h"
#include "runtime/db/connection.h"

namespace py = pybind11;

namespace kx::python {
namespace {

// Sets the component folder (KX_HOME, through os.environ so that Python sees it too) when a path is
// given, and returns the component folder in force.
std::string Home(const py::object& path) {
  if (!path.is_none()) {
    const std::string folder = py::str(py::module_::import("os").attr("fspath")(path));
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
      throw py::value_error("kx.home(): '" + folder + "' is not a folder");
    py::module_::import("os").attr("environ")["KX_HOME"] = folder;
  }
  return ComponentFolder();
}

// Creates the database objects of the component folder's database (safe to repeat), as `kx init`.
void Init() {
  std::optional<Error> failure;
  {
    py::gil_scoped_release released;
    try {
      auto& registry = Registry::Instance();
      const ObjectPtr helper = registry.Create("S_DBHelpForKX");
      Args none;
      db::InstallDatabase(CStr(registry.Invoke(*helper, "GetConnectionString", none)));
    } catch (...) {
      failure = TrappedError();
    }
  }
  if (failure) Raise(*failure);
}

}  // namespace
}  // namespace kx::python

PYBIND11_MODULE(kx, module) {
  using namespace kx::python;
  module.doc() =
      "KX in Python: the classes of the KX registry, created by name and called in this process.\n\n"
      "    import kx\n"
      "    kx.home('/srv/kx'); kx.init()\n"
      "    orders = kx.create('C_JBOrder')\n"
      "    xml = orders.getElementByXML('JB001')\n";
  DefineErrors(module);
  DefineObjects(module);
  DefineTransactions(module);
  module.def("home", &Home, py::arg("path") = py::none(),
             "Sets the component folder (the folder of Config.ini, as KX_HOME) when a path is given; returns "
             "the component folder in force.");
  module.def("init", &Init, "Creates the database objects of the component folder's database (safe to repeat).");
  module.def("classes", [] { return kx::Registry::Instance().ClassNames(); },
             "The names of the classes that kx.create() makes.");
  module.def("_stubs", &Stubs, "The text of kx.pyi, written from the registry.");
}
