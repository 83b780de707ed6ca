// Which names of a module still hold the objects the module bound when it
// loaded.  A call takes the native path only while every sibling it would
// otherwise call through the namespace is the module's own.
#pragma once

#include <initializer_list>

#include <nanobind/nanobind.h>

#include "native/function.hpp"
#include "native/python.hpp"

namespace tarvek::native {

// Records the values `names` have in `module_dict` now (called at the end
// of loading the module, again when it is reloaded).
void remember_own(nb::handle module_dict, std::initializer_list<const Name*> names);

// Whether `name` is bound, in the namespace `call` reads, to the object the
// module bound to it.
bool is_own(const Call& call, const Name& name);

// The object the module bound to `name` (a borrowed reference; invalid when
// none was recorded).
nb::handle own_object(const Name& name);

}  // namespace tarvek::native
