// Path operations both modules perform through the `Path` their namespace
// holds at the moment of the call, so that a rebound `Path` is obeyed.
#pragma once

#include <nanobind/nanobind.h>

#include "native/function.hpp"

namespace tarvek::native {

namespace nb = nanobind;

// `Path(value).expanduser()`.
nb::object expanded_path(const Call& call, nb::handle value);

// `Path.home()`.
nb::object home_dir(const Call& call);

}  // namespace tarvek::native
