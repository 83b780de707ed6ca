// Binding a native function's arguments to its parameters as the
// interpreter binds those of a `def`, with the interpreter's own TypeError
// messages (missing, unexpected and repeated arguments, "Did you mean"),
// then the exact-type checks of annotated parameters.
#include <cstddef>

#include "native/errors.hpp"
#include "native/function_object.hpp"
#include "native/python.hpp"

namespace tarvek::native::function_object {
namespace {

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

[[noreturn]] void raise_too_many_positional(const Fields& f, Py_ssize_t given, std::size_t defcount,
                                            std::size_t kwonly_given) {
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
    kwonly_sig = check(
        PyUnicode_FromFormat(" positional argument%s (and %zu keyword-only argument%s)",
                             given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""));
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
    raise_format(PyExc_TypeError,
                 "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
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
    case TypeRule::Str:
      return "str";
    case TypeRule::StrOrNone:
      return "str or None";
    case TypeRule::Dict:
      return "dict";
    case TypeRule::DictOrNone:
      return "dict or None";
    case TypeRule::List:
      return "list";
    case TypeRule::ListOrNone:
      return "list or None";
    case TypeRule::None:
      break;
  }
  return "";
}

bool rule_accepts(TypeRule rule, PyObject* value) {
  switch (rule) {
    case TypeRule::None:
      return true;
    case TypeRule::Str:
      return PyUnicode_CheckExact(value);
    case TypeRule::StrOrNone:
      return value == Py_None || PyUnicode_CheckExact(value);
    case TypeRule::Dict:
      return PyDict_CheckExact(value);
    case TypeRule::DictOrNone:
      return value == Py_None || PyDict_CheckExact(value);
    case TypeRule::List:
      return PyList_CheckExact(value);
    case TypeRule::ListOrNone:
      return value == Py_None || PyList_CheckExact(value);
  }
  return false;
}

}  // namespace

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

}  // namespace tarvek::native::function_object
