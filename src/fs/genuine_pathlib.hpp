// Whether a `Path` class is pathlib's own, with everything a native call
// stands in for as the interpreter's sources define it.
//
// The native walker stands in for pathlib's methods (`exists`, `iterdir`,
// `rglob`, `unlink`, `read_text`, `/`, `str()`, ordering, ...), for what
// they call in `pathlib._local`, `pathlib._abc` and `glob`, and for the
// `os`, `os.path` (posixpath), `io`, `stat` and `sys` functions those reach.
// All of this is examined from the class itself, through the namespaces its
// methods read (`__globals__`), never through `sys.modules` and never by
// comparison with what was there when a module of ours loaded:
//
// - every entry of every class dict involved (the classes of
//   `PosixPath.__mro__`, the globber classes, `_PathParents`) is a function
//   of that class's own source (`co_qualname` naming it there, compiled
//   from that module, reading that module's namespace), a property,
//   class or static method wrapping one, a slot of that class, class
//   metadata, or one of the few data attributes the sources define (the
//   parser module, the globber class, `operator.itemgetter` helpers, ...);
// - the attributes looked up on a path resolve to the class the sources
//   define them in (nothing deleted or moved);
// - the modules reached (`os`, `posixpath`, `io`, `stat`, `sys`) are real
//   module objects whose functions are those of `posix`, `_io`, `_stat`,
//   `sys` (recognised by their C method tables) or of posixpath's source;
// - no name those functions look up in their builtins is shadowed in their
//   namespace or replaced in the builtins;
// - the defaults our calls rely on are the sources' own.
#pragma once

#include <vector>

#include <nanobind/nanobind.h>

namespace tarvek::fs {

namespace nb = nanobind;

struct PathlibView {
  PyTypeObject* path_class = nullptr;  // the `Path` examined
  PyTypeObject* posix_path = nullptr;  // the class `Path(...)` makes
  Py_ssize_t raw_paths_offset = 0;     // slot `_raw_paths` of PurePath
  Py_ssize_t str_offset = 0;           // slot `_str` of PurePath
  // Classes whose version tags must stay as they were for the verdict to
  // hold (each tag also follows the class's bases).
  std::vector<PyTypeObject*> guarded;
  // Whether every dictionary read could be watched; otherwise the verdict
  // is worked out again at every use.
  bool watched = true;
};

// Examines `path_type` as described above, filling `view`.  Runs no Python
// code and leaves no error set.
bool examine_pathlib(nb::handle path_type, PathlibView& view);

}  // namespace tarvek::fs
