// The release check: every disagreement between the release manifest and
// the skill template directories beside it, as a list of problem strings.
#include <array>

#include "packaging/packaging.hpp"

#include "native/lazy.hpp"

namespace tarvek::packaging {
namespace {

// The admission flags, in the order they are looked at.
const std::array<const Name*, 4> kAdmissionKeys{&names::source, &names::wheel, &names::binary,
                                                &names::binary_full};

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

// `not str(entry.get(key, "")).strip()`
bool blank_member(const Call& call, nb::handle entry, const Name& key) {
  nb::object text = native::str_of(call, entry_member(entry, key, nb::str("")));
  return !native::truthy(native::call_method(text, names::strip));
}

// `any(entry.get(key) for key in ("source", "wheel", "binary", "binary_full"))`
bool release_admitted(const Call& call, nb::handle entry) {
  if (!native::builtins_intact(call)) {
    nb::object keys = nb::make_tuple(names::source.get(), names::wheel.get(), names::binary.get(),
                                     names::binary_full.get());
    nb::object owned = nb::borrow(entry);
    return native::any_of(call, native::lazy(keys, [owned](nb::handle key) -> nb::object {
      return entry_member(owned, key, nb::none());
    }));
  }
  for (const Name* key : kAdmissionKeys) {
    if (native::truthy(entry_member(entry, key->get(), nb::none()))) {
      return true;
    }
  }
  return false;
}

// Steps 5 on: the names on disk against the declared ones, then each
// declared skill's entry and, when it is release-admitted, its files.
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
template <class Fs>
nb::list problems_of(Fs& fs, const Call& call, nb::handle root_object, nb::handle skills,
                     nb::list problems) {
  auto root = fs.argument(root_object);
  nb::object actual =
      native::check(PySet_New(template_dir_names(fs, call, root, root_object).ptr()));
  nb::object declared = native::set_of(call, skills);

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
  for (nb::handle name : native::sorted_of(call, set_intersection(actual, declared))) {
    nb::object entry = native::check(PyObject_GetItem(skills.ptr(), name.ptr()));
    if (!native::is_dict_instance(call, entry)) {
      problems.append(formatted(name, not_object));
      continue;
    }
    if (blank_member(call, entry, names::reason)) {
      problems.append(formatted(name, blank_reason));
    }
    if (blank_member(call, entry, names::tier)) {
      problems.append(formatted(name, blank_tier));
    }
    auto skill_dir = fs.child(root, name);
    if (!release_admitted(call, entry)) {
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

}  // namespace

nb::object validate_release_manifest(const Call& call) {
  nb::object root = templates_root(call, call.arg(0));
  nb::object manifest = call_global(call, names::load_release_manifest, root);
  nb::object skills = native::check(PyObject_GetItem(manifest.ptr(), names::skills.get().ptr()));

  nb::list problems;
  // A "default" of the wrong kind loads, but every build would refuse it.
  nb::object defaults;
  if (PyDict_CheckExact(manifest.ptr())) {
    defaults = native::dict_get(manifest, names::default_);
  }
  if (defaults.is_valid() && !PyDict_Check(defaults.ptr())) {
    problems.append(nb::str("manifest default 必须是对象"));
  }

  return fs::choose(call, {root}, {&names::list_template_dirs}, [&](auto& fs) {
    return problems_of(fs, call, root, skills, problems);
  });
}

}  // namespace tarvek::packaging
