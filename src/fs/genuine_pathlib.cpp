#include "fs/genuine_pathlib.hpp"

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "fs/pathlib_sources.hpp"
#include "native/genuine.hpp"
#include "native/watch.hpp"

namespace tarvek::fs {
namespace {

using native::is_c_function_of;
using native::is_namespace_of;
using native::is_type_of;

using native::item;
using native::text_of;

std::string_view qualname_of(PyTypeObject* type) {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    return type->tp_name;
  }
  return text_of(reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname);
}

PyObject* type_dict(PyTypeObject* type) { return type->tp_dict; }

using native::c_attribute;

// The class of `type`'s MRO whose dict holds `attribute`, or null.
PyTypeObject* owner_of(PyTypeObject* type, const char* attribute) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) {
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (item(type_dict(base), attribute) != nullptr) {
      return base;
    }
  }
  return nullptr;
}

// The value `attribute` resolves to on `type`, or null.
PyObject* resolved(PyTypeObject* type, const char* attribute) {
  PyTypeObject* owner = owner_of(type, attribute);
  return owner != nullptr ? item(type_dict(owner), attribute) : nullptr;
}

// The `co_qualname` of the function behind a class attribute (a function,
// or the getter of a property, or a class or static method's function);
// empty for anything else.
std::string_view code_qualname(PyObject* value) {
  if (value == nullptr) {
    return {};
  }
  nb::object function = nb::borrow(value);
  if (PyMethod_Check(value)) {
    function = nb::borrow(PyMethod_GET_FUNCTION(value));
  } else if (Py_IS_TYPE(value, &PyProperty_Type)) {
    function = c_attribute(value, "fget");
  } else if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
    function = c_attribute(value, "__func__");
  }
  if (!function.is_valid() || !Py_IS_TYPE(function.ptr(), &PyFunction_Type)) {
    return {};
  }
  return text_of(reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function.ptr()))->co_qualname);
}

class Examiner {
 public:
  explicit Examiner(PathlibView& view) : view_(view) {}

  bool run(PyObject* path_type) {
    if (!PyType_Check(path_type)) {
      return false;
    }
    auto* path = reinterpret_cast<PyTypeObject*>(path_type);
    PyObject* iterdir = item(type_dict(path), "iterdir");
    if (iterdir == nullptr || !PyFunction_Check(iterdir)) {
      return false;
    }
    local_ = PyFunction_GET_GLOBALS(iterdir);
    if (!watch(local_) || !is_namespace_of(local_, "pathlib._local") ||
        item(local_, "Path") != path_type) {
      return false;
    }
    PyObject* posix = item(local_, "PosixPath");
    if (posix == nullptr || !PyType_Check(posix)) {
      return false;
    }
    auto* posix_type = reinterpret_cast<PyTypeObject*>(posix);
    // Guarded as soon as found, so that a verdict against it is also kept
    // only while the classes stay as they are.
    view_.guarded.push_back(posix_type);
    view_.guarded.push_back(path);
    if (!path_classes(posix_type, path)) {
      return false;
    }
    view_.path_class = path;
    view_.posix_path = posix_type;
    return namespaces() && globber() && parents() && slots();
  }

 private:
  struct Family {
    PyTypeObject* type;
    PyObject* globals;
  };

  bool watch(PyObject* dict) {
    if (!native::watch(dict)) {
      view_.watched = false;
    }
    return dict != nullptr && PyDict_CheckExact(dict);
  }

  bool source(PyObject* function, PyObject* globals, std::string_view qualname, PyObject* owner) {
    if (!native::is_source_function(function, globals, qualname, owner) ||
        !native::uses_genuine_builtins(function) ||
        !sources::defaults_hold(function, globals, qualname)) {
      return false;
    }
    watch(reinterpret_cast<PyFunctionObject*>(function)->func_builtins);
    return true;
  }

  // PosixPath's MRO: the six classes of the sources, in order, each
  // examined with its module's namespace.
  bool path_classes(PyTypeObject* posix, PyTypeObject* path) {
    static constexpr const char* kNames[] = {"PosixPath", "Path", "PathBase",
                                             "PurePosixPath", "PurePath", "PurePathBase"};
    static constexpr bool kAbstract[] = {false, false, true, false, false, true};
    PyObject* mro = posix->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 7 ||
        PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(path) ||
        PyTuple_GET_ITEM(mro, 6) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
      return false;
    }
    PyObject* exists = item(type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, 2))),
                            "exists");
    if (exists == nullptr || !PyFunction_Check(exists)) {
      return false;
    }
    abc_ = PyFunction_GET_GLOBALS(exists);
    if (!watch(abc_) || !is_namespace_of(abc_, "pathlib._abc")) {
      return false;
    }
    for (int i = 0; i < 6; ++i) {
      auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
      PyObject* globals = kAbstract[i] ? abc_ : local_;
      if (Py_TYPE(cls) != &PyType_Type || !PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) ||
          qualname_of(cls) != kNames[i] ||
          item(globals, kNames[i]) != reinterpret_cast<PyObject*>(cls)) {
        return false;
      }
      families_.push_back({cls, globals});
    }
    // The namespace of pathlib._local names the abstract bases it calls.
    if (item(local_, "PathBase") != PyTuple_GET_ITEM(mro, 2)) {
      return false;
    }
    for (const Family& family : families_) {
      if (!class_dict(family)) {
        return false;
      }
    }
    if (!resolutions(posix, sources::kPathAttributes)) {
      return false;
    }
    // The parser is posixpath, the very module pathlib's namespace names.
    parser_ = resolved(posix, "parser");
    return parser_ != nullptr && parser_ == item(local_, "posixpath") &&
           posixpath_module(parser_);
  }

  // What a lookup of each attribute finds is what the sources define under
  // that name in that class: a function (or the function of a property,
  // class or static method) whose code is `Owner.attribute`, or, for data
  // and slots, the entry of that class's own dict.
  bool resolutions(PyTypeObject* type, std::span<const sources::Resolution> table) {
    for (const sources::Resolution& expected : table) {
      PyTypeObject* owner = owner_of(type, expected.attribute);
      if (owner == nullptr) {
        return false;
      }
      std::string_view code = code_qualname(item(type_dict(owner), expected.attribute));
      std::string wanted = std::string(expected.owner) + "." + expected.attribute;
      if (code.empty() ? qualname_of(owner) != expected.owner : code != wanted) {
        return false;
      }
    }
    return true;
  }

  // A function of the sources under `name`: the class's own, or the same
  // method of another class bound here too, by the sources
  // (`Path.as_uri = PurePath.as_uri`) or by a patch undone by hand
  // (`Path.is_dir = PathBase.is_dir`).  Where a path finds it is checked
  // apart, for what a path looks up.
  bool method_of_sources(const Family& family, std::string_view name, PyObject* function) {
    if (!PyFunction_Check(function)) {
      return false;
    }
    std::string qualname = std::string(qualname_of(family.type)) + "." + std::string(name);
    if (source(function, family.globals, qualname, reinterpret_cast<PyObject*>(family.type))) {
      return true;
    }
    for (const Family& other : families_) {
      if (other.type != family.type &&
          source(function, other.globals,
                 std::string(qualname_of(other.type)) + "." + std::string(name), nullptr)) {
        return true;
      }
    }
    return false;
  }

  // Every entry of a class dict of the sources.
  bool class_dict(const Family& family) {
    PyTypeObject* cls = family.type;
    PyObject* dict = type_dict(cls);
    if (dict == nullptr || !PyDict_CheckExact(dict)) {
      return false;
    }
    std::string_view cls_name = qualname_of(cls);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      std::string_view name = text_of(key);
      if (name.empty()) {
        return false;
      }
      if (!entry(family, cls_name, name, value)) {
        return false;
      }
    }
    return true;
  }

  bool entry(const Family& family, std::string_view cls_name, std::string_view name,
             PyObject* value) {
    PyTypeObject* cls = family.type;
    if (name == "__module__") {
      return text_of(value) == text_of(item(family.globals, "__name__"));
    }
    if (sources::is_metadata(name)) {
      return true;
    }
    if (PyFunction_Check(value)) {
      return method_of_sources(family, name, value);
    }
    if (PyMethod_Check(value)) {
      // A class method put back as the bound method a lookup gave (as
      // pytest's monkeypatch undoes a patch of `Path.home`): bound to a
      // class of the sources, it behaves as the class method.
      PyObject* self = PyMethod_GET_SELF(value);
      bool ours = false;
      for (const Family& other : families_) {
        ours = ours || reinterpret_cast<PyObject*>(other.type) == self;
      }
      return ours && method_of_sources(family, name, PyMethod_GET_FUNCTION(value));
    }
    if (Py_IS_TYPE(value, &PyProperty_Type)) {
      for (const char* accessor : {"fget", "fset", "fdel"}) {
        nb::object function = c_attribute(value, accessor);
        if (!function.is_valid() ||
            (!function.is_none() && !method_of_sources(family, name, function.ptr()))) {
          return false;
        }
      }
      return true;
    }
    if (Py_IS_TYPE(value, &PyClassMethod_Type) || Py_IS_TYPE(value, &PyStaticMethod_Type)) {
      nb::object function = c_attribute(value, "__func__");
      if (!function.is_valid()) {
        return false;
      }
      if (PyFunction_Check(function.ptr())) {
        return method_of_sources(family, name, function.ptr());
      }
      return sources::data_attribute(cls_name, name, function.ptr());
    }
    if (Py_IS_TYPE(value, &PyMemberDescr_Type)) {
      auto* member = reinterpret_cast<PyMemberDescrObject*>(value);
      return member->d_common.d_type == cls && text_of(member->d_common.d_name) == name;
    }
    if (Py_IS_TYPE(value, &PyGetSetDescr_Type)) {
      return reinterpret_cast<PyGetSetDescrObject*>(value)->d_common.d_type == cls;
    }
    return sources::data_attribute(cls_name, name, value);
  }

  // A module seen before is not examined again (os and posixpath name each
  // other): the first examination decides.
  bool seen(PyObject* module) {
    for (PyObject* known : modules_) {
      if (known == module) {
        return true;
      }
    }
    modules_.push_back(module);
    return false;
  }

  PyObject* module_dict(PyObject* module) {
    if (module == nullptr || !PyModule_CheckExact(module)) {
      return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module);
    return watch(dict) ? dict : nullptr;
  }

  bool c_functions(PyObject* dict, const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (!is_c_function_of(item(dict, name), module, name)) {
        return false;
      }
    }
    return true;
  }

  bool os_module(PyObject* module) {
    PyObject* dict = module_dict(module);
    if (dict == nullptr) {
      return false;
    }
    if (seen(module)) {
      return true;
    }
    return text_of(item(dict, "name")) == "posix" &&
           c_functions(dict, "posix",
                       {"scandir", "stat", "lstat", "unlink", "rmdir", "fspath", "getcwd",
                        "readlink"}) &&
           posixpath_module(item(dict, "path"));
  }

  bool posixpath_module(PyObject* module) {
    PyObject* dict = module_dict(module);
    if (dict == nullptr || !is_namespace_of(dict, "posixpath")) {
      return false;
    }
    if (seen(module)) {
      return true;
    }
    if (text_of(item(dict, "sep")) != "/" || item(dict, "altsep") != Py_None ||
        !is_c_function_of(item(dict, "splitroot"), "posix", "_path_splitroot_ex")) {
      return false;
    }
    for (const char* name : {"join", "splitdrive", "normcase", "realpath", "_get_sep", "isabs"}) {
      PyObject* function = item(dict, name);
      if (function == nullptr || !source(function, dict, name, nullptr)) {
        return false;
      }
    }
    PyObject* stat_dict = module_dict(item(dict, "stat"));
    return os_module(item(dict, "os")) && stat_dict != nullptr &&
           c_functions(stat_dict, "_stat", {"S_ISLNK"});
  }

  bool io_module(PyObject* module) {
    PyObject* dict = module_dict(module);
    return dict != nullptr && c_functions(dict, "_io", {"open", "text_encoding"});
  }

  bool sys_module(PyObject* module) {
    PyObject* dict = module_dict(module);
    if (dict == nullptr) {
      return false;
    }
    for (const char* name : {"audit", "intern"}) {
      if (!native::is_function_of_module(item(dict, name), module, name)) {
        return false;
      }
    }
    return true;
  }

  // What the methods read from their modules' namespaces.
  bool namespaces() {
    PyObject* ntpath = item(local_, "ntpath");
    if (!os_module(item(local_, "os")) || !io_module(item(local_, "io")) ||
        !sys_module(item(local_, "sys")) || ntpath == nullptr || !PyModule_CheckExact(ntpath) ||
        ntpath == parser_ || !is_type_of(item(local_, "chain"), "itertools", "itertools.chain")) {
      return false;
    }
    PyObject* ignore = item(abc_, "_ignore_error");
    if (ignore == nullptr || !source(ignore, abc_, "_ignore_error", nullptr)) {
      return false;
    }
    PyObject* errnos = item(abc_, "_IGNORED_ERRNOS");
    const long kIgnored[] = {ENOENT, ENOTDIR, EBADF, ELOOP};
    if (errnos == nullptr || !PyTuple_CheckExact(errnos) || PyTuple_GET_SIZE(errnos) != 4) {
      return false;
    }
    for (Py_ssize_t i = 0; i < 4; ++i) {
      PyObject* number = PyTuple_GET_ITEM(errnos, i);
      if (!PyLong_CheckExact(number) || PyLong_AsLong(number) != kIgnored[i]) {
        PyErr_Clear();
        return false;
      }
    }
    PyObject* winerrors = item(abc_, "_IGNORED_WINERRORS");
    if (winerrors == nullptr || !PyTuple_CheckExact(winerrors)) {
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(winerrors); ++i) {
      if (!PyLong_CheckExact(PyTuple_GET_ITEM(winerrors, i))) {
        return false;
      }
    }
    PyObject* case_sensitive = item(abc_, "_is_case_sensitive");
    if (case_sensitive == nullptr ||
        !is_type_of(reinterpret_cast<PyObject*>(Py_TYPE(case_sensitive)), "_functools",
                    "functools._lru_cache_wrapper")) {
      return false;
    }
    nb::object wrapped = c_attribute(case_sensitive, "__wrapped__");
    return wrapped.is_valid() && source(wrapped.ptr(), abc_, "_is_case_sensitive", nullptr) &&
           c_functions(abc_, "_stat", {"S_ISDIR", "S_ISREG", "S_ISLNK"});
  }

  // The globber class rglob() uses, and the namespace of glob.
  bool globber() {
    PyObject* value = resolved(view_.posix_path, "_globber");
    if (value == nullptr || !PyType_Check(value)) {
      return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    view_.guarded.push_back(type);
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 3 ||
        PyTuple_GET_ITEM(mro, 2) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
      return false;
    }
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, 1));
    PyObject* selector = item(type_dict(base), "selector");
    if (selector == nullptr || !PyFunction_Check(selector)) {
      return false;
    }
    PyObject* glob = PyFunction_GET_GLOBALS(selector);
    if (!watch(glob) || !is_namespace_of(glob, "glob") || Py_TYPE(type) != &PyType_Type ||
        Py_TYPE(base) != &PyType_Type || qualname_of(type) != "_StringGlobber" ||
        qualname_of(base) != "_Globber" || item(glob, "_StringGlobber") != value ||
        item(glob, "_Globber") != reinterpret_cast<PyObject*>(base)) {
      return false;
    }
    families_.push_back({base, glob});
    families_.push_back({type, glob});
    if (!class_dict(families_.back()) || !class_dict(families_[families_.size() - 2]) ||
        !resolutions(type, sources::kGlobberAttributes)) {
      return false;
    }
    // The module data the selectors read.
    PyObject* magic = item(glob, "magic_check");
    PyObject* special = item(glob, "_special_parts");
    PyObject* no_recurse = item(glob, "_no_recurse_symlinks");
    if (magic == nullptr ||
        !is_type_of(reinterpret_cast<PyObject*>(Py_TYPE(magic)), "_sre", "re.Pattern") ||
        !native::repr_is(magic, "re.compile('([*?[])')") || special == nullptr ||
        !PyTuple_CheckExact(special) || !native::repr_is(special, "('', '.', '..')") ||
        no_recurse == nullptr || !Py_IS_TYPE(no_recurse, &PyBaseObject_Type) ||
        item(abc_, "_no_recurse_symlinks") != no_recurse) {
      return false;
    }
    return true;
  }

  // `path.parents`, which `relative_to` walks.
  bool parents() {
    PyObject* value = item(local_, "_PathParents");
    if (value == nullptr || !PyType_Check(value)) {
      return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    view_.guarded.push_back(type);
    if (qualname_of(type) != "_PathParents") {
      return false;
    }
    families_.push_back({type, local_});
    if (!class_dict(families_.back()) || !resolutions(type, sources::kParentsAttributes)) {
      return false;
    }
    for (const char* name : {"__iter__", "__contains__"}) {
      PyObject* function = resolved(type, name);
      if (function == nullptr || !PyFunction_Check(function)) {
        return false;
      }
      PyObject* globals = PyFunction_GET_GLOBALS(function);
      if (!watch(globals) || !is_namespace_of(globals, "collections.abc") ||
          !source(function, globals, std::string("Sequence.") + name, nullptr)) {
        return false;
      }
    }
    return true;
  }

  // The slots a new path is made with.
  bool slots() {
    PyTypeObject* pure = nullptr;
    for (const Family& family : families_) {
      if (qualname_of(family.type) == "PurePath") {
        pure = family.type;
      }
    }
    auto offset = [&](const char* name) -> Py_ssize_t {
      PyObject* member = pure != nullptr ? item(type_dict(pure), name) : nullptr;
      if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        return -1;
      }
      PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
      return def->type == Py_T_OBJECT_EX ? def->offset : -1;
    };
    view_.raw_paths_offset = offset("_raw_paths");
    view_.str_offset = offset("_str");
    return view_.raw_paths_offset > 0 && view_.str_offset > 0;
  }

  PathlibView& view_;
  PyObject* local_ = nullptr;
  PyObject* abc_ = nullptr;
  PyObject* parser_ = nullptr;
  std::vector<Family> families_;
  std::vector<PyObject*> modules_;
};

// Paths reach the system in the file-system encoding, which the walker
// takes to be UTF-8 with undecodable bytes escaped.
bool encoding_is_utf8_surrogateescape() {
  static const int answer = [] {
    nb::object sample = nb::steal(PyUnicode_FromString("\xc3\xa9"));
    if (!sample.is_valid()) {
      PyErr_Clear();
      return 0;
    }
    nb::object escaped = nb::steal(PyUnicode_DecodeFSDefaultAndSize("\xff", 1));
    if (!escaped.is_valid()) {
      PyErr_Clear();
      return 0;
    }
    nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(sample.ptr()));
    nb::object back = nb::steal(PyUnicode_EncodeFSDefault(escaped.ptr()));
    if (!bytes.is_valid() || !back.is_valid()) {
      PyErr_Clear();
      return 0;
    }
    bool utf8 = std::string_view(PyBytes_AS_STRING(bytes.ptr()),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))) ==
                "\xc3\xa9";
    bool escaped_back = std::string_view(PyBytes_AS_STRING(back.ptr()),
                                         static_cast<std::size_t>(PyBytes_GET_SIZE(back.ptr()))) ==
                        "\xff";
    return utf8 && escaped_back ? 1 : 0;
  }();
  return answer != 0;
}

}  // namespace

bool examine_pathlib(nb::handle path_type, PathlibView& view) {
  view = PathlibView{};
  if (!encoding_is_utf8_surrogateescape()) {
    return false;
  }
  Examiner examiner(view);
  bool genuine = examiner.run(path_type.ptr());
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    genuine = false;
  }
  return genuine;
}

}  // namespace tarvek::fs
