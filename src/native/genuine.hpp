// Recognising the interpreter's own objects by what defines them, never by
// comparison with something remembered earlier, and without running any
// Python code (no `__getattr__`, no property, no import, no `sys.modules`).
//
// - A function of a built-in C module (`posix.stat`, `_io.open`) is a
//   built-in function whose method definition lies in that module's own
//   method table, reached through the interpreter's table of built-in
//   modules (`PyImport_Inittab`).
// - A function of the `builtins` or `sys` module is one of the module that
//   it is called through, found in that module's method table.
// - A function of Python source (pathlib's, posixpath's) is a plain
//   function whose code names it as the source does (`co_qualname`), was
//   compiled from the file of the module whose namespace it reads
//   (`co_filename`, `__globals__`), and closes over nothing but its class.
// - A builtin name (`sorted`, `str`, `OSError`) is bound to the object the
//   interpreter itself defines under that name.
#pragma once

#include <string_view>

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

// `dict[key]` for an exact dict, without running code: borrowed, or null
// when absent (or `dict` is no exact dict).
PyObject* item(PyObject* dict, const char* key);

// The UTF-8 text of an exact str (valid while it lives); empty otherwise.
std::string_view text_of(PyObject* value);

// `obj.name` for an object of an exact C type whose attribute is a member
// or getset of that type (no Python code can run); empty when absent.
nb::object c_attribute(PyObject* obj, const char* name);

// Whether repr(value), for an object of a C type, is `expected`.
bool repr_is(PyObject* value, std::string_view expected);

// Whether `value` is a function of the built-in C module `module_name`
// whose method is called `method` (the name it has in C, which may differ
// from the name it is bound to: posixpath.splitroot is
// posix._path_splitroot_ex).
bool is_c_function_of(nb::handle value, const char* module_name, const char* method);

// Whether `value` is the function `method` of `module`, an exact module
// object defined in C (as `sys`), in the module's own method table.
bool is_function_of_module(nb::handle value, nb::handle module, const char* method);

// Whether `type` is the class `name` (tp_name, as "operator.itemgetter")
// defined by the built-in C module `module_name`.
bool is_type_of(nb::handle type, const char* module_name, const char* name);

// Whether `value` is a plain function whose code is called `qualname` and
// whose namespace is `globals`, compiled from that namespace's module (its
// `__file__`, or "<frozen NAME>" for a frozen module).  A closure is allowed
// only for the `__class__` cell of a method using `super()`, which must hold
// `owner` (any class when `owner` is empty).
bool is_source_function(nb::handle value, nb::handle globals, std::string_view qualname,
                        nb::handle owner = {});

// Whether `globals` (a dict) is the namespace of a module called `name`.
bool is_namespace_of(nb::handle globals, const char* name);

// Whether `value`, bound to `name` in the builtins dict `builtins`, is what
// the interpreter binds there: its own types, exceptions, constants and the
// functions of the `builtins` module (and `_io.open` for `open`).
bool is_genuine_builtin(nb::handle builtins, nb::handle name, nb::handle value);

// Whether every builtin that the code of `function` (nested code included)
// may name is unshadowed in the function's namespace and genuine in its
// builtins.  Attribute names are among the names a code object lists, so
// this also looks at builtins that are only used as attribute names; they
// are genuine unless someone replaced them.
bool uses_genuine_builtins(nb::handle function);

}  // namespace tarvek::native
