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

ObjectFs::Cursor ObjectFs::rglob(const Path& path, Glob glob) const {
  return Cursor(native::list_of(call_, native::call_method(path, names::rglob, pattern(glob))));
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

nb::object ObjectFs::path_of(NameParts parts) const {
  nb::list arguments;
  for (const native::Name* part : parts) {
    arguments.append(part->get());
  }
  nb::object path_type = call_.global(names::Path);
  return native::check(PyObject_CallObject(path_type.ptr(), nb::tuple(arguments).ptr()));
}

nb::object ObjectFs::relocated_parent(NameParts base, const Path& root, const Path& path) const {
  nb::object prefix = path_of(base);
  nb::object relative =
      native::call_method(native::getattr(path, names::parent), names::relative_to, root);
  return native::str_of(call_, prefix / relative);
}

nb::object ObjectFs::joined(NameParts base) const { return native::str_of(call_, path_of(base)); }

nb::object ObjectFs::resolved_str(const Path& path) const {
  return native::str_of(call_, native::call_method(path, names::resolve));
}

nb::object ObjectFs::expanded_str(const Path& path) const {
  return native::str_of(call_, native::call_method(path, names::expanduser));
}

std::size_t ObjectFs::first_lowered_part(const Path& path, NameParts candidates) const {
  nb::object parts = native::getattr(path, names::parts);
  nb::object lowered = native::check(PySet_New(nullptr));
  for (nb::handle part : parts) {
    nb::object text = native::call_method(part, names::lower);
    native::check(PySet_Add(lowered.ptr(), text.ptr()));
  }
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (native::check(PySet_Contains(lowered.ptr(), candidates[i]->get().ptr())) == 1) {
      return i;
    }
  }
  return candidates.size();
}

std::pair<unsigned, std::uint64_t> ObjectFs::stat_mode_size(const Path& path) const {
  nb::object status = native::call_method(path, names::stat);
  unsigned long long mode =
      PyLong_AsUnsignedLongLong(native::getattr(status, names::st_mode).ptr());
  unsigned long long size =
      PyLong_AsUnsignedLongLong(native::getattr(status, names::st_size).ptr());
  if (PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  return {static_cast<unsigned>(mode), static_cast<std::uint64_t>(size)};
}

bool ObjectFs::is_own(const native::Name& sibling) const { return native::is_own(call_, sibling); }

}  // namespace tarvek::fs
