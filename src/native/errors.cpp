#include "native/errors.hpp"

#include <cstdarg>
#include <exception>
#include <new>

namespace tarvek::native {

namespace {

// What `raise value` raises: an exception instance as it is, an exception
// class instantiated without arguments; anything else is a TypeError, as
// the interpreter reports it for a `raise` statement.
nb::object raisable(nb::object value) {
  if (PyExceptionInstance_Check(value.ptr())) {
    return value;
  }
  if (PyExceptionClass_Check(value.ptr())) {
    nb::object instance = check(PyObject_CallNoArgs(value.ptr()));
    if (PyExceptionInstance_Check(instance.ptr())) {
      return instance;
    }
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %s",
                 value.ptr(), Py_TYPE(instance.ptr())->tp_name);
    throw nb::python_error();
  }
  PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  throw nb::python_error();
}

}  // namespace

void chain(PyObject* exc, PyObject* context) noexcept {
  if (context == nullptr || context == Py_None || context == exc) {
    return;
  }
  // Cut a link back to `exc` in the chain below `context`, so that chaining
  // makes no cycle; a cycle that is already there is walked once (Floyd's
  // tortoise and hare) and left alone.
  PyObject* node = context;
  PyObject* slow = context;
  bool advance_slow = false;
  while (true) {
    PyObject* next = PyException_GetContext(node);
    if (next == nullptr) {
      break;
    }
    Py_DECREF(next);  // kept alive by `node`
    if (next == exc) {
      PyException_SetContext(node, nullptr);
      break;
    }
    node = next;
    if (node == slow) {
      break;
    }
    if (advance_slow) {
      PyObject* slow_next = PyException_GetContext(slow);
      Py_XDECREF(slow_next);
      slow = slow_next;
    }
    advance_slow = !advance_slow;
  }
  PyException_SetContext(exc, Py_NewRef(context));
}

void chain_to_handled(PyObject* exc) noexcept {
  PyObject* handled = PyErr_GetHandledException();
  chain(exc, handled);
  Py_XDECREF(handled);
}

void raise(nb::handle type, nb::handle message) {
  nb::object exc = raisable(check(PyObject_CallOneArg(type.ptr(), message.ptr())));
  chain_to_handled(exc.ptr());
  PyErr_SetRaisedException(exc.release().ptr());
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
  nb::object exc = raisable(check(PyObject_CallOneArg(type.ptr(), message.ptr())));
  // `cause` is the exception the body is handling, so an instance, and the
  // context as well (the setter steals a reference).
  PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
  chain(exc.ptr(), cause.ptr());
  PyErr_SetRaisedException(exc.release().ptr());
  throw nb::python_error();
}

bool matches(const nb::python_error& error, nb::handle classes) {
  auto is_class = [](PyObject* candidate) { return PyExceptionClass_Check(candidate) != 0; };
  bool valid = is_class(classes.ptr());
  if (!valid && PyTuple_Check(classes.ptr())) {
    valid = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(classes.ptr()); ++i) {
      valid = valid && is_class(PyTuple_GET_ITEM(classes.ptr(), i));
    }
  }
  if (!valid) {
    PyErr_SetString(PyExc_TypeError,
                    "catching classes that do not inherit from BaseException is not allowed");
    throw nb::python_error();
  }
  return error.matches(classes);
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
    case nb::exception_type::stop_iteration:
      return PyExc_StopIteration;
    case nb::exception_type::index_error:
      return PyExc_IndexError;
    case nb::exception_type::key_error:
      return PyExc_KeyError;
    case nb::exception_type::value_error:
      return PyExc_ValueError;
    case nb::exception_type::type_error:
      return PyExc_TypeError;
    case nb::exception_type::buffer_error:
      return PyExc_BufferError;
    case nb::exception_type::import_error:
      return PyExc_ImportError;
    case nb::exception_type::attribute_error:
      return PyExc_AttributeError;
    default:
      return PyExc_RuntimeError;
  }
}

}  // namespace

void restore_current_exception() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
    // An error made without a context (not raised through the interpreter)
    // is chained here; one that has a context keeps it.
    PyObject* exc = PyErr_GetRaisedException();
    if (exc != nullptr) {
      PyObject* context = PyException_GetContext(exc);
      if (context == nullptr) {
        chain_to_handled(exc);
      }
      Py_XDECREF(context);
      PyErr_SetRaisedException(exc);
    }
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
