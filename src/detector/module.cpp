// tarvek.skills.discovery.detector: the module namespace and the class
// `SkillDetector`, bound in the order a reader of the module expects
// (imports, the record class, the logger, the class with its methods in
// definition order).
#include <array>

#include "detector/detector.hpp"
#include "native/module.hpp"
#include "native/own.hpp"

namespace tarvek::detector {
namespace {

using native::FunctionSpec;
using native::Param;
using native::TypeRule;

constexpr const char* kModuleName = "tarvek.skills.discovery.detector";
constexpr const char* kModelsModule = "tarvek.skills.domain.models";
constexpr const char* kLoggerName = "tarvek.skills.detector";

constexpr const char* kModuleDoc =
    "Skill 发现与检测模块。\n"
    "\n"
    "负责扫描多个候选目录，发现已安装的 Skill 并生成 SkillRecord。\n"
    "同时提供安装目标目录的检测逻辑，决定新 Skill 应安装到哪里。\n";

constexpr const char* kClassDoc = "Skill 探测器，扫描磁盘目录发现已安装的 Skill。";

constexpr Param kSelf{"self"};
constexpr Param kSkillsDirParam{"skills_dir", native::ParamKind::PositionalOrKeyword,
                                "str | None", TypeRule::StrOrNone};
constexpr Param kCwdParam{"cwd", native::ParamKind::PositionalOrKeyword, "Path | None",
                          TypeRule::None};

constexpr std::array kSelfOnly{kSelf};
constexpr std::array kScanParams{kSelf, kSkillsDirParam, kCwdParam};
constexpr std::array kTargetParams{
    kSelf, kCwdParam,
    Param{"preferred_runtime", native::ParamKind::PositionalOrKeyword, "str | None",
          TypeRule::StrOrNone}};
constexpr std::array kTargetsParams{
    kSelf, kCwdParam,
    Param{"preferred_runtimes", native::ParamKind::PositionalOrKeyword, "list[str] | None",
          TypeRule::ListOrNone}};
constexpr std::array kCwdOnlyParams{kSelf, kCwdParam};
constexpr std::array kDedupeParams{
    kSelf, Param{"targets", native::ParamKind::PositionalOrKeyword, "list[tuple[str, Path]]",
                 TypeRule::List}};
constexpr std::array kInferParams{
    kSelf, Param{"skill_dir", native::ParamKind::PositionalOrKeyword, "Path", TypeRule::None}};

constexpr const char* kTargetList = "list[tuple[str, Path]]";

const FunctionSpec kCandidateDirs{
    "candidate_dirs", "SkillDetector.candidate_dirs",
    "收集所有候选扫描目录，按优先级排列并去重。\n"
    "\n"
    "        优先级从高到低：\n"
    "        1. 调用方显式指定的 skills_dir 参数\n"
    "        2. 环境变量 TARVEK_SKILLS_DIR\n"
    "        3. 当前工作目录下的 .claude/skills\n"
    "        4. 用户主目录下的 .claude/skills\n"
    "        5. 用户主目录下的 .openclaw/skills\n"
    "        ",
    kScanParams, "list[Path]", candidate_dirs};

const FunctionSpec kDiscover{
    "discover", "SkillDetector.discover",
    "扫描所有候选目录，发现已安装的 Skill。\n"
    "\n"
    "        判定条件：目录下必须存在 data/VERSION.json 文件。\n"
    "        解析失败（JSON 格式错误等）的目录会被静默跳过。\n"
    "        ",
    kScanParams, "list[SkillRecord]", discover};

const FunctionSpec kDetectInstallTarget{
    "detect_install_target", "SkillDetector.detect_install_target",
    "检测新 Skill 应该安装到哪个目录。\n"
    "\n"
    "        优先使用 preferred_runtime 参数，否则根据当前目录下是否存在对应运行时目录推断。\n"
    "        默认回退到 claude 运行时。\n"
    "\n"
    "        Returns:\n"
    "            (runtime, target_path) 二元组\n"
    "        ",
    kTargetParams, "tuple[str, Path]", detect_install_target};

const FunctionSpec kDetectInstallTargets{
    "detect_install_targets", "SkillDetector.detect_install_targets", "检测多个安装目标。",
    kTargetsParams, kTargetList, detect_install_targets};

const FunctionSpec kDetectAvailableInstallTargets{
    "detect_available_install_targets", "SkillDetector.detect_available_install_targets",
    "根据当前目录已存在的运行时目录，返回可用目标列表（项目级）。", kCwdOnlyParams,
    kTargetList, detect_available_install_targets};

const FunctionSpec kDetectGlobalInstallTargets{
    "detect_global_install_targets", "SkillDetector.detect_global_install_targets",
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
    "        ",
    kSelfOnly, kTargetList, detect_global_install_targets};

const FunctionSpec kDetectAllInstallTargets{
    "detect_all_install_targets", "SkillDetector.detect_all_install_targets",
    "返回全部支持运行时的全局安装目录。\n"
    "\n"
    "        `--runtime all` 的语义是强制覆盖四类 AI 工具的全局 Skills 目录，\n"
    "        不依赖当前机器是否已检测到对应命令或配置目录。\n"
    "        ",
    kSelfOnly, kTargetList, detect_all_install_targets};

const FunctionSpec kOpencodeConfigDir{
    "_opencode_config_dir", "SkillDetector._opencode_config_dir",
    "返回 OpenCode 的配置根目录（所有平台统一为 ~/.config/opencode/）。", kSelfOnly, "Path",
    opencode_config_dir};

const FunctionSpec kOpencodeSkillsDir{
    "_opencode_skills_dir", "SkillDetector._opencode_skills_dir",
    "返回 OpenCode 的 Skills 安装目录（跨平台）。", kSelfOnly, "Path", opencode_skills_dir};

const FunctionSpec kDedupeTargets{"_dedupe_targets", "SkillDetector._dedupe_targets", nullptr,
                                  kDedupeParams, kTargetList, dedupe_targets};

const FunctionSpec kInferRuntime{
    "_infer_runtime", "SkillDetector._infer_runtime",
    "根据 Skill 目录路径推断运行时类型。\n"
    "\n"
    "        优先匹配最具体的特征路径段，无法识别时默认返回 claude。\n"
    "        ",
    kInferParams, "str", infer_runtime};

void bind(nb::module_& m) {
  nb::handle globals = PyModule_GetDict(m.ptr());
  nb::object none = nb::none();
  nb::object two_none = nb::make_tuple(nb::none(), nb::none());
  nb::object one_none = nb::make_tuple(nb::none());

  m.attr("__doc__") = kModuleDoc;
  m.attr("json") = nb::module_::import_("json");
  nb::object logging = nb::module_::import_("logging");
  m.attr("logging") = logging;
  m.attr("os") = nb::module_::import_("os");
  m.attr("shutil") = nb::module_::import_("shutil");
  m.attr("Path") = native::from_import("pathlib", "Path");
  m.attr("SkillRecord") = native::from_import(kModelsModule, "SkillRecord");
  m.attr("_logger") = logging.attr("getLogger")(kLoggerName);

  // A plain class, as `class SkillDetector:` makes it: subclassable, no
  // constructor of its own, the methods in definition order.
  nb::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "SkillDetector";
  ns["__doc__"] = kClassDoc;
  auto define = [&](const FunctionSpec& method, nb::handle defaults) {
    ns[method.name] = native::make_function(method, globals, defaults, none);
  };
  define(kCandidateDirs, two_none);
  define(kDiscover, two_none);
  define(kDetectInstallTarget, two_none);
  define(kDetectInstallTargets, two_none);
  define(kDetectAvailableInstallTargets, one_none);
  define(kDetectGlobalInstallTargets, none);
  define(kDetectAllInstallTargets, none);
  define(kOpencodeConfigDir, none);
  define(kOpencodeSkillsDir, none);
  define(kDedupeTargets, none);
  define(kInferRuntime, none);

  nb::handle type_type = reinterpret_cast<PyObject*>(&PyType_Type);
  nb::handle object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  m.attr("SkillDetector") = type_type("SkillDetector", nb::make_tuple(object_type), ns);
  native::remember_own(ns, {&names::infer_runtime});
}

}  // namespace
}  // namespace tarvek::detector

TARVEK_MODULE(detector, m) { tarvek::detector::bind(m); }
