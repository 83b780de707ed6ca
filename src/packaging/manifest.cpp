// Reading the release manifest of a templates directory.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

const Name kJson{"json"};
const Name kLoads{"loads"};
const Name kJSONDecodeError{"JSONDecodeError"};
const Name kManifestFilename{"MANIFEST_FILENAME"};
const Name kError{"SkillReleaseManifestError"};
const Name kExists{"exists"};
const Name kReadText{"read_text"};
const Name kSkills{"skills"};

}  // namespace

void raise_manifest_error(const Call& call, nb::handle message) {
  native::raise(call.global(kError), message);
}

nb::object load_release_manifest(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  nb::object manifest_path = root / call.global(kManifestFilename);
  if (!native::truthy(native::call_method(manifest_path, kExists))) {
    raise_manifest_error(call, nb::str("未找到 Skill 发版清单: ") + native::to_str(manifest_path));
  }

  nb::object text = native::call_method(manifest_path, kReadText, nb::arg("encoding") = "utf-8");
  nb::object json = call.global(kJson);
  nb::object manifest;
  try {
    manifest = native::call_method(json, kLoads, text);
  } catch (nb::python_error& error) {
    nb::object decode_error = native::getattr(json, kJSONDecodeError);
    if (!native::matches(error, decode_error)) {
      throw;
    }
    nb::object cause = nb::borrow(error.value());
    native::raise_from(call.global(kError),
                       nb::str("Skill 发版清单 JSON 无效: ") + native::to_str(manifest_path),
                       cause);
  }

  if (!PyDict_Check(manifest.ptr())) {
    raise_manifest_error(call, nb::str("Skill 发版清单根节点必须是对象"));
  }
  nb::object skills = native::dict_get(manifest, kSkills);
  if (!skills.is_valid() || !PyDict_Check(skills.ptr())) {
    raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
  }
  return manifest;
}

}  // namespace tarvek::packaging
