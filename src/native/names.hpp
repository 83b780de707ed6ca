// The interpreter's names that the modules and the file-system core look up
// or call, interned once for the process: the standard modules, builtins,
// and attributes and methods of the interpreter's objects.  A name is
// spelled as the Python text it stands for (with a trailing underscore where
// C++ reserves the spelling).
//
// Each module adds the names and texts of its own behaviour to this
// namespace in a header of its own (packaging/names.hpp, detector/names.hpp);
// nothing of skills is named here.
#pragma once

#include "native/python.hpp"

namespace tarvek::names {

using native::Name;

// Module-level names both modules bind: the standard modules and `Path`.
inline const Name os{"os"};
inline const Name sys{"sys"};
inline const Name json{"json"};
inline const Name shutil{"shutil"};
inline const Name Path{"Path"};
inline const Name file{"__file__"};

// Builtins the steps use.
inline const Name sorted{"sorted"};
inline const Name set{"set"};
inline const Name str{"str"};
inline const Name isinstance{"isinstance"};
inline const Name dict{"dict"};
inline const Name bool_{"bool"};
inline const Name any{"any"};
inline const Name list{"list"};
inline const Name getattr{"getattr"};
inline const Name Exception{"Exception"};

// Attributes and methods of the interpreter's objects.
inline const Name environ{"environ"};
inline const Name get{"get"};
inline const Name add{"add"};
inline const Name getenv{"getenv"};
inline const Name strip{"strip"};
inline const Name lower{"lower"};
inline const Name platform{"platform"};
inline const Name loads{"loads"};
inline const Name JSONDecodeError{"JSONDecodeError"};
inline const Name debug{"debug"};
inline const Name which{"which"};
inline const Name exists{"exists"};
inline const Name is_dir{"is_dir"};
inline const Name is_file{"is_file"};
inline const Name is_symlink{"is_symlink"};
inline const Name iterdir{"iterdir"};
inline const Name rglob{"rglob"};
inline const Name unlink{"unlink"};
inline const Name rmdir{"rmdir"};
inline const Name stat{"stat"};
inline const Name st_mode{"st_mode"};
inline const Name st_size{"st_size"};
inline const Name read_text{"read_text"};
inline const Name resolve{"resolve"};
inline const Name expanduser{"expanduser"};
inline const Name home{"home"};
inline const Name cwd{"cwd"};
inline const Name relative_to{"relative_to"};
inline const Name name{"name"};
inline const Name suffix{"suffix"};
inline const Name parts{"parts"};
inline const Name parent{"parent"};

// The pattern that matches every name (`rglob("*")`).
inline const Name any_name{"*"};

}  // namespace tarvek::names
