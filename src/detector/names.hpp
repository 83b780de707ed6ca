// The names and texts of `tarvek.skills.discovery.detector`, added to the
// interned names (native/names.hpp): its module-level names, the methods of
// `SkillDetector`, the runtimes with their directories and commands
// (detector/detector.hpp holds their table, kRuntimes), and what discovery reads and logs.
#pragma once

#include "shared/module_layer.hpp"

#include "native/names.hpp"
#include "shared/skill_layout.hpp"

namespace tarvek::names {

// Module-level names.
inline const Name SkillRecord{"SkillRecord"};
inline const Name logger{"_logger"};

// Methods of SkillDetector.
inline const Name candidate_dirs{"candidate_dirs"};
inline const Name infer_runtime{"_infer_runtime"};
inline const Name detect_install_target{"detect_install_target"};
inline const Name detect_available_install_targets{"detect_available_install_targets"};
inline const Name detect_all_install_targets{"detect_all_install_targets"};
inline const Name opencode_config_dir{"_opencode_config_dir"};
inline const Name opencode_skills_dir{"_opencode_skills_dir"};
inline const Name dedupe_targets{"_dedupe_targets"};

// Runtimes: names, tool directories, commands, the directory below each
// tool directory, OpenCode's per-user configuration directory.
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
inline const Name skills{"skills"};
inline const Name dot_config{".config"};
// What `detect_install_targets` takes for every per-user directory.
inline const Name all{"all"};

// Discovery: the extra directory to scan, the versions it reports without a
// readable "version", and the message it logs for a skipped skill.
inline const Name skills_dir_env{"TARVEK_SKILLS_DIR"};
inline const Name unknown{"unknown"};
inline const Name data_only_version{"v0.0.0"};
inline const Name skipped_message{"跳过损坏的 VERSION.json: %s [%s]"};

}  // namespace tarvek::names
