// The object backend: the same path operations as the native backend, made
// by calling the methods of the path objects themselves, by name and in
// order, as a pure-Python module does.  It runs whenever a call may not run
// natively: a rebound `Path`, a `Path` subclass as argument, a patched
// pathlib, os or builtin, a sibling function rebound on the module, or a
// platform without the native walker.
//
// Listings are walked one item at a time, as a `for` loop walks pathlib's
// lazy `iterdir()` and `rglob()`: each path is made just before the step
// that uses it.  The builtins the steps name (`sorted`, `list`) are those
// the module namespace and the builtins hold at that moment
// (native/step_builtins.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  using Sorted = nb::object;   // what `sorted(...)` returned
  using NameSet = nb::object;  // a set of str

  // The items of a Python iterable, one at a time, as a `for` loop takes them.
  class Cursor {
   public:
    explicit Cursor(nb::handle iterable);
    bool next(Path& out);
    nb::handle iterator() const { return iterator_; }

   private:
    nb::object iterator_;
  };

  explicit ObjectFs(const native::Call& call);
  ~ObjectFs();
  ObjectFs(const ObjectFs&) = delete;
  ObjectFs& operator=(const ObjectFs&) = delete;

  Path argument(nb::handle path) const { return nb::borrow(path); }
  Path child(const Path& parent, nb::handle name) const { return parent / name; }
  Path parent(const Path& path) const { return native::getattr(path, names::parent); }
  Path child(const Path& parent, const native::Name& name) const { return parent / name.get(); }

  bool exists(const Path& path) const { return test(path, names::exists); }
  bool is_dir(const Path& path) const { return test(path, names::is_dir); }
  bool is_file(const Path& path) const { return test(path, names::is_file); }
  bool is_symlink(const Path& path) const { return test(path, names::is_symlink); }
  Cursor iterdir(const Path& path) const { return Cursor(native::call_method(path, names::iterdir)); }
  // list(path.rglob(pattern)): the whole listing, before anything is done with it.
  Paths rglob(const Path& path, Glob glob) const;
  // path.rglob(pattern), walked as the loop goes.
  Cursor rglob_lazy(const Path& path, Glob glob) const {
    return Cursor(native::call_method(path, names::rglob, pattern(glob)));
  }
  void unlink(const Path& path) const { native::call_method(path, names::unlink); }
  void rmdir(const Path& path) const { native::call_method(path, names::rmdir); }

  // sorted(p for p in root.iterdir() if p.is_dir())
  Sorted sorted_subdirectories(const Path& root) const;
  // sorted(p for p in items if keep(p)).  `keep` may use the call's steps:
  // a rebound `sorted` that keeps the generator until after the call has
  // returned gets RuntimeError when it pulls from it then.
  Sorted sorted_where(Cursor items, std::function<bool(const Path&)> keep) const;
  Cursor each(const Sorted& sorted) const { return Cursor(sorted); }

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

  NameSet name_set(nb::handle names) const { return nb::borrow(names); }
  bool contains(const NameSet& set, const Path& path) const {
    return native::contains(set, name(path));
  }

  nb::object to_path(const Path& path) const { return path; }
  // f"{path}"
  nb::object format(const Path& path) const {
    return native::check(PyObject_Format(path.ptr(), nullptr));
  }
  nb::object to_paths(const Sorted& sorted) const { return sorted; }
  // str(path), with `str` as the module sees it.
  nb::object to_str(const Path& path) const;
  // str(Path("tarvek", "skills", "templates") / file.parent.relative_to(root))
  nb::object destination(const Path& root, const Path& file) const;
  // str(Path("tarvek", "skills", "templates"))
  nb::object destination_root() const;

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
  static nb::handle pattern(Glob glob) {
    return (glob == Glob::Any ? names::any_name : names::pycache).get();
  }
  nb::object templates_base() const;

  const native::Call& call_;
  // Cleared when the call ends: generators handed to a rebound builtin stop
  // calling into the call's steps then.
  std::shared_ptr<bool> alive_;
};

}  // namespace tarvek::fs
