#include "native/paths.hpp"

#include "native/names.hpp"
#include "native/python.hpp"

namespace tarvek::native {

nb::object expanded_path(const Call& call, nb::handle value) {
  return call_method(call.global(names::Path)(value), names::expanduser);
}

nb::object home_dir(const Call& call) { return call_method(call.global(names::Path), names::home); }

}  // namespace tarvek::native
