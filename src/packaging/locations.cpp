// Where skills live: the central store, the built-in templates, and the
// skill template directories under a templates directory.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {

nb::object read_env(const Call& call, nb::handle variable) {
  nb::object environ = native::getattr(call.global(names::os), names::environ);
  nb::object value = native::call_method(environ, names::get, variable, nb::str(""));
  return native::call_method(value, names::strip);
}

nb::object templates_root(const Call& call, nb::handle templates_dir) {
  if (native::truthy(templates_dir)) {
    return nb::borrow(templates_dir);
  }
  return call_global(call, names::get_builtin_templates_dir);
}

namespace {

constexpr auto kGetCentralSkillsDir =
    native::signature("get_central_skills_dir", "Path",
                      "返回跨平台中央 Skills 存储目录。\n"
                      "\n"
                      "    macOS / Linux : ~/.tarvek/skills/\n"
                      "    Windows       : %LOCALAPPDATA%\\tarvek\\skills\\\n"
                      "    环境变量 TARVEK_CENTRAL_SKILLS_DIR 可覆盖（测试隔离用）。\n"
                      "    ");

nb::object get_central_skills_dir(const Args<kGetCentralSkillsDir>& call) {
  nb::object override_value = read_env(call, names::central_skills_dir_env);
  if (native::truthy(override_value)) {
    return native::expanded_path(call, override_value);
  }
  nb::object path_type = call.global(names::Path);
  nb::object platform = native::getattr(call.global(names::sys), names::platform);
  if (platform.equal(names::win32.get())) {
    // Windows keeps per-user data under %LOCALAPPDATA%, taken as it is.
    nb::object local = read_env(call, names::local_app_data_env);
    nb::object base = native::truthy(local) ? path_type(local) : native::home_dir(call);
    return base / names::tarvek.get() / names::skills.get();
  }
  return native::home_dir(call) / names::dot_tarvek.get() / names::skills.get();
}

constexpr auto kGetBuiltinTemplatesDir =
    native::signature("get_builtin_templates_dir", "Path",
                      "返回当前运行环境中的内置 Skill 模板目录。\n"
                      "\n"
                      "    普通 Python 包、PyInstaller onefile 和测试覆盖都通过这个函数解析路径，\n"
                      "    避免业务代码直接依赖固定的 __file__ 相对路径。\n"
                      "    ");

nb::object get_builtin_templates_dir(const Args<kGetBuiltinTemplatesDir>& call) {
  nb::object override_value = read_env(call, names::builtin_templates_dir_env);
  if (native::truthy(override_value)) {
    return native::expanded_path(call, override_value);
  }
  nb::object path_type = call.global(names::Path);

  // A PyInstaller single-file binary unpacks its data below sys._MEIPASS:
  // getattr(sys, "_MEIPASS", None).
  nb::object unpacked =
      native::getattr_or(call, call.global(names::sys), names::meipass, nb::none());
  if (native::truthy(unpacked)) {
    nb::object candidate = path_type(unpacked);
    for (const Name* part : kTemplatesPath) {
      candidate = candidate / part->get();
    }
    if (native::truthy(native::call_method(candidate, names::exists))) {
      return candidate;
    }
  }

  nb::object module_file = native::call_method(path_type(call.global(names::file)), names::resolve);
  return native::getattr(module_file, names::parent) / names::templates.get();
}

constexpr auto kListTemplateDirs =
    native::signature("list_template_dirs", {positional("templates_dir", "Path | None", kNone)},
                      "list[Path]", "列出模板根目录下所有 Skill 目录。");

//     root = templates_dir or get_builtin_templates_dir()
//     if not root.exists():
//         return []
//     return sorted(p for p in root.iterdir() if p.is_dir())
nb::object list_template_dirs(const Args<kListTemplateDirs>& call) {
  nb::object root = templates_root(call, call["templates_dir"]);
  return fs::choose(call, {root}, {},
                    [&](auto& fs) { return template_dirs(fs, fs.argument(root)); });
}

}  // namespace

const native::FunctionSpec functions::get_central_skills_dir =
    native::spec<kGetCentralSkillsDir, packaging::get_central_skills_dir>();
const native::FunctionSpec functions::get_builtin_templates_dir =
    native::spec<kGetBuiltinTemplatesDir, packaging::get_builtin_templates_dir>();
const native::FunctionSpec functions::list_template_dirs =
    native::spec<kListTemplateDirs, packaging::list_template_dirs>();

}  // namespace tarvek::packaging
