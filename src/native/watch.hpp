// Noticing changes cheaply: a verdict about the interpreter's objects (is
// pathlib genuine, are the builtins a module uses its own) is worked out
// once and kept while nothing it read has changed.  Dictionaries it read
// are watched, and so are changes to any function's code or defaults; each
// change moves an epoch on, and a verdict taken at another epoch is worked
// out again.  Classes are followed by their type version tags instead.
#pragma once

#include <cstdint>

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

// Moves on when a watched dictionary of the interpreter's modules changes,
// or the code or defaults of any function do.
std::uint64_t world_epoch();

// Moves on when a watched module namespace of ours changes.
std::uint64_t namespace_epoch();

// Starts watching `dict` (idempotent).  `ours` marks the namespace of one of
// our modules.  Returns false when the interpreter cannot watch it: a
// verdict resting on it must then be worked out at every use.
bool watch(nb::handle dict, bool ours = false);

// A type's version tag, assigned if it has none: it changes whenever the
// type or one of its bases is changed.  0 when no tag can be had.
unsigned int version_tag(PyTypeObject* type);

}  // namespace tarvek::native
