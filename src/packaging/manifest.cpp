// Reading the release manifest of a templates directory.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

// A manifest is a small text file: anything else is refused before it is read.
constexpr std::size_t kManifestLimit = std::size_t{64} << 20;

template <class Fs>
nb::object manifest_text(Fs& fs, const Call& call, const typename Fs::Path& path) {
  // The loader reads exactly one file; the path's text names it in every message.
  if (!fs.exists(path)) {
    raise_manifest_error(call, nb::str("未找到 Skill 发版清单: ") + fs.to_str(path));
  }
  switch (fs::file_problem(fs, path, kManifestLimit)) {
    case fs::FileProblem::NotRegular:
      raise_manifest_error(call, nb::str("Skill 发版清单不是普通文件: ") + fs.to_str(path));
    case fs::FileProblem::TooLarge:
      raise_manifest_error(call, nb::str("Skill 发版清单超过 64 MiB: ") + fs.to_str(path));
    case fs::FileProblem::None:
      break;
  }
  return fs.read_text(path, kManifestLimit);
}

}  // namespace

void raise_manifest_error(const Call& call, nb::handle message) {
  native::raise(call.global(names::SkillReleaseManifestError), message);
}

nb::object load_release_manifest(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  nb::object filename = call.global(names::MANIFEST_FILENAME);
  nb::object path_text;
  nb::object text = fs::choose(call, {root}, {&names::MANIFEST_FILENAME}, [&](auto& fs) {
    auto path = fs.child(fs.argument(root), filename);
    path_text = fs.to_str(path);
    return manifest_text(fs, call, path);
  });

  nb::object json = call.global(names::json);
  nb::object manifest;
  try {
    manifest = native::call_method(json, names::loads, text);
  } catch (nb::python_error& error) {
    nb::object decode_error = native::getattr(json, names::JSONDecodeError);
    if (!native::matches(error, decode_error)) {
      throw;
    }
    nb::object cause = nb::borrow(error.value());
    native::raise_from(call.global(names::SkillReleaseManifestError),
                       nb::str("Skill 发版清单 JSON 无效: ") + path_text,
                       cause);
  }

  if (!PyDict_Check(manifest.ptr())) {
    raise_manifest_error(call, nb::str("Skill 发版清单根节点必须是对象"));
  }
  nb::object skills = native::dict_get(manifest, names::skills);
  if (!skills.is_valid() || !PyDict_Check(skills.ptr())) {
    raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
  }
  return manifest;
}

}  // namespace tarvek::packaging
