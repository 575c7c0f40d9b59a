// quarn._quarn: the compiled part of the Python module `quarn`. The package
// (quarn/__init__.py) is what people import; this holds the client, the
// cache and the library's version, and takes the factory of the package's
// exceptions.
#include <pybind11/pybind11.h>

#include <cstdlib>

#include <qx/common/Console.hh>
#include <qx/quarn_tools/qx.hh>

#include "CacheBinding.hh"
#include "ClientBinding.hh"
#include "OutcomeObjects.hh"

namespace py = pybind11;

PYBIND11_MODULE(_quarn, module) {
  module.doc() = "The compiled part of quarn; import quarn instead.";
  // The version of the library the module runs with.
  char *version = qxVersion();
  module.attr("__version__") = version == nullptr ? "" : version;
  std::free(version);
  // Failures reach Python as exceptions; the library's log lines would only
  // repeat them on standard error (set_verbosity brings them back).
  qx::common::Console::SetVerbosity(0);
  module.def("set_verbosity", &qx::common::Console::SetVerbosity, py::arg("level"),
             "0 silent (the default), 1 errors, 2 warnings, 3 messages, 4 debug.");
  module.def("_set_error_factory", &qx::quarn_python::setErrorFactory, py::arg("factory"));
  qx::quarn_python::bindClient(module);
  qx::quarn_python::bindCache(module);
}
