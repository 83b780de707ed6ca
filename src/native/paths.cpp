#include "native/paths.hpp"

#include "native/python.hpp"

namespace tarvek::native {
namespace {

const Name kPath{"Path"};
const Name kExpanduser{"expanduser"};
const Name kHome{"home"};
const Name kExists{"exists"};

}  // namespace

nb::object expanded_path(const Call& call, nb::handle value) {
  return call_method(call.global(kPath)(value), kExpanduser);
}

nb::object home_dir(const Call& call) { return call_method(call.global(kPath), kHome); }

bool exists(nb::handle path) { return truthy(call_method(path, kExists)); }

}  // namespace tarvek::native
