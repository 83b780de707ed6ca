// The bridge between the interpreter's pathlib and the native walker: when
// a call may run natively, the text of a `pathlib.PosixPath` argument, and
// new `PosixPath` objects for the paths a walk finds.
//
// A call runs natively only while the module's `Path` is pathlib's own and
// everything the walker stands in for is as the interpreter's sources
// define it (fs/genuine_pathlib.hpp).  That verdict is worked out when
// first needed and kept while nothing it read has changed (watched
// dictionaries and functions, type version tags), so that checking it
// costs a few comparisons per call.
#pragma once

#include <string>
#include <string_view>

#include <nanobind/nanobind.h>

namespace tarvek::fs {

namespace nb = nanobind;

// Whether `path_type` (a module's current `Path`) is pathlib's own, with
// everything a native call stands in for genuine.  False on platforms
// without the native walker.
bool pathlib_intact(nb::handle path_type);

// Whether `value` is exactly a PosixPath (not a subclass), after
// `pathlib_intact` said yes.
bool is_posix_path(nb::handle value);

// The file-system text of an exact PosixPath, as os.fspath gives it.
std::string path_text(nb::handle path);

// A new PosixPath whose text is `text`, which must already be in normal
// form (as str() of a PosixPath gives it).
nb::object make_path(std::string_view text);

// Joins a plain file name to a path text as `PosixPath / name` does.
std::string join(std::string_view parent, std::string_view name);

// The text of `path` relative to `root`, where `path` was made by joining
// names to `root`: "" for the root itself.
std::string_view relative(std::string_view root, std::string_view path);

// Compares two file names (or relative paths) as the interpreter orders
// paths: component by component, each compared by code point after the
// file-system decoding.  Returns <0, 0 or >0.
int compare_paths(std::string_view a, std::string_view b);

// A str's bytes in the file-system encoding.
std::string encode_name(nb::handle text);

}  // namespace tarvek::fs
