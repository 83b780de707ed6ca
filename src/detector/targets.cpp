// Where a new skill goes: project-level targets below a working directory,
// per-user targets below the home directory, and their de-duplication.
// Nothing here creates or changes anything on disk.
#include "detector/detector.hpp"

namespace tarvek::detector {
namespace {

nb::object pair(nb::handle first, nb::handle second) { return nb::make_tuple(first, second); }

// `shutil.which(command)` found something.
bool command_available(const Call& call, const Name& command) {
  nb::object found = native::call_method(call.global(names::shutil), names::which, command.get());
  return !found.is_none();
}

// detect_install_target's steps below the working directory `cwd`.
template <class Fs>
nb::object install_target_steps(Fs& fs, nb::handle cwd_object, nb::handle preferred) {
  auto cwd = fs.argument(cwd_object);
  // The six project-level skills directories, in table order; built before
  // anything is tested.
  std::array<typename Fs::Path, kRuntimes.size()> runtime_dirs;
  for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
    runtime_dirs[i] = fs.child(fs.child(cwd, kRuntimes[i].tool_dir), names::skills);
  }

  // A requested runtime is taken as it is asked for, whether or not its
  // directory exists yet; an unknown name is no error and is ignored.
  if (native::truthy(preferred)) {
    for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
      if (preferred.equal(kRuntimes[i].name.get())) {
        return pair(preferred, fs.to_path(runtime_dirs[i]));
      }
    }
  }

  for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
    if (fs.exists(fs.parent(runtime_dirs[i]))) {
      return pair(kRuntimes[i].name.get(), fs.to_path(runtime_dirs[i]));
    }
  }
  return pair(kFallbackRuntime.name.get(), fs.to_path(runtime_dirs[0]));
}

// detect_available_install_targets' steps: only some runtimes (Claude Code
// and OpenClaw) count as available at project level.
template <class Fs>
nb::list available_steps(Fs& fs, nb::handle cwd_object) {
  auto cwd = fs.argument(cwd_object);
  nb::list targets;
  for (const Runtime& runtime : kRuntimes) {
    if (!runtime.available_in_project) {
      continue;
    }
    auto tool_dir = fs.child(cwd, runtime.tool_dir);
    if (fs.exists(tool_dir)) {
      targets.append(pair(runtime.name.get(), fs.to_path(fs.child(tool_dir, names::skills))));
    }
  }
  return targets;
}

nb::object dedupe(nb::handle self, nb::handle targets) {
  return list_result(native::call_method(self, names::dedupe_targets, targets),
                     names::dedupe_targets);
}

constexpr auto kDetectInstallTarget = native::signature(
    "SkillDetector.detect_install_target",
    {kSelf, kCwdParam, positional("preferred_runtime", "str | None", kNone)}, "tuple[str, Path]",
    "检测新 Skill 应该安装到哪个目录。\n"
    "\n"
    "        优先使用 preferred_runtime 参数，否则根据当前目录下是否存在对应运行时目录推断。\n"
    "        默认回退到 claude 运行时。\n"
    "\n"
    "        Returns:\n"
    "            (runtime, target_path) 二元组\n"
    "        ");

nb::object detect_install_target(const Args<kDetectInstallTarget>& call) {
  nb::object cwd = working_dir(call, call["cwd"]);
  nb::handle preferred = call["preferred_runtime"];
  return fs::choose(call, {cwd}, {},
                    [&](auto& fs) { return install_target_steps(fs, cwd, preferred); });
}

constexpr auto kDetectInstallTargets = native::signature(
    "SkillDetector.detect_install_targets",
    {kSelf, kCwdParam, positional("preferred_runtimes", "list[str] | None", kNone)},
    "list[tuple[str, Path]]", "检测多个安装目标。");

nb::object detect_install_targets(const Args<kDetectInstallTargets>& call) {
  nb::handle self = call["self"];
  nb::handle requested = call["preferred_runtimes"];
  // Determined once and handed on, so the methods below never consult the
  // process's current directory themselves.
  nb::object cwd = working_dir(call, call["cwd"]);

  if (native::truthy(requested)) {
    nb::list targets;
    for (nb::handle element : requested) {
      nb::object name =
          native::call_method(native::call_method(element, names::strip), names::lower);
      // "all" asks for every per-user directory, instead of anything else.
      if (name.equal(names::all.get())) {
        return list_result(native::call_method(self, names::detect_all_install_targets),
                           names::detect_all_install_targets);
      }
      nb::object chosen =
          native::call_method(self, names::detect_install_target, nb::arg("cwd") = cwd,
                              nb::arg("preferred_runtime") = name);
      // Labelled with the name asked for, also where the directory was
      // inferred because the name is unknown.
      auto [runtime, path] = unpack_pair(chosen);
      (void)runtime;
      targets.append(pair(name, path));
    }
    return dedupe(self, targets);
  }

  // A list result of another method is held to its type where it is
  // received, whether or not it is then returned.
  nb::object available = list_result(
      native::call_method(self, names::detect_available_install_targets, nb::arg("cwd") = cwd),
      names::detect_available_install_targets);
  if (native::truthy(available)) {
    return available;
  }
  nb::object chosen = native::call_method(self, names::detect_install_target, nb::arg("cwd") = cwd,
                                          nb::arg("preferred_runtime") = nb::none());
  auto [runtime, path] = unpack_pair(chosen);
  nb::list targets;
  targets.append(pair(runtime, path));
  return targets;
}

constexpr auto kDetectAvailableInstallTargets = native::signature(
    "SkillDetector.detect_available_install_targets", {kSelf, kCwdParam}, "list[tuple[str, Path]]",
    "根据当前目录已存在的运行时目录，返回可用目标列表（项目级）。");

nb::object detect_available_install_targets(const Args<kDetectAvailableInstallTargets>& call) {
  nb::object cwd = working_dir(call, call["cwd"]);
  nb::list targets =
      fs::choose(call, {cwd}, {}, [&](auto& fs) { return available_steps(fs, cwd); });
  return dedupe(call["self"], targets);
}

constexpr auto kDetectGlobalInstallTargets = native::signature(
    "SkillDetector.detect_global_install_targets", {kSelf}, "list[tuple[str, Path]]",
    "检测全局已安装的 AI 工具，返回对应的全局 Skills 安装目录。\n"
    "\n"
    "        检测规则（tarvek 多工具 Skills 支持路径对照表）：\n"
    "\n"
    "        工具          macOS/Linux               Windows\n"
    "        Claude Code   ~/.claude/skills/         %USERPROFILE%/.claude/skills/\n"
    "        OpenClaw      ~/.openclaw/skills/        %USERPROFILE%/.openclaw/skills/\n"
    "        Codex CLI     ~/.codex/skills/           %USERPROFILE%/.codex/skills/\n"
    "        OpenCode      ~/.config/opencode/skills/ %USERPROFILE%/.config/opencode/skills/\n"
    "\n"
    "        检测条件：配置目录存在 或 对应命令可用（which）。\n"
    "        返回 [(runtime, skills_dir), ...] 列表，按检测顺序排列，已去重。\n"
    "        ");

nb::object detect_global_install_targets(const Args<kDetectGlobalInstallTargets>& call) {
  nb::handle self = call["self"];
  nb::object home = home_dir(call);
  nb::list targets;
  for (const Runtime& runtime : kRuntimes) {
    if (runtime.per_user_by_method) {
      // OpenCode is known by its configuration directory.
      nb::object config_dir = native::call_method(self, names::opencode_config_dir);
      if (exists(call, config_dir) || command_available(call, runtime.command)) {
        targets.append(
            pair(runtime.name.get(), native::call_method(self, names::opencode_skills_dir)));
      }
      continue;
    }
    nb::object tool_dir = home / runtime.tool_dir.get();
    if (exists(call, tool_dir) || command_available(call, runtime.command)) {
      targets.append(pair(runtime.name.get(), tool_dir / names::skills.get()));
    }
  }
  return dedupe(self, targets);
}

constexpr auto kDetectAllInstallTargets =
    native::signature("SkillDetector.detect_all_install_targets", {kSelf}, "list[tuple[str, Path]]",
                      "返回全部支持运行时的全局安装目录。\n"
                      "\n"
                      "        `--runtime all` 的语义是强制覆盖四类 AI 工具的全局 Skills 目录，\n"
                      "        不依赖当前机器是否已检测到对应命令或配置目录。\n"
                      "        ");

nb::object detect_all_install_targets(const Args<kDetectAllInstallTargets>& call) {
  nb::handle self = call["self"];
  nb::object home = home_dir(call);
  nb::list targets;
  for (const Runtime& runtime : kRuntimes) {
    nb::object skills_dir = runtime.per_user_by_method
                                ? native::call_method(self, names::opencode_skills_dir)
                                : home / runtime.tool_dir.get() / names::skills.get();
    targets.append(pair(runtime.name.get(), skills_dir));
  }
  return dedupe(self, targets);
}

constexpr auto kDedupeTargets = native::signature(
    "SkillDetector._dedupe_targets", {kSelf, positional("targets", "list[tuple[str, Path]]")},
    "list[tuple[str, Path]]");

//     seen = set()
//     result = []
//     for runtime, path in targets:
//         key = (runtime, str(path))
//         if key in seen:
//             continue
//         seen.add(key)
//         result.append((runtime, path))
//     return result
nb::object dedupe_targets(const Args<kDedupeTargets>& call) {
  nb::object seen = native::set_of(call);
  nb::list result;
  // Iterated through the interpreter's iterator: the elements' own methods
  // may change the list while it is walked.
  for (nb::handle element : call["targets"]) {
    auto [runtime, path] = unpack_pair(element);
    nb::object key = pair(runtime, native::str_of(call, path));
    if (native::contains(seen, key)) {
      continue;
    }
    add_to(seen, key);
    result.append(pair(runtime, path));
  }
  return result;
}

}  // namespace

const native::FunctionSpec functions::detect_install_target =
    native::spec<kDetectInstallTarget, detector::detect_install_target>();
const native::FunctionSpec functions::detect_install_targets =
    native::spec<kDetectInstallTargets, detector::detect_install_targets>();
const native::FunctionSpec functions::detect_available_install_targets =
    native::spec<kDetectAvailableInstallTargets, detector::detect_available_install_targets>();
const native::FunctionSpec functions::detect_global_install_targets =
    native::spec<kDetectGlobalInstallTargets, detector::detect_global_install_targets>();
const native::FunctionSpec functions::detect_all_install_targets =
    native::spec<kDetectAllInstallTargets, detector::detect_all_install_targets>();
const native::FunctionSpec functions::dedupe_targets =
    native::spec<kDedupeTargets, detector::dedupe_targets>();

}  // namespace tarvek::detector
