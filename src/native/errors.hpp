// Raising Python exceptions from C++ bodies, and handing every C++ failure
// back to the interpreter as a Python exception.
#pragma once

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

// Every exception raised here, and every error leaving a native call, is
// chained to the exception being handled at that moment (`__context__`), as
// the interpreter chains an exception raised inside an `except` block.

// `raise type(message)`: sets the result as the current exception (a
// TypeError when it is no exception, as for a Python `raise`) and throws
// nb::python_error, so that the C++ stack unwinds to the function boundary,
// where the error is restored for the caller.
[[noreturn]] void raise(nb::handle type, nb::handle message);
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// `raise type(message) from cause`, inside the body's own handling of
// `cause`: the new exception has `cause` as its __cause__ and its
// __context__.
[[noreturn]] void raise_from(nb::handle type, nb::handle message, nb::handle cause);

// `exc.__context__ = context` as the interpreter sets it when `exc` is
// raised while `context` is handled: nothing when `context` is null, None
// or `exc` itself, and a link back to `exc` below `context` is cut first so
// that no cycle forms.
void chain(PyObject* exc, PyObject* context) noexcept;

// chain(exc, the exception being handled now).
void chain_to_handled(PyObject* exc) noexcept;

// For its lifetime, `exception` is the exception being handled, as inside
// an `except` block that caught it: an error raised meanwhile is chained to
// it.  Like a generator's frame, it stands on the thread's stack of handled
// exceptions of its own, so the entries below (a suspended generator's
// among them) are left exactly as they were.
class Handling {
 public:
  explicit Handling(nb::handle exception) : state_(PyThreadState_Get()) {
    item_.exc_value = Py_NewRef(exception.ptr());
    item_.previous_item = state_->exc_info;
    state_->exc_info = &item_;
  }
  ~Handling() {
    state_->exc_info = item_.previous_item;
    Py_XDECREF(item_.exc_value);
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyThreadState* state_;
  _PyErr_StackItem item_{};
};

// Whether `error` is caught by `except classes:`.  As in an `except`
// clause, `classes` must be an exception class or a tuple of them; anything
// else raises TypeError.
bool matches(const nb::python_error& error, nb::handle classes);

// Throws nb::python_error when the interpreter reports a failure (the result
// is null, or -1 for int-returning API calls); otherwise passes the value on.
nb::object check(PyObject* result);
int check(int status);

// To be called inside a catch block: turns the exception in flight into the
// interpreter's error indicator.  Python errors are restored as they are
// (chained to the exception being handled when they have no context yet),
// and C++ exceptions become MemoryError, TypeError, ... or SystemError.
void restore_current_exception() noexcept;

}  // namespace tarvek::native
