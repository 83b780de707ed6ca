// The release check: every disagreement between the release manifest and
// the skill template directories beside it, as a list of problem strings.
#include <array>

#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {


// The admission flags, in the order they are looked at.
const std::array<const Name*, 4> kAdmissionKeys{&names::source, &names::wheel, &names::binary,
                                                &names::binary_full};

nb::object set_of(nb::handle iterable) { return native::check(PySet_New(iterable.ptr())); }

nb::object set_difference(nb::handle a, nb::handle b) {
  return native::check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

nb::object set_intersection(nb::handle a, nb::handle b) {
  return native::check(PyNumber_And(a.ptr(), b.ptr()));
}

nb::object concat(nb::handle a, nb::handle b) {
  return native::check(PyUnicode_Concat(a.ptr(), b.ptr()));
}

// `entry.get(key)` on a dict entry: the value, or an empty handle.
nb::object entry_member(nb::handle entry, const Name& key) { return native::dict_get(entry, key); }

// True when the entry's member `key` is missing or blank once trimmed; any
// value other than a string is judged by its `str` form.
bool blank_member(nb::handle entry, const Name& key) {
  nb::object value = entry_member(entry, key);
  if (!value.is_valid()) {
    return true;
  }
  nb::object text = PyUnicode_Check(value.ptr()) ? value : nb::object(native::to_str(value));
  return !native::truthy(native::call_method(text, names::strip));
}

bool release_admitted(nb::handle entry) {
  for (const Name* key : kAdmissionKeys) {
    nb::object flag = entry_member(entry, *key);
    if (flag.is_valid() && native::truthy(flag)) {
      return true;
    }
  }
  return false;
}

// Steps 5 on: the names on disk against the declared ones, then each
// declared skill's entry and, when it is release-admitted, its files.
template <class Fs>
nb::list problems_of(Fs& fs, const Call& call, nb::handle root_object, nb::handle skills,
                     nb::list problems) {
  auto root = fs.argument(root_object);
  nb::object actual = set_of(template_dir_names(fs, call, root, root_object));

  nb::object declared = set_of(skills);

  nb::str undeclared_prefix("模板目录未在 manifest 声明: ");
  for (nb::handle name : native::sorted(set_difference(actual, declared))) {
    problems.append(concat(undeclared_prefix, name));
  }
  nb::str missing_prefix("manifest 声明了不存在的模板目录: ");
  for (nb::handle name : native::sorted(set_difference(declared, actual))) {
    problems.append(concat(missing_prefix, name));
  }

  nb::str not_object(": manifest 条目必须是对象");
  nb::str blank_reason(": reason 不能为空");
  nb::str blank_tier(": tier 不能为空");
  nb::str lacks_skill_file(": 发版准入 Skill 必须包含 SKILL.md");
  nb::str lacks_version_file(": 发版准入 Skill 必须包含 data/VERSION.json");
  for (nb::handle name : native::sorted(set_intersection(actual, declared))) {
    nb::object entry = native::check(PyObject_GetItem(skills.ptr(), name.ptr()));
    if (!PyDict_Check(entry.ptr())) {
      problems.append(concat(name, not_object));
      continue;
    }
    if (blank_member(entry, names::reason)) {
      problems.append(concat(name, blank_reason));
    }
    if (blank_member(entry, names::tier)) {
      problems.append(concat(name, blank_tier));
    }
    if (!release_admitted(entry)) {
      continue;
    }
    auto skill_dir = fs.child(root, name);
    if (!fs.exists(fs.child(skill_dir, names::skill_md))) {
      problems.append(concat(name, lacks_skill_file));
    }
    if (!fs.exists(fs.child(fs.child(skill_dir, names::data), names::version_json))) {
      problems.append(concat(name, lacks_version_file));
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
  if (PyDict_Check(manifest.ptr())) {
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
