// `__code__` of a native function: a code object compiled from the
// parameter list, so that `inspect` reads the signature as it reads a
// `def`'s.
#include <string>

#include "native/errors.hpp"
#include "native/function_object.hpp"
#include "native/python.hpp"

namespace tarvek::native::function_object {

// __code__: a code object with the function's parameters, as `inspect`
// reads them from a Python function, so that `inspect.signature` treats
// the function as it treats a `def`: it follows `__wrapped__`, honours an
// assigned `__signature__`, and evaluates string annotations in the module
// namespace (`__globals__`) when asked to.  The code object is a stub
// compiled from the parameter list; calling the function never runs it.
nb::object build_code(const Fields& f) {
  std::string source = "def _(";
  const std::span<const Param> params = f.spec->params;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) {
      source += ", ";
    }
    if (i == f.positional_count) {
      source += "*, ";
    }
    source += params[i].name;
  }
  source += "):\n    pass\n";

  nb::object filename = dict_get(f.globals, nb::str("__file__"));
  if (!filename.is_valid() || !PyUnicode_Check(filename.ptr())) {
    filename = nb::str("<native>");
  }
  nb::object module_code =
      check(Py_CompileStringObject(source.c_str(), filename.ptr(), Py_file_input, nullptr, -1));
  nb::object consts = module_code.attr("co_consts");
  for (nb::handle constant : consts) {
    if (PyCode_Check(constant.ptr())) {
      return constant.attr("replace")(nb::arg("co_name") = nb::str(f.spec->name),
                                      nb::arg("co_qualname") = nb::str(f.spec->qualname));
    }
  }
  raise(PyExc_SystemError, "native function: no code object for the parameter list");
}

}  // namespace tarvek::native::function_object
