#include "fs/pathlib.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "fs/genuine_pathlib.hpp"
#include "fs/session.hpp"
#include "native/errors.hpp"
#include "native/watch.hpp"

namespace tarvek::fs {
namespace {

using native::check;

#if defined(__unix__) || defined(__APPLE__)
constexpr bool kNativeWalker = true;
#else
constexpr bool kNativeWalker = false;
#endif

// A verdict about one `Path` class, kept while what it read is unchanged.
// It holds strong references to the classes it names (so that comparing by
// address stays sound), dropped when it is replaced and never at exit,
// after the interpreter has gone.
struct Verdict {
  PyObject* path_class = nullptr;
  bool genuine = false;
  std::uint64_t epoch = 0;
  std::vector<std::pair<PyTypeObject*, unsigned int>> tags;  // guarded classes
  PathlibView view;

  bool holds_for(PyObject* candidate) const {
    if (path_class == nullptr || path_class != candidate || epoch != native::world_epoch()) {
      return false;
    }
    for (const auto& [type, tag] : tags) {
      if (type->tp_version_tag != tag || tag == 0) {
        return false;
      }
    }
    return true;
  }

  void release() {
    Py_CLEAR(path_class);
    for (auto& [type, tag] : tags) {
      Py_DECREF(reinterpret_cast<PyObject*>(type));
    }
    tags.clear();
  }
};

Verdict g_genuine;   // the last class found genuine: its view serves the walker
Verdict g_rejected;  // the last class found wanting

bool examine(nb::handle path_type) {
  Verdict verdict;
  verdict.epoch = native::world_epoch();
  verdict.genuine = examine_pathlib(path_type, verdict.view);
  verdict.path_class = Py_NewRef(path_type.ptr());
  for (PyTypeObject* type : verdict.view.guarded) {
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    verdict.tags.emplace_back(type, native::version_tag(type));
  }
  // Examining may have moved the epoch on (a first watch); a verdict that
  // could not watch what it read is not kept.
  if (verdict.epoch != native::world_epoch() || !verdict.view.watched) {
    verdict.epoch = 0;
  }
  bool genuine = verdict.genuine;
  Verdict& slot = genuine ? g_genuine : g_rejected;
  Verdict previous = std::move(slot);
  slot = std::move(verdict);
  previous.release();  // last: releasing may run code that calls back here
  return genuine;
}

}  // namespace

bool pathlib_intact(nb::handle path_type) {
  if (!kNativeWalker) {
    return false;
  }
  if (g_genuine.holds_for(path_type.ptr())) {
    return true;
  }
  if (g_rejected.holds_for(path_type.ptr())) {
    return false;
  }
  // Cheap refusals first: anything but a class, or a class without its own
  // `iterdir` (a subclass of Path) is not pathlib's Path.
  if (!path_type.is_valid() || !PyType_Check(path_type.ptr())) {
    return false;
  }
  return examine(path_type);
}

bool is_posix_path(nb::handle value) {
  return g_genuine.view.posix_path != nullptr && Py_TYPE(value.ptr()) == g_genuine.view.posix_path;
}

std::string path_text(nb::handle path) {
  PyObject* text = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(path.ptr()) + g_genuine.view.str_offset);
  nb::object owned;
  if (text == nullptr) {
    owned = check(PyOS_FSPath(path.ptr()));
    text = owned.ptr();
  }
  return encode_name(text);
}

nb::object make_path(std::string_view text) {
  nb::str value = decode_path(text);
  PyTypeObject* type = g_genuine.view.posix_path;
  PyObject* raw = type->tp_alloc(type, 0);
  if (raw == nullptr) {
    throw nb::python_error();
  }
  nb::object path = nb::steal(raw);
  PyObject* list = PyList_New(1);
  if (list == nullptr) {
    throw nb::python_error();
  }
  PyList_SET_ITEM(list, 0, Py_NewRef(value.ptr()));
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(raw) + g_genuine.view.raw_paths_offset) = list;
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(raw) + g_genuine.view.str_offset) =
      value.release().ptr();
  return path;
}

std::string encode_name(nb::handle text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (utf8 != nullptr) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  nb::object bytes = check(PyUnicode_EncodeFSDefault(text.ptr()));
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::string join(std::string_view parent, std::string_view name) {
  if (name.empty()) {
    return std::string(parent);
  }
  if (parent == ".") {
    return std::string(name);
  }
  std::string text(parent);
  if (text.empty() || text.back() != '/') {
    text.push_back('/');
  }
  text.append(name);
  return text;
}

std::string_view relative(std::string_view root, std::string_view path) {
  if (path == root) {
    return {};
  }
  if (root == ".") {
    return path;
  }
  std::size_t skip = root.size() + (root.ends_with('/') ? 0 : 1);
  return path.size() >= skip ? path.substr(skip) : std::string_view{};
}

namespace {

// The next code point of `s` at `i` as the interpreter decodes file names:
// UTF-8, with every byte that is not part of a valid sequence standing for
// the lone surrogate U+DC80..U+DCFF.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  auto cont = [&](std::size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  std::uint8_t b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(i + 1)) {
    std::uint32_t cp = ((b0 & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    i += 2;
    return cp;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF && cont(i + 1) && cont(i + 2)) {
    std::uint8_t b1 = byte(i + 1);
    bool valid = (b0 == 0xE0) ? b1 >= 0xA0 : (b0 == 0xED) ? b1 <= 0x9F : true;
    if (valid) {
      std::uint32_t cp = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
      i += 3;
      return cp;
    }
  }
  if (b0 >= 0xF0 && b0 <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
    std::uint8_t b1 = byte(i + 1);
    bool valid = (b0 == 0xF0) ? b1 >= 0x90 : (b0 == 0xF4) ? b1 <= 0x8F : true;
    if (valid) {
      std::uint32_t cp = ((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) |
                         ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
      i += 4;
      return cp;
    }
  }
  ++i;
  return 0xDC00u + b0;
}

int compare_names(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j] && static_cast<std::uint8_t>(a[i]) < 0x80) {
      ++i;
      ++j;
      continue;
    }
    std::uint32_t x = next_code_point(a, i);
    std::uint32_t y = next_code_point(b, j);
    if (x != y) {
      return x < y ? -1 : 1;
    }
  }
  if (i < a.size()) {
    return 1;
  }
  return j < b.size() ? -1 : 0;
}

}  // namespace

int compare_paths(std::string_view a, std::string_view b) {
  // Equal bytes are equal code points, so the components before the one
  // holding the first difference are equal: compare from its start (a byte
  // difference inside a multi-byte sequence, or a text ending inside one,
  // is only decided by decoding the whole component).
  std::size_t n = std::min(a.size(), b.size());
  std::size_t i = static_cast<std::size_t>(
      std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin()).first -
      a.begin());
  if (i == a.size() && i == b.size()) {
    return 0;
  }
  std::size_t start = a.substr(0, i).rfind('/');
  start = start == std::string_view::npos ? 0 : start + 1;
  a.remove_prefix(start);
  b.remove_prefix(start);
  for (;;) {
    std::size_t ea = a.find('/');
    std::size_t eb = b.find('/');
    int order = compare_names(a.substr(0, ea), b.substr(0, eb));
    if (order != 0) {
      return order;
    }
    bool a_done = ea == std::string_view::npos;
    bool b_done = eb == std::string_view::npos;
    if (a_done || b_done) {
      return a_done == b_done ? 0 : (a_done ? -1 : 1);
    }
    a.remove_prefix(ea + 1);
    b.remove_prefix(eb + 1);
  }
}

}  // namespace tarvek::fs
