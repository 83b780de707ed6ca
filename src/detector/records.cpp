// Building the records discovery reports.  `SkillRecord(name=..., version=...,
// runtime=..., root=..., version_file=...)` is called as bound now; while it
// is the record class of tarvek.skills.domain.models with that module's own
// `__init__` (which sets the five fields and does nothing else), the record
// is made as that call makes it, without running the `__init__`: allocated
// by the class and its five slots filled.
#include "detector/detector.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "native/genuine.hpp"
#include "native/watch.hpp"

namespace tarvek::detector {
namespace {

constexpr std::array<const char*, 5> kFields{"name", "version", "runtime", "root", "version_file"};

// What was found about one class, kept while what it read is unchanged.
struct Layout {
  PyObject* type = nullptr;  // a strong reference, so that its address stays its own
  unsigned int tag = 0;
  std::uint64_t epoch = 0;
  bool plain = false;
  std::array<Py_ssize_t, 5> offsets{};

  bool holds_for(PyObject* candidate) const {
    return type != nullptr && type == candidate && epoch == native::world_epoch() && tag != 0 &&
           reinterpret_cast<PyTypeObject*>(type)->tp_version_tag == tag;
  }
};

Layout g_layout;

// The slot of `field` the class itself defines, or -1.
Py_ssize_t slot_offset(PyTypeObject* type, const char* field) {
  PyObject* descriptor = native::item(type->tp_dict, field);
  if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
    return -1;
  }
  auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
  if (member->d_common.d_type != type || member->d_member->type != Py_T_OBJECT_EX ||
      (member->d_member->flags & Py_READONLY) != 0) {
    return -1;
  }
  return member->d_member->offset;
}

bool examine(PyObject* candidate, Layout& layout, bool& watched) {
  if (!PyType_Check(candidate) || Py_TYPE(candidate) != &PyType_Type) {
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(candidate);
  PyObject* mro = type->tp_mro;
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || mro == nullptr || !PyTuple_CheckExact(mro) ||
      PyTuple_GET_SIZE(mro) != 2 ||
      PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
      type->tp_new != PyBaseObject_Type.tp_new || type->tp_alloc != PyType_GenericAlloc ||
      native::item(type->tp_dict, "__new__") != nullptr) {
    return false;
  }
  // def __init__(self, *, name, version, runtime, root, version_file), the
  // models module's own.
  PyObject* init = native::item(type->tp_dict, "__init__");
  if (init == nullptr || !PyFunction_Check(init)) {
    return false;
  }
  PyObject* globals = PyFunction_GET_GLOBALS(init);
  watched = native::watch(globals) && watched;
  watched = native::watch(reinterpret_cast<PyFunctionObject*>(init)->func_builtins) && watched;
  if (!native::is_namespace_of(globals, "tarvek.skills.domain.models") ||
      native::item(globals, "SkillRecord") != candidate ||
      !native::is_source_function(init, globals, "SkillRecord.__init__") ||
      PyFunction_GET_DEFAULTS(init) != nullptr || PyFunction_GET_KW_DEFAULTS(init) != nullptr ||
      !native::uses_genuine_builtins(init)) {
    return false;
  }
  auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(init));
  if (code->co_argcount != 1 || code->co_kwonlyargcount != 5 || code->co_posonlyargcount != 0 ||
      (code->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) != 0) {
    return false;
  }
  nb::object parameters = nb::steal(PyCode_GetVarnames(code));
  if (!parameters.is_valid()) {
    PyErr_Clear();
    return false;
  }
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (native::text_of(PyTuple_GET_ITEM(parameters.ptr(), static_cast<Py_ssize_t>(i) + 1)) !=
        kFields[i]) {
      return false;
    }
    layout.offsets[i] = slot_offset(type, kFields[i]);
    if (layout.offsets[i] < 0) {
      return false;
    }
  }
  return true;
}

const Layout* plain_layout(nb::handle record_type) {
  if (g_layout.holds_for(record_type.ptr())) {
    return g_layout.plain ? &g_layout : nullptr;
  }
  Layout layout;
  layout.epoch = native::world_epoch();
  bool watched = true;
  layout.plain = examine(record_type.ptr(), layout, watched);
  if (PyType_Check(record_type.ptr())) {
    layout.tag = native::version_tag(reinterpret_cast<PyTypeObject*>(record_type.ptr()));
  }
  if (layout.epoch != native::world_epoch() || !watched) {
    layout.epoch = 0;  // could not watch what it read: examined at every use
  }
  layout.type = Py_NewRef(record_type.ptr());
  PyObject* previous = g_layout.type;
  g_layout = layout;
  Py_XDECREF(previous);  // last: releasing may run code that calls back here
  return g_layout.plain ? &g_layout : nullptr;
}

}  // namespace

nb::object make_record(nb::handle record_type, const std::array<nb::handle, 5>& fields) {
  if (const Layout* layout = plain_layout(record_type)) {
    auto* type = reinterpret_cast<PyTypeObject*>(layout->type);
    nb::object record = native::check(type->tp_alloc(type, 0));
    for (std::size_t i = 0; i < fields.size(); ++i) {
      auto** slot =
          reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record.ptr()) + layout->offsets[i]);
      *slot = Py_NewRef(fields[i].ptr());
    }
    return record;
  }
  static PyObject* keywords = [] {
    PyObject* tuple = PyTuple_New(kFields.size());
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), PyUnicode_InternFromString(kFields[i]));
    }
    return tuple;  // kept for the life of the process
  }();
  std::array<PyObject*, 5> arguments{};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    arguments[i] = fields[i].ptr();
  }
  return native::check(PyObject_Vectorcall(record_type.ptr(), arguments.data(), 0, keywords));
}

}  // namespace tarvek::detector
