#include "fs/genuine_modules.hpp"

#include "fs/pathlib_sources.hpp"
#include "native/genuine.hpp"
#include "native/watch.hpp"

namespace tarvek::fs {

using native::is_c_function_of;
using native::is_namespace_of;
using native::item;
using native::text_of;

bool watch_namespace(PathlibView& view, PyObject* dict) {
  if (!native::watch(dict)) {
    view.watched = false;
  }
  return dict != nullptr && PyDict_CheckExact(dict);
}

bool is_source_code(PathlibView& view, PyObject* function, PyObject* globals,
                    std::string_view qualname, PyObject* owner) {
  if (!native::is_source_function(function, globals, qualname, owner) ||
      !native::uses_genuine_builtins(function) ||
      !sources::defaults_hold(function, globals, qualname)) {
    return false;
  }
  watch_namespace(view, reinterpret_cast<PyFunctionObject*>(function)->func_builtins);
  return true;
}

// A module seen before is not examined again (os and posixpath name each
// other): the first examination decides.
bool ReachedModules::seen(PyObject* module) {
  for (PyObject* known : modules_) {
    if (known == module) {
      return true;
    }
  }
  modules_.push_back(module);
  return false;
}

PyObject* ReachedModules::module_dict(PyObject* module) {
  if (module == nullptr || !PyModule_CheckExact(module)) {
    return nullptr;
  }
  PyObject* dict = PyModule_GetDict(module);
  return watch_namespace(view_, dict) ? dict : nullptr;
}

bool has_c_functions(PyObject* dict, const char* module, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!is_c_function_of(item(dict, name), module, name)) {
      return false;
    }
  }
  return true;
}

bool ReachedModules::os_module(PyObject* module) {
  PyObject* dict = module_dict(module);
  if (dict == nullptr) {
    return false;
  }
  if (seen(module)) {
    return true;
  }
  return text_of(item(dict, "name")) == "posix" &&
         has_c_functions(
             dict, "posix",
             {"scandir", "stat", "lstat", "unlink", "rmdir", "fspath", "getcwd", "readlink"}) &&
         posixpath_module(item(dict, "path"));
}

bool ReachedModules::posixpath_module(PyObject* module) {
  PyObject* dict = module_dict(module);
  if (dict == nullptr || !is_namespace_of(dict, "posixpath")) {
    return false;
  }
  if (seen(module)) {
    return true;
  }
  if (text_of(item(dict, "sep")) != "/" || item(dict, "altsep") != Py_None ||
      !is_c_function_of(item(dict, "splitroot"), "posix", "_path_splitroot_ex")) {
    return false;
  }
  for (const char* name : {"join", "splitdrive", "normcase", "realpath", "_get_sep", "isabs"}) {
    PyObject* function = item(dict, name);
    if (function == nullptr || !is_source_code(view_, function, dict, name, nullptr)) {
      return false;
    }
  }
  PyObject* stat_dict = module_dict(item(dict, "stat"));
  return os_module(item(dict, "os")) && stat_dict != nullptr &&
         has_c_functions(stat_dict, "_stat", {"S_ISLNK"});
}

bool ReachedModules::io_module(PyObject* module) {
  PyObject* dict = module_dict(module);
  return dict != nullptr && has_c_functions(dict, "_io", {"open", "text_encoding"});
}

bool ReachedModules::sys_module(PyObject* module) {
  PyObject* dict = module_dict(module);
  if (dict == nullptr) {
    return false;
  }
  for (const char* name : {"audit", "intern"}) {
    if (!native::is_function_of_module(item(dict, name), module, name)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarvek::fs
