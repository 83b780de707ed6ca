// Which runtime a skill directory belongs to, where OpenCode keeps its
// per-user directories, and the small steps every detector method shares.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "detector/detector.hpp"
#include "fs/session.hpp"

namespace tarvek::detector {
namespace {


struct Marker {
  const Name& segment;
  const Name& runtime;
};

// Tried in this order; the first segment present wins.  `claude` is the
// fallback and has no marker.  OpenCode is recognised by the `opencode`
// segment of its per-user `.config/opencode/skills`, without a leading dot.
const std::array<Marker, 5> kMarkers{{
    {names::dot_openclaw, names::openclaw},
    {names::dot_codex, names::codex},
    {names::opencode, names::opencode},
    {names::dot_workbuddy, names::workbuddy},
    {names::dot_trae_cn, names::trae_cn},
}};

}  // namespace

nb::object working_dir(const Call& call, nb::handle cwd) {
  if (native::truthy(cwd)) {
    return nb::borrow(cwd);
  }
  return native::call_method(call.global(names::Path), names::cwd);
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
  // Any list will do, a subclass's instance too: only arguments are held to
  // their exact built-in type.
  if (!value.is_none() && !PyList_Check(value.ptr())) {
    native::raise_format(PyExc_TypeError, "%s() returned %s, expected list or None",
                         method.text(), Py_TYPE(value.ptr())->tp_name);
  }
  return value;
}

const Name& runtime_of(std::string_view text) {
  // Which markers the path's segments hold once lower-cased as str.lower
  // does it: in place for ASCII segments, by the interpreter otherwise.
  std::array<bool, kMarkers.size()> present{};
  auto note = [&](std::string_view lowered) {
    for (std::size_t i = 0; i < kMarkers.size(); ++i) {
      present[i] = present[i] || lowered == kMarkers[i].segment.text();
    }
  };
  while (true) {
    std::size_t end = text.find('/');
    std::string_view segment = text.substr(0, end);
    bool ascii = std::all_of(segment.begin(), segment.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
      note(fs::encode_name(native::call_method(fs::decode_path(segment), names::lower)));
    } else if (segment.size() <= 16) {
      char lowered[16];
      for (std::size_t i = 0; i < segment.size(); ++i) {
        lowered[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(segment[i])));
      }
      note(std::string_view(lowered, segment.size()));
    }
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
  for (std::size_t i = 0; i < kMarkers.size(); ++i) {
    if (present[i]) {
      return kMarkers[i].runtime;
    }
  }
  return names::claude;
}

bool exists(const Call& call, nb::handle path) {
  return fs::choose(call, {path}, {}, [&](auto& fs) { return fs.exists(fs.argument(path)); });
}

bool is_own_method(nb::handle bound, nb::handle self, const Name& name) {
  nb::handle original = native::own_object(name);
  return original.is_valid() && PyMethod_Check(bound.ptr()) &&
         PyMethod_GET_FUNCTION(bound.ptr()) == original.ptr() &&
         PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

void add_to(nb::handle seen, nb::handle value) {
  if (PySet_CheckExact(seen.ptr())) {
    native::check(PySet_Add(seen.ptr(), value.ptr()));
  } else {
    native::call_method(seen, names::add, value);
  }
}

nb::object infer_runtime(const Call& call) {
  nb::handle skill_dir = call.arg(1);
  if (fs::may_run_natively(call, {skill_dir}, {})) {
    return nb::borrow(runtime_of(fs::path_text(skill_dir)).get());
  }
  // Only the set of lower-cased segments counts, not their order.
  nb::object parts = native::getattr(call.arg(1), names::parts);
  nb::object segments = native::check(PySet_New(nullptr));
  for (nb::handle part : parts) {
    nb::object lowered = native::call_method(part, names::lower);
    native::check(PySet_Add(segments.ptr(), lowered.ptr()));
  }
  for (const Marker& marker : kMarkers) {
    if (native::check(PySet_Contains(segments.ptr(), marker.segment.get().ptr())) == 1) {
      return nb::borrow(marker.runtime.get());
    }
  }
  return nb::borrow(names::claude.get());
}

nb::object opencode_config_dir(const Call& call) {
  // The same home-relative location on every platform.
  return home_dir(call) / names::dot_config.get() / names::opencode.get();
}

nb::object opencode_skills_dir(const Call& call) {
  return native::call_method(call.arg(0), names::opencode_config_dir) / names::skills.get();
}

}  // namespace tarvek::detector
