// The release check: every disagreement between the release manifest and
// the skill template directories beside it, as a list of problem strings.
#include <array>

#include "packaging/packaging.hpp"

#include "native/lazy.hpp"

namespace tarvek::packaging {
namespace {

nb::object set_difference(nb::handle a, nb::handle b) {
  return native::check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

nb::object set_intersection(nb::handle a, nb::handle b) {
  return native::check(PyNumber_And(a.ptr(), b.ptr()));
}

// f"{a}{b}"
nb::object formatted(nb::handle a, nb::handle b) {
  nb::object left = native::check(PyObject_Format(a.ptr(), nullptr));
  nb::object right = native::check(PyObject_Format(b.ptr(), nullptr));
  return native::check(PyUnicode_Concat(left.ptr(), right.ptr()));
}

// `entry.get(key, fallback)`: plain dicts read directly.
nb::object entry_member(nb::handle entry, nb::handle key, nb::handle fallback) {
  if (PyDict_CheckExact(entry.ptr())) {
    nb::object value = native::dict_get(entry, key);
    return value.is_valid() ? value : nb::borrow(fallback);
  }
  return native::call_method(entry, names::get, key, fallback);
}

}  // namespace

// `not str(entry.get(key, "")).strip()`
bool DictManifest::blank(const Value& entry, nb::handle key) const {
  nb::object text = native::str_of(call, entry_member(entry, key, nb::str("")));
  return !native::truthy(native::call_method(text, names::strip));
}

// `any(entry.get(key) for key in keys)`
bool DictManifest::any_of(const Value& entry, nb::handle keys) const {
  if (!native::builtins_intact(call)) {
    nb::object owned = entry;
    return native::any_of(call, native::lazy(keys, [owned](nb::handle key) -> nb::object {
                            return entry_member(owned, key, nb::none());
                          }));
  }
  for (nb::handle key : keys) {
    if (native::truthy(entry_member(entry, key, nb::none()))) {
      return true;
    }
  }
  return false;
}

namespace {

// ("source", "wheel", "binary", "binary_full")
nb::object release_flags() {
  nb::list keys;
  for (const ReleaseArtifact& release : kReleaseArtifacts) {
    keys.append(release.key.get());
  }
  return nb::tuple(keys);
}

// What follows loading the manifest and looking at its "default": the
// names on disk against the declared ones, then each declared skill's entry
// and, when it is release-admitted, its files.
//
//     actual = {p.name for p in list_template_dirs(root)}
//     declared = set(skills)
//     for name in sorted(actual - declared):
//         problems.append(f"模板目录未在 manifest 声明: {name}")
//     for name in sorted(declared - actual):
//         problems.append(f"manifest 声明了不存在的模板目录: {name}")
//     for name in sorted(actual & declared):
//         entry = skills[name]
//         if not isinstance(entry, dict):
//             problems.append(f"{name}: manifest 条目必须是对象")
//             continue
//         if not str(entry.get("reason", "")).strip(): problems.append(...)
//         if not str(entry.get("tier", "")).strip(): problems.append(...)
//         skill_dir = root / name
//         if not any(entry.get(key) for key in ("source", "wheel", "binary", "binary_full")):
//             continue
//         if not (skill_dir / "SKILL.md").exists(): problems.append(...)
//         if not (skill_dir / "data" / "VERSION.json").exists(): problems.append(...)
template <class Fs, class Manifest>
nb::list problems_of(Fs& fs, const Call& call, nb::handle root_object, const Manifest& manifest,
                     const typename Manifest::Value& skills, nb::list problems) {
  auto root = fs.argument(root_object);
  nb::object actual =
      native::check(PySet_New(template_dir_names(fs, call, root, root_object).ptr()));
  nb::object declared = manifest.keys(skills);

  nb::str undeclared_prefix("模板目录未在 manifest 声明: ");
  for (nb::handle name : native::sorted_of(call, set_difference(actual, declared))) {
    problems.append(formatted(undeclared_prefix, name));
  }
  nb::str missing_prefix("manifest 声明了不存在的模板目录: ");
  for (nb::handle name : native::sorted_of(call, set_difference(declared, actual))) {
    problems.append(formatted(missing_prefix, name));
  }

  nb::str not_object(": manifest 条目必须是对象");
  nb::str blank_reason(": reason 不能为空");
  nb::str blank_tier(": tier 不能为空");
  nb::str lacks_skill_file(": 发版准入 Skill 必须包含 SKILL.md");
  nb::str lacks_version_file(": 发版准入 Skill 必须包含 data/VERSION.json");
  nb::object flags = release_flags();
  for (nb::handle name : native::sorted_of(call, set_intersection(actual, declared))) {
    auto entry = manifest.item(skills, name);
    if (!manifest.is_dict(entry)) {
      problems.append(formatted(name, not_object));
      continue;
    }
    if (manifest.blank(entry, names::reason)) {
      problems.append(formatted(name, blank_reason));
    }
    if (manifest.blank(entry, names::tier)) {
      problems.append(formatted(name, blank_tier));
    }
    auto skill_dir = fs.child(root, name);
    if (!manifest.any_of(entry, flags)) {
      continue;
    }
    if (!fs.exists(fs.child(skill_dir, names::skill_md))) {
      problems.append(formatted(name, lacks_skill_file));
    }
    if (!fs.exists(fs.child(fs.child(skill_dir, names::data), names::version_json))) {
      problems.append(formatted(name, lacks_version_file));
    }
  }
  return problems;
}

constexpr auto kValidateReleaseManifest = native::signature(
    "validate_release_manifest", {positional("templates_dir", "Path | None", kNone)}, "list[str]",
    "校验发版清单声明完整性，返回问题列表。");

//     root = templates_dir or get_builtin_templates_dir()
//     manifest = load_release_manifest(root)
//     skills = manifest["skills"]
//     problems = []
//     ... (problems_of)
//
// with one step of our own before the comparison: a plain dict manifest
// whose "default" is no dict has the problem "manifest default 必须是对象".
nb::object validate_release_manifest(const Args<kValidateReleaseManifest>& call) {
  nb::object root = templates_root(call, call["templates_dir"]);
  LoadedManifest loaded = load_manifest_for(call, root);

  nb::list problems;
  // A "default" of the wrong kind loads, but every build would refuse it.
  const char* default_problem = "manifest default 必须是对象";
  if (loaded.is_text()) {
    TextManifest manifest{loaded.json()};
    auto skills = manifest.member(manifest.root(), names::skills);
    auto defaults = manifest.member(manifest.root(), names::default_);
    if (manifest.present(defaults) && !manifest.is_dict(defaults)) {
      problems.append(nb::str(default_problem));
    }
    return fs::choose(call, {root}, {&names::list_template_dirs}, [&](auto& fs) {
      return problems_of(fs, call, root, manifest, skills, problems);
    });
  }
  nb::handle data = loaded.dict();
  nb::object skills = native::check(PyObject_GetItem(data.ptr(), names::skills.get().ptr()));
  nb::object defaults;
  if (PyDict_CheckExact(data.ptr())) {
    defaults = native::dict_get(data, names::default_);
  }
  if (defaults.is_valid() && !PyDict_Check(defaults.ptr())) {
    problems.append(nb::str(default_problem));
  }
  DictManifest manifest{call, data};
  return fs::choose(call, {root}, {&names::list_template_dirs}, [&](auto& fs) {
    return problems_of(fs, call, root, manifest, skills, problems);
  });
}

}  // namespace

const native::FunctionSpec functions::validate_release_manifest =
    native::spec<kValidateReleaseManifest, packaging::validate_release_manifest>();

}  // namespace tarvek::packaging
