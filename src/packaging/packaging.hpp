// Bodies of the functions of `tarvek.skills.packaging`, one per Python
// function, grouped by concern:
//   locations.cpp   get_central_skills_dir, get_builtin_templates_dir, list_template_dirs
//   manifest.cpp    load_release_manifest
//   admission.cpp   current_profile, _profile_key, skill_allowed, selected_skill_names
//   pruning.cpp     prune_templates_dir, collect_skill_datas, _remove_tree,
//                   _is_packable_file, _remove_packaging_junk
//   validation.cpp  validate_release_manifest
// module.cpp declares their Python signatures and binds the module namespace.
//
// Every body reaches the module's functions, constants and imported names
// (`os`, `sys`, `json`, `Path`) through `call.global(...)` at the moment it
// runs, so a caller that rebinds one of them on the module is obeyed.
#pragma once

#include <nanobind/nanobind.h>

#include "fs/choose.hpp"
#include "native/function.hpp"
#include "native/names.hpp"
#include "native/paths.hpp"
#include "native/python.hpp"
#include "native/step_builtins.hpp"

namespace tarvek::packaging {

namespace nb = nanobind;
using native::Call;
using native::Name;

nb::object get_central_skills_dir(const Call& call);
nb::object get_builtin_templates_dir(const Call& call);
nb::object load_release_manifest(const Call& call);
nb::object list_template_dirs(const Call& call);
nb::object current_profile(const Call& call);
nb::object profile_key(const Call& call);
nb::object skill_allowed(const Call& call);
nb::object selected_skill_names(const Call& call);
nb::object prune_templates_dir(const Call& call);
nb::object collect_skill_datas(const Call& call);
nb::object validate_release_manifest(const Call& call);
nb::object remove_tree(const Call& call);
nb::object is_packable_file(const Call& call);
nb::object remove_packaging_junk(const Call& call);

// Shared by the behaviour files.

// os.environ.get(variable, "").strip(), with `variable` a str.
nb::object read_env(const Call& call, nb::handle variable);

// Raises the module's SkillReleaseManifestError, as bound now, with `message`.
[[noreturn]] void raise_manifest_error(const Call& call, nb::handle message);

// `templates_dir` when it is true, else get_builtin_templates_dir().
nb::object templates_root(const Call& call, nb::handle templates_dir);

// True for the two build profiles that admit every skill without reading
// the manifest ("dev" and "internal"), compared with `==`.
bool admits_everything(nb::handle profile);

// The steps shared by the two backends (fs/choose.hpp), for the functions
// that reach the file system.

// list_template_dirs: the sorted subdirectories of an existing root.
template <class Fs>
nb::object template_dirs(Fs& fs, const typename Fs::Path& root) {
  if (!fs.exists(root)) {
    return nb::list();
  }
  return fs.to_paths(fs::sorted_subdirectories(fs, root));
}

// [p.name for p in list_template_dirs(root)]: listed by the backend itself
// on the native path (where the function is the module's own), through the
// module namespace otherwise.
template <class Fs>
nb::list template_dir_names(Fs& fs, const Call& call, const typename Fs::Path& root,
                            nb::handle root_object) {
  nb::list result;
  if (fs.inline_siblings()) {
    if (fs.exists(root)) {
      auto dirs = fs.each(fs::sorted_subdirectories(fs, root));
      typename Fs::Path dir;
      while (dirs.next(dir)) {
        result.append(fs.name_object(dir));
      }
    }
    return result;
  }
  for (nb::handle path : call.global(names::list_template_dirs)(root_object)) {
    result.append(native::getattr(path, names::name));
  }
  return result;
}

// skill_allowed(skill_name, profile=..., artifact=..., manifest=...,
// templates_dir=...), the decision shared by the function and by
// selected_skill_names, which asks it without a call when it is the
// module's own: bool(...) of the decisive value.
nb::object allowed(const Call& call, nb::handle skill_name, nb::handle profile,
                   nb::handle artifact, nb::handle manifest, nb::handle templates_dir);

// Calls the module function bound to `name` now, with the given arguments.
template <typename... Args>
nb::object call_global(const Call& call, const Name& name, Args&&... args) {
  return call.global(name)(std::forward<Args>(args)...);
}

}  // namespace tarvek::packaging
