// Small helpers over the interpreter's object protocol that every behaviour
// file needs: interned names, truth values, exact type tests.
#pragma once

#include <nanobind/nanobind.h>

#include "native/errors.hpp"

namespace tarvek::native {

namespace nb = nanobind;

// An identifier interned on first use and kept for the life of the process,
// so that looking it up in a namespace or as an attribute costs no string
// construction.  Instances are `inline const` at namespace scope, in a names
// header (native/names.hpp for the interpreter's names, a module's own
// names.hpp for its texts).
class Name {
 public:
  constexpr explicit Name(const char* text) : text_(text) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  nb::handle get() const;
  const char* text() const { return text_; }
  operator nb::handle() const { return get(); }  // NOLINT: used as a key

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;
};

// `from module_name import name`: ImportError when the module lacks it.
nb::object from_import(const char* module_name, const char* name);

// The interpreter's truth value of `value`; raises what `__bool__` raises.
bool truthy(nb::handle value);

// `obj.name` / `obj.name(args...)` with an interned name.
nb::object getattr(nb::handle obj, const Name& name);

template <typename... Args>
nb::object call_method(nb::handle obj, const Name& name, Args&&... args) {
  return getattr(obj, name)(std::forward<Args>(args)...);
}

bool is_exact_str(nb::handle value);
bool is_exact_dict(nb::handle value);
bool is_exact_list(nb::handle value);

// `str(value)`.
nb::str to_str(nb::handle value);

// `a < b` and `a == b` with the interpreter's rich comparison.
bool less(nb::handle a, nb::handle b);
bool equals(nb::handle a, nb::handle b);

// `value in container`.
bool contains(nb::handle container, nb::handle value);

// `sorted(iterable)` as a new list.
nb::list sorted(nb::handle iterable);

// Looks up `key` in a mapping that must be a dict: the value, or an empty
// handle when absent.
nb::object dict_get(nb::handle dict, nb::handle key);

}  // namespace tarvek::native
