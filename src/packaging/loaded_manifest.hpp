// A release manifest as the steps that use it read it: the dict the loader
// returned, or, where nothing could tell the difference, its text read
// natively (native/json_text.hpp).  The second is taken when the module's
// own `load_release_manifest` loads it natively, `json` is the
// interpreter's own and the builtins the steps name are too: then no step
// hands the dict to anything but the module's own steps, and no dict is
// made unless a step must hand it on after all (a sibling rebound meanwhile,
// a key that is no str).
//
// The steps that look members up are written once, over either form
// (DictManifest, TextManifest).
#pragma once

#include "shared/module_layer.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>

#include "native/function.hpp"
#include "native/json_text.hpp"
#include "native/python.hpp"
#include "native/step_builtins.hpp"

namespace tarvek::packaging {

namespace nb = nanobind;

class LoadedManifest {
 public:
  // The text of a manifest, read natively.
  struct Text {
    std::string bytes;
    native::JsonText json;
  };

  LoadedManifest() = default;
  explicit LoadedManifest(nb::object dict) : dict_(std::move(dict)) {}
  explicit LoadedManifest(std::unique_ptr<Text> text) : text_(std::move(text)) {}

  bool is_text() const { return text_ != nullptr && !dict_.is_valid(); }
  const native::JsonText& json() const { return text_->json; }
  // The dict: made from the text, as json.loads makes it, the first time
  // it is asked for.
  nb::handle dict() {
    if (!dict_.is_valid()) {
      dict_ = text_->json.object(text_->json.root());
    }
    return dict_;
  }

 private:
  nb::object dict_;
  std::unique_ptr<Text> text_;
};

// Whether a manifest the module's own loader reads may be read natively.
bool may_read_manifest_natively(const native::Call& call);

// load_release_manifest(templates_dir), natively where it may be: the
// module's own loader's steps when it is bound, else a call of it.
LoadedManifest load_manifest_for(const native::Call& call, nb::handle templates_dir);

// `mapping[key] if key in mapping else <absent>`: plain dicts read
// directly, anything else through its own `__contains__` and
// `__getitem__`.  An empty handle stands for absent.
nb::object member(nb::handle mapping, nb::handle key);

// The lookups of the steps on the dict.
struct DictManifest {
  using Value = nb::object;

  const native::Call& call;
  nb::handle manifest;

  Value root() const { return nb::borrow(manifest); }
  static bool present(const Value& value) { return value.is_valid(); }
  static Value absent() { return {}; }
  // `mapping[key] if key in mapping else <absent>`
  Value member(const Value& mapping, nb::handle key) const {
    return packaging::member(mapping, key);
  }
  // `mapping.get(key)`, absent for None
  Value get(const Value& mapping, nb::handle key) const;
  // `mapping[key]`
  Value item(const Value& mapping, nb::handle key) const {
    return native::check(PyObject_GetItem(mapping.ptr(), key.ptr()));
  }
  bool is_dict(const Value& value) const { return native::is_dict_instance(call, value); }
  // bool(value)
  nb::object truth(const Value& value) const { return native::bool_of(call, value); }
  bool truthy(const Value& value) const { return native::truthy(value); }
  // set(mapping): its keys
  nb::object keys(const Value& mapping) const { return native::set_of(call, mapping); }
  // not str(entry.get(key, "")).strip()
  bool blank(const Value& entry, nb::handle key) const;
  // any(entry.get(key) for key in keys)
  bool any_of(const Value& entry, nb::handle keys) const;
};

// The same lookups on the text read natively: keys are exact str.
struct TextManifest {
  using Value = std::uint32_t;

  const native::JsonText& json;

  Value root() const { return json.root(); }
  static bool present(Value value) { return value != native::JsonText::kNone; }
  static Value absent() { return native::JsonText::kNone; }
  Value member(Value mapping, nb::handle key) const;
  Value get(Value mapping, nb::handle key) const { return member(mapping, key); }
  Value item(Value mapping, nb::handle key) const { return member(mapping, key); }
  bool is_dict(Value value) const { return json.type(value) == native::JsonText::Type::Object; }
  nb::object truth(Value value) const { return nb::bool_(json.truthy(value)); }
  bool truthy(Value value) const { return json.truthy(value); }
  nb::object keys(Value mapping) const;
  bool blank(Value entry, nb::handle key) const;
  bool any_of(Value entry, nb::handle keys) const;
};

}  // namespace tarvek::packaging
