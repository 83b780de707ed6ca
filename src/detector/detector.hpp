// Bodies of the methods of `SkillDetector`, one per Python method, grouped by
// concern:
//   runtime.cpp    _infer_runtime, _opencode_config_dir, _opencode_skills_dir
//   discovery.cpp  candidate_dirs, discover
//   targets.cpp    detect_install_target, detect_install_targets,
//                  detect_available_install_targets, detect_global_install_targets,
//                  detect_all_install_targets, _dedupe_targets
// module.cpp declares their Python signatures, creates the class and binds
// the module namespace.
//
// `call.arg(0)` is the instance.  A method reaches the other methods through
// it (`native::call_method(self, kName, ...)`), so an override in a subclass
// is what the inherited methods use, and it reaches the module's imported
// names (`json`, `os`, `shutil`, `Path`, `SkillRecord`, `_logger`) through
// `call.global(...)` at the moment it runs.
#pragma once

#include <array>
#include <string_view>
#include <utility>

#include <nanobind/nanobind.h>

#include "fs/choose.hpp"
#include "native/function.hpp"
#include "native/names.hpp"
#include "native/paths.hpp"
#include "native/python.hpp"
#include "native/step_builtins.hpp"

namespace tarvek::detector {

namespace nb = nanobind;
using native::Call;
using native::Name;

nb::object candidate_dirs(const Call& call);
nb::object discover(const Call& call);
nb::object detect_install_target(const Call& call);
nb::object detect_install_targets(const Call& call);
nb::object detect_available_install_targets(const Call& call);
nb::object detect_global_install_targets(const Call& call);
nb::object detect_all_install_targets(const Call& call);
nb::object opencode_config_dir(const Call& call);
nb::object opencode_skills_dir(const Call& call);
nb::object dedupe_targets(const Call& call);
nb::object infer_runtime(const Call& call);

struct Runtime {
  const Name& name;
  const Name& tool_dir;  // below the working directory, and below home
  const Name& command;   // looked up on the search path
};

// The runtimes the detector knows, in the order in which they are always
// considered.  Every skills directory is `skills` below the tool directory;
// OpenCode keeps its per-user directory elsewhere (`_opencode_config_dir`).
inline const std::array<Runtime, 6> kRuntimes{{
    {names::claude, names::dot_claude, names::claude},
    {names::openclaw, names::dot_openclaw, names::openclaw},
    {names::codex, names::dot_codex, names::codex},
    {names::opencode, names::dot_opencode, names::opencode},
    {names::workbuddy, names::dot_workbuddy, names::workbuddy},
    {names::trae_cn, names::dot_trae_cn, names::trae},
}};

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

// The runtime a skill directory's path text marks (`_infer_runtime` of a
// PosixPath with that text).
const Name& runtime_of(std::string_view text);

// Whether `bound`, looked up as `self.<name>`, is the method the class was
// made with (not overridden in a subclass or on the instance).
bool is_own_method(nb::handle bound, nb::handle self, const Name& name);

// `seen.add(value)`: a set directly, anything else through its method.
void add_to(nb::handle seen, nb::handle value);

// A method's result handed on as another method's list result: it must be a
// list or None, else TypeError naming `method`.
nb::object list_result(nb::object value, const Name& method);

}  // namespace tarvek::detector
