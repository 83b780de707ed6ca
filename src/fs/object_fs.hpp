// The object backend: the same path operations as the native backend, made
// by calling the methods of the path objects themselves, by name and in
// order, as a pure-Python module does.  It runs whenever a call may not run
// natively: a rebound `Path`, a `Path` subclass as argument, a patched
// pathlib, a sibling function rebound on the module, or a platform without
// the native walker.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "fs/common.hpp"
#include "fs/pathlib.hpp"
#include "native/function.hpp"
#include "native/names.hpp"
#include "native/python.hpp"

namespace tarvek::fs {

namespace nb = nanobind;

class ObjectFs {
 public:
  using Path = nb::object;
  using Paths = std::vector<nb::object>;
  using NameSet = nb::object;  // a set of str

  explicit ObjectFs(const native::Call& call) : call_(call) {}

  Path argument(nb::handle path) const { return nb::borrow(path); }
  Path child(const Path& parent, nb::handle name) const { return parent / name; }
  Path parent(const Path& path) const { return native::getattr(path, names::parent); }
  Path child(const Path& parent, const native::Name& name) const { return parent / name.get(); }

  bool exists(const Path& path) const { return test(path, names::exists); }
  bool is_dir(const Path& path) const { return test(path, names::is_dir); }
  bool is_file(const Path& path) const { return test(path, names::is_file); }
  bool is_symlink(const Path& path) const { return test(path, names::is_symlink); }
  Paths iterdir(const Path& path) const { return listed(native::call_method(path, names::iterdir)); }
  Paths rglob(const Path& path, Glob glob) const {
    const native::Name& pattern = glob == Glob::Any ? names::any_name : names::pycache;
    return listed(native::call_method(path, names::rglob, pattern.get()));
  }
  void unlink(const Path& path) const { native::call_method(path, names::unlink); }
  void rmdir(const Path& path) const { native::call_method(path, names::rmdir); }

  nb::object name(const Path& path) const { return native::getattr(path, names::name); }
  nb::object name_object(const Path& path) const { return name(path); }
  std::pair<unsigned, std::uint64_t> stat_mode_size(const Path& path) const;
  nb::object read_text(const Path& path, std::size_t) const {
    return native::call_method(path, names::read_text, nb::arg("encoding") = "utf-8");
  }
  nb::object suffix(const Path& path) const { return native::getattr(path, names::suffix); }
  bool same(nb::handle value, const native::Name& name) const { return native::equals(value, name); }
  bool has_component(const Path& path, const native::Name& name, const Path* below) const {
    nb::object parts = below != nullptr
                           ? native::getattr(native::call_method(path, names::relative_to, *below),
                                             names::parts)
                           : native::getattr(path, names::parts);
    return native::contains(parts, name);
  }

  NameSet name_set(nb::handle names) const { return native::check(PySet_New(names.ptr())); }
  bool contains(const NameSet& set, const Path& path) const {
    return native::contains(set, name(path));
  }

  void sort(Paths& paths) const;
  nb::object to_path(const Path& path) const { return path; }
  nb::str to_str(const Path& path) const { return native::to_str(path); }
  nb::list to_paths(const Paths& paths) const;
  nb::object destination_base() const {
    return call_.global(names::Path)(names::tarvek.get(), names::skills.get(), names::templates.get());
  }
  nb::str destination(nb::handle base, const Path& root, const Path& file) const;
  nb::str base_str(nb::handle base) const { return native::to_str(base); }

  std::string text_of(const Path& path) const { return encode_name(native::to_str(path)); }
  void checkpoint() const {}

  // A recursive step goes through the module namespace: inline only while
  // the name is still bound to the module's own function.
  bool inline_remove_tree() const;
  bool inline_siblings() const { return false; }
  bool inline_is_packable() const;
  const native::Call& call() const { return call_; }

 private:
  static bool test(const Path& path, const native::Name& method) {
    return native::truthy(native::call_method(path, method));
  }
  static Paths listed(nb::handle iterable);

  const native::Call& call_;
};

}  // namespace tarvek::fs
