// The native function type: its object, calls through vectorcall, the
// attributes a `def` has (`__name__`, `__defaults__`, `__annotations__`,
// ...), binding as a method, pickling by name; and making one from a spec.
#include "native/function.hpp"

#include <cstddef>
#include <new>

#include "native/errors.hpp"
#include "native/function_object.hpp"
#include "native/python.hpp"

namespace tarvek::native {

namespace {

using function_object::as_function;
using function_object::Fields;
using function_object::fields_of;
using function_object::FunctionObject;

PyObject* new_reference(nb::handle value) {
  return nb::borrow(value.is_valid() ? value : nb::none()).release().ptr();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Fields& f = fields_of(callable);
  if (f.spec == nullptr || !f.globals.is_valid() || !f.builtins.is_valid() ||
      !f.qualname.is_valid()) {
    PyErr_SetString(PyExc_SystemError, "native function called after it was cleared");
    return nullptr;
  }
  // Native calls nest on the C stack.  Besides the interpreter's own guard
  // they count against the Python recursion limit, as the frames of Python
  // functions would, so that runaway recursion through the module namespace
  // ends in RecursionError long before the stack does.
  static thread_local int depth = 0;
  if (depth >= Py_GetRecursionLimit()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
  }
  if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
    return nullptr;
  }
  ++depth;
  PyObject* result = nullptr;
  try {
    // Strong references: the body may rebind __defaults__ or the arguments'
    // owners while it runs.
    nb::object bound[kMaxParams];
    function_object::bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    nb::handle handles[kMaxParams];
    for (std::size_t i = 0; i < f.spec->params.size(); ++i) {
      handles[i] = bound[i];
    }
    // Keep the namespace alive even if the function is cleared meanwhile.
    nb::object globals = f.globals;
    nb::object builtins = f.builtins;
    nb::object self = nb::borrow(callable);
    const Call call(self, globals, builtins, handles);
    result = f.spec->body(call).release().ptr();
  } catch (...) {
    restore_current_exception();
    result = nullptr;
  }
  --depth;
  Py_LeaveRecursiveCall();
  return result;
}

// ---------------------------------------------------------------------------
// Type slots.

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Fields& f = fields_of(self);
  Py_VISIT(f.globals.ptr());
  Py_VISIT(f.builtins.ptr());
  Py_VISIT(f.module.ptr());
  Py_VISIT(f.doc.ptr());
  Py_VISIT(f.defaults.ptr());
  Py_VISIT(f.kwdefaults.ptr());
  Py_VISIT(f.annotations.ptr());
  Py_VISIT(f.code.ptr());
  return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
  Fields& f = fields_of(self);
  f.globals.reset();
  f.builtins.reset();
  f.module.reset();
  f.doc.reset();
  f.defaults.reset();
  f.kwdefaults.reset();
  f.annotations.reset();
  f.code.reset();
  PyObject_ClearManagedDict(self);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  PyObject_ClearWeakRefs(self);
  PyObject_ClearManagedDict(self);
  fields_of(self).~Fields();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  const Fields& f = fields_of(self);
  if (!f.qualname.is_valid()) {
    return PyUnicode_FromFormat("<function at %p>", self);
  }
  return PyUnicode_FromFormat("<function %U at %p>", f.qualname.ptr(), self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    return Py_NewRef(self);
  }
  return PyMethod_New(self, obj);
}

// __reduce__: a function pickles and copies as a reference to its name.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
  return new_reference(fields_of(self).qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Getters and setters behave as those of the interpreter's own functions.

PyObject* get_name(PyObject* self, void*) { return new_reference(fields_of(self).name); }
PyObject* get_qualname(PyObject* self, void*) { return new_reference(fields_of(self).qualname); }
PyObject* get_module(PyObject* self, void*) { return new_reference(fields_of(self).module); }
PyObject* get_doc(PyObject* self, void*) { return new_reference(fields_of(self).doc); }
PyObject* get_globals(PyObject* self, void*) { return new_reference(fields_of(self).globals); }
PyObject* get_defaults(PyObject* self, void*) { return new_reference(fields_of(self).defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) {
  return new_reference(fields_of(self).kwdefaults);
}

int set_string(nb::object& slot, PyObject* value, const char* attribute) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  slot = nb::borrow(value);
  return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
  return set_string(fields_of(self).name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_string(fields_of(self).qualname, value, "__qualname__");
}

// A deleted __module__ or __doc__ reads as None afterwards.
int set_module(PyObject* self, PyObject* value, void*) {
  fields_of(self).module = nb::borrow(value != nullptr ? value : Py_None);
  return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) {
  fields_of(self).doc = nb::borrow(value != nullptr ? value : Py_None);
  return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  fields_of(self).defaults = nb::borrow(value);
  return 0;
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  fields_of(self).kwdefaults = nb::borrow(value);
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  Fields& f = fields_of(self);
  if (!f.annotations.is_valid()) {
    PyObject* fresh = PyDict_New();
    if (fresh == nullptr) {
      return nullptr;
    }
    f.annotations = nb::steal(fresh);
  }
  return new_reference(f.annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  fields_of(self).annotations = nb::borrow(value);
  return 0;
}

PyObject* get_code(PyObject* self, void*) {
  Fields& f = fields_of(self);
  if (f.code.is_valid()) {
    return new_reference(f.code);
  }
  if (f.spec == nullptr || !f.globals.is_valid()) {
    Py_RETURN_NONE;
  }
  try {
    f.code = function_object::build_code(f);
    return new_reference(f.code);
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tarvek.skills.native_function",
    static_cast<int>(sizeof(FunctionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* g_function_type = nullptr;

}  // namespace

nb::handle function_type() {
  if (g_function_type == nullptr) {
    g_function_type = PyType_FromSpec(&function_spec);
    if (g_function_type == nullptr) {
      throw nb::python_error();
    }
  }
  return g_function_type;
}

namespace {

// A default as the interpreter holds it.
nb::object default_value(const Default& value, nb::handle module_globals) {
  if (value.kind != Default::Kind::Global) {
    return nb::none();
  }
  nb::object found = dict_get(module_globals, value.global->get());
  if (!found.is_valid()) {
    raise_format(PyExc_NameError, "name '%s' is not defined", value.global->text());
  }
  return found;
}

}  // namespace

nb::object make_function(const FunctionSpec& spec, nb::handle module_globals) {
  if (spec.params.size() > kMaxParams) {
    raise(PyExc_SystemError, "native function declares too many parameters");
  }
  auto* type = reinterpret_cast<PyTypeObject*>(function_type().ptr());
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) {
    throw nb::python_error();
  }
  // tp_alloc zeroes the memory; the members still need constructing.  A
  // failure below is cleaned up by the object's own deallocation.
  new (&as_function(raw)->fields) Fields();
  as_function(raw)->vectorcall = function_vectorcall;
  nb::object self = nb::steal(raw);

  Fields& f = fields_of(raw);
  f.spec = &spec;
  nb::list defaults;
  nb::dict kwdefaults;
  nb::dict annotations;
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    const Param& param = spec.params[i];
    f.param_names[i] = check(PyUnicode_InternFromString(param.name));
    const bool keyword_only = param.kind == ParamKind::KeywordOnly;
    if (!keyword_only) {
      ++f.positional_count;
    }
    if (param.default_value.kind != Default::Kind::Required) {
      nb::object value = default_value(param.default_value, module_globals);
      if (keyword_only) {
        kwdefaults[f.param_names[i]] = value;
      } else {
        defaults.append(value);
      }
    }
    if (param.annotation != nullptr) {
      annotations[f.param_names[i]] = param.annotation;
    }
  }
  annotations["return"] = spec.return_annotation;
  f.globals = nb::borrow(module_globals);
  // As for a `def` run in a namespace without `__builtins__`: the builtins
  // of the code running now (the import), which are the interpreter's.
  PyObject* builtins = PyEval_GetBuiltins();
  f.builtins = builtins != nullptr ? nb::borrow(builtins) : check(PyDict_New());
  f.name = nb::str(spec.name);
  f.qualname = nb::str(spec.qualname);
  nb::object module_name = dict_get(module_globals, nb::str("__name__"));
  f.module = module_name.is_valid() ? module_name : nb::none();
  f.doc = spec.doc != nullptr ? nb::object(nb::str(spec.doc)) : nb::none();
  // As the interpreter reports them: None when there are none.
  if (defaults.size() > 0) {
    f.defaults = nb::tuple(defaults);
  }
  if (kwdefaults.size() > 0) {
    f.kwdefaults = kwdefaults;
  }
  f.annotations = annotations;
  return self;
}

// ---------------------------------------------------------------------------

nb::object Call::global(nb::handle name) const {
  nb::object value = dict_get(globals_, name);
  if (value.is_valid()) {
    return value;
  }
  if (builtins_.is_valid() && PyDict_Check(builtins_.ptr())) {
    value = dict_get(builtins_, name);
    if (value.is_valid()) {
      return value;
    }
  }
  raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

nb::object Call::global(const char* name) const { return global(nb::str(name)); }

}  // namespace tarvek::native
