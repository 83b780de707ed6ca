#include "fs/object_fs.hpp"

#include "native/lazy.hpp"
#include "native/own.hpp"
#include "native/step_builtins.hpp"

namespace tarvek::fs {

ObjectFs::Cursor::Cursor(nb::handle iterable)
    : iterator_(native::check(PyObject_GetIter(iterable.ptr()))) {}

bool ObjectFs::Cursor::next(Path& out) {
  PyObject* item = PyIter_Next(iterator_.ptr());
  if (item == nullptr) {
    if (PyErr_Occurred() != nullptr) {
      throw nb::python_error();
    }
    return false;
  }
  out = nb::steal(item);
  return true;
}

ObjectFs::ObjectFs(const native::Call& call) : call_(call), alive_(std::make_shared<bool>(true)) {}

ObjectFs::~ObjectFs() { *alive_ = false; }

ObjectFs::Paths ObjectFs::rglob(const Path& path, Glob glob) const {
  nb::object listed =
      native::list_of(call_, native::call_method(path, names::rglob, pattern(glob)));
  Paths paths;
  for (nb::handle item : listed) {
    paths.push_back(nb::borrow(item));
  }
  return paths;
}

ObjectFs::Sorted ObjectFs::sorted_subdirectories(const Path& root) const {
  nb::object listing = native::call_method(root, names::iterdir);
  if (!native::builtins_intact(call_)) {
    // The predicate needs nothing of this call: the generator stays usable.
    nb::object generator = native::lazy(listing, [](nb::handle item) -> nb::object {
      return native::truthy(native::call_method(item, names::is_dir)) ? nb::borrow(item)
                                                                     : nb::object();
    });
    return call_.global(names::sorted)(generator);
  }
  nb::list dirs;
  Cursor items(listing);
  Path item;
  while (items.next(item)) {
    if (is_dir(item)) {
      dirs.append(item);
    }
  }
  native::check(PyList_Sort(dirs.ptr()));
  return dirs;
}

ObjectFs::Sorted ObjectFs::sorted_where(Cursor items, std::function<bool(const Path&)> keep) const {
  if (!native::builtins_intact(call_)) {
    std::shared_ptr<bool> alive = alive_;
    auto predicate = std::make_shared<std::function<bool(const Path&)>>(std::move(keep));
    nb::object generator =
        native::lazy(items.iterator(), [alive, predicate](nb::handle item) -> nb::object {
          if (!*alive) {
            native::raise(PyExc_RuntimeError, "generator used after its call returned");
          }
          nb::object path = nb::borrow(item);
          return (*predicate)(path) ? path : nb::object();
        });
    return call_.global(names::sorted)(generator);
  }
  nb::list kept;
  Path item;
  while (items.next(item)) {
    if (keep(item)) {
      kept.append(item);
    }
  }
  native::check(PyList_Sort(kept.ptr()));
  return kept;
}

nb::object ObjectFs::to_str(const Path& path) const { return native::str_of(call_, path); }

nb::object ObjectFs::templates_base() const {
  return call_.global(names::Path)(names::tarvek.get(), names::skills.get(), names::templates.get());
}

nb::object ObjectFs::destination(const Path& root, const Path& file) const {
  nb::object base = templates_base();
  nb::object relative = native::call_method(native::getattr(file, names::parent), names::relative_to, root);
  return native::str_of(call_, base / relative);
}

nb::object ObjectFs::destination_root() const { return native::str_of(call_, templates_base()); }

std::pair<unsigned, std::uint64_t> ObjectFs::stat_mode_size(const Path& path) const {
  nb::object status = native::call_method(path, names::stat);
  unsigned long long mode = PyLong_AsUnsignedLongLong(native::getattr(status, names::st_mode).ptr());
  unsigned long long size = PyLong_AsUnsignedLongLong(native::getattr(status, names::st_size).ptr());
  if (PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  return {static_cast<unsigned>(mode), static_cast<std::uint64_t>(size)};
}

bool ObjectFs::inline_remove_tree() const { return native::is_own(call_, names::remove_tree); }

bool ObjectFs::inline_is_packable() const { return native::is_own(call_, names::is_packable_file); }

}  // namespace tarvek::fs
