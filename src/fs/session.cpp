#include "fs/session.hpp"

#include <fcntl.h>

#include <string>

#include "fs/pathlib.hpp"
#include "native/errors.hpp"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace tarvek::fs {

nb::str decode_path(std::string_view path) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (text == nullptr) {
    throw nb::python_error();
  }
  return nb::steal<nb::str>(text);
}

void raise_os_error(int error, std::string_view path) {
  nb::str filename = decode_path(path);
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  throw nb::python_error();
}

void check_signals() {
  if (PyErr_CheckSignals() < 0) {
    throw nb::python_error();
  }
}

namespace {

// Py_BuildValue's "O&" converter: the path text becomes a str only when an
// audit hook is there to see it.
PyObject* convert_path(void* view) {
  const auto* path = static_cast<const std::string_view*>(view);
  return PyUnicode_DecodeFSDefaultAndSize(path->data(), static_cast<Py_ssize_t>(path->size()));
}

// "O&" converters making the path objects pathlib's own events carry.
PyObject* convert_to_path(void* view) {
  try {
    return make_path(*static_cast<const std::string_view*>(view)).release().ptr();
  } catch (...) {
    native::restore_current_exception();
    return nullptr;
  }
}

void check_audit(int status) {
  if (status < 0) {
    throw nb::python_error();
  }
}

}  // namespace

void audit_scandir(std::string_view path) {
  check_audit(PySys_Audit("os.scandir", "(O&)", convert_path, &path));
}

void audit_remove(std::string_view path) {
  check_audit(PySys_Audit("os.remove", "O&i", convert_path, &path, -1));
}

void audit_rmdir(std::string_view path) {
  check_audit(PySys_Audit("os.rmdir", "O&i", convert_path, &path, -1));
}

void audit_open(std::string_view path) {
  check_audit(PySys_Audit("open", "O&si", convert_path, &path, "r", O_RDONLY | O_CLOEXEC));
}

void audit_rglob(std::string_view path, const char* pattern) {
  std::string below = std::string("**/") + pattern;
  std::string_view below_view = below;
  check_audit(PySys_Audit("pathlib.Path.rglob", "O&s", convert_to_path, &path, pattern));
  check_audit(PySys_Audit("pathlib.Path.glob", "O&O&", convert_to_path, &path, convert_to_path,
                          &below_view));
}

}  // namespace tarvek::fs
