// The memory of a native function object, shared by the files that make up
// the type: the type and its attributes (function.cpp), argument binding
// (binding.cpp) and the code stub behind `__code__` (code_stub.cpp).
#pragma once

#include <cstddef>

#include <nanobind/nanobind.h>

#include "native/function.hpp"

namespace tarvek::native::function_object {

namespace nb = nanobind;

// The reference-holding members of a function object.  They live in the
// object's memory, constructed and destroyed with it; everything the
// interpreter may reach is visited by the collector.
struct Fields {
  const FunctionSpec* spec = nullptr;
  std::size_t positional_count = 0;
  nb::object globals;                  // the defining module's namespace (a dict)
  nb::object builtins;                 // the builtins when it was made (a dict)
  nb::object name;                     // __name__ (str)
  nb::object qualname;                 // __qualname__ (str)
  nb::object module;                   // __module__
  nb::object doc;                      // __doc__
  nb::object defaults;                 // __defaults__: a tuple, or empty for None
  nb::object kwdefaults;               // __kwdefaults__: a dict, or empty for None
  nb::object annotations;              // __annotations__: a dict, or empty until asked for
  nb::object code;                     // __code__, made when first asked for
  nb::object param_names[kMaxParams];  // interned parameter names
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  Fields fields;
};

inline FunctionObject* as_function(PyObject* self) {
  return reinterpret_cast<FunctionObject*>(self);
}
inline Fields& fields_of(PyObject* self) { return as_function(self)->fields; }

// Fills `bound` with one value per parameter, as the interpreter binds the
// arguments of a `def`, or raises its TypeError with its own messages.
void bind_arguments(const Fields& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    nb::object* bound);

// A code object with the function's parameters, never run (`__code__`).
nb::object build_code(const Fields& f);

}  // namespace tarvek::native::function_object
