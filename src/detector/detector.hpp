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
#include <utility>

#include <nanobind/nanobind.h>

#include "native/function.hpp"
#include "native/paths.hpp"
#include "native/python.hpp"

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

// Method names, for calls through the instance.
inline const Name kCandidateDirsMethod{"candidate_dirs"};
inline const Name kInferRuntimeMethod{"_infer_runtime"};
inline const Name kDetectInstallTargetMethod{"detect_install_target"};
inline const Name kDetectAvailableMethod{"detect_available_install_targets"};
inline const Name kDetectAllMethod{"detect_all_install_targets"};
inline const Name kOpencodeConfigDirMethod{"_opencode_config_dir"};
inline const Name kOpencodeSkillsDirMethod{"_opencode_skills_dir"};
inline const Name kDedupeTargetsMethod{"_dedupe_targets"};

// Module-level names, looked up at each use.
inline const Name kPathGlobal{"Path"};
inline const Name kShutilGlobal{"shutil"};

// Attribute names and path segments shared by the behaviour files.
inline const Name kCwd{"cwd"};
inline const Name kSkills{"skills"};

// The runtimes the detector knows, in the order in which they are always
// considered.  Every skills directory is `skills` below the tool directory;
// OpenCode keeps its per-user directory elsewhere (`_opencode_config_dir`).
inline const Name kClaude{"claude"};
inline const Name kOpenclaw{"openclaw"};
inline const Name kCodex{"codex"};
inline const Name kOpencode{"opencode"};
inline const Name kWorkbuddy{"workbuddy"};
inline const Name kTraeCn{"trae-cn"};

inline const Name kDotClaude{".claude"};
inline const Name kDotOpenclaw{".openclaw"};
inline const Name kDotCodex{".codex"};
inline const Name kDotOpencode{".opencode"};
inline const Name kDotWorkbuddy{".workbuddy"};
inline const Name kDotTraeCn{".trae-cn"};

inline const Name kTraeCommand{"trae"};

struct Runtime {
  const Name& name;
  const Name& tool_dir;  // below the working directory, and below home
  const Name& command;   // looked up on the search path
};

inline const std::array<Runtime, 6> kRuntimes{{
    {kClaude, kDotClaude, kClaude},
    {kOpenclaw, kDotOpenclaw, kOpenclaw},
    {kCodex, kDotCodex, kCodex},
    {kOpencode, kDotOpencode, kOpencode},
    {kWorkbuddy, kDotWorkbuddy, kWorkbuddy},
    {kTraeCn, kDotTraeCn, kTraeCommand},
}};

// Helpers shared by the behaviour files.

// `cwd` when it is true, else `Path.cwd()`.
nb::object working_dir(const Call& call, nb::handle cwd);

using native::exists;
using native::expanded_path;
using native::home_dir;

// `first, second = value`, with the interpreter's errors for a value that is
// not iterable or does not hold exactly two items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// A method's result handed on as another method's list result: it must be a
// list or None, else TypeError naming `method`.
nb::object list_result(nb::object value, const Name& method);

}  // namespace tarvek::detector
