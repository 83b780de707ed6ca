// TARVEK_MODULE(name, m) { ... }: defines the entry point of an extension
// module whose body binds the namespace through `m`.
//
// It is nanobind's NB_MODULE with one difference: an exception raised while
// the body runs (a failing import of a dependency above all) reaches the
// importer as that exception, as it would from a Python module body, and
// not wrapped in nanobind's ImportError "Encountered an error while
// initializing the extension.".  The set-up around the body is nanobind 3's
// own, so this header follows nanobind's major version (pinned in
// pyproject.toml).
#pragma once

#include <nanobind/nanobind.h>

#include "native/errors.hpp"

#if NB_VERSION_MAJOR != 3
#error "TARVEK_MODULE follows the module set-up of nanobind 3"
#endif

#define TARVEK_MODULE(name, variable)                                                  \
  static void tarvek_##name##_body(nanobind::module_&);                                \
  static int tarvek_##name##_exec(PyObject* m) {                                       \
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);           \
    if (nanobind::detail::internals == nullptr) {                                      \
      return -1;                                                                       \
    }                                                                                  \
    try {                                                                              \
      nanobind::module_ module = nanobind::borrow<nanobind::module_>(m);               \
      tarvek_##name##_body(module);                                                    \
      return 0;                                                                        \
    } catch (...) {                                                                    \
      ::tarvek::native::restore_current_exception();                                   \
    }                                                                                  \
    return -1;                                                                         \
  }                                                                                    \
  static PyObject* tarvek_##name##_definition = nullptr;                               \
  extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                 \
  extern "C" PyObject* PyInit_##name(void) {                                           \
    nanobind::detail::init_singletons();                                               \
    if (!nanobind::detail::nb_backend_init(#name)) {                                   \
      return nullptr;                                                                  \
    }                                                                                  \
    if (tarvek_##name##_definition == nullptr) {                                       \
      tarvek_##name##_definition =                                                     \
          NB_CALL(module_new)(#name, nullptr, reinterpret_cast<void*>(&tarvek_##name##_exec), \
                              NB_ABI_MINOR_TAG);                                       \
    }                                                                                  \
    return tarvek_##name##_definition;                                                 \
  }                                                                                    \
  static void tarvek_##name##_body(nanobind::module_& variable)
