// What a native walk owes the interpreter it runs in: the interpreter's lock
// released around system calls, Ctrl-C noticed between them, the audit
// events of the os calls it stands for, and failures raised as the OSError
// the os module would raise.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

#include <nanobind/nanobind.h>

namespace tarvek::fs {

namespace nb = nanobind;

// Releases the interpreter's lock for its lifetime.  Nothing inside may
// touch a Python object.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `syscall` (returning an errno value) with the lock released.
template <typename F>
int unlocked(F&& syscall) {
  Unlocked scope;
  return syscall();
}

// Raises what the os module raises for `error` on `path` (an OSError
// subclass chosen by errno, with strerror and the path as filename).
[[noreturn]] void raise_os_error(int error, std::string_view path);

// Raises KeyboardInterrupt (or what a signal handler raised) when a signal
// is pending.  Called between steps of a long walk.
void check_signals();

// The audit events of the os calls a walk stands for; each takes the path
// text and builds the event's arguments only when a hook listens.
void audit_scandir(std::string_view path);
void audit_remove(std::string_view path);
void audit_rmdir(std::string_view path);
void audit_open(std::string_view path);
// path.rglob(pattern): "pathlib.Path.rglob" with the path and the pattern,
// then "pathlib.Path.glob" with the path and the pattern below "**".
void audit_rglob(std::string_view path, const char* pattern);

// The path text as the interpreter decodes file names.
nb::str decode_path(std::string_view path);

}  // namespace tarvek::fs
