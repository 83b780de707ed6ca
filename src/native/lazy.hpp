// The generator expressions of the steps, for the rare call that hands one
// to a rebound builtin (`sorted(p for p in root.iterdir() if p.is_dir())`
// with `sorted` shadowed): an iterator that pulls one item at a time from
// `iterable` and yields what `step` makes of it, skipping the items for
// which `step` returns an empty object.  So whatever consumes it sees the
// calls interleaved exactly as a generator would make them.
//
// `step` must own everything it uses (it may run after the call that made
// it has returned, if the consumer keeps the iterator).
#pragma once

#include <functional>

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

using LazyStep = std::function<nb::object(nb::handle item)>;

nb::object lazy(nb::handle iterable, LazyStep step);

}  // namespace tarvek::native
