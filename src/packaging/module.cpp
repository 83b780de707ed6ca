// tarvek.skills.packaging: the module namespace, bound in the order a reader
// of the module expects (imports, constants, functions, in definition order).
// Each function's signature and body lie together in the file that
// packaging.hpp names for it.

#include "native/module.hpp"
#include "native/own.hpp"
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

constexpr const char* kModuleDoc =
    "Skill 模板发版准入与收集工具。\n"
    "\n"
    "该模块是 Skill 模板发布范围的单一判断入口，供 setup.py、二进制打包\n"
    "脚本和发版检查脚本复用。\n";

// _PROFILE_KEYS: for each release profile, its artifacts' manifest flags.
nb::dict profile_keys() {
  nb::dict keys;
  for (const ReleaseArtifact& release : kReleaseArtifacts) {
    nb::handle profile = release.profile.get();
    if (!keys.contains(profile)) {
      keys[profile] = nb::dict();
    }
    nb::dict by_artifact = keys[profile];
    by_artifact[release.artifact.get()] = release.key.get();
  }
  return keys;
}

void bind(nb::module_& m) {
  nb::handle globals = PyModule_GetDict(m.ptr());
  auto define = [&](const native::FunctionSpec& function) {
    m.attr(function.name) = native::make_function(function, globals);
  };

  m.attr("__doc__") = kModuleDoc;
  m.attr("json") = nb::module_::import_("json");
  m.attr("os") = nb::module_::import_("os");
  m.attr("sys") = nb::module_::import_("sys");
  m.attr("Path") = native::from_import("pathlib", "Path");
  m.attr("Any") = native::from_import("typing", "Any");

  // The constants are bound under the names the functions read them by.
  m.attr(names::MANIFEST_FILENAME) = "manifest.json";
  m.attr(names::PROFILE_ENV) = "TARVEK_SKILL_PROFILE";
  m.attr(names::DEFAULT_PROFILE) = kDefaultProfile.get();
  m.attr(names::RELEASE_PROFILE) = kReleaseProfile.get();

  define(functions::get_central_skills_dir);
  m.attr(names::PROFILE_KEYS) = profile_keys();

  nb::dict error_namespace;
  error_namespace["__module__"] = "tarvek.skills.packaging";
  error_namespace["__doc__"] = "Skill 发版清单错误。";
  nb::handle type_type = reinterpret_cast<PyObject*>(&PyType_Type);
  m.attr(names::SkillReleaseManifestError) =
      type_type(names::SkillReleaseManifestError.get(),
                nb::make_tuple(nb::handle(PyExc_ValueError)), error_namespace);

  define(functions::get_builtin_templates_dir);
  define(functions::load_release_manifest);
  define(functions::list_template_dirs);
  define(functions::current_profile);  // its default: DEFAULT_PROFILE, bound above
  define(functions::profile_key);
  define(functions::skill_allowed);
  define(functions::selected_skill_names);
  define(functions::prune_templates_dir);
  define(functions::collect_skill_datas);
  define(functions::validate_release_manifest);
  define(functions::remove_tree);
  define(functions::is_packable_file);
  define(functions::remove_packaging_junk);

  native::remember_own(
      globals,
      {&names::get_builtin_templates_dir, &names::load_release_manifest, &names::list_template_dirs,
       &names::current_profile, &names::profile_key, &names::skill_allowed,
       &names::selected_skill_names, &names::remove_tree, &names::is_packable_file,
       &names::remove_packaging_junk, &names::MANIFEST_FILENAME});
}

}  // namespace
}  // namespace tarvek::packaging

TARVEK_MODULE(packaging, m) { tarvek::packaging::bind(m); }
