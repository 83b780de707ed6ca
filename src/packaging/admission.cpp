// Build profiles and admission: which built-in skills a build profile and
// artifact take in, decided by the release manifest.
#include <array>

#include "packaging/packaging.hpp"

namespace tarvek::packaging {

using native::equals;

nb::object member(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    return native::dict_get(mapping, key);
  }
  if (!native::contains(mapping, key)) {
    return {};
  }
  return native::check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

bool admits_everything(nb::handle profile) {
  for (const Name* admitting : kAdmitAllProfiles) {
    if (equals(profile, *admitting)) {
      return true;
    }
  }
  return false;
}

namespace {

// The default is DEFAULT_PROFILE as the module binds it, before this function.
constexpr auto kCurrentProfile = native::signature(
    "current_profile", {positional("default", "str", native::module_value(names::DEFAULT_PROFILE))},
    "str", "读取当前 Skill 构建 profile。");

nb::object current_profile(const Args<kCurrentProfile>& call) {
  nb::object value = read_env(call, call.global(names::PROFILE_ENV));
  if (native::truthy(value)) {
    return value;
  }
  return nb::borrow(call["default"]);
}

// `mapping.get(key)`: plain dicts read directly (their `get` is dict's own).
nb::object get_or_none(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    nb::object value = native::dict_get(mapping, key);
    return value.is_valid() ? value : nb::none();
  }
  return native::call_method(mapping, names::get, key);
}

// _profile_key(profile, artifact): the admission key, None, or the error.
nb::object key_for(const Call& call, nb::handle profile, nb::handle artifact) {
  if (admits_everything(profile)) {
    return nb::none();
  }
  nb::object by_artifact = get_or_none(call.global(names::PROFILE_KEYS), profile);
  if (!native::truthy(by_artifact)) {
    raise_manifest_error(call, nb::str("未知 Skill 构建 profile: ") + native::to_str(profile));
  }
  nb::object key = get_or_none(by_artifact, artifact);
  if (key.is_none()) {
    nb::object profile_repr = native::check(PyObject_Repr(profile.ptr()));
    nb::object artifact_repr = native::check(PyObject_Repr(artifact.ptr()));
    raise_manifest_error(
        call, nb::str("profile ") + profile_repr + nb::str(" 不支持产物类型 ") + artifact_repr);
  }
  return key;
}

constexpr auto kProfileKey = native::signature(
    "_profile_key", {positional("profile", "str"), positional("artifact", "str")}, "str | None");

nb::object profile_key(const Args<kProfileKey>& call) {
  return key_for(call, call["profile"], call["artifact"]);
}

}  // namespace

namespace {

// The module's own _profile_key is asked directly (its arguments have
// passed the same checks here); a rebound one is called.
nb::object admission_key(const Call& call, nb::handle profile, nb::handle artifact) {
  if (native::is_own(call, names::profile_key) && native::is_exact_str(profile) &&
      native::is_exact_str(artifact)) {
    return key_for(call, profile, artifact);
  }
  return call_global(call, names::profile_key, profile, artifact);
}

// What follows the key: the lookups in the manifest, on either form.
//
//     defaults = manifest["default"] if "default" in manifest else {}
//     skills = manifest["skills"] if "skills" in manifest else {}
//     entry = skills[skill_name] if skill_name in skills else {}
//     if not isinstance(entry, dict):
//         entry = {}
//     fallback = defaults[key] if key in defaults else False
//     return bool(entry[key] if key in entry else fallback)
template <class Manifest>
nb::object decision(const Call& call, const Manifest& manifest, nb::handle skill_name,
                    nb::handle key) {
  // A manifest handed in by a caller has not been through the loader, and
  // the loader does not look at "default": a member of the wrong kind is
  // reported as a manifest error rather than failing on the lookup.
  auto root = manifest.root();
  auto defaults = manifest.member(root, names::default_);
  auto skills = manifest.member(root, names::skills);
  auto entry = manifest.absent();
  if (manifest.present(skills)) {
    if (!manifest.is_dict(skills)) {
      raise_no_skills_object(call);
    }
    entry = manifest.member(skills, skill_name);
  }
  if (manifest.present(defaults) && !manifest.is_dict(defaults)) {
    raise_manifest_error(call, nb::str("Skill 发版清单 default 必须是对象"));
  }
  if (manifest.present(entry) && !manifest.is_dict(entry)) {
    entry = manifest.absent();
  }

  // The fallback is taken before the entry is consulted; an entry that holds
  // the key decides, whatever its value.
  auto fallback = manifest.absent();
  if (manifest.present(defaults)) {
    fallback = manifest.member(defaults, key);
  }
  auto decisive = manifest.absent();
  if (manifest.present(entry)) {
    decisive = manifest.member(entry, key);
  }
  if (!manifest.present(decisive)) {
    if (!manifest.present(fallback)) {
      return nb::bool_(false);
    }
    decisive = std::move(fallback);
  }
  return manifest.truth(decisive);
}

}  // namespace

//     if profile in ("dev", "internal"):
//         return True
//     manifest = manifest or load_release_manifest(templates_dir)
//     key = _profile_key(profile, artifact)
//     if key is None:
//         return True
//     ... (decision)
nb::object allowed(const Call& call, nb::handle skill_name, nb::handle profile, nb::handle artifact,
                   nb::handle given_manifest, nb::handle templates_dir) {
  if (admits_everything(profile)) {
    return nb::bool_(true);
  }
  nb::object manifest = native::truthy(given_manifest)
                            ? nb::borrow(given_manifest)
                            : call_global(call, names::load_release_manifest, templates_dir);
  nb::object key = admission_key(call, profile, artifact);
  if (key.is_none()) {
    return nb::bool_(true);
  }
  return decision(call, DictManifest{call, manifest}, skill_name, key);
}

nb::object allowed_in(const Call& call, nb::handle skill_name, nb::handle profile,
                      nb::handle artifact, LoadedManifest& manifest) {
  if (admits_everything(profile)) {
    return nb::bool_(true);
  }
  nb::object key = admission_key(call, profile, artifact);
  if (key.is_none()) {
    return nb::bool_(true);
  }
  if (manifest.is_text() && native::is_exact_str(key) && native::is_exact_str(skill_name)) {
    return decision(call, TextManifest{manifest.json()}, skill_name, key);
  }
  return decision(call, DictManifest{call, manifest.dict()}, skill_name, key);
}

namespace {

constexpr auto kSkillAllowed = native::signature(
    "skill_allowed",
    {positional("skill_name", "str"), keyword_only("profile", "str"),
     keyword_only("artifact", "str"), keyword_only("manifest", "dict[str, Any] | None", kNone),
     keyword_only("templates_dir", "Path | None", kNone)},
    "bool", "判断指定 Skill 是否允许进入目标 profile/artifact。");

nb::object skill_allowed(const Args<kSkillAllowed>& call) {
  return allowed(call, call["skill_name"], call["profile"], call["artifact"], call["manifest"],
                 call["templates_dir"]);
}

//     root = templates_dir or get_builtin_templates_dir()
//     resolved = profile or current_profile()
//     manifest = None if resolved in ("dev", "internal") else load_release_manifest(root)
//     names = []
//     for path in list_template_dirs(root):
//         name = path.name
//         if skill_allowed(name, profile=resolved, artifact=artifact,
//                          manifest=manifest, templates_dir=root):
//             names.append(name)
//     return names
constexpr auto kSelectedSkillNames = native::signature(
    "selected_skill_names",
    {keyword_only("profile", "str | None", kNone), keyword_only("artifact", "str"),
     keyword_only("templates_dir", "Path | None", kNone)},
    "list[str]", "返回目标 profile/artifact 下应包含的 Skill 名称。");

nb::object selected_skill_names(const Args<kSelectedSkillNames>& call) {
  nb::handle given_profile = call["profile"];
  nb::handle artifact = call["artifact"];

  nb::object root = templates_root(call, call["templates_dir"]);
  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : call_global(call, names::current_profile);
  LoadedManifest manifest =
      admits_everything(profile) ? LoadedManifest(nb::none()) : load_manifest_for(call, root);

  // One set of keyword names serves every skill_allowed call of this run.
  nb::object keywords =
      native::check(PyTuple_Pack(4, names::profile.get().ptr(), names::artifact.get().ptr(),
                                 names::manifest.get().ptr(), names::templates_dir.get().ptr()));
  nb::list selected;
  auto decide = [&](nb::handle name) {
    // The module's own skill_allowed is asked directly, when the arguments
    // pass its checks; anything else is called as bound.
    nb::object verdict;
    bool direct = native::is_own(call, names::skill_allowed) && native::is_exact_str(profile) &&
                  native::is_exact_str(name) && native::is_exact_str(artifact);
    if (direct && manifest.is_text()) {
      verdict = allowed_in(call, name, profile, artifact, manifest);
    } else if (direct && (manifest.dict().is_none() || native::is_exact_dict(manifest.dict()))) {
      verdict = allowed(call, name, profile, artifact, manifest.dict(), root);
    } else {
      std::array<PyObject*, 5> args{name.ptr(), profile.ptr(), artifact.ptr(),
                                    manifest.dict().ptr(), root.ptr()};
      nb::object skill_allowed_now = call.global(names::skill_allowed);
      verdict = native::check(
          PyObject_Vectorcall(skill_allowed_now.ptr(), args.data(), 1, keywords.ptr()));
    }
    if (native::truthy(verdict)) {
      selected.append(name);
    }
  };
  fs::choose(call, {root}, {&names::list_template_dirs}, [&](auto& fs) {
    if (fs.steps_inline()) {
      for (nb::handle name : template_dir_names(fs, call, fs.argument(root), root)) {
        decide(name);
      }
    } else {
      for (nb::handle path : call.global(names::list_template_dirs)(root)) {
        decide(native::getattr(path, names::name));
      }
    }
    return 0;
  });
  return selected;
}

}  // namespace

const native::FunctionSpec functions::current_profile =
    native::spec<kCurrentProfile, packaging::current_profile>();
const native::FunctionSpec functions::profile_key =
    native::spec<kProfileKey, packaging::profile_key>();
const native::FunctionSpec functions::skill_allowed =
    native::spec<kSkillAllowed, packaging::skill_allowed>();
const native::FunctionSpec functions::selected_skill_names =
    native::spec<kSelectedSkillNames, packaging::selected_skill_names>();

}  // namespace tarvek::packaging
