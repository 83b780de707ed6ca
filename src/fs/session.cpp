#include "fs/session.hpp"

#include <fcntl.h>

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

}  // namespace tarvek::fs
