// Where skills live: the central store, the built-in templates, and the
// skill template directories under a templates directory.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

const Name kOs{"os"};
const Name kSys{"sys"};
const Name kPath{"Path"};
const Name kEnviron{"environ"};
const Name kGet{"get"};
const Name kStrip{"strip"};
const Name kPlatform{"platform"};
const Name kMeipass{"_MEIPASS"};
const Name kFile{"__file__"};
const Name kExists{"exists"};
const Name kResolve{"resolve"};
const Name kParent{"parent"};
const Name kIterdir{"iterdir"};
const Name kIsDir{"is_dir"};
const Name kGetBuiltinTemplatesDir{"get_builtin_templates_dir"};

const Name kCentralOverride{"TARVEK_CENTRAL_SKILLS_DIR"};
const Name kTemplatesOverride{"TARVEK_BUILTIN_TEMPLATES_DIR"};
const Name kLocalAppData{"LOCALAPPDATA"};
const Name kWin32{"win32"};
const Name kTarvek{"tarvek"};
const Name kDotTarvek{".tarvek"};
const Name kSkills{"skills"};
const Name kTemplates{"templates"};

}  // namespace

nb::str read_env(const Call& call, nb::handle variable) {
  nb::object environ = native::getattr(call.global(kOs), kEnviron);
  nb::object value = native::call_method(environ, kGet, variable, nb::str(""));
  return native::to_str(native::call_method(value, kStrip));
}

nb::object templates_root(const Call& call, nb::handle templates_dir) {
  if (native::truthy(templates_dir)) {
    return nb::borrow(templates_dir);
  }
  return call_global(call, kGetBuiltinTemplatesDir);
}

nb::object get_central_skills_dir(const Call& call) {
  nb::str override_value = read_env(call, kCentralOverride);
  if (native::truthy(override_value)) {
    return native::expanded_path(call, override_value);
  }
  nb::object path_type = call.global(kPath);
  nb::object platform = native::getattr(call.global(kSys), kPlatform);
  if (platform.equal(kWin32.get())) {
    // Windows keeps per-user data under %LOCALAPPDATA%, taken as it is.
    nb::str local = read_env(call, kLocalAppData);
    nb::object base = native::truthy(local) ? path_type(local)
                                            : native::home_dir(call);
    return base / kTarvek.get() / kSkills.get();
  }
  return native::home_dir(call) / kDotTarvek.get() / kSkills.get();
}

nb::object get_builtin_templates_dir(const Call& call) {
  nb::str override_value = read_env(call, kTemplatesOverride);
  if (native::truthy(override_value)) {
    return native::expanded_path(call, override_value);
  }
  nb::object path_type = call.global(kPath);

  // A PyInstaller single-file binary unpacks its data below sys._MEIPASS.
  PyObject* meipass = nullptr;
  if (PyObject_GetOptionalAttr(call.global(kSys).ptr(), kMeipass.get().ptr(), &meipass) < 0) {
    throw nb::python_error();
  }
  nb::object unpacked = nb::steal(meipass);
  if (unpacked.is_valid() && native::truthy(unpacked)) {
    nb::object candidate =
        path_type(unpacked) / kTarvek.get() / kSkills.get() / kTemplates.get();
    if (native::truthy(native::call_method(candidate, kExists))) {
      return candidate;
    }
  }

  nb::object module_file = native::call_method(path_type(call.global(kFile)), kResolve);
  return native::getattr(module_file, kParent) / kTemplates.get();
}

nb::object list_template_dirs(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  if (!native::truthy(native::call_method(root, kExists))) {
    return nb::list();
  }
  nb::list dirs;
  for (nb::handle entry : native::call_method(root, kIterdir)) {
    if (native::truthy(native::call_method(entry, kIsDir))) {
      dirs.append(entry);
    }
  }
  return native::sorted(dirs);
}

}  // namespace tarvek::packaging
