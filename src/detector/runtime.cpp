// Which runtime a skill directory belongs to, where OpenCode keeps its
// per-user directories, and the small steps every detector method shares.
#include <array>
#include <utility>

#include "detector/detector.hpp"

namespace tarvek::detector {

fs::NameParts runtime_markers() {
  static const auto markers = [] {
    std::array<const Name*, kRuntimes.size()> found{};
    std::size_t count = 0;
    for (const Runtime& runtime : kRuntimes) {
      if (runtime.marker != nullptr) {
        found[count++] = runtime.marker;
      }
    }
    return std::make_pair(found, count);
  }();
  return fs::NameParts(markers.first.data(), markers.second);
}

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
      native::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
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
    native::raise_format(PyExc_TypeError, "%s() returned %s, expected list or None", method.text(),
                         Py_TYPE(value.ptr())->tp_name);
  }
  return value;
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

namespace {

constexpr auto kInferRuntime = native::signature(
    "SkillDetector._infer_runtime", {kSelf, positional("skill_dir", "Path")}, "str",
    "根据 Skill 目录路径推断运行时类型。\n"
    "\n"
    "        优先匹配最具体的特征路径段，无法识别时默认返回 claude。\n"
    "        ");

//     segments = {part.lower() for part in skill_dir.parts}
//     for marker, runtime in ((".openclaw", "openclaw"), ...):
//         if marker in segments:
//             return runtime
//     return "claude"
nb::object infer_runtime(const Args<kInferRuntime>& call) {
  nb::handle skill_dir = call["skill_dir"];
  return fs::choose(call, {skill_dir}, {}, [&](auto& fs) {
    return nb::borrow(runtime_steps(fs, fs.argument(skill_dir)).get());
  });
}

constexpr auto kOpencodeConfigDir =
    native::signature("SkillDetector._opencode_config_dir", {kSelf}, "Path",
                      "返回 OpenCode 的配置根目录（所有平台统一为 ~/.config/opencode/）。");

nb::object opencode_config_dir(const Args<kOpencodeConfigDir>& call) {
  // The same home-relative location on every platform.
  return home_dir(call) / names::dot_config.get() / names::opencode.get();
}

constexpr auto kOpencodeSkillsDir =
    native::signature("SkillDetector._opencode_skills_dir", {kSelf}, "Path",
                      "返回 OpenCode 的 Skills 安装目录（跨平台）。");

nb::object opencode_skills_dir(const Args<kOpencodeSkillsDir>& call) {
  return native::call_method(call["self"], names::opencode_config_dir) / names::skills.get();
}

}  // namespace

const native::FunctionSpec functions::infer_runtime =
    native::spec<kInferRuntime, detector::infer_runtime>();
const native::FunctionSpec functions::opencode_config_dir =
    native::spec<kOpencodeConfigDir, detector::opencode_config_dir>();
const native::FunctionSpec functions::opencode_skills_dir =
    native::spec<kOpencodeSkillsDir, detector::opencode_skills_dir>();

}  // namespace tarvek::detector
