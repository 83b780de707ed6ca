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

nb::object prune_templates_dir(const Call& call) { return not_yet(call); }
nb::object collect_skill_datas(const Call& call) { return not_yet(call); }
nb::object remove_tree(const Call& call) { return not_yet(call); }
nb::object is_packable_file(const Call& call) { return not_yet(call); }
nb::object remove_packaging_junk(const Call& call) { return not_yet(call); }

}  // namespace tarvek::packaging
