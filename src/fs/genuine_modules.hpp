// The modules pathlib's methods reach through their namespaces (`os`,
// `posixpath`, `io`, `stat`, `sys`), held to what defines the interpreter's
// own: the functions of the built-in C modules `posix`, `_io`, `_stat` and
// `sys` (found in their method tables) and those of posixpath's source.
// A part of examining a `Path` class (fs/genuine_pathlib.hpp).
#pragma once

#include "fs/layer.hpp"

#include <initializer_list>
#include <string_view>
#include <vector>

#include <nanobind/nanobind.h>

#include "fs/genuine_pathlib.hpp"

namespace tarvek::fs {

// Watches `dict` for the verdict (noting in `view` when it cannot be
// watched); whether it is an exact dict.
bool watch_namespace(PathlibView& view, PyObject* dict);

// Whether `function` is the function `qualname` of the source whose
// namespace is `globals` (see native::is_source_function, `owner` its
// class), using only genuine builtins and with the defaults our calls rely
// on; its builtins are watched.
bool is_source_code(PathlibView& view, PyObject* function, PyObject* globals,
                    std::string_view qualname, PyObject* owner);

// Whether every one of `names` in `dict` is the function of that name of the
// built-in C module `module`.
bool has_c_functions(PyObject* dict, const char* module, std::initializer_list<const char*> names);

class ReachedModules {
 public:
  explicit ReachedModules(PathlibView& view) : view_(view) {}

  // `os`: posix's functions, and posixpath as `os.path`.
  bool os_module(PyObject* module);
  // posixpath: its separators, its source's functions, `os` and `stat`.
  bool posixpath_module(PyObject* module);
  // `io`: _io's functions.
  bool io_module(PyObject* module);
  // `sys`: its own audit and intern.
  bool sys_module(PyObject* module);

 private:
  bool seen(PyObject* module);
  PyObject* module_dict(PyObject* module);

  PathlibView& view_;
  std::vector<PyObject*> modules_;
};

}  // namespace tarvek::fs
