#include "native/python.hpp"

namespace tarvek::native {

nb::handle Name::get() const {
  if (object_ == nullptr) {
    object_ = PyUnicode_InternFromString(text_);
    if (object_ == nullptr) {
      throw nb::python_error();
    }
  }
  return object_;
}

nb::object from_import(const char* module_name, const char* name) {
  nb::object module = nb::module_::import_(module_name);
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(module.ptr(), name, &value) < 0) {
    throw nb::python_error();
  }
  if (value == nullptr) {
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
  }
  return nb::steal(value);
}

bool truthy(nb::handle value) { return check(PyObject_IsTrue(value.ptr())) == 1; }

nb::object getattr(nb::handle obj, const Name& name) {
  return check(PyObject_GetAttr(obj.ptr(), name.get().ptr()));
}

bool is_exact_str(nb::handle value) { return PyUnicode_CheckExact(value.ptr()); }
bool is_exact_dict(nb::handle value) { return PyDict_CheckExact(value.ptr()); }
bool is_exact_list(nb::handle value) { return PyList_CheckExact(value.ptr()); }

nb::str to_str(nb::handle value) {
  return nb::steal<nb::str>(check(PyObject_Str(value.ptr())).release());
}

bool less(nb::handle a, nb::handle b) {
  return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT)) == 1;
}

bool equals(nb::handle a, nb::handle b) {
  return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

bool contains(nb::handle container, nb::handle value) {
  return check(PySequence_Contains(container.ptr(), value.ptr())) == 1;
}

nb::list sorted(nb::handle iterable) {
  nb::list result = nb::steal<nb::list>(check(PySequence_List(iterable.ptr())).release());
  check(PyList_Sort(result.ptr()));
  return result;
}

nb::object dict_get(nb::handle dict, nb::handle key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict.ptr(), key.ptr(), &value) < 0) {
    throw nb::python_error();
  }
  return nb::steal(value);
}

}  // namespace tarvek::native
