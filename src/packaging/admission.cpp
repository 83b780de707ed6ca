// Placeholder bodies: these functions exist with their full signatures and
// raise NotImplementedError until their behaviour lands.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

const Name kQualname{"__qualname__"};

[[noreturn]] nb::object not_yet(const Call& call) {
  native::raise_format(PyExc_NotImplementedError, "%U is not implemented yet",
                       native::getattr(call.function(), kQualname).ptr());
}

}  // namespace

nb::object current_profile(const Call& call) { return not_yet(call); }
nb::object profile_key(const Call& call) { return not_yet(call); }
nb::object skill_allowed(const Call& call) { return not_yet(call); }
nb::object selected_skill_names(const Call& call) { return not_yet(call); }

}  // namespace tarvek::packaging
