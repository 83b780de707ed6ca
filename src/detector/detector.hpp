// The methods of `SkillDetector`.  Each is defined in one file, its
// signature (parameters, defaults, annotations, docstring) beside its body,
// and the body is the C++ function of the Python name (`_infer_runtime` is
// `infer_runtime`):
//   runtime.cpp    _infer_runtime, _opencode_config_dir, _opencode_skills_dir
//   discovery.cpp  candidate_dirs, discover (records.cpp: the records it makes)
//   targets.cpp    detect_install_target, detect_install_targets,
//                  detect_available_install_targets, detect_global_install_targets,
//                  detect_all_install_targets, _dedupe_targets
// module.cpp creates the class with them, in definition order, and binds the
// module namespace.
//
// `call["self"]` is the instance.  A method reaches the other methods
// through it (`native::call_method(self, names::..., ...)`), so an override
// in a subclass is what the inherited methods use, and it reaches the
// module's imported names (`json`, `os`, `shutil`, `Path`, `SkillRecord`,
// `_logger`) through `call.global(...)` at the moment it runs.
#pragma once

#include "shared/module_layer.hpp"

#include <array>
#include <string_view>
#include <utility>

#include <nanobind/nanobind.h>

#include "detector/names.hpp"
#include "fs/choose.hpp"
#include "native/function.hpp"
#include "native/paths.hpp"
#include "native/python.hpp"
#include "native/step_builtins.hpp"

namespace tarvek::detector {

namespace nb = nanobind;
using native::Call;
using native::Name;

using native::Args;
using native::kNone;
using native::kSelf;
using native::positional;

// The methods, as module.cpp binds them.
namespace functions {
extern const native::FunctionSpec candidate_dirs;
extern const native::FunctionSpec discover;
extern const native::FunctionSpec detect_install_target;
extern const native::FunctionSpec detect_install_targets;
extern const native::FunctionSpec detect_available_install_targets;
extern const native::FunctionSpec detect_global_install_targets;
extern const native::FunctionSpec detect_all_install_targets;
extern const native::FunctionSpec opencode_config_dir;
extern const native::FunctionSpec opencode_skills_dir;
extern const native::FunctionSpec dedupe_targets;
extern const native::FunctionSpec infer_runtime;
}  // namespace functions

// The parameters several methods share.
inline constexpr native::Param kSkillsDirParam = positional("skills_dir", "str | None", kNone);
inline constexpr native::Param kCwdParam = positional("cwd", "Path | None", kNone);

struct Runtime {
  const Name& name;
  const Name& tool_dir;  // below the working directory, and below home
  const Name& command;   // looked up on the search path
  const Name* marker;    // the path segment that marks a skill of it; null: the fallback
  // Whether its tool directory in a project makes it an available target
  // there (detect_available_install_targets).
  bool available_in_project;
  // Whether its per-user directories are elsewhere than below home: known by
  // `_opencode_config_dir()`, skills in `_opencode_skills_dir()`.
  bool per_user_by_method;
};

// The runtimes the detector knows, in the order in which they are always
// considered.  Every skills directory is `skills` below the tool directory;
// OpenCode keeps its per-user directory elsewhere and is marked by the
// `opencode` segment of it, without a leading dot.  The first is the
// fallback: what a path without a marker, or a project without a tool
// directory, belongs to.
inline const std::array<Runtime, 6> kRuntimes{{
    // name, tool directory, command, marker, available in a project, per user by method
    {names::claude, names::dot_claude, names::claude, nullptr, true, false},
    {names::openclaw, names::dot_openclaw, names::openclaw, &names::dot_openclaw, true, false},
    {names::codex, names::dot_codex, names::codex, &names::dot_codex, false, false},
    {names::opencode, names::dot_opencode, names::opencode, &names::opencode, false, true},
    {names::workbuddy, names::dot_workbuddy, names::workbuddy, &names::dot_workbuddy, false, false},
    {names::trae_cn, names::dot_trae_cn, names::trae, &names::dot_trae_cn, false, false},
}};
inline const Runtime& kFallbackRuntime = kRuntimes[0];

// Helpers shared by the behaviour files.

// `cwd` when it is true, else `Path.cwd()`.
nb::object working_dir(const Call& call, nb::handle cwd);

// `path.exists()`: a stat() of its text while the call may run natively.
bool exists(const Call& call, nb::handle path);
using native::expanded_path;
using native::home_dir;

// `first, second = value`, with the interpreter's errors for a value that is
// not iterable or does not hold exactly two items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// _infer_runtime's steps, for either backend: the runtime whose marker is
// the first one among the lower-cased parts of `skill_dir`.
template <class Fs>
const Name& runtime_steps(Fs& fs, const typename Fs::Path& skill_dir);

// The marker segments of kRuntimes, in table order.
fs::NameParts runtime_markers();

template <class Fs>
const Name& runtime_steps(Fs& fs, const typename Fs::Path& skill_dir) {
  fs::NameParts markers = runtime_markers();
  std::size_t found = fs.first_lowered_part(skill_dir, markers);
  if (found == markers.size()) {
    return kFallbackRuntime.name;
  }
  for (const Runtime& runtime : kRuntimes) {
    if (runtime.marker == markers[found]) {
      return runtime.name;
    }
  }
  return kFallbackRuntime.name;
}

// Whether `bound`, looked up as `self.<name>`, is the method the class was
// made with (not overridden in a subclass or on the instance).
bool is_own_method(nb::handle bound, nb::handle self, const Name& name);

// SkillRecord(name=..., version=..., runtime=..., root=..., version_file=...)
// with `record_type` the class as bound now (records.cpp).
nb::object make_record(nb::handle record_type, const std::array<nb::handle, 5>& fields);

// `seen.add(value)`: a set directly, anything else through its method.
void add_to(nb::handle seen, nb::handle value);

// A method's result handed on as another method's list result: it must be a
// list or None, else TypeError naming `method`.
nb::object list_result(nb::object value, const Name& method);

}  // namespace tarvek::detector
