#include "fs/choose.hpp"

#include "native/step_builtins.hpp"

namespace tarvek::fs {

bool may_run_natively(const native::Call& call, std::initializer_list<nb::handle> paths,
                      std::initializer_list<const native::Name*> siblings) {
  if (!pathlib_intact(native::dict_get(call.globals(), names::Path)) ||
      !native::builtins_intact(call)) {
    return false;
  }
  for (nb::handle path : paths) {
    if (!is_posix_path(path) || path_text(path).find('\0') != std::string::npos) {
      return false;
    }
  }
  for (const native::Name* sibling : siblings) {
    if (!native::is_own(call, *sibling)) {
      return false;
    }
  }
  return true;
}

}  // namespace tarvek::fs
