// Build profiles and admission: which built-in skills a build profile and
// artifact take in, decided by the release manifest.
#include <array>

#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

using native::equals;

const Name kProfileEnv{"PROFILE_ENV"};
const Name kProfileKeys{"_PROFILE_KEYS"};
const Name kProfileKeyFunction{"_profile_key"};
const Name kCurrentProfile{"current_profile"};
const Name kSkillAllowed{"skill_allowed"};
const Name kLoadReleaseManifest{"load_release_manifest"};
const Name kListTemplateDirs{"list_template_dirs"};
const Name kGet{"get"};
const Name kName{"name"};
const Name kDefault{"default"};
const Name kSkills{"skills"};

const Name kProfile{"profile"};
const Name kArtifact{"artifact"};
const Name kManifest{"manifest"};
const Name kTemplatesDir{"templates_dir"};

const Name kDev{"dev"};
const Name kInternal{"internal"};

// `mapping.get(key)`: plain dicts are read directly, anything else through its own
// `get` method.  Returns an empty handle when the key is absent (a member
// whose value is None is present and returned as None).
nb::object member(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    return native::dict_get(mapping, key);
  }
  // A fresh object() tells an absent member from one whose value is None.
  nb::object absent =
      native::check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  nb::object value = native::call_method(mapping, kGet, key, absent);
  if (value.is(absent)) {
    return {};
  }
  return value;
}

}  // namespace

bool admits_everything(nb::handle profile) {
  return equals(profile, kDev) || equals(profile, kInternal);
}

nb::object current_profile(const Call& call) {
  nb::str value = read_env(call, call.global(kProfileEnv));
  if (native::truthy(value)) {
    return value;
  }
  return nb::borrow(call.arg(0));
}

nb::object profile_key(const Call& call) {
  nb::handle profile = call.arg(0);
  nb::handle artifact = call.arg(1);
  if (admits_everything(profile)) {
    return nb::none();
  }
  nb::object by_artifact = native::call_method(call.global(kProfileKeys), kGet, profile);
  if (!native::truthy(by_artifact)) {
    raise_manifest_error(call, nb::str("未知 Skill 构建 profile: ") + native::to_str(profile));
  }
  nb::object key = native::call_method(by_artifact, kGet, artifact);
  if (key.is_none()) {
    nb::object profile_repr = native::check(PyObject_Repr(profile.ptr()));
    nb::object artifact_repr = native::check(PyObject_Repr(artifact.ptr()));
    raise_manifest_error(call, nb::str("profile ") + profile_repr + nb::str(" 不支持产物类型 ") +
                                   artifact_repr);
  }
  return key;
}

nb::object skill_allowed(const Call& call) {
  nb::handle skill_name = call.arg(0);
  nb::handle profile = call.arg(1);
  nb::handle artifact = call.arg(2);
  nb::handle given_manifest = call.arg(3);
  nb::handle templates_dir = call.arg(4);

  if (admits_everything(profile)) {
    return nb::bool_(true);
  }
  nb::object manifest = native::truthy(given_manifest)
                            ? nb::borrow(given_manifest)
                            : call_global(call, kLoadReleaseManifest, templates_dir);
  nb::object key = call_global(call, kProfileKeyFunction, profile, artifact);
  if (key.is_none()) {
    return nb::bool_(true);
  }

  // A manifest handed in by a caller has not been through the loader, and
  // the loader does not look at "default": a member of the wrong kind is
  // reported as a manifest error rather than failing on the lookup.
  nb::object defaults = member(manifest, kDefault);
  nb::object skills = member(manifest, kSkills);
  nb::object entry;
  if (skills.is_valid()) {
    if (!PyDict_Check(skills.ptr())) {
      raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
    }
    entry = member(skills, skill_name);
  }
  if (defaults.is_valid() && !PyDict_Check(defaults.ptr())) {
    raise_manifest_error(call, nb::str("Skill 发版清单 default 必须是对象"));
  }

  // The fallback is taken before the entry is consulted; an entry that holds
  // the key decides, whatever its value.
  nb::object fallback;
  if (defaults.is_valid()) {
    fallback = member(defaults, key);
  }
  nb::object decisive;
  if (entry.is_valid() && PyDict_Check(entry.ptr())) {
    decisive = member(entry, key);
  }
  if (!decisive.is_valid()) {
    decisive = std::move(fallback);
  }
  return nb::bool_(decisive.is_valid() && native::truthy(decisive));
}

nb::object selected_skill_names(const Call& call) {
  nb::handle given_profile = call.arg(0);
  nb::handle artifact = call.arg(1);

  nb::object root = templates_root(call, call.arg(2));
  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : call_global(call, kCurrentProfile);
  nb::object manifest = admits_everything(profile)
                            ? nb::none()
                            : call_global(call, kLoadReleaseManifest, root);

  // One set of keyword names serves every skill_allowed call of this run.
  nb::object keywords = native::check(PyTuple_Pack(4, kProfile.get().ptr(), kArtifact.get().ptr(),
                                                   kManifest.get().ptr(),
                                                   kTemplatesDir.get().ptr()));
  nb::list names;
  for (nb::handle path : call_global(call, kListTemplateDirs, root)) {
    nb::object name = native::getattr(path, kName);
    std::array<PyObject*, 5> args{name.ptr(), profile.ptr(), artifact.ptr(), manifest.ptr(),
                                  root.ptr()};
    nb::object allowed = call.global(kSkillAllowed);
    nb::object verdict =
        native::check(PyObject_Vectorcall(allowed.ptr(), args.data(), 1, keywords.ptr()));
    if (native::truthy(verdict)) {
      names.append(name);
    }
  }
  return names;
}

}  // namespace tarvek::packaging
