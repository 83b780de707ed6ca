// Finding installed skills: the candidate directories in priority order, and
// the scan of each for skill directories holding `data/VERSION.json`.
#include "detector/detector.hpp"

namespace tarvek::detector {
namespace {

const Name kOs{"os"};
const Name kJson{"json"};
const Name kLogger{"_logger"};
const Name kSkillRecord{"SkillRecord"};
const Name kGetenv{"getenv"};
const Name kExpanduser{"expanduser"};
const Name kResolve{"resolve"};
const Name kIterdir{"iterdir"};
const Name kIsDir{"is_dir"};
const Name kReadText{"read_text"};
const Name kLoads{"loads"};
const Name kGet{"get"};
const Name kDebug{"debug"};
const Name kName{"name"};

const Name kSkillsDirEnv{"TARVEK_SKILLS_DIR"};
const Name kData{"data"};
const Name kVersionJson{"VERSION.json"};
const Name kVersion{"version"};
const Name kUnknownVersion{"unknown"};
const Name kDataOnlyVersion{"v0.0.0"};
const Name kSkippedMessage{"跳过损坏的 VERSION.json: %s [%s]"};

// Two candidates are one directory when they resolve to the same place; a
// candidate that does not exist can only be compared by its text.
nb::object candidate_key(nb::handle candidate) {
  if (exists(candidate)) {
    return native::to_str(native::call_method(candidate, kResolve));
  }
  return native::to_str(native::call_method(candidate, kExpanduser));
}

// The version text of a skill whose VERSION.json exists, or an empty object
// when the file cannot be used; that case has been logged.
nb::object read_version(const Call& call, nb::handle version_file) {
  nb::object parsed;
  nb::object failure;
  try {
    nb::object text =
        native::call_method(version_file, kReadText, nb::arg("encoding") = "utf-8");
    parsed = native::call_method(call.global(kJson), kLoads, text);
  } catch (nb::python_error& error) {
    // Interrupts and requests to exit are not a broken file.
    if (!error.matches(PyExc_Exception)) {
      throw;
    }
    failure = nb::borrow(error.value());
  }

  // A file that parses to an array, a string or a number has no "version"
  // to look up; it is skipped like one that does not parse, so that one
  // broken skill does not hide all the others.
  nb::object lookup;
  if (!failure.is_valid()) {
    PyObject* get = nullptr;
    if (PyObject_GetOptionalAttr(parsed.ptr(), kGet.get().ptr(), &get) < 0) {
      throw nb::python_error();
    }
    lookup = nb::steal(get);
  }
  if (!failure.is_valid() && !lookup.is_valid()) {
    nb::object message = nb::str("VERSION.json 顶层必须是 JSON 对象，实际为 ") +
                         nb::str(Py_TYPE(parsed.ptr())->tp_name);
    failure = native::check(PyObject_CallOneArg(PyExc_ValueError, message.ptr()));
  }

  if (failure.is_valid()) {
    try {
      native::call_method(call.global(kLogger), kDebug, kSkippedMessage.get(), version_file,
                          failure);
    } catch (nb::python_error& error) {
      // Raised while the broken file is being handled: chained to it, as an
      // error raised in an `except` block is.
      PyObject* raised = error.value().ptr();
      nb::object context = nb::steal(PyException_GetContext(raised));
      if (!context.is_valid() && raised != failure.ptr()) {
        PyException_SetContext(raised, failure.release().ptr());  // steals
      }
      throw;
    }
    return {};
  }
  return native::to_str(lookup(kVersion.get(), kUnknownVersion.get()));
}

// Appends the record of `entry` when it is a skill directory.
void scan_entry(const Call& call, nb::handle entry, nb::list& records) {
  nb::object version_file = entry / kData.get() / kVersionJson.get();
  nb::object data_dir = entry / kData.get();

  nb::object version;
  if (exists(version_file)) {
    version = read_version(call, version_file);
    if (!version.is_valid()) {
      return;
    }
  } else if (exists(data_dir)) {
    version = nb::borrow(kDataOnlyVersion.get());
  } else {
    return;
  }

  nb::object runtime = native::call_method(call.arg(0), kInferRuntimeMethod, entry);
  nb::object record = call.global(kSkillRecord)(
      nb::arg("name") = native::getattr(entry, kName), nb::arg("version") = version,
      nb::arg("runtime") = runtime, nb::arg("root") = entry,
      nb::arg("version_file") = version_file);
  records.append(record);
}

}  // namespace

nb::object candidate_dirs(const Call& call) {
  nb::handle self = call.arg(0);
  nb::handle skills_dir = call.arg(1);
  nb::object cwd = working_dir(call, call.arg(2));

  nb::list candidates;
  // A relative skills_dir stays relative to the process, not to `cwd`.
  if (native::truthy(skills_dir)) {
    candidates.append(expanded_path(call, skills_dir));
  }
  nb::object from_env = native::call_method(call.global(kOs), kGetenv, kSkillsDirEnv.get());
  if (native::truthy(from_env)) {
    candidates.append(expanded_path(call, from_env));
  }

  nb::object home = home_dir(call);
  nb::object opencode = native::call_method(self, kOpencodeSkillsDirMethod);
  candidates.append(cwd / kDotClaude.get() / kSkills.get());
  for (const Runtime& runtime : kRuntimes) {
    if (&runtime.name == &kOpencode) {
      candidates.append(opencode);
    } else {
      candidates.append(home / runtime.tool_dir.get() / kSkills.get());
    }
  }

  nb::object seen = native::check(PySet_New(nullptr));
  nb::list result;
  for (nb::handle candidate : nb::handle(candidates)) {
    nb::object key = candidate_key(candidate);
    if (native::check(PySet_Contains(seen.ptr(), key.ptr())) == 1) {
      continue;
    }
    native::check(PySet_Add(seen.ptr(), key.ptr()));
    result.append(candidate);
  }
  return result;
}

nb::object discover(const Call& call) {
  nb::list records;
  nb::object candidates = native::call_method(call.arg(0), kCandidateDirsMethod,
                                              nb::arg("skills_dir") = call.arg(1),
                                              nb::arg("cwd") = call.arg(2));
  for (nb::handle candidate : candidates) {
    if (!exists(candidate)) {
      continue;
    }
    nb::list directories;
    for (nb::handle entry : native::call_method(candidate, kIterdir)) {
      if (native::truthy(native::call_method(entry, kIsDir))) {
        directories.append(entry);
      }
    }
    // Path order: by name within one candidate.
    nb::list entries = native::sorted(directories);
    for (nb::handle entry : nb::handle(entries)) {
      scan_entry(call, entry, records);
    }
  }
  return records;
}

}  // namespace tarvek::detector
