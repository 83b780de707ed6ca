#include "fs/pathlib.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fs/session.hpp"
#include "native/errors.hpp"

namespace tarvek::fs {
namespace {

using native::check;

#if defined(__unix__) || defined(__APPLE__)
constexpr bool kNativeWalker = true;
#else
constexpr bool kNativeWalker = false;
#endif

// The pathlib and os objects a native call stands in for, as they were
// when the module loaded.
struct Snapshot {
  bool usable = false;
  PyObject* path_class = nullptr;        // pathlib.Path
  PyTypeObject* posix_path = nullptr;    // pathlib.PosixPath
  Py_ssize_t raw_paths_offset = 0;       // PurePath slot _raw_paths
  Py_ssize_t str_offset = 0;             // PurePath slot _str
  std::vector<std::pair<PyObject*, PyObject*>> class_dicts;  // (class, copy of its __dict__)
  std::vector<std::pair<PyObject*, PyObject*>> functions;    // (module dict, name) -> original
  std::vector<PyObject*> function_values;
  unsigned int version_tag = 0;   // PosixPath's tag when last found intact
  bool intact = false;            // the verdict for `version_tag`
};

Snapshot g;

// Bumped whenever a module dictionary that pathlib's methods read from is
// changed (os.scandir replaced, say); a call then compares again.
std::uint64_t g_epoch = 1;
std::uint64_t g_validated_epoch = 0;
bool g_watching = false;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++g_epoch;
  return 0;
}

Py_ssize_t slot_offset(nb::handle cls, const char* name) {
  nb::object dict = nb::getattr(cls, "__dict__");
  nb::object member = dict[name];
  if (!PyObject_TypeCheck(member.ptr(), &PyMemberDescr_Type)) {
    return -1;
  }
  PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member.ptr())->d_member;
  if (def->type != Py_T_OBJECT_EX) {
    return -1;
  }
  return def->offset;
}

bool dicts_unchanged() {
  for (auto& [cls, copy] : g.class_dicts) {
    PyObject* current = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    if (PyDict_GET_SIZE(current) != PyDict_GET_SIZE(copy)) {
      return false;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(copy, &pos, &key, &value)) {
      PyObject* now = PyDict_GetItemWithError(current, key);
      if (now != value) {
        PyErr_Clear();
        return false;
      }
    }
  }
  for (std::size_t i = 0; i < g.functions.size(); ++i) {
    PyObject* now = PyDict_GetItemWithError(g.functions[i].first, g.functions[i].second);
    if (now != g.function_values[i]) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

// Re-examines pathlib after its classes changed: intact again when every
// attribute is the captured one (a patch that was undone).
bool revalidate() {
  bool intact = dicts_unchanged();
  PyUnstable_Type_AssignVersionTag(g.posix_path);
  g.version_tag = g.posix_path->tp_version_tag;
  g.intact = intact && g.version_tag != 0;
  g_validated_epoch = g_watching ? g_epoch : 0;
  return g.intact;
}

}  // namespace

void capture_pathlib() {
  if (!kNativeWalker || g.usable) {
    return;
  }
  // Paths are handed to the system in the file-system encoding; the walker
  // reads and writes UTF-8 with escaped undecodable bytes.
  nb::object sys = nb::module_::import_("sys");
  nb::object encoding = sys.attr("getfilesystemencoding")();
  nb::object errors = sys.attr("getfilesystemencodeerrors")();
  if (PyUnicode_CompareWithASCIIString(encoding.ptr(), "utf-8") != 0 ||
      PyUnicode_CompareWithASCIIString(errors.ptr(), "surrogateescape") != 0) {
    return;
  }
  nb::object pathlib = nb::module_::import_("pathlib");
  nb::object path_class = pathlib.attr("Path");
  nb::object posix_path = pathlib.attr("PosixPath");
  nb::object pure_path = pathlib.attr("PurePath");
  Py_ssize_t raw = slot_offset(pure_path, "_raw_paths");
  Py_ssize_t text = slot_offset(pure_path, "_str");
  if (raw < 0 || text < 0) {
    return;
  }
  g.path_class = path_class.release().ptr();
  g.posix_path = reinterpret_cast<PyTypeObject*>(posix_path.release().ptr());
  g.raw_paths_offset = raw;
  g.str_offset = text;
  for (nb::handle cls : nb::borrow<nb::tuple>(reinterpret_cast<PyObject*>(g.posix_path->tp_mro))) {
    if (cls.ptr() == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
      continue;
    }
    PyObject* copy = check(PyDict_Copy(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict)).release().ptr();
    g.class_dicts.emplace_back(Py_NewRef(cls.ptr()), copy);
  }
  // What pathlib's methods call at call time.
  auto capture = [](const char* module, const char* name) {
    nb::object mod = nb::module_::import_(module);
    PyObject* dict = PyModule_GetDict(mod.ptr());
    PyObject* key = check(PyUnicode_InternFromString(name)).release().ptr();
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
      throw nb::python_error();
    }
    g.functions.emplace_back(Py_NewRef(dict), key);
    g.function_values.push_back(Py_NewRef(value));
  };
  int watcher = PyDict_AddWatcher(on_dict_change);
  if (watcher < 0) {
    PyErr_Clear();
  }
  for (const char* name : {"stat", "lstat", "scandir", "unlink", "rmdir", "fspath", "getcwd"}) {
    capture("os", name);
  }
  for (const char* name : {"realpath", "expanduser"}) {
    capture("posixpath", name);
  }
  capture("io", "open");
  capture("io", "text_encoding");
  g_watching = watcher >= 0;
  for (auto& entry : g.functions) {
    if (g_watching && PyDict_Watch(watcher, entry.first) < 0) {
      PyErr_Clear();
      g_watching = false;
    }
  }
  g.usable = true;
  revalidate();
}

bool pathlib_intact(nb::handle path_type) {
  if (!g.usable || path_type.ptr() != g.path_class) {
    return false;
  }
  if (g.posix_path->tp_version_tag != g.version_tag || g.version_tag == 0 ||
      g_validated_epoch != g_epoch) {
    return revalidate();
  }
  return g.intact;
}

bool is_posix_path(nb::handle value) {
  return g.usable && Py_TYPE(value.ptr()) == g.posix_path;
}

std::string path_text(nb::handle path) {
  PyObject* text = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(path.ptr()) + g.str_offset);
  nb::object owned;
  if (text == nullptr) {
    owned = check(PyOS_FSPath(path.ptr()));
    text = owned.ptr();
  }
  return encode_name(text);
}

nb::object make_path(std::string_view text) {
  nb::str value = decode_path(text);
  PyObject* raw = g.posix_path->tp_alloc(g.posix_path, 0);
  if (raw == nullptr) {
    throw nb::python_error();
  }
  nb::object path = nb::steal(raw);
  PyObject* list = PyList_New(1);
  if (list == nullptr) {
    throw nb::python_error();
  }
  PyList_SET_ITEM(list, 0, Py_NewRef(value.ptr()));
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(raw) + g.raw_paths_offset) = list;
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(raw) + g.str_offset) =
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
