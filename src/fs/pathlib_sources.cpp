#include "fs/pathlib_sources.hpp"

#include <cstdint>

#include "native/genuine.hpp"

namespace tarvek::fs::sources {
namespace {

using native::is_c_function_of;
using native::is_namespace_of;
using native::is_type_of;
using native::item;
using native::text_of;

// The defaults our calls rely on, as the sources write them.
enum class Const : std::uint8_t { None, True, False, MinusOne, ReadMode };

bool is_const(PyObject* value, Const expected) {
  switch (expected) {
    case Const::None: return value == Py_None;
    case Const::True: return value == Py_True;
    case Const::False: return value == Py_False;
    case Const::MinusOne:
      return PyLong_CheckExact(value) && PyLong_AsLong(value) == -1 && PyErr_Occurred() == nullptr;
    case Const::ReadMode: return text_of(value) == "r";
  }
  return false;
}

struct Keyword {
  const char* name;
  Const value;
};

struct DefaultsRule {
  const char* module;
  const char* qualname;
  int positional_count;  // -1: not relied on
  Const positional[5];
  int keyword_count;     // -1: not relied on
  Keyword keywords[2];
};

constexpr Const N = Const::None;
constexpr Const T = Const::True;
constexpr Const F = Const::False;

const DefaultsRule kDefaults[] = {
    {"pathlib._abc", "PathBase.exists", -1, {}, 1, {{"follow_symlinks", T}}},
    {"pathlib._abc", "PathBase.is_dir", -1, {}, 1, {{"follow_symlinks", T}}},
    {"pathlib._abc", "PathBase.is_file", -1, {}, 1, {{"follow_symlinks", T}}},
    {"pathlib._local", "Path.stat", -1, {}, 1, {{"follow_symlinks", T}}},
    {"pathlib._local", "Path.rglob", -1, {}, 2, {{"case_sensitive", N}, {"recurse_symlinks", F}}},
    {"pathlib._local", "Path.unlink", 1, {F}, -1, {}},
    {"pathlib._local", "Path.resolve", 1, {F}, -1, {}},
    {"pathlib._local", "Path.read_text", 3, {N, N, N}, -1, {}},
    {"pathlib._local", "Path.open", 5, {Const::ReadMode, Const::MinusOne, N, N, N}, -1, {}},
    {"pathlib._local", "PurePath.relative_to", -1, {}, 1, {{"walk_up", F}}},
    {"posixpath", "realpath", -1, {}, 1, {{"strict", F}}},
};

}  // namespace

bool defaults_hold(PyObject* function, PyObject* globals, std::string_view qualname) {
  for (const DefaultsRule& rule : kDefaults) {
    if (qualname != rule.qualname || !is_namespace_of(globals, rule.module)) {
      continue;
    }
    if (rule.positional_count >= 0) {
      PyObject* defaults = PyFunction_GET_DEFAULTS(function);
      if (defaults == nullptr || !PyTuple_CheckExact(defaults) ||
          PyTuple_GET_SIZE(defaults) != rule.positional_count) {
        return false;
      }
      for (int i = 0; i < rule.positional_count; ++i) {
        if (!is_const(PyTuple_GET_ITEM(defaults, i), rule.positional[i])) {
          return false;
        }
      }
    }
    if (rule.keyword_count >= 0) {
      PyObject* keywords = PyFunction_GET_KW_DEFAULTS(function);
      if (keywords == nullptr || !PyDict_CheckExact(keywords) ||
          PyDict_GET_SIZE(keywords) != rule.keyword_count) {
        return false;
      }
      for (int i = 0; i < rule.keyword_count; ++i) {
        PyObject* value = item(keywords, rule.keywords[i].name);
        if (value == nullptr || !is_const(value, rule.keywords[i].value)) {
          return false;
        }
      }
    }
  }
  return true;
}

namespace {

const Resolution kPathAttributeTable[] = {
    {"__new__", "Path"}, {"__init__", "Path"}, {"stat", "Path"}, {"open", "Path"},
    {"read_text", "Path"}, {"iterdir", "Path"}, {"glob", "Path"}, {"rglob", "Path"},
    {"absolute", "Path"}, {"resolve", "Path"}, {"expanduser", "Path"}, {"unlink", "Path"},
    {"rmdir", "Path"}, {"_remove_leading_dot", "Path"}, {"_remove_trailing_slash", "Path"},
    {"_filter_trailing_slash", "Path"}, {"exists", "PathBase"}, {"is_dir", "PathBase"},
    {"is_file", "PathBase"}, {"is_symlink", "PathBase"}, {"lstat", "PathBase"},
    {"_glob_selector", "PathBase"}, {"home", "PathBase"}, {"cwd", "PathBase"},
    {"parser", "PurePosixPath"}, {"_globber", "PurePath"}, {"joinpath", "PurePath"},
    {"__truediv__", "PurePath"}, {"__rtruediv__", "PurePath"}, {"__fspath__", "PurePath"},
    {"__str__", "PurePath"}, {"__eq__", "PurePath"}, {"__hash__", "PurePath"},
    {"__lt__", "PurePath"}, {"__le__", "PurePath"}, {"__gt__", "PurePath"},
    {"__ge__", "PurePath"}, {"_str_normcase", "PurePath"}, {"_parts_normcase", "PurePath"},
    {"_format_parsed_parts", "PurePath"}, {"_from_parsed_parts", "PurePath"},
    {"_from_parsed_string", "PurePath"}, {"_parse_path", "PurePath"}, {"_raw_path", "PurePath"},
    {"drive", "PurePath"}, {"root", "PurePath"}, {"_tail", "PurePath"}, {"anchor", "PurePath"},
    {"parts", "PurePath"}, {"parent", "PurePath"}, {"parents", "PurePath"}, {"name", "PurePath"},
    {"relative_to", "PurePath"}, {"is_absolute", "PurePath"}, {"_raw_paths", "PurePath"},
    {"_drv", "PurePath"}, {"_root", "PurePath"}, {"_tail_cached", "PurePath"}, {"_str", "PurePath"},
    {"_str_normcase_cached", "PurePath"}, {"_parts_normcase_cached", "PurePath"},
    {"_hash", "PurePath"}, {"suffix", "PurePathBase"}, {"with_segments", "PurePathBase"},
};

const Resolution kGlobberAttributeTable[] = {
    {"__init__", "_Globber"}, {"selector", "_Globber"}, {"recursive_selector", "_Globber"},
    {"wildcard_selector", "_Globber"}, {"literal_selector", "_Globber"},
    {"special_selector", "_Globber"}, {"select_exists", "_Globber"}, {"compile", "_Globber"},
    {"lstat", "_StringGlobber"}, {"scandir", "_StringGlobber"}, {"parse_entry", "_StringGlobber"},
    {"concat_path", "_StringGlobber"}, {"add_slash", "_StringGlobber"},
};

const Resolution kParentsAttributeTable[] = {
    {"__init__", "_PathParents"}, {"__len__", "_PathParents"}, {"__getitem__", "_PathParents"},
    {"__iter__", "Sequence"}, {"__contains__", "Sequence"},
};

}  // namespace

const std::span<const Resolution> kPathAttributes{kPathAttributeTable};
const std::span<const Resolution> kGlobberAttributes{kGlobberAttributeTable};
const std::span<const Resolution> kParentsAttributes{kParentsAttributeTable};

bool is_metadata(std::string_view key) {
  return key == "__doc__" || key == "__qualname__" || key == "__firstlineno__" ||
         key == "__static_attributes__" || key == "__slots__" || key == "__abstractmethods__" ||
         key == "_abc_impl";
}

bool data_attribute(std::string_view cls, std::string_view name, PyObject* value) {
  auto is = [&](const char* c, const char* n) { return cls == c && name == n; };
  auto of_type = [&](const char* module, const char* type) {
    return is_type_of(reinterpret_cast<PyObject*>(Py_TYPE(value)), module, type);
  };
  if (is("Path", "_remove_leading_dot")) {
    return of_type("_operator", "operator.itemgetter") &&
           native::repr_is(value, "operator.itemgetter(slice(2, None, None))");
  }
  if (is("Path", "_remove_trailing_slash")) {
    return of_type("_operator", "operator.itemgetter") &&
           native::repr_is(value, "operator.itemgetter(slice(None, -1, None))");
  }
  // Checked where they are found: the parser and the globber a path uses.
  if (is("PurePosixPath", "parser") || is("PurePath", "parser")) {
    return PyModule_CheckExact(value);
  }
  if (is("PurePathBase", "parser")) {
    return true;  // ParserBase(), hidden by PurePath's
  }
  if (is("PurePath", "_globber") || is("PurePathBase", "_globber")) {
    return PyType_Check(value);
  }
  if (is("PathBase", "_max_symlinks")) {
    return PyLong_CheckExact(value);
  }
  if (is("_StringGlobber", "lstat")) {
    return is_c_function_of(value, "posix", "lstat");
  }
  if (is("_StringGlobber", "scandir")) {
    return is_c_function_of(value, "posix", "scandir");
  }
  if (is("_StringGlobber", "parse_entry")) {
    return of_type("_operator", "operator.attrgetter") &&
           native::repr_is(value, "operator.attrgetter('path')");
  }
  if (is("_StringGlobber", "concat_path")) {
    return is_c_function_of(value, "_operator", "add");
  }
  if (is("_Globber", "lstat") || is("_Globber", "add_slash")) {
    return of_type("_operator", "operator.methodcaller");  // hidden by _StringGlobber's
  }
  return false;
}

}  // namespace tarvek::fs::sources
