// TARVEK_MODULE(name, m) { ... }: defines the entry point of an extension
// module whose body binds the namespace through `m`.
//
// The module behaves as a Python module does when it is imported and
// reloaded:
//
// - An exception raised while the body runs (a failing import of a
//   dependency above all) reaches the importer as that exception, and not
//   wrapped in nanobind's ImportError "Encountered an error while
//   initializing the extension.".
// - `importlib.reload` runs the body again on the same module object, so
//   that every name is bound again, in order, to new objects.  For an
//   extension module, reload calls `_imp.exec_dynamic`, which executes the
//   module's definition again only while the module has no state pointer;
//   `PyModule_ExecDef` sets one even for a definition without state, as the
//   sign that the module was executed.  The modules keep no per-module
//   state, so the exec slot drops that sign once the body has run (or
//   failed: a failed reload may be retried, as for a Python module).
// - nanobind's per-process record is joined once per shared library, not
//   once per execution.  It is held through a private module object (not
//   through the public module, whose namespace holds exactly the module's
//   names), which lives as long as some module object of this library that
//   has been executed.
//
// The set-up around the body follows nanobind 3's own NB_MODULE, so this
// header follows nanobind's major version (pinned in pyproject.toml).
#pragma once

#include <algorithm>
#include <vector>

#include <nanobind/nanobind.h>

// The layout of the interpreter's module object, for the exec-once marker.
#define Py_BUILD_CORE
#include <internal/pycore_moduleobject.h>
#undef Py_BUILD_CORE

#include "native/errors.hpp"

#if NB_VERSION_MAJOR != 3
#error "TARVEK_MODULE follows the module set-up of nanobind 3"
#endif

namespace tarvek::native::module_setup {

namespace nb = nanobind;

// What one shared library keeps about its module objects.
struct Library {
  PyObject* nanobind_anchor = nullptr;  // holds nanobind's record for us
  std::vector<PyObject*> executed;      // module objects alive and executed (borrowed)
};

// Joins nanobind's record once for the library.
inline bool attach_nanobind(Library& library, const char* name) {
  if (library.nanobind_anchor != nullptr) {
    return true;
  }
  PyObject* anchor = PyModule_New(name);
  if (anchor == nullptr) {
    return false;
  }
  nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, anchor);
  if (nanobind::detail::internals == nullptr) {
    Py_DECREF(anchor);
    return false;
  }
  library.nanobind_anchor = anchor;
  return true;
}

// Drops the sign that `module` was executed, so that a reload executes it
// again.  Left alone when the object does not have the expected layout.
inline void allow_reexecution(PyObject* module) noexcept {
  auto* object = reinterpret_cast<PyModuleObject*>(module);
  void* state = PyModule_GetState(module);
  if (state != nullptr && object->md_state == state && object->md_def == PyModule_GetDef(module) &&
      object->md_def->m_size == 0) {
    PyMem_Free(state);
    object->md_state = nullptr;
  }
}

inline int execute(PyObject* module, Library& library, const char* anchor_name,
                   void (*body)(nb::module_&)) {
  int result = -1;
  if (attach_nanobind(library, anchor_name)) {
    if (std::find(library.executed.begin(), library.executed.end(), module) ==
        library.executed.end()) {
      library.executed.push_back(module);
    }
    try {
      nb::module_ m = nb::borrow<nb::module_>(module);
      body(m);
      result = 0;
    } catch (...) {
      restore_current_exception();
    }
  }
  allow_reexecution(module);
  return result;
}

// The definition's m_free: called when a module object of the library is
// deallocated.
inline void forget(Library& library, void* module) {
  auto found =
      std::find(library.executed.begin(), library.executed.end(), static_cast<PyObject*>(module));
  if (found == library.executed.end()) {
    return;
  }
  library.executed.erase(found);
  if (library.executed.empty()) {
    Py_CLEAR(library.nanobind_anchor);
  }
}

}  // namespace tarvek::native::module_setup

#define TARVEK_MODULE(name, variable)                                                             \
  static void tarvek_##name##_body(nanobind::module_&);                                           \
  static ::tarvek::native::module_setup::Library tarvek_##name##_library;                         \
  static int tarvek_##name##_exec(PyObject* m) {                                                  \
    return ::tarvek::native::module_setup::execute(                                               \
        m, tarvek_##name##_library, "tarvek." #name ".nanobind", &tarvek_##name##_body);          \
  }                                                                                               \
  static void tarvek_##name##_free(void* m) {                                                     \
    ::tarvek::native::module_setup::forget(tarvek_##name##_library, m);                           \
  }                                                                                               \
  static PyModuleDef_Slot tarvek_##name##_slots[] = {                                             \
      {Py_mod_exec, reinterpret_cast<void*>(&tarvek_##name##_exec)},                              \
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},                 \
      {0, nullptr},                                                                               \
  };                                                                                              \
  static PyModuleDef tarvek_##name##_definition = {                                               \
      PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, tarvek_##name##_slots, nullptr, nullptr, \
      &tarvek_##name##_free,                                                                      \
  };                                                                                              \
  extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                            \
  extern "C" PyObject* PyInit_##name(void) {                                                      \
    nanobind::detail::init_singletons();                                                          \
    if (!nanobind::detail::nb_backend_init(#name)) {                                              \
      return nullptr;                                                                             \
    }                                                                                             \
    return PyModuleDef_Init(&tarvek_##name##_definition);                                         \
  }                                                                                               \
  static void tarvek_##name##_body(nanobind::module_& variable)
