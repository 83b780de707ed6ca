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

nb::object get_central_skills_dir(const Call& call) {
  nb::object override_value = read_env(call, names::central_skills_dir_env);
  if (native::truthy(override_value)) {
    return native::expanded_path(call, override_value);
  }
  nb::object path_type = call.global(names::Path);
  nb::object platform = native::getattr(call.global(names::sys), names::platform);
  if (platform.equal(names::win32.get())) {
    // Windows keeps per-user data under %LOCALAPPDATA%, taken as it is.
    nb::object local = read_env(call, names::local_app_data_env);
    nb::object base = native::truthy(local) ? path_type(local)
                                            : native::home_dir(call);
    return base / names::tarvek.get() / names::skills.get();
  }
  return native::home_dir(call) / names::dot_tarvek.get() / names::skills.get();
}

nb::object get_builtin_templates_dir(const Call& call) {
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
    nb::object candidate =
        path_type(unpacked) / names::tarvek.get() / names::skills.get() / names::templates.get();
    if (native::truthy(native::call_method(candidate, names::exists))) {
      return candidate;
    }
  }

  nb::object module_file = native::call_method(path_type(call.global(names::file)), names::resolve);
  return native::getattr(module_file, names::parent) / names::templates.get();
}

//     root = templates_dir or get_builtin_templates_dir()
//     if not root.exists():
//         return []
//     return sorted(p for p in root.iterdir() if p.is_dir())
nb::object list_template_dirs(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  return fs::choose(call, {root}, {}, [&](auto& fs) { return template_dirs(fs, fs.argument(root)); });
}

}  // namespace tarvek::packaging
