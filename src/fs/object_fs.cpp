#include "fs/object_fs.hpp"

#include "native/own.hpp"

namespace tarvek::fs {

ObjectFs::Paths ObjectFs::listed(nb::handle iterable) {
  Paths paths;
  for (nb::handle item : iterable) {
    paths.push_back(nb::borrow(item));
  }
  return paths;
}

void ObjectFs::sort(Paths& paths) const {
  nb::list list = to_paths(paths);
  native::check(PyList_Sort(list.ptr()));
  for (std::size_t i = 0; i < paths.size(); ++i) {
    paths[i] = list[i];
  }
}

nb::list ObjectFs::to_paths(const Paths& paths) const {
  nb::list list;
  for (const Path& path : paths) {
    list.append(path);
  }
  return list;
}

nb::str ObjectFs::destination(nb::handle base, const Path& root, const Path& file) const {
  nb::object parent = native::call_method(native::getattr(file, names::parent), names::relative_to, root);
  return native::to_str(base / parent);
}

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
