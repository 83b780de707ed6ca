#include "native/genuine.hpp"

#include <array>
#include <cstring>
#include <string>
#include <utility>

namespace tarvek::native {
namespace {

// The definition of a built-in C module, from the interpreter's own table
// of built-in modules.  Their initialisation functions only hand out the
// definition (multi-phase initialisation), so asking them creates nothing;
// a module that would create itself here is not recognised at all.  The
// definitions are static data of the interpreter, so they are remembered.
const PyModuleDef* builtin_module_def(const char* name) {
  struct Known {
    const char* name;
    const PyModuleDef* def;
    bool looked;
  };
  static std::array<Known, 12> known{};
  for (Known& entry : known) {
    if (entry.name != nullptr && std::strcmp(entry.name, name) == 0) {
      return entry.def;
    }
  }
  const PyModuleDef* found = nullptr;
  for (const struct _inittab* item = PyImport_Inittab; item != nullptr && item->name != nullptr;
       ++item) {
    if (std::strcmp(item->name, name) != 0 || item->initfunc == nullptr) {
      continue;
    }
    PyObject* result = item->initfunc();
    if (result == nullptr) {
      PyErr_Clear();
    } else if (PyObject_TypeCheck(result, &PyModuleDef_Type)) {
      found = reinterpret_cast<const PyModuleDef*>(result);
    } else {
      Py_DECREF(result);
    }
    break;
  }
  for (Known& entry : known) {
    if (entry.name == nullptr) {
      entry = {name, found, true};
      break;
    }
  }
  return found;
}

bool in_method_table(const PyModuleDef* def, const PyMethodDef* method) {
  if (def == nullptr || method == nullptr) {
    return false;
  }
  for (const PyMethodDef* entry = def->m_methods; entry != nullptr && entry->ml_name != nullptr;
       ++entry) {
    if (entry == method) {
      return true;
    }
  }
  return false;
}

const PyMethodDef* method_of(PyObject* value) {
  if (!PyCFunction_Check(value)) {
    return nullptr;
  }
  return reinterpret_cast<PyCFunctionObject*>(value)->m_ml;
}

// `dict[key]` without running code: exact dicts only, borrowed, or null.
PyObject* lookup_item(PyObject* dict, const char* key) {
  if (!PyDict_CheckExact(dict)) {
    return nullptr;
  }
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &value) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  Py_XDECREF(value);  // the dict keeps it alive while we look
  return value;
}

std::string_view utf8_of(PyObject* value) {
  if (value == nullptr || !PyUnicode_CheckExact(value)) {
    return {};
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {text, static_cast<std::size_t>(size)};
}

bool is_exact_str_equal(PyObject* value, std::string_view text) {
  return value != nullptr && PyUnicode_CheckExact(value) &&
         PyUnicode_EqualToUTF8AndSize(value, text.data(), static_cast<Py_ssize_t>(text.size())) ==
             1;
}

// The builtins that are not functions or classes, by name.
PyObject* builtin_constant(std::string_view name) {
  if (name == "None") return Py_None;
  if (name == "True") return Py_True;
  if (name == "False") return Py_False;
  if (name == "Ellipsis") return Py_Ellipsis;
  if (name == "NotImplemented") return Py_NotImplemented;
  return nullptr;
}

bool is_dunder(PyObject* name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  std::string_view view(text, static_cast<std::size_t>(size));
  return view.size() > 4 && view.starts_with("__") && view.ends_with("__");
}

bool names_are_genuine(PyCodeObject* code, PyObject* globals, PyObject* builtins, int depth) {
  if (depth > 8) {
    return false;
  }
  PyObject* names = code->co_names;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    // Dunder names are attributes (`type(x).__name__`) or the module's own
    // (`__name__`, `__doc__`), which every module defines.
    if (is_dunder(name)) {
      continue;
    }
    int builtin = PyDict_Contains(builtins, name);
    if (builtin < 0) {
      PyErr_Clear();
      return false;
    }
    if (builtin == 0) {
      continue;
    }
    // What the name finds: the namespace's binding first, then the builtin;
    // either way it must be the interpreter's own.
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found == 0) {
      found = PyDict_GetItemRef(builtins, name, &value);
    }
    if (found <= 0) {
      PyErr_Clear();
      return false;
    }
    nb::object owned = nb::steal(value);
    if (!is_genuine_builtin(builtins, name, value)) {
      return false;
    }
  }
  PyObject* consts = code->co_consts;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
    PyObject* constant = PyTuple_GET_ITEM(consts, i);
    if (PyCode_Check(constant) &&
        !names_are_genuine(reinterpret_cast<PyCodeObject*>(constant), globals, builtins, depth + 1)) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* item(PyObject* dict, const char* key) { return lookup_item(dict, key); }

std::string_view text_of(PyObject* value) { return utf8_of(value); }

nb::object c_attribute(PyObject* obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj, name);
  if (value == nullptr) {
    PyErr_Clear();
  }
  return nb::steal(value);
}

bool repr_is(PyObject* value, std::string_view expected) {
  nb::object text = nb::steal(PyObject_Repr(value));
  if (!text.is_valid()) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(text.ptr()) == expected;
}

bool is_c_function_of(nb::handle value, const char* module_name, const char* method) {
  const PyMethodDef* definition = method_of(value.ptr());
  return definition != nullptr && std::strcmp(definition->ml_name, method) == 0 &&
         in_method_table(builtin_module_def(module_name), definition);
}

bool is_function_of_module(nb::handle value, nb::handle module, const char* method) {
  const PyMethodDef* definition = method_of(value.ptr());
  if (definition == nullptr || !PyModule_CheckExact(module.ptr()) ||
      PyCFunction_GET_SELF(value.ptr()) != module.ptr()) {
    return false;
  }
  return std::strcmp(definition->ml_name, method) == 0 &&
         in_method_table(PyModule_GetDef(module.ptr()), definition);
}

bool is_type_of(nb::handle type, const char* module_name, const char* name) {
  if (!PyType_Check(type.ptr())) {
    return false;
  }
  auto* cls = reinterpret_cast<PyTypeObject*>(type.ptr());
  if (!PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) ||
      !PyType_HasFeature(cls, Py_TPFLAGS_IMMUTABLETYPE) || std::strcmp(cls->tp_name, name) != 0) {
    return false;
  }
  PyObject* module = PyType_GetModule(cls);
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  const PyModuleDef* def = builtin_module_def(module_name);
  return def != nullptr && PyModule_GetDef(module) == def;
}

bool is_namespace_of(nb::handle globals, const char* name) {
  return is_exact_str_equal(lookup_item(globals.ptr(), "__name__"), name);
}

bool is_source_function(nb::handle value, nb::handle globals, std::string_view qualname,
                        nb::handle owner) {
  PyObject* function = value.ptr();
  if (!Py_IS_TYPE(function, &PyFunction_Type) || PyFunction_GET_GLOBALS(function) != globals.ptr()) {
    return false;
  }
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function));
  if (!is_exact_str_equal(code->co_qualname, qualname)) {
    return false;
  }
  PyObject* file = lookup_item(globals.ptr(), "__file__");
  bool same_file = file != nullptr && PyUnicode_CheckExact(file) &&
                   PyUnicode_Compare(file, code->co_filename) == 0;
  if (!same_file) {
    // A frozen module's code is named after the module as it was frozen:
    // its name, or the stem of its file (`_collections_abc` calls itself
    // `collections.abc`).  A package's `__init__` is not looked at here.
    PyErr_Clear();
    std::string_view name = utf8_of(lookup_item(globals.ptr(), "__name__"));
    std::string_view stem = utf8_of(file);
    std::size_t slash = stem.rfind('/');
    stem = slash == std::string_view::npos ? stem : stem.substr(slash + 1);
    if (stem.ends_with(".py")) {
      stem.remove_suffix(3);
    } else if (stem.ends_with(".pyc")) {  // sourceless, as in a one-file binary
      stem.remove_suffix(4);
    } else {
      stem = {};
    }
    std::string_view filename = utf8_of(code->co_filename);
    auto frozen_as = [&](std::string_view module) {
      return !module.empty() && filename.size() == module.size() + 9 &&
             filename.starts_with("<frozen ") && filename.ends_with(">") &&
             filename.substr(8, module.size()) == module;
    };
    // Code compiled where the module was built and loaded from elsewhere
    // (a zip, a one-file binary's archive) keeps the module's own relative
    // file name: "pathlib/_local.py" for pathlib._local.
    std::string relative(name);
    for (char& c : relative) {
      c = c == '.' ? '/' : c;
    }
    relative += ".py";
    bool relocated = !name.empty() && (filename == relative ||
                                       (filename.size() > relative.size() &&
                                        filename.ends_with(relative) &&
                                        filename[filename.size() - relative.size() - 1] == '/'));
    if (!frozen_as(name) && !frozen_as(stem) && !relocated) {
      return false;
    }
  }
  PyObject* closure = PyFunction_GET_CLOSURE(function);
  if (closure == nullptr) {
    return true;
  }
  nb::object free = nb::steal(PyCode_GetFreevars(code));
  if (!free.is_valid() || PyTuple_GET_SIZE(free.ptr()) != 1 ||
      !is_exact_str_equal(PyTuple_GET_ITEM(free.ptr(), 0), "__class__") ||
      PyTuple_GET_SIZE(closure) != 1) {
    PyErr_Clear();
    return false;
  }
  PyObject* cell = PyTuple_GET_ITEM(closure, 0);
  PyObject* content = PyCell_Check(cell) ? PyCell_GET(cell) : nullptr;
  if (content == nullptr) {
    return false;
  }
  return owner.is_valid() ? content == owner.ptr() : PyType_Check(content) != 0;
}

bool is_genuine_builtin(nb::handle builtins, nb::handle name, nb::handle value) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  std::string_view key(text, static_cast<std::size_t>(size));
  PyObject* object = value.ptr();
  if (PyObject* constant = builtin_constant(key)) {
    return object == constant;
  }
  if (key == "__debug__") {
    return PyBool_Check(object);
  }
  if (PyType_Check(object)) {
    // The interpreter's own classes and exceptions are static types named
    // as they are bound.
    auto* cls = reinterpret_cast<PyTypeObject*>(object);
    return !PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) && key == cls->tp_name;
  }
  if (key == "open") {
    return is_c_function_of(value, "_io", "open");
  }
  const PyMethodDef* definition = method_of(object);
  if (definition == nullptr || key != definition->ml_name) {
    return false;
  }
  PyObject* module = PyCFunction_GET_SELF(object);
  if (module == nullptr || !PyModule_CheckExact(module) || PyModule_GetDict(module) != builtins.ptr()) {
    return false;
  }
  const PyModuleDef* def = PyModule_GetDef(module);
  return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, "builtins") == 0 &&
         in_method_table(def, definition);
}

bool uses_genuine_builtins(nb::handle function) {
  if (!Py_IS_TYPE(function.ptr(), &PyFunction_Type)) {
    return false;
  }
  auto* raw = reinterpret_cast<PyFunctionObject*>(function.ptr());
  if (raw->func_builtins == nullptr || !PyDict_CheckExact(raw->func_builtins)) {
    return false;
  }
  return names_are_genuine(reinterpret_cast<PyCodeObject*>(raw->func_code), raw->func_globals,
                           raw->func_builtins, 0);
}

}  // namespace tarvek::native
