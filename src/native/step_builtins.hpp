// The builtins the modules' steps use, reached as a Python function reaches
// them: the module namespace first, then the builtins, at the point of use.
//
// The steps name `sorted`, `set`, `str`, `isinstance`, `dict`, `bool`,
// `any`, `list`, `getattr` and `Exception`.  While every one of them finds
// the interpreter's own object, the helpers below do the work in C, which
// is the same; otherwise they call what the name is bound to.  (`type`,
// `open` and every other builtin are never looked up by the steps, so
// binding them changes nothing.)
#pragma once

#include <nanobind/nanobind.h>

#include "native/function.hpp"

namespace tarvek::native {

namespace nb = nanobind;

// Whether the builtins the steps use, as `call`'s namespace finds them
// (its own binding first, then the builtins), are the interpreter's own.
// Kept while neither dict changes.
bool builtins_intact(const Call& call);

// sorted(iterable)
nb::object sorted_of(const Call& call, nb::handle iterable);
// set(iterable); set() when `iterable` is empty
nb::object set_of(const Call& call, nb::handle iterable = {});
// str(value)
nb::object str_of(const Call& call, nb::handle value);
// isinstance(value, dict)
bool is_dict_instance(const Call& call, nb::handle value);
// bool(value)
nb::object bool_of(const Call& call, nb::handle value);
// list(iterable)
nb::object list_of(const Call& call, nb::handle iterable);
// any(iterable)
bool any_of(const Call& call, nb::handle iterable);
// getattr(obj, name, fallback)
nb::object getattr_or(const Call& call, nb::handle obj, nb::handle name, nb::handle fallback);
// What `except Exception:` names now.
nb::object exception_class(const Call& call);

}  // namespace tarvek::native
