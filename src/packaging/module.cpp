// tarvek.skills.packaging: the module namespace, bound in the order a reader
// of the module expects (imports, constants, functions, in definition order).
#include <array>

#include "native/module.hpp"
#include "native/own.hpp"
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

using native::FunctionSpec;
using native::Param;
using native::ParamKind;
using native::TypeRule;

constexpr ParamKind kKeywordOnly = ParamKind::KeywordOnly;
constexpr ParamKind kPositional = ParamKind::PositionalOrKeyword;

constexpr const char* kModuleDoc =
    "Skill 模板发版准入与收集工具。\n"
    "\n"
    "该模块是 Skill 模板发布范围的单一判断入口，供 setup.py、二进制打包\n"
    "脚本和发版检查脚本复用。\n";

constexpr std::array<Param, 0> kNoParams{};
constexpr std::array kTemplatesDirParam{
    Param{"templates_dir", kPositional, "Path | None", TypeRule::None}};
constexpr std::array kCurrentProfileParams{
    Param{"default", kPositional, "str", TypeRule::Str}};
constexpr std::array kProfileKeyParams{
    Param{"profile", kPositional, "str", TypeRule::Str},
    Param{"artifact", kPositional, "str", TypeRule::Str}};
constexpr std::array kSkillAllowedParams{
    Param{"skill_name", kPositional, "str", TypeRule::Str},
    Param{"profile", kKeywordOnly, "str", TypeRule::Str},
    Param{"artifact", kKeywordOnly, "str", TypeRule::Str},
    Param{"manifest", kKeywordOnly, "dict[str, Any] | None", TypeRule::DictOrNone},
    Param{"templates_dir", kKeywordOnly, "Path | None", TypeRule::None}};
constexpr std::array kSelectedParams{
    Param{"profile", kKeywordOnly, "str | None", TypeRule::StrOrNone},
    Param{"artifact", kKeywordOnly, "str", TypeRule::Str},
    Param{"templates_dir", kKeywordOnly, "Path | None", TypeRule::None}};
constexpr std::array kPruneParams{
    Param{"target_templates_dir", kPositional, "Path", TypeRule::None},
    Param{"profile", kKeywordOnly, "str | None", TypeRule::StrOrNone},
    Param{"artifact", kKeywordOnly, "str", TypeRule::Str},
    Param{"manifest_templates_dir", kKeywordOnly, "Path | None", TypeRule::None}};
constexpr std::array kCollectParams{
    Param{"profile", kKeywordOnly, "str | None", TypeRule::StrOrNone},
    Param{"templates_dir", kKeywordOnly, "Path | None", TypeRule::None}};
constexpr std::array kPathParam{Param{"path", kPositional, "Path", TypeRule::None}};
constexpr std::array kRootParam{Param{"root", kPositional, "Path", TypeRule::None}};

const FunctionSpec kGetCentralSkillsDir{
    "get_central_skills_dir", "get_central_skills_dir",
    "返回跨平台中央 Skills 存储目录。\n"
    "\n"
    "    macOS / Linux : ~/.tarvek/skills/\n"
    "    Windows       : %LOCALAPPDATA%\\tarvek\\skills\\\n"
    "    环境变量 TARVEK_CENTRAL_SKILLS_DIR 可覆盖（测试隔离用）。\n"
    "    ",
    kNoParams, "Path", get_central_skills_dir};

const FunctionSpec kGetBuiltinTemplatesDir{
    "get_builtin_templates_dir", "get_builtin_templates_dir",
    "返回当前运行环境中的内置 Skill 模板目录。\n"
    "\n"
    "    普通 Python 包、PyInstaller onefile 和测试覆盖都通过这个函数解析路径，\n"
    "    避免业务代码直接依赖固定的 __file__ 相对路径。\n"
    "    ",
    kNoParams, "Path", get_builtin_templates_dir};

const FunctionSpec kLoadReleaseManifest{
    "load_release_manifest", "load_release_manifest", "读取 Skill 发版清单。",
    kTemplatesDirParam, "dict[str, Any]", load_release_manifest};

const FunctionSpec kListTemplateDirs{
    "list_template_dirs", "list_template_dirs", "列出模板根目录下所有 Skill 目录。",
    kTemplatesDirParam, "list[Path]", list_template_dirs};

const FunctionSpec kCurrentProfile{
    "current_profile", "current_profile", "读取当前 Skill 构建 profile。",
    kCurrentProfileParams, "str", current_profile};

const FunctionSpec kProfileKey{
    "_profile_key", "_profile_key", nullptr, kProfileKeyParams, "str | None", profile_key};

const FunctionSpec kSkillAllowed{
    "skill_allowed", "skill_allowed", "判断指定 Skill 是否允许进入目标 profile/artifact。",
    kSkillAllowedParams, "bool", skill_allowed};

const FunctionSpec kSelectedSkillNames{
    "selected_skill_names", "selected_skill_names",
    "返回目标 profile/artifact 下应包含的 Skill 名称。", kSelectedParams, "list[str]",
    selected_skill_names};

const FunctionSpec kPruneTemplatesDir{
    "prune_templates_dir", "prune_templates_dir",
    "删除目标模板目录中不允许进入当前产物的 Skill。\n"
    "\n"
    "    返回被保留的 Skill 名称列表。\n"
    "    ",
    kPruneParams, "list[str]", prune_templates_dir};

const FunctionSpec kCollectSkillDatas{
    "collect_skill_datas", "collect_skill_datas",
    "返回 PyInstaller datas 兼容的模板文件列表。\n"
    "\n"
    "    每个元素为 (source_file, destination_dir)，destination_dir 保持\n"
    "    tarvek/skills/templates/<skill-name>/... 结构。\n"
    "    ",
    kCollectParams, "list[tuple[str, str]]", collect_skill_datas};

const FunctionSpec kValidateReleaseManifest{
    "validate_release_manifest", "validate_release_manifest",
    "校验发版清单声明完整性，返回问题列表。", kTemplatesDirParam, "list[str]",
    validate_release_manifest};

const FunctionSpec kRemoveTree{"_remove_tree", "_remove_tree", nullptr, kPathParam, "None",
                               remove_tree};
const FunctionSpec kIsPackableFile{"_is_packable_file", "_is_packable_file", nullptr,
                                   kPathParam, "bool", is_packable_file};
const FunctionSpec kRemovePackagingJunk{"_remove_packaging_junk", "_remove_packaging_junk",
                                        nullptr, kRootParam, "None", remove_packaging_junk};

void bind(nb::module_& m) {
  nb::handle globals = PyModule_GetDict(m.ptr());
  auto define = [&](const FunctionSpec& spec, nb::handle defaults, nb::handle kwdefaults) {
    m.attr(spec.name) = native::make_function(spec, globals, defaults, kwdefaults);
  };
  nb::object none = nb::none();
  nb::object one_none = nb::make_tuple(nb::none());

  m.attr("__doc__") = kModuleDoc;
  m.attr("json") = nb::module_::import_("json");
  m.attr("os") = nb::module_::import_("os");
  m.attr("sys") = nb::module_::import_("sys");
  m.attr("Path") = native::from_import("pathlib", "Path");
  m.attr("Any") = native::from_import("typing", "Any");

  m.attr("MANIFEST_FILENAME") = "manifest.json";
  m.attr("PROFILE_ENV") = "TARVEK_SKILL_PROFILE";
  m.attr("DEFAULT_PROFILE") = "dev";
  m.attr("RELEASE_PROFILE") = "python-release";

  define(kGetCentralSkillsDir, none, none);

  nb::dict python_release;
  python_release["sdist"] = "source";
  python_release["wheel"] = "wheel";
  nb::dict binary_minimal;
  binary_minimal["binary"] = "binary";
  nb::dict binary_full;
  binary_full["binary"] = "binary_full";
  nb::dict profile_keys;
  profile_keys["python-release"] = python_release;
  profile_keys["binary-minimal"] = binary_minimal;
  profile_keys["binary-full"] = binary_full;
  m.attr("_PROFILE_KEYS") = profile_keys;

  nb::dict error_namespace;
  error_namespace["__module__"] = "tarvek.skills.packaging";
  error_namespace["__doc__"] = "Skill 发版清单错误。";
  nb::handle type_type = reinterpret_cast<PyObject*>(&PyType_Type);
  m.attr("SkillReleaseManifestError") =
      type_type("SkillReleaseManifestError",
                nb::make_tuple(nb::handle(PyExc_ValueError)), error_namespace);

  define(kGetBuiltinTemplatesDir, none, none);
  define(kLoadReleaseManifest, one_none, none);
  define(kListTemplateDirs, one_none, none);
  // The default of `current_profile` is DEFAULT_PROFILE as it stands now.
  define(kCurrentProfile, nb::make_tuple(m.attr("DEFAULT_PROFILE")), none);
  define(kProfileKey, none, none);

  nb::dict allowed_kwdefaults;
  allowed_kwdefaults["manifest"] = nb::none();
  allowed_kwdefaults["templates_dir"] = nb::none();
  define(kSkillAllowed, none, allowed_kwdefaults);

  nb::dict selected_kwdefaults;
  selected_kwdefaults["profile"] = nb::none();
  selected_kwdefaults["templates_dir"] = nb::none();
  define(kSelectedSkillNames, none, selected_kwdefaults);

  nb::dict prune_kwdefaults;
  prune_kwdefaults["profile"] = nb::none();
  prune_kwdefaults["manifest_templates_dir"] = nb::none();
  define(kPruneTemplatesDir, none, prune_kwdefaults);

  nb::dict collect_kwdefaults;
  collect_kwdefaults["profile"] = nb::none();
  collect_kwdefaults["templates_dir"] = nb::none();
  define(kCollectSkillDatas, none, collect_kwdefaults);

  define(kValidateReleaseManifest, one_none, none);
  define(kRemoveTree, none, none);
  define(kIsPackableFile, none, none);
  define(kRemovePackagingJunk, none, none);

  native::remember_own(globals, {&names::get_builtin_templates_dir, &names::load_release_manifest,
                                 &names::list_template_dirs, &names::current_profile,
                                 &names::profile_key, &names::skill_allowed,
                                 &names::selected_skill_names, &names::remove_tree,
                                 &names::is_packable_file, &names::remove_packaging_junk,
                                 &names::MANIFEST_FILENAME});
}

}  // namespace
}  // namespace tarvek::packaging

TARVEK_MODULE(packaging, m) { tarvek::packaging::bind(m); }
