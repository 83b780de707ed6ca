#include "native/errors.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace tarvek::native {

void raise(nb::handle type, nb::handle message) {
  PyObject* exc = PyObject_CallOneArg(type.ptr(), message.ptr());
  if (exc != nullptr) {
    PyErr_SetObject(type.ptr(), exc);
    Py_DECREF(exc);
  }
  throw nb::python_error();
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  PyErr_FormatV(type, format, vargs);
  va_end(vargs);
  throw nb::python_error();
}

void raise_from(nb::handle type, nb::handle message, nb::handle cause) {
  nb::object exc = check(PyObject_CallOneArg(type.ptr(), message.ptr()));
  // Both setters steal a reference.
  PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
  PyException_SetContext(exc.ptr(), nb::borrow(cause).release().ptr());
  PyErr_SetRaisedException(exc.release().ptr());
  throw nb::python_error();
}

nb::object check(PyObject* result) {
  if (result == nullptr) {
    throw nb::python_error();
  }
  return nb::steal(result);
}

int check(int status) {
  if (status == -1 && PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  return status;
}

namespace {

PyObject* builtin_exception_type(nb::exception_type type) {
  switch (type) {
    case nb::exception_type::stop_iteration: return PyExc_StopIteration;
    case nb::exception_type::index_error: return PyExc_IndexError;
    case nb::exception_type::key_error: return PyExc_KeyError;
    case nb::exception_type::value_error: return PyExc_ValueError;
    case nb::exception_type::type_error: return PyExc_TypeError;
    case nb::exception_type::buffer_error: return PyExc_BufferError;
    case nb::exception_type::import_error: return PyExc_ImportError;
    case nb::exception_type::attribute_error: return PyExc_AttributeError;
    default: return PyExc_RuntimeError;
  }
}

}  // namespace

void restore_current_exception() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyErr_SetString(builtin_exception_type(e.type()), e.what());
  } catch (const nb::cast_error&) {
    PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace tarvek::native
