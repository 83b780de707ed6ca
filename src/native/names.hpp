// Every identifier and fixed text the modules look up or compare, interned
// once for the process.  A name is spelled as the Python text it stands for
// (with a trailing underscore where C++ reserves the spelling).
#pragma once

#include "native/python.hpp"

namespace tarvek::names {

using native::Name;

// Module-level names.
inline const Name os{"os"};
inline const Name sys{"sys"};
inline const Name json{"json"};
inline const Name shutil{"shutil"};
inline const Name Path{"Path"};
inline const Name SkillRecord{"SkillRecord"};
inline const Name logger{"_logger"};
inline const Name file{"__file__"};
inline const Name MANIFEST_FILENAME{"MANIFEST_FILENAME"};
inline const Name PROFILE_ENV{"PROFILE_ENV"};
inline const Name PROFILE_KEYS{"_PROFILE_KEYS"};
inline const Name SkillReleaseManifestError{"SkillReleaseManifestError"};

// Functions of the packaging module.
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

// Methods of SkillDetector.
inline const Name candidate_dirs{"candidate_dirs"};
inline const Name infer_runtime{"_infer_runtime"};
inline const Name detect_install_target{"detect_install_target"};
inline const Name detect_available_install_targets{"detect_available_install_targets"};
inline const Name detect_all_install_targets{"detect_all_install_targets"};
inline const Name opencode_config_dir{"_opencode_config_dir"};
inline const Name opencode_skills_dir{"_opencode_skills_dir"};
inline const Name dedupe_targets{"_dedupe_targets"};

// Builtins the steps use.
inline const Name sorted{"sorted"};
inline const Name set{"set"};
inline const Name str{"str"};
inline const Name isinstance{"isinstance"};
inline const Name dict{"dict"};
inline const Name bool_{"bool"};
inline const Name any{"any"};
inline const Name list{"list"};
inline const Name getattr{"getattr"};
inline const Name Exception{"Exception"};

// Attributes and methods of the interpreter's objects.
inline const Name environ{"environ"};
inline const Name get{"get"};
inline const Name add{"add"};
inline const Name getenv{"getenv"};
inline const Name strip{"strip"};
inline const Name lower{"lower"};
inline const Name platform{"platform"};
inline const Name meipass{"_MEIPASS"};
inline const Name loads{"loads"};
inline const Name JSONDecodeError{"JSONDecodeError"};
inline const Name debug{"debug"};
inline const Name which{"which"};
inline const Name exists{"exists"};
inline const Name is_dir{"is_dir"};
inline const Name is_file{"is_file"};
inline const Name is_symlink{"is_symlink"};
inline const Name iterdir{"iterdir"};
inline const Name rglob{"rglob"};
inline const Name unlink{"unlink"};
inline const Name rmdir{"rmdir"};
inline const Name stat{"stat"};
inline const Name st_mode{"st_mode"};
inline const Name st_size{"st_size"};
inline const Name read_text{"read_text"};
inline const Name resolve{"resolve"};
inline const Name expanduser{"expanduser"};
inline const Name home{"home"};
inline const Name cwd{"cwd"};
inline const Name relative_to{"relative_to"};
inline const Name name{"name"};
inline const Name suffix{"suffix"};
inline const Name parts{"parts"};
inline const Name parent{"parent"};
inline const Name encoding{"encoding"};

// Keyword names of the calls the modules make.
inline const Name profile{"profile"};
inline const Name artifact{"artifact"};
inline const Name manifest{"manifest"};
inline const Name templates_dir{"templates_dir"};
inline const Name skills_dir{"skills_dir"};
inline const Name preferred_runtime{"preferred_runtime"};

// Texts: file and directory names, manifest members, profiles.
inline const Name utf_8{"utf-8"};
inline const Name any_name{"*"};
inline const Name pycache{"__pycache__"};
inline const Name ds_store{".DS_Store"};
inline const Name pyc{".pyc"};
inline const Name pyo{".pyo"};
inline const Name skill_md{"SKILL.md"};
inline const Name data{"data"};
inline const Name version_json{"VERSION.json"};
inline const Name version{"version"};
inline const Name skills{"skills"};
inline const Name default_{"default"};
inline const Name reason{"reason"};
inline const Name tier{"tier"};
inline const Name source{"source"};
inline const Name wheel{"wheel"};
inline const Name binary{"binary"};
inline const Name binary_full{"binary_full"};
inline const Name binary_minimal{"binary-minimal"};
inline const Name dev{"dev"};
inline const Name internal{"internal"};
inline const Name tarvek{"tarvek"};
inline const Name dot_tarvek{".tarvek"};
inline const Name templates{"templates"};
inline const Name win32{"win32"};
inline const Name all{"all"};

// Environment variables.
inline const Name central_skills_dir_env{"TARVEK_CENTRAL_SKILLS_DIR"};
inline const Name builtin_templates_dir_env{"TARVEK_BUILTIN_TEMPLATES_DIR"};
inline const Name local_app_data_env{"LOCALAPPDATA"};
inline const Name skills_dir_env{"TARVEK_SKILLS_DIR"};

// Runtimes: names, tool directories, commands.
inline const Name claude{"claude"};
inline const Name openclaw{"openclaw"};
inline const Name codex{"codex"};
inline const Name opencode{"opencode"};
inline const Name workbuddy{"workbuddy"};
inline const Name trae_cn{"trae-cn"};
inline const Name trae{"trae"};
inline const Name dot_claude{".claude"};
inline const Name dot_openclaw{".openclaw"};
inline const Name dot_codex{".codex"};
inline const Name dot_opencode{".opencode"};
inline const Name dot_workbuddy{".workbuddy"};
inline const Name dot_trae_cn{".trae-cn"};
inline const Name dot_config{".config"};
inline const Name unknown{"unknown"};
inline const Name data_only_version{"v0.0.0"};
inline const Name skipped_message{"跳过损坏的 VERSION.json: %s [%s]"};

}  // namespace tarvek::names
