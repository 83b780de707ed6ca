// The functions of `tarvek.skills.packaging`.  Each is defined in one
// file, its signature (parameters, defaults, annotations, docstring) beside
// its body, and the body is the C++ function of the Python name
// (`_profile_key` is `profile_key`):
//   locations.cpp   get_central_skills_dir, get_builtin_templates_dir, list_template_dirs
//   manifest.cpp    load_release_manifest
//   admission.cpp   current_profile, _profile_key, skill_allowed, selected_skill_names
//   pruning.cpp     prune_templates_dir, collect_skill_datas, _remove_tree,
//                   _is_packable_file, _remove_packaging_junk
//   validation.cpp  validate_release_manifest
// module.cpp binds them, with the constants and imports, in the module's order.
//
// Every body reaches the module's functions, constants and imported names
// (`os`, `sys`, `json`, `Path`) through `call.global(...)` at the moment it
// runs, so a caller that rebinds one of them on the module is obeyed.
#pragma once

#include "shared/module_layer.hpp"

#include <array>

#include <nanobind/nanobind.h>

#include "fs/choose.hpp"
#include "native/function.hpp"
#include "native/paths.hpp"
#include "native/python.hpp"
#include "native/step_builtins.hpp"
#include "packaging/loaded_manifest.hpp"
#include "packaging/names.hpp"
#include "packaging/profiles.hpp"

namespace tarvek::packaging {

namespace nb = nanobind;
using native::Args;
using native::Call;
using native::keyword_only;
using native::kNone;
using native::Name;
using native::positional;

// Where the templates lie below a package, and below a one-file binary's
// unpacking directory: tarvek/skills/templates.
inline const std::array<const Name*, 3> kTemplatesPath{&names::tarvek, &names::skills,
                                                       &names::templates};

// The functions, as module.cpp binds them.
namespace functions {
extern const native::FunctionSpec get_central_skills_dir;
extern const native::FunctionSpec get_builtin_templates_dir;
extern const native::FunctionSpec load_release_manifest;
extern const native::FunctionSpec list_template_dirs;
extern const native::FunctionSpec current_profile;
extern const native::FunctionSpec profile_key;
extern const native::FunctionSpec skill_allowed;
extern const native::FunctionSpec selected_skill_names;
extern const native::FunctionSpec prune_templates_dir;
extern const native::FunctionSpec collect_skill_datas;
extern const native::FunctionSpec validate_release_manifest;
extern const native::FunctionSpec remove_tree;
extern const native::FunctionSpec is_packable_file;
extern const native::FunctionSpec remove_packaging_junk;
}  // namespace functions

// Shared by the behaviour files.

// os.environ.get(variable, "").strip(), with `variable` a str.
nb::object read_env(const Call& call, nb::handle variable);

// Raises the module's SkillReleaseManifestError, as bound now, with `message`.
[[noreturn]] void raise_manifest_error(const Call& call, nb::handle message);
// The same, for a manifest whose "skills" is no object.
[[noreturn]] void raise_no_skills_object(const Call& call);

// `templates_dir` when it is true, else get_builtin_templates_dir().
nb::object templates_root(const Call& call, nb::handle templates_dir);

// True for the build profiles that admit every skill without reading the
// manifest (kAdmitAllProfiles), compared with `==`.
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
  if (fs.steps_inline()) {
    if (fs.exists(root)) {
      fs.append_names(fs::sorted_subdirectories(fs, root), result);
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
nb::object allowed(const Call& call, nb::handle skill_name, nb::handle profile, nb::handle artifact,
                   nb::handle manifest, nb::handle templates_dir);
// The same, with the manifest selected_skill_names loaded (not empty).
nb::object allowed_in(const Call& call, nb::handle skill_name, nb::handle profile,
                      nb::handle artifact, LoadedManifest& manifest);

// Calls the module function bound to `name` now, with the given arguments.
template <typename... Args>
nb::object call_global(const Call& call, const Name& name, Args&&... args) {
  return call.global(name)(std::forward<Args>(args)...);
}

}  // namespace tarvek::packaging
