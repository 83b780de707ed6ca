// Whether a module's `json` is the interpreter's own, as far as reading a
// text natively (native/json_text.hpp) stands in for `json.loads(text)`:
// the module `json` whose `loads` is the function its source defines,
// reaching `_default_decoder.decode`, the source's decoder with the C
// scanner of `_json` and its own hooks (none, `float`, `int` and the
// decoder module's constants).  Judged by what defines each object, like
// the other genuine tests (native/genuine.hpp), and kept while nothing it
// read has changed.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

// Whether `json.loads(text)`, with `json` the object given and `text` a
// str, parses `text` as the interpreter's json module does unhooked.
bool json_loads_is_genuine(nb::handle json);

}  // namespace tarvek::native
