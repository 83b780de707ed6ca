#include "native/genuine_json.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "native/genuine.hpp"
#include "native/watch.hpp"

namespace tarvek::native {
namespace {

bool is_none(PyObject* value) { return value == Py_None; }

// An exact float whose value is `expected` (NaN for NaN).
bool is_float(PyObject* value, double expected) {
  if (value == nullptr || !PyFloat_CheckExact(value)) {
    return false;
  }
  double actual = PyFloat_AS_DOUBLE(value);
  return std::isnan(expected) ? std::isnan(actual) : actual == expected;
}

// The module `_json` that a function of it (`scanstring`) was made by, as
// its own method table says; null for anything else.
PyObject* json_accelerator(PyObject* function) {
  if (function == nullptr || !PyCFunction_Check(function)) {
    return nullptr;
  }
  PyObject* module = PyCFunction_GET_SELF(function);
  if (module == nullptr || !PyModule_Check(module)) {
    return nullptr;
  }
  const PyModuleDef* def = PyModule_GetDef(module);
  if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "_json") != 0) {
    return nullptr;
  }
  const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
  for (const PyMethodDef* entry = def->m_methods; entry != nullptr && entry->ml_name != nullptr;
       ++entry) {
    if (entry == method) {
      return module;
    }
  }
  return nullptr;
}

class Examiner {
 public:
  // What the verdict rests on: dictionaries watched, classes by version tag.
  std::vector<PyTypeObject*> classes;
  bool watched = true;

  bool run(PyObject* json) {
    if (json == nullptr || !PyModule_CheckExact(json)) {
      return false;
    }
    PyObject* names = PyModule_GetDict(json);
    if (!watch_dict(names) || !is_namespace_of(names, "json")) {
      return false;
    }
    // def loads(s, *, cls=None, object_hook=None, parse_float=None,
    //           parse_int=None, parse_constant=None, object_pairs_hook=None, **kw)
    PyObject* loads = item(names, "loads");
    if (loads == nullptr || !is_source_function(loads, names, "loads") ||
        PyFunction_GET_DEFAULTS(loads) != nullptr || !keyword_defaults_none(loads, 6) ||
        !builtins_of(loads)) {
      return false;
    }
    return decoder(names);
  }

 private:
  bool watch_dict(PyObject* dict) {
    watched = watch(dict) && watched;
    return dict != nullptr && PyDict_CheckExact(dict);
  }

  bool builtins_of(PyObject* function) {
    auto* raw = reinterpret_cast<PyFunctionObject*>(function);
    watched = watch(raw->func_builtins) && watched;
    return uses_genuine_builtins(function);
  }

  static bool keyword_defaults_none(PyObject* function, Py_ssize_t count) {
    PyObject* keywords = PyFunction_GET_KW_DEFAULTS(function);
    if (keywords == nullptr || !PyDict_CheckExact(keywords) || PyDict_GET_SIZE(keywords) != count) {
      return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(keywords, &position, &key, &value)) {
      if (!is_none(value)) {
        return false;
      }
    }
    return true;
  }

  // _default_decoder = JSONDecoder(object_hook=None, object_pairs_hook=None),
  // its class that of json.decoder, its `decode` and `raw_decode` the
  // source's, its scanner `_json`'s with the default hooks.
  bool decoder(PyObject* names) {
    PyObject* instance = item(names, "_default_decoder");
    PyObject* cls = item(names, "JSONDecoder");
    if (instance == nullptr || cls == nullptr || !PyType_Check(cls) ||
        Py_TYPE(instance) != reinterpret_cast<PyTypeObject*>(cls) || Py_TYPE(cls) != &PyType_Type) {
      return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    classes.push_back(type);
    PyObject* mro = type->tp_mro;
    PyObject* own = type->tp_dict;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 2 ||
        PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
        own == nullptr || item(own, "__getattribute__") != nullptr ||
        item(own, "__getattr__") != nullptr) {
      return false;
    }
    PyObject* decode = item(own, "decode");
    PyObject* raw_decode = item(own, "raw_decode");
    if (decode == nullptr || !PyFunction_Check(decode) || raw_decode == nullptr) {
      return false;
    }
    PyObject* decoder_names = PyFunction_GET_GLOBALS(decode);
    if (!watch_dict(decoder_names) || !is_namespace_of(decoder_names, "json.decoder") ||
        item(decoder_names, "JSONDecoder") != cls ||
        !is_source_function(decode, decoder_names, "JSONDecoder.decode") ||
        !is_source_function(raw_decode, decoder_names, "JSONDecoder.raw_decode") ||
        !builtins_of(decode) || !builtins_of(raw_decode) || !whitespace(decode, decoder_names)) {
      return false;
    }
    // The instance's own attributes: none hides the methods, and the
    // scanner is the one the constructor made.
    nb::object attributes = nb::steal(PyObject_GenericGetDict(instance, nullptr));
    if (!attributes.is_valid()) {
      PyErr_Clear();
      return false;
    }
    if (!watch_dict(attributes.ptr()) || item(attributes.ptr(), "decode") != nullptr ||
        item(attributes.ptr(), "raw_decode") != nullptr) {
      return false;
    }
    return scanner(item(attributes.ptr(), "scan_once"), decoder_names);
  }

  // decode(self, s, _w=WHITESPACE.match), WHITESPACE = re.compile(r'[ \t\n\r]*', FLAGS)
  bool whitespace(PyObject* decode, PyObject* decoder_names) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(decode);
    PyObject* pattern = item(decoder_names, "WHITESPACE");
    if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1 ||
        pattern == nullptr ||
        !is_type_of(reinterpret_cast<PyObject*>(Py_TYPE(pattern)), "_sre", "re.Pattern")) {
      return false;
    }
    PyObject* match = PyTuple_GET_ITEM(defaults, 0);
    if (!PyCFunction_Check(match) || PyCFunction_GET_SELF(match) != pattern ||
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(match)->m_ml->ml_name, "match") != 0) {
      return false;
    }
    nb::object text = c_attribute(pattern, "pattern");
    nb::object flags = c_attribute(pattern, "flags");
    // re.VERBOSE | re.MULTILINE | re.DOTALL, and re.UNICODE for a str pattern
    constexpr long kFlags = 64 | 8 | 16 | 32;
    return text.is_valid() && text_of(text.ptr()) == "[ \\t\\n\\r]*" && flags.is_valid() &&
           PyLong_CheckExact(flags.ptr()) && PyLong_AsLong(flags.ptr()) == kFlags;
  }

  // scanner.make_scanner(self): `_json`'s scanner, strict, without hooks,
  // parse_float float, parse_int int, parse_constant _CONSTANTS.__getitem__.
  bool scanner(PyObject* scan, PyObject* decoder_names) {
    // Made by `_json.make_scanner`, the class of the module `_json` that
    // json.decoder's `c_scanstring` comes from (a class of its own: the
    // verdict follows its version tag).
    PyObject* accelerator = json_accelerator(item(decoder_names, "c_scanstring"));
    if (scan == nullptr || accelerator == nullptr) {
      return false;
    }
    PyObject* accelerator_names = PyModule_GetDict(accelerator);
    if (!watch_dict(accelerator_names) ||
        item(accelerator_names, "make_scanner") != reinterpret_cast<PyObject*>(Py_TYPE(scan)) ||
        std::strcmp(Py_TYPE(scan)->tp_name, "_json.Scanner") != 0) {
      return false;
    }
    classes.push_back(Py_TYPE(scan));
    nb::object strict = c_attribute(scan, "strict");
    nb::object object_hook = c_attribute(scan, "object_hook");
    nb::object pairs_hook = c_attribute(scan, "object_pairs_hook");
    nb::object parse_float = c_attribute(scan, "parse_float");
    nb::object parse_int = c_attribute(scan, "parse_int");
    nb::object parse_constant = c_attribute(scan, "parse_constant");
    if (strict.ptr() != Py_True || !object_hook.is_valid() || !is_none(object_hook.ptr()) ||
        !pairs_hook.is_valid() || !is_none(pairs_hook.ptr()) ||
        parse_float.ptr() != reinterpret_cast<PyObject*>(&PyFloat_Type) ||
        parse_int.ptr() != reinterpret_cast<PyObject*>(&PyLong_Type) ||
        !parse_constant.is_valid()) {
      return false;
    }
    PyObject* constants = item(decoder_names, "_CONSTANTS");
    PyObject* getitem = parse_constant.ptr();
    if (constants == nullptr || !watch_dict(constants) || PyDict_GET_SIZE(constants) != 3 ||
        !PyCFunction_Check(getitem) || PyCFunction_GET_SELF(getitem) != constants ||
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(getitem)->m_ml->ml_name, "__getitem__") !=
            0) {
      return false;
    }
    return is_float(item(constants, "-Infinity"), -HUGE_VAL) &&
           is_float(item(constants, "Infinity"), HUGE_VAL) && is_float(item(constants, "NaN"), NAN);
  }
};

// The verdict about one `json` object, kept while what it read is
// unchanged.  It holds a strong reference to the object it is about, so
// that comparing by address stays sound, and to the classes it guards.
struct Verdict {
  PyObject* json = nullptr;
  bool genuine = false;
  std::uint64_t epoch = 0;
  std::vector<std::pair<PyTypeObject*, unsigned int>> tags;

  bool holds_for(PyObject* candidate) const {
    if (json == nullptr || json != candidate || epoch != world_epoch()) {
      return false;
    }
    for (const auto& [type, tag] : tags) {
      if (tag == 0 || type->tp_version_tag != tag) {
        return false;
      }
    }
    return true;
  }

  void release() {
    Py_CLEAR(json);
    for (auto& [type, tag] : tags) {
      Py_DECREF(reinterpret_cast<PyObject*>(type));
    }
    tags.clear();
  }
};

Verdict g_verdict;

}  // namespace

bool json_loads_is_genuine(nb::handle json) {
  if (g_verdict.holds_for(json.ptr())) {
    return g_verdict.genuine;
  }
  Verdict verdict;
  verdict.epoch = world_epoch();
  Examiner examiner;
  verdict.genuine = examiner.run(json.ptr());
  verdict.json = Py_NewRef(json.ptr());
  for (PyTypeObject* type : examiner.classes) {
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    verdict.tags.emplace_back(type, version_tag(type));
  }
  // Examining may have moved the epoch on (a first watch); a verdict that
  // could not watch what it read is not kept.
  if (verdict.epoch != world_epoch() || !examiner.watched) {
    verdict.epoch = 0;
  }
  bool genuine = verdict.genuine;
  Verdict previous = g_verdict;
  g_verdict = verdict;
  previous.release();  // last: releasing may run code that calls back here
  return genuine;
}

}  // namespace tarvek::native
