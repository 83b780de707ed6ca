#include "native/own.hpp"

#include <utility>
#include <vector>

namespace tarvek::native {
namespace {

// One module per shared library: its remembered (name, object) pairs.
std::vector<std::pair<const Name*, PyObject*>> g_own;

}  // namespace

void remember_own(nb::handle module_dict, std::initializer_list<const Name*> names) {
  for (auto& [name, value] : g_own) {
    Py_XDECREF(value);
  }
  g_own.clear();
  for (const Name* name : names) {
    nb::object value = dict_get(module_dict, *name);
    g_own.emplace_back(name, value.is_valid() ? value.release().ptr() : nullptr);
  }
}

nb::handle own_object(const Name& name) {
  for (auto& [known, value] : g_own) {
    if (known == &name) {
      return value;
    }
  }
  return {};
}

bool is_own(const Call& call, const Name& name) {
  nb::handle original = own_object(name);
  if (!original.is_valid()) {
    return false;
  }
  PyObject* current = nullptr;
  if (PyDict_GetItemRef(call.globals().ptr(), name.get().ptr(), &current) < 0) {
    throw nb::python_error();
  }
  Py_XDECREF(current);  // only its identity is compared
  return current == original.ptr();
}

}  // namespace tarvek::native
