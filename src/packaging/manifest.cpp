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

#include <type_traits>

#include "native/genuine_json.hpp"
#include "native/own.hpp"

namespace tarvek::packaging {
namespace {

// A manifest is a small text file: anything else is refused before it is read.
constexpr std::size_t kManifestLimit = std::size_t{64} << 20;

nb::object message(const char* prefix, nb::handle path_text) {
  return nb::str(prefix) + nb::borrow<nb::str>(path_text);
}

template <class Fs>
LoadedManifest parsed_manifest(Fs& fs, const Call& call, const typename Fs::Path& path,
                               bool natively) {
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
    if constexpr (requires { fs.read_bytes(path, kManifestLimit); }) {
      if (natively) {
        // What json.loads would make of it, read where it lies; a text the
        // reader is not sure of goes to json.loads itself.
        auto text = std::make_unique<LoadedManifest::Text>();
        text->bytes = fs.read_bytes(path, kManifestLimit);
        if (text->json.read(text->bytes)) {
          return LoadedManifest(std::move(text));
        }
        return LoadedManifest(loads(fs.decode_text(text->bytes)));
      }
    }
    nb::object text = fs.read_text(path, kManifestLimit);
    return LoadedManifest(loads(text));
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

// The loader's steps; `natively`: the text may be read natively.
LoadedManifest load_manifest(const Call& call, nb::handle templates_dir, bool natively) {
  nb::object root = templates_root(call, templates_dir);
  nb::object filename = call.global(names::MANIFEST_FILENAME);
  LoadedManifest manifest = fs::choose(call, {root}, {&names::MANIFEST_FILENAME}, [&](auto& fs) {
    return parsed_manifest(fs, call, fs.child(fs.argument(root), filename), natively);
  });

  if (manifest.is_text()) {
    TextManifest text{manifest.json()};
    if (!text.is_dict(text.root())) {
      raise_manifest_error(call, nb::str("Skill 发版清单根节点必须是对象"));
    }
    TextManifest::Value skills = text.member(text.root(), names::skills);
    if (!text.present(skills) || !text.is_dict(skills)) {
      raise_no_skills_object(call);
    }
    return manifest;
  }
  nb::handle data = manifest.dict();
  if (!native::is_dict_instance(call, data)) {
    raise_manifest_error(call, nb::str("Skill 发版清单根节点必须是对象"));
  }
  if (!native::is_dict_instance(call, skills_member(data))) {
    raise_no_skills_object(call);
  }
  return manifest;
}

constexpr auto kLoadReleaseManifest =
    native::signature("load_release_manifest", {positional("templates_dir", "Path | None", kNone)},
                      "dict[str, Any]", "读取 Skill 发版清单。");

nb::object load_release_manifest(const Args<kLoadReleaseManifest>& call) {
  LoadedManifest manifest = load_manifest(call, call["templates_dir"], false);
  return nb::borrow(manifest.dict());
}

}  // namespace

bool may_read_manifest_natively(const Call& call) {
  if (!native::is_own(call, names::load_release_manifest) || !native::builtins_intact(call)) {
    return false;
  }
  nb::object json = native::dict_get(call.globals(), names::json);
  return json.is_valid() && native::json_loads_is_genuine(json);
}

LoadedManifest load_manifest_for(const Call& call, nb::handle templates_dir) {
  if (may_read_manifest_natively(call)) {
    return load_manifest(call, templates_dir, true);
  }
  return LoadedManifest(call_global(call, names::load_release_manifest, templates_dir));
}

DictManifest::Value DictManifest::get(const Value& mapping, nb::handle key) const {
  if (PyDict_CheckExact(mapping.ptr())) {
    nb::object value = native::dict_get(mapping, key);
    return value.is_valid() ? value : nb::none();
  }
  return native::call_method(mapping, names::get, key);
}

namespace {

// A str key's text, or nothing for one that cannot be UTF-8 (it then names
// no member: the text holds no lone surrogate).
bool key_text(nb::handle key, std::string_view& text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

TextManifest::Value TextManifest::member(Value mapping, nb::handle key) const {
  std::string_view text;
  if (json.type(mapping) != native::JsonText::Type::Object || !key_text(key, text)) {
    return absent();
  }
  return json.member(mapping, text);
}

nb::object TextManifest::keys(Value mapping) const {
  nb::object keys = native::check(PySet_New(nullptr));
  json.members(mapping, [&](std::string_view key, std::uint32_t) {
    nb::object text = native::check(
        PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "strict"));
    native::check(PySet_Add(keys.ptr(), text.ptr()));
  });
  return keys;
}

bool TextManifest::blank(Value entry, nb::handle key) const {
  // str(entry.get(key, "")).strip(): only a str can be blank.
  Value value = member(entry, key);
  if (!present(value)) {
    return true;
  }
  return json.type(value) == native::JsonText::Type::String && json.blank(value);
}

bool TextManifest::any_of(Value entry, nb::handle keys) const {
  for (nb::handle key : keys) {
    Value value = member(entry, key);
    if (present(value) && json.truthy(value)) {
      return true;
    }
  }
  return false;
}

void raise_manifest_error(const Call& call, nb::handle message) {
  native::raise(call.global(names::SkillReleaseManifestError), message);
}

void raise_no_skills_object(const Call& call) {
  raise_manifest_error(call, nb::str("Skill 发版清单必须包含 skills 对象"));
}

const native::FunctionSpec functions::load_release_manifest =
    native::spec<kLoadReleaseManifest, packaging::load_release_manifest>();

}  // namespace tarvek::packaging
