// tarvek.skills.discovery.detector: the module namespace and the class
// `SkillDetector`, bound in the order a reader of the module expects
// (imports, the record class, the logger, the class with its methods in
// definition order).  Each method's signature and body lie together in the
// file that detector.hpp names for it.
#include "native/module.hpp"
#include "detector/detector.hpp"
#include "native/own.hpp"

namespace tarvek::detector {
namespace {

constexpr const char* kModuleName = "tarvek.skills.discovery.detector";
constexpr const char* kModelsModule = "tarvek.skills.domain.models";
constexpr const char* kLoggerName = "tarvek.skills.detector";

constexpr const char* kModuleDoc =
    "Skill 发现与检测模块。\n"
    "\n"
    "负责扫描多个候选目录，发现已安装的 Skill 并生成 SkillRecord。\n"
    "同时提供安装目标目录的检测逻辑，决定新 Skill 应安装到哪里。\n";

constexpr const char* kClassDoc = "Skill 探测器，扫描磁盘目录发现已安装的 Skill。";

void bind(nb::module_& m) {
  nb::handle globals = PyModule_GetDict(m.ptr());

  m.attr("__doc__") = kModuleDoc;
  m.attr("json") = nb::module_::import_("json");
  nb::object logging = nb::module_::import_("logging");
  m.attr("logging") = logging;
  m.attr("os") = nb::module_::import_("os");
  m.attr("shutil") = nb::module_::import_("shutil");
  m.attr("Path") = native::from_import("pathlib", "Path");
  m.attr(names::SkillRecord) = native::from_import(kModelsModule, names::SkillRecord.text());
  m.attr(names::logger) = logging.attr("getLogger")(kLoggerName);

  // A plain class, as `class SkillDetector:` makes it: subclassable, no
  // constructor of its own, the methods in definition order.
  nb::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "SkillDetector";
  ns["__doc__"] = kClassDoc;
  auto define = [&](const native::FunctionSpec& method) {
    ns[method.name] = native::make_function(method, globals);
  };
  define(functions::candidate_dirs);
  define(functions::discover);
  define(functions::detect_install_target);
  define(functions::detect_install_targets);
  define(functions::detect_available_install_targets);
  define(functions::detect_global_install_targets);
  define(functions::detect_all_install_targets);
  define(functions::opencode_config_dir);
  define(functions::opencode_skills_dir);
  define(functions::dedupe_targets);
  define(functions::infer_runtime);

  nb::handle type_type = reinterpret_cast<PyObject*>(&PyType_Type);
  nb::handle object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  m.attr("SkillDetector") = type_type("SkillDetector", nb::make_tuple(object_type), ns);
  native::remember_own(ns, {&names::infer_runtime});
}

}  // namespace
}  // namespace tarvek::detector

TARVEK_MODULE(detector, m) { tarvek::detector::bind(m); }
