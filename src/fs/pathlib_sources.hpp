// What the sources of pathlib, glob and posixpath define, as far as a native
// call relies on it: where each attribute a path looks up is defined, the
// data attributes of their classes and the values the sources give them,
// and the defaults our calls leave to the functions.  The examination of a
// `Path` class (fs/genuine_pathlib.hpp) holds the interpreter's objects
// against these facts, which are those of CPython 3.13's sources.
#pragma once

#include <span>
#include <string_view>

#include <nanobind/nanobind.h>

namespace tarvek::fs::sources {

// `attribute`, looked up on a path (or globber), is the one class `owner`
// of the sources defines.
struct Resolution {
  const char* attribute;
  const char* owner;
};

extern const std::span<const Resolution> kPathAttributes;     // on PosixPath
extern const std::span<const Resolution> kGlobberAttributes;  // on glob._StringGlobber
extern const std::span<const Resolution> kParentsAttributes;  // on pathlib._PathParents

// Whether the defaults of `function` (`qualname` in the module whose
// namespace is `globals`) that our calls rely on are the sources' own.
bool defaults_hold(PyObject* function, PyObject* globals, std::string_view qualname);

// Class metadata that changes no behaviour (`__doc__`, `__slots__`, ...).
bool is_metadata(std::string_view key);

// Whether `value`, found as the data attribute `name` of the class
// `cls` (its qualified name), is what the sources put there.
bool data_attribute(std::string_view cls, std::string_view name, PyObject* value);

}  // namespace tarvek::fs::sources
