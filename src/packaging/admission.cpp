// Build profiles and admission: which built-in skills a build profile and
// artifact take in, decided by the release manifest.
#include <array>

#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

using native::equals;

// `mapping[key] if key in mapping else <absent>`: plain dicts are read
// directly, anything else through its own `__contains__` and
// `__getitem__`.  An empty handle stands for absent.
nb::object member(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    return native::dict_get(mapping, key);
  }
  if (!native::contains(mapping, key)) {
    return {};
  }
  return native::check(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

}  // namespace

bool admits_everything(nb::handle profile) {
  return equals(profile, names::dev) || equals(profile, names::internal);
}

nb::object current_profile(const Call& call) {
  nb::object value = read_env(call, call.global(names::PROFILE_ENV));
  if (native::truthy(value)) {
    return value;
  }
  return nb::borrow(call.arg(0));
}

namespace {

// _profile_key(profile, artifact): the admission key, None, or the error.
nb::object key_for(const Call& call, nb::handle profile, nb::handle artifact) {
  if (admits_everything(profile)) {
    return nb::none();
  }
  nb::object by_artifact = native::call_method(call.global(names::PROFILE_KEYS), names::get, profile);
  if (!native::truthy(by_artifact)) {
    raise_manifest_error(call, nb::str("未知 Skill 构建 profile: ") + native::to_str(profile));
  }
  nb::object key = native::call_method(by_artifact, names::get, artifact);
  if (key.is_none()) {
    nb::object profile_repr = native::check(PyObject_Repr(profile.ptr()));
    nb::object artifact_repr = native::check(PyObject_Repr(artifact.ptr()));
    raise_manifest_error(call, nb::str("profile ") + profile_repr + nb::str(" 不支持产物类型 ") +
                                   artifact_repr);
  }
  return key;
}

}  // namespace

nb::object profile_key(const Call& call) { return key_for(call, call.arg(0), call.arg(1)); }

//     if profile in ("dev", "internal"):
//         return True
//     manifest = manifest or load_release_manifest(templates_dir)
//     key = _profile_key(profile, artifact)
//     if key is None:
//         return True
//     defaults = manifest["default"] if "default" in manifest else {}
//     skills = manifest["skills"] if "skills" in manifest else {}
//     entry = skills[skill_name] if skill_name in skills else {}
//     if not isinstance(entry, dict):
//         entry = {}
//     fallback = defaults[key] if key in defaults else False
//     return bool(entry[key] if key in entry else fallback)
nb::object allowed(const Call& call, nb::handle skill_name, nb::handle profile,
                   nb::handle artifact, nb::handle given_manifest, nb::handle templates_dir) {
  if (admits_everything(profile)) {
    return nb::bool_(true);
  }
  nb::object manifest = native::truthy(given_manifest)
                            ? nb::borrow(given_manifest)
                            : call_global(call, names::load_release_manifest, templates_dir);
  // The module's own _profile_key is asked directly (its arguments have
  // passed the same checks here); a rebound one is called.
  nb::object key = native::is_own(call, names::profile_key) && native::is_exact_str(profile) &&
                           native::is_exact_str(artifact)
                       ? key_for(call, profile, artifact)
                       : call_global(call, names::profile_key, profile, artifact);
  if (key.is_none()) {
    return nb::bool_(true);
  }

  // A manifest handed in by a caller has not been through the loader, and
  // the loader does not look at "default": a member of the wrong kind is
  // reported as a manifest error rather than failing on the lookup.
  nb::object defaults = member(manifest, names::default_);
  nb::object skills = member(manifest, names::skills);
  nb::object entry;
  if (skills.is_valid()) {
    if (!native::is_dict_instance(call, skills)) {
      raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
    }
    entry = member(skills, skill_name);
  }
  if (defaults.is_valid() && !native::is_dict_instance(call, defaults)) {
    raise_manifest_error(call, nb::str("Skill 发版清单 default 必须是对象"));
  }
  if (entry.is_valid() && !native::is_dict_instance(call, entry)) {
    entry = nb::object();
  }

  // The fallback is taken before the entry is consulted; an entry that holds
  // the key decides, whatever its value.
  nb::object fallback;
  if (defaults.is_valid()) {
    fallback = member(defaults, key);
  }
  nb::object decisive;
  if (entry.is_valid()) {
    decisive = member(entry, key);
  }
  if (!decisive.is_valid()) {
    decisive = fallback.is_valid() ? std::move(fallback) : nb::bool_(false);
  }
  return native::bool_of(call, decisive);
}

nb::object skill_allowed(const Call& call) {
  return allowed(call, call.arg(0), call.arg(1), call.arg(2), call.arg(3), call.arg(4));
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
nb::object selected_skill_names(const Call& call) {
  nb::handle given_profile = call.arg(0);
  nb::handle artifact = call.arg(1);

  nb::object root = templates_root(call, call.arg(2));
  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : call_global(call, names::current_profile);
  nb::object manifest = admits_everything(profile)
                            ? nb::none()
                            : call_global(call, names::load_release_manifest, root);

  // One set of keyword names serves every skill_allowed call of this run.
  nb::object keywords = native::check(PyTuple_Pack(4, names::profile.get().ptr(),
                                                   names::artifact.get().ptr(),
                                                   names::manifest.get().ptr(),
                                                   names::templates_dir.get().ptr()));
  nb::list selected;
  auto decide = [&](nb::handle name) {
    // The module's own skill_allowed is asked directly, when the arguments
    // pass its checks; anything else is called as bound.
    nb::object verdict;
    if (native::is_own(call, names::skill_allowed) && native::is_exact_str(profile) &&
        (manifest.is_none() || native::is_exact_dict(manifest)) && native::is_exact_str(name) &&
        native::is_exact_str(artifact)) {
      verdict = allowed(call, name, profile, artifact, manifest, root);
    } else {
      std::array<PyObject*, 5> args{name.ptr(), profile.ptr(), artifact.ptr(), manifest.ptr(),
                                    root.ptr()};
      nb::object skill_allowed_now = call.global(names::skill_allowed);
      verdict = native::check(
          PyObject_Vectorcall(skill_allowed_now.ptr(), args.data(), 1, keywords.ptr()));
    }
    if (native::truthy(verdict)) {
      selected.append(name);
    }
  };
  fs::choose(call, {root}, {&names::list_template_dirs}, [&](auto& fs) {
    if (fs.inline_siblings()) {
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

}  // namespace tarvek::packaging
