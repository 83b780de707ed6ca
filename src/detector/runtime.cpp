// Which runtime a skill directory belongs to, where OpenCode keeps its
// per-user directories, and the small steps every detector method shares.
#include "detector/detector.hpp"

namespace tarvek::detector {
namespace {

const Name kParts{"parts"};
const Name kLower{"lower"};
const Name kDotConfig{".config"};

struct Marker {
  const Name& segment;
  const Name& runtime;
};

// Tried in this order; the first segment present wins.  `claude` is the
// fallback and has no marker.  OpenCode is recognised by the `opencode`
// segment of its per-user `.config/opencode/skills`, without a leading dot.
const std::array<Marker, 5> kMarkers{{
    {kDotOpenclaw, kOpenclaw},
    {kDotCodex, kCodex},
    {kOpencode, kOpencode},
    {kDotWorkbuddy, kWorkbuddy},
    {kDotTraeCn, kTraeCn},
}};

}  // namespace

nb::object working_dir(const Call& call, nb::handle cwd) {
  if (native::truthy(cwd)) {
    return nb::borrow(cwd);
  }
  return native::call_method(call.global(kPathGlobal), kCwd);
}


std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
  PyObject* raw_iterator = PyObject_GetIter(value.ptr());
  if (raw_iterator == nullptr) {
    // As the interpreter words it for a value it cannot iterate at all.
    if (PyErr_ExceptionMatches(PyExc_TypeError) != 0 && Py_TYPE(value.ptr())->tp_iter == nullptr &&
        PySequence_Check(value.ptr()) == 0) {
      PyErr_Clear();
      native::raise_format(PyExc_TypeError, "cannot unpack non-iterable %s object",
                           Py_TYPE(value.ptr())->tp_name);
    }
    throw nb::python_error();
  }
  nb::object iterator = nb::steal(raw_iterator);
  nb::object items[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred() != nullptr) {
        throw nb::python_error();
      }
      native::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                           i);
    }
    items[i] = nb::steal(item);
  }
  PyObject* extra = PyIter_Next(iterator.ptr());
  if (extra != nullptr) {
    Py_DECREF(extra);
    native::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  return {std::move(items[0]), std::move(items[1])};
}

nb::object list_result(nb::object value, const Name& method) {
  if (!value.is_none() && !native::is_exact_list(value)) {
    native::raise_format(PyExc_TypeError, "%s() returned %s, expected list or None",
                         method.text(), Py_TYPE(value.ptr())->tp_name);
  }
  return value;
}

nb::object infer_runtime(const Call& call) {
  // Only the set of lower-cased segments counts, not their order.
  nb::object parts = native::getattr(call.arg(1), kParts);
  nb::object segments = native::check(PySet_New(nullptr));
  for (nb::handle part : parts) {
    nb::object lowered = native::call_method(part, kLower);
    native::check(PySet_Add(segments.ptr(), lowered.ptr()));
  }
  for (const Marker& marker : kMarkers) {
    if (native::check(PySet_Contains(segments.ptr(), marker.segment.get().ptr())) == 1) {
      return nb::borrow(marker.runtime.get());
    }
  }
  return nb::borrow(kClaude.get());
}

nb::object opencode_config_dir(const Call& call) {
  // The same home-relative location on every platform.
  return home_dir(call) / kDotConfig.get() / kOpencode.get();
}

nb::object opencode_skills_dir(const Call& call) {
  return native::call_method(call.arg(0), kOpencodeConfigDirMethod) / kSkills.get();
}

}  // namespace tarvek::detector
