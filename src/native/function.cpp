#include "native/function.hpp"

#include <cstddef>
#include <new>
#include <string>

#include "native/errors.hpp"
#include "native/python.hpp"

namespace tarvek::native {

namespace {

// The reference-holding members of a function object.  They live in the
// object's memory, constructed and destroyed with it; everything the
// interpreter may reach is visited by the collector.
struct Fields {
  const FunctionSpec* spec = nullptr;
  std::size_t positional_count = 0;
  nb::object globals;      // the defining module's namespace (a dict)
  nb::object builtins;     // the builtins when it was made (a dict)
  nb::object name;         // __name__ (str)
  nb::object qualname;     // __qualname__ (str)
  nb::object module;       // __module__
  nb::object doc;          // __doc__
  nb::object defaults;     // __defaults__: a tuple, or empty for None
  nb::object kwdefaults;   // __kwdefaults__: a dict, or empty for None
  nb::object annotations;  // __annotations__: a dict, or empty until asked for
  nb::object code;         // __code__, made when first asked for
  nb::object param_names[kMaxParams];  // interned parameter names
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Fields fields;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }
Fields& fields_of(PyObject* self) { return as_function(self)->fields; }

PyObject* new_reference(nb::handle value) {
  return nb::borrow(value.is_valid() ? value : nb::none()).release().ptr();
}

// ---------------------------------------------------------------------------
// Argument binding, with the interpreter's own messages for a `def`.

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
nb::object format_name_list(const nb::object* names, std::size_t count) {
  nb::object text = nb::str("");
  for (std::size_t i = 0; i < count; ++i) {
    const char* separator = "";
    if (i > 0) {
      separator = (i + 1 == count) ? (count == 2 ? " and " : ", and ") : ", ";
    }
    text = check(PyUnicode_FromFormat("%U%s%R", text.ptr(), separator, names[i].ptr()));
  }
  return text;
}

[[noreturn]] void raise_missing(const Fields& f, const nb::object* names, std::size_t count,
                                const char* kind) {
  nb::object list = format_name_list(names, count);
  raise_format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %U", f.qualname.ptr(),
               count, kind, count == 1 ? "" : "s", list.ptr());
}

[[noreturn]] void raise_too_many_positional(const Fields& f, Py_ssize_t given,
                                            std::size_t defcount, std::size_t kwonly_given) {
  const auto argcount = static_cast<Py_ssize_t>(f.positional_count);
  bool plural = argcount != 1;
  nb::object sig;
  if (defcount > 0) {
    Py_ssize_t at_least = argcount - static_cast<Py_ssize_t>(defcount);
    if (at_least < 0) {
      at_least = 0;
    }
    sig = check(PyUnicode_FromFormat("from %zd to %zd", at_least, argcount));
    plural = true;
  } else {
    sig = check(PyUnicode_FromFormat("%zd", argcount));
  }
  nb::object kwonly_sig;
  if (kwonly_given > 0) {
    kwonly_sig = check(PyUnicode_FromFormat(" positional argument%s (and %zu keyword-only argument%s)",
                                            given != 1 ? "s" : "", kwonly_given,
                                            kwonly_given != 1 ? "s" : ""));
  } else {
    kwonly_sig = nb::str("");
  }
  raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
               f.qualname.ptr(), sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
               (given == 1 && kwonly_given == 0) ? "was" : "were");
}

// The parameter name closest to the misspelt `key`, chosen as the
// interpreter chooses the "Did you mean" of its own messages; empty when
// none is close enough.
nb::object suggested_param(const Fields& f, PyObject* key) {
  const std::size_t count = f.spec->params.size();
  PyObject* candidates = PyList_New(static_cast<Py_ssize_t>(count));
  if (candidates == nullptr) {
    throw nb::python_error();
  }
  nb::object list = nb::steal(candidates);
  for (std::size_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(candidates, static_cast<Py_ssize_t>(i), f.param_names[i].inc_ref().ptr());
  }
  PyObject* module = PyImport_ImportModule("_suggestions");
  PyObject* found = nullptr;
  if (module != nullptr) {
    found = PyObject_CallMethod(module, "_generate_suggestions", "OO", candidates, key);
    Py_DECREF(module);
  }
  if (found == nullptr) {
    PyErr_Clear();  // no suggestion, as when the interpreter finds none
    return {};
  }
  nb::object suggestion = nb::steal(found);
  if (!PyUnicode_Check(found)) {
    return {};
  }
  return suggestion;
}

[[noreturn]] void raise_unexpected_keyword(const Fields& f, PyObject* key) {
  nb::object suggestion = suggested_param(f, key);
  if (suggestion.is_valid()) {
    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                 f.qualname.ptr(), key, suggestion.ptr());
  }
  raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f.qualname.ptr(),
               key);
}

// The index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Fields& f, PyObject* key) {
  const std::size_t count = f.spec->params.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (f.param_names[i].ptr() == key) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    int equal = PyObject_RichCompareBool(f.param_names[i].ptr(), key, Py_EQ);
    if (equal < 0) {
      throw nb::python_error();
    }
    if (equal == 1) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

const char* rule_text(TypeRule rule) {
  switch (rule) {
    case TypeRule::Str: return "str";
    case TypeRule::StrOrNone: return "str or None";
    case TypeRule::DictOrNone: return "dict or None";
    case TypeRule::List: return "list";
    case TypeRule::ListOrNone: return "list or None";
    case TypeRule::None: break;
  }
  return "";
}

bool rule_accepts(TypeRule rule, PyObject* value) {
  switch (rule) {
    case TypeRule::None: return true;
    case TypeRule::Str: return PyUnicode_CheckExact(value);
    case TypeRule::StrOrNone: return value == Py_None || PyUnicode_CheckExact(value);
    case TypeRule::DictOrNone: return value == Py_None || PyDict_CheckExact(value);
    case TypeRule::List: return PyList_CheckExact(value);
    case TypeRule::ListOrNone: return value == Py_None || PyList_CheckExact(value);
  }
  return false;
}

// Fills `bound` with one value per parameter, or raises TypeError.
void bind_arguments(const Fields& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    nb::object* bound) {
  const std::span<const Param> params = f.spec->params;
  const auto argcount = static_cast<Py_ssize_t>(f.positional_count);
  const Py_ssize_t copied = nargs < argcount ? nargs : argcount;
  for (Py_ssize_t i = 0; i < copied; ++i) {
    bound[i] = nb::borrow(args[i]);
  }

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t index = find_param(f, key);
      if (index < 0) {
        raise_unexpected_keyword(f, key);
      }
      if (bound[index].is_valid()) {
        raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                     f.qualname.ptr(), key);
      }
      bound[index] = nb::borrow(args[nargs + k]);
    }
  }

  const std::size_t defcount =
      f.defaults.is_valid() ? static_cast<std::size_t>(PyTuple_GET_SIZE(f.defaults.ptr())) : 0;
  if (nargs > argcount) {
    std::size_t kwonly_given = 0;
    for (std::size_t i = f.positional_count; i < params.size(); ++i) {
      kwonly_given += bound[i].is_valid() ? 1 : 0;
    }
    raise_too_many_positional(f, nargs, defcount, kwonly_given);
  }

  // Positional parameters: the trailing `defcount` ones take their defaults.
  const Py_ssize_t first_default = argcount - static_cast<Py_ssize_t>(defcount);
  nb::object missing[kMaxParams];
  std::size_t missing_count = 0;
  for (Py_ssize_t i = copied; i < argcount; ++i) {
    if (bound[i].is_valid()) {
      continue;
    }
    if (i >= first_default) {
      bound[i] = nb::borrow(PyTuple_GET_ITEM(f.defaults.ptr(), i - first_default));
    } else {
      missing[missing_count++] = f.param_names[i];
    }
  }
  if (missing_count > 0) {
    raise_missing(f, missing, missing_count, "positional");
  }

  // Keyword-only parameters take theirs from __kwdefaults__.
  for (std::size_t i = f.positional_count; i < params.size(); ++i) {
    if (bound[i].is_valid()) {
      continue;
    }
    nb::object value;
    if (f.kwdefaults.is_valid()) {
      value = dict_get(f.kwdefaults, f.param_names[i]);
    }
    if (value.is_valid()) {
      bound[i] = std::move(value);
    } else {
      missing[missing_count++] = f.param_names[i];
    }
  }
  if (missing_count > 0) {
    raise_missing(f, missing, missing_count, "keyword-only");
  }

  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!rule_accepts(params[i].rule, bound[i].ptr())) {
      raise_format(PyExc_TypeError, "%U() argument '%s' must be %s, not %s", f.qualname.ptr(),
                   params[i].name, rule_text(params[i].rule), Py_TYPE(bound[i].ptr())->tp_name);
    }
  }
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
    bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    nb::handle handles[kMaxParams];
    for (std::size_t i = 0; i < f.spec->params.size(); ++i) {
      handles[i] = bound[i];
    }
    // Keep the namespace alive even if the function is cleared meanwhile.
    nb::object globals = f.globals;
    nb::object builtins = f.builtins;
    nb::object self = nb::borrow(callable);
    const Call call(self, globals, builtins, handles, f.spec->params.size());
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

// __code__: a code object with the function's parameters, as `inspect`
// reads them from a Python function, so that `inspect.signature` treats
// the function as it treats a `def`: it follows `__wrapped__`, honours an
// assigned `__signature__`, and evaluates string annotations in the module
// namespace (`__globals__`) when asked to.  The code object is a stub
// compiled from the parameter list; calling the function never runs it.
nb::object build_code(PyObject* self) {
  const Fields& f = fields_of(self);
  std::string source = "def _(";
  const std::span<const Param> params = f.spec->params;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i > 0) {
      source += ", ";
    }
    if (i == f.positional_count) {
      source += "*, ";
    }
    source += params[i].name;
  }
  source += "):\n    pass\n";

  nb::object filename = dict_get(f.globals, nb::str("__file__"));
  if (!filename.is_valid() || !PyUnicode_Check(filename.ptr())) {
    filename = nb::str("<native>");
  }
  nb::object module_code =
      check(Py_CompileStringObject(source.c_str(), filename.ptr(), Py_file_input, nullptr, -1));
  nb::object consts = module_code.attr("co_consts");
  for (nb::handle constant : consts) {
    if (PyCode_Check(constant.ptr())) {
      return constant.attr("replace")(nb::arg("co_name") = nb::str(f.spec->name),
                                      nb::arg("co_qualname") = nb::str(f.spec->qualname));
    }
  }
  raise(PyExc_SystemError, "native function: no code object for the parameter list");
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
    f.code = build_code(self);
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

nb::object make_function(const FunctionSpec& spec, nb::handle module_globals,
                         nb::handle defaults, nb::handle kwdefaults) {
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
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    f.param_names[i] = check(PyUnicode_InternFromString(spec.params[i].name));
    if (spec.params[i].kind == ParamKind::PositionalOrKeyword) {
      ++f.positional_count;
    }
  }
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
  if (!defaults.is_none()) {
    f.defaults = nb::borrow(defaults);
  }
  if (!kwdefaults.is_none()) {
    f.kwdefaults = nb::borrow(kwdefaults);
  }
  nb::dict annotations;
  for (const Param& param : spec.params) {
    if (param.annotation != nullptr) {
      annotations[param.name] = param.annotation;
    }
  }
  annotations["return"] = spec.return_annotation;
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
