// The names and texts of `tarvek.skills.packaging`, added to the interned
// names (native/names.hpp): its module-level names and functions as the
// namespace binds them, the manifest's members, the build profiles, the
// locations of the central store and the templates, and what counts as
// packaging junk.
#pragma once

#include "shared/module_layer.hpp"

#include "native/names.hpp"
#include "shared/skill_layout.hpp"

namespace tarvek::names {

// Module-level names.
inline const Name MANIFEST_FILENAME{"MANIFEST_FILENAME"};
inline const Name PROFILE_ENV{"PROFILE_ENV"};
inline const Name DEFAULT_PROFILE{"DEFAULT_PROFILE"};
inline const Name RELEASE_PROFILE{"RELEASE_PROFILE"};
inline const Name PROFILE_KEYS{"_PROFILE_KEYS"};
inline const Name SkillReleaseManifestError{"SkillReleaseManifestError"};

// Functions of the module, as its namespace binds them.
inline const Name get_builtin_templates_dir{"get_builtin_templates_dir"};
inline const Name load_release_manifest{"load_release_manifest"};
inline const Name list_template_dirs{"list_template_dirs"};
inline const Name current_profile{"current_profile"};
inline const Name profile_key{"_profile_key"};
inline const Name skill_allowed{"skill_allowed"};
inline const Name selected_skill_names{"selected_skill_names"};
inline const Name remove_tree{"_remove_tree"};
inline const Name is_packable_file{"_is_packable_file"};
inline const Name remove_packaging_junk{"_remove_packaging_junk"};

// Keyword names of the calls the module makes.
inline const Name profile{"profile"};
inline const Name artifact{"artifact"};
inline const Name manifest{"manifest"};
inline const Name templates_dir{"templates_dir"};

// Manifest members: the skills, the defaults, an entry's texts.
inline const Name skills{"skills"};
inline const Name default_{"default"};
inline const Name reason{"reason"};
inline const Name tier{"tier"};

// Build profiles, artifacts and the manifest's admission flags
// (packaging/profiles.hpp holds the table that relates them).
inline const Name dev{"dev"};
inline const Name internal{"internal"};
inline const Name python_release{"python-release"};
inline const Name binary_minimal{"binary-minimal"};
inline const Name binary_full_profile{"binary-full"};
inline const Name sdist{"sdist"};
inline const Name wheel{"wheel"};
inline const Name binary{"binary"};
inline const Name source{"source"};
inline const Name binary_full{"binary_full"};

// Locations: the central store, the templates below a package or a
// one-file binary's unpacking directory (sys._MEIPASS).
inline const Name tarvek{"tarvek"};
inline const Name dot_tarvek{".tarvek"};
inline const Name templates{"templates"};
inline const Name win32{"win32"};
inline const Name meipass{"_MEIPASS"};
inline const Name central_skills_dir_env{"TARVEK_CENTRAL_SKILLS_DIR"};
inline const Name builtin_templates_dir_env{"TARVEK_BUILTIN_TEMPLATES_DIR"};
inline const Name local_app_data_env{"LOCALAPPDATA"};

// Packaging junk: bytecode, its cache directories, Finder metadata.
inline const Name pycache{"__pycache__"};
inline const Name pyc{".pyc"};
inline const Name pyo{".pyo"};
inline const Name ds_store{".DS_Store"};

}  // namespace tarvek::names
