#include "native/step_builtins.hpp"

#include <array>
#include <cstdint>

#include "native/errors.hpp"
#include "native/genuine.hpp"
#include "native/names.hpp"
#include "native/python.hpp"
#include "native/watch.hpp"

namespace tarvek::native {
namespace {

const std::array<const Name*, 10> kUsed{&names::sorted, &names::set,   &names::str,
                                        &names::isinstance, &names::dict, &names::bool_,
                                        &names::any,    &names::list,  &names::getattr,
                                        &names::Exception};

struct Verdict {
  PyObject* globals = nullptr;   // compared by address; watched
  PyObject* builtins = nullptr;
  std::uint64_t world = 0;
  std::uint64_t namespaces = 0;
  bool intact = false;
};

// One entry per module namespace of this library (one module each, and a
// reloaded module keeps its namespace).
std::array<Verdict, 2> g_verdicts;

// What each name finds (the namespace's binding first, then the builtin)
// is the interpreter's own object for that name.
bool examine(nb::handle globals, nb::handle builtins) {
  for (const Name* name : kUsed) {
    nb::object value = dict_get(globals, *name);
    if (!value.is_valid()) {
      value = dict_get(builtins, *name);
    }
    if (!value.is_valid() || !is_genuine_builtin(builtins, name->get(), value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool builtins_intact(const Call& call) {
  PyObject* globals = call.globals().ptr();
  PyObject* builtins = call.builtins().ptr();
  for (const Verdict& verdict : g_verdicts) {
    if (verdict.globals == globals && verdict.builtins == builtins &&
        verdict.world == world_epoch() && verdict.namespaces == namespace_epoch()) {
      return verdict.intact;
    }
  }
  bool watched = watch(globals, true) && watch(builtins);
  Verdict fresh{globals, builtins, world_epoch(), namespace_epoch(), examine(globals, builtins)};
  if (watched) {
    Verdict& slot = g_verdicts[0].globals == globals || g_verdicts[0].globals == nullptr
                        ? g_verdicts[0]
                        : g_verdicts[1];
    slot = fresh;
  }
  return fresh.intact;
}

nb::object sorted_of(const Call& call, nb::handle iterable) {
  if (builtins_intact(call)) {
    return sorted(iterable);
  }
  return call.global(names::sorted)(iterable);
}

nb::object set_of(const Call& call, nb::handle iterable) {
  if (builtins_intact(call)) {
    return check(PySet_New(iterable.is_valid() ? iterable.ptr() : nullptr));
  }
  nb::object type = call.global(names::set);
  return iterable.is_valid() ? type(iterable) : type();
}

nb::object str_of(const Call& call, nb::handle value) {
  if (builtins_intact(call)) {
    return to_str(value);
  }
  return call.global(names::str)(value);
}

bool is_dict_instance(const Call& call, nb::handle value) {
  if (builtins_intact(call)) {
    return PyDict_Check(value.ptr());
  }
  nb::object isinstance = call.global(names::isinstance);
  return truthy(isinstance(value, call.global(names::dict)));
}

nb::object bool_of(const Call& call, nb::handle value) {
  if (builtins_intact(call)) {
    return nb::bool_(truthy(value));
  }
  return call.global(names::bool_)(value);
}

nb::object list_of(const Call& call, nb::handle iterable) {
  if (builtins_intact(call)) {
    return check(PySequence_List(iterable.ptr()));
  }
  return call.global(names::list)(iterable);
}

bool any_of(const Call& call, nb::handle iterable) {
  if (!builtins_intact(call)) {
    return truthy(call.global(names::any)(iterable));
  }
  for (nb::handle item : iterable) {
    if (truthy(item)) {
      return true;
    }
  }
  return false;
}

nb::object getattr_or(const Call& call, nb::handle obj, nb::handle name, nb::handle fallback) {
  if (!builtins_intact(call)) {
    return call.global(names::getattr)(obj, name, fallback);
  }
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj.ptr(), name.ptr(), &value) < 0) {
    throw nb::python_error();
  }
  return value != nullptr ? nb::steal(value) : nb::borrow(fallback);
}

nb::object exception_class(const Call& call) {
  if (builtins_intact(call)) {
    return nb::borrow(PyExc_Exception);
  }
  return call.global(names::Exception);
}

}  // namespace tarvek::native
