// Reading the release manifest of a templates directory.
//
//     root = templates_dir or get_builtin_templates_dir()
//     manifest_path = root / MANIFEST_FILENAME
//     if not manifest_path.exists():
//         raise SkillReleaseManifestError(f"未找到 Skill 发版清单: {manifest_path}")
//     try:
//         data = json.loads(manifest_path.read_text(encoding="utf-8"))
//     except json.JSONDecodeError as exc:
//         raise SkillReleaseManifestError(f"Skill 发版清单 JSON 无效: {manifest_path}") from exc
//     if not isinstance(data, dict):
//         raise SkillReleaseManifestError("Skill 发版清单根节点必须是对象")
//     if not isinstance(data.get("skills"), dict):
//         raise SkillReleaseManifestError("Skill 发版清单必须包含 skills 对象")
//     return data
//
// with one step of our own before the read: a status query of the file, so
// that a FIFO, a device or a socket is never read, nor a file over 64 MiB.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

// A manifest is a small text file: anything else is refused before it is read.
constexpr std::size_t kManifestLimit = std::size_t{64} << 20;

nb::object message(const char* prefix, nb::handle path_text) {
  return nb::str(prefix) + nb::borrow<nb::str>(path_text);
}

template <class Fs>
nb::object parsed_manifest(Fs& fs, const Call& call, const typename Fs::Path& path) {
  if (!fs.exists(path)) {
    raise_manifest_error(call, message("未找到 Skill 发版清单: ", fs.format(path)));
  }
  switch (fs::file_problem(fs, path, kManifestLimit)) {
    case fs::FileProblem::NotRegular:
      raise_manifest_error(call, message("Skill 发版清单不是普通文件: ", fs.format(path)));
    case fs::FileProblem::TooLarge:
      raise_manifest_error(call, message("Skill 发版清单超过 64 MiB: ", fs.format(path)));
    case fs::FileProblem::None:
      break;
  }
  try {
    // json.loads is looked up before the file is read, as the expression
    // `json.loads(manifest_path.read_text(...))` evaluates it.
    nb::object loads = native::getattr(call.global(names::json), names::loads);
    nb::object text = fs.read_text(path, kManifestLimit);
    return loads(text);
  } catch (nb::python_error& error) {
    nb::object cause = nb::borrow(error.value());
    {
      // The `except` clause is evaluated while the error is handled: what
      // it raises is chained to it.
      native::Handling handling(cause);
      nb::object decode_error = native::getattr(call.global(names::json), names::JSONDecodeError);
      if (!native::matches(error, decode_error)) {
        throw;
      }
    }
    native::Handling handling(cause);
    nb::object text = message("Skill 发版清单 JSON 无效: ", fs.format(path));
    native::raise_from(call.global(names::SkillReleaseManifestError), text, cause);
  }
}

// `mapping.get("skills")`: plain dicts read directly.
nb::object skills_member(nb::handle mapping) {
  if (PyDict_CheckExact(mapping.ptr())) {
    nb::object value = native::dict_get(mapping, names::skills);
    return value.is_valid() ? value : nb::none();
  }
  return native::call_method(mapping, names::get, names::skills.get());
}

}  // namespace

void raise_manifest_error(const Call& call, nb::handle message) {
  native::raise(call.global(names::SkillReleaseManifestError), message);
}

nb::object load_release_manifest(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  nb::object filename = call.global(names::MANIFEST_FILENAME);
  nb::object manifest = fs::choose(call, {root}, {&names::MANIFEST_FILENAME}, [&](auto& fs) {
    return parsed_manifest(fs, call, fs.child(fs.argument(root), filename));
  });

  if (!native::is_dict_instance(call, manifest)) {
    raise_manifest_error(call, nb::str("Skill 发版清单根节点必须是对象"));
  }
  if (!native::is_dict_instance(call, skills_member(manifest))) {
    raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
  }
  return manifest;
}

}  // namespace tarvek::packaging
