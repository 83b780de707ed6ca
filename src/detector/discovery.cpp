// Finding installed skills: the candidate directories in priority order, and
// the scan of each for skill directories holding `data/VERSION.json`.
#include <cstdlib>

#include "detector/detector.hpp"
#include "fs/session.hpp"

namespace tarvek::detector {
namespace {

// VERSION.json is a small text file: anything else is skipped unread.
constexpr std::size_t kVersionLimit = std::size_t{1} << 20;

// Two candidates are one directory when they resolve to the same place; a
// candidate that does not exist can only be compared by its text.
nb::object candidate_key(const Call& call, nb::handle candidate) {
#if TARVEK_NATIVE_WALKER
  if (fs::may_run_natively(call, {candidate}, {})) {
    fs::NativeFs fs;
    std::string text = fs::path_text(candidate);
    // realpath(3) is os.path.realpath for a path that exists, but for a
    // leading "//", which the interpreter keeps.
    bool double_slash = text.starts_with("//") && !text.starts_with("///");
    if (!double_slash && fs.exists(fs.argument(candidate))) {
      std::string resolved;
      int error = fs::unlocked([&] {
        char* real = ::realpath(text.c_str(), nullptr);
        if (real == nullptr) {
          return errno;
        }
        resolved = real;
        std::free(real);
        return 0;
      });
      if (error == 0) {
        return fs::decode_path(resolved);
      }
    } else if (!double_slash && !text.starts_with('~')) {
      return fs::decode_path(text);
    }
  }
#endif
  if (exists(call, candidate)) {
    return native::str_of(call, native::call_method(candidate, names::resolve));
  }
  return native::str_of(call, native::call_method(candidate, names::expanduser));
}

// The text of a VERSION.json that is there, or the exception that makes the
// skill broken: unreadable, not a regular file, too large.
template <class Fs>
nb::object version_text(Fs& fs, const typename Fs::Path& version_file) {
  switch (fs::file_problem(fs, version_file, kVersionLimit)) {
    case fs::FileProblem::NotRegular:
      native::raise(PyExc_ValueError, "VERSION.json 不是普通文件");
    case fs::FileProblem::TooLarge:
      native::raise(PyExc_ValueError, "VERSION.json 超过 1 MiB");
    case fs::FileProblem::None:
      break;
  }
  return fs.read_text(version_file, kVersionLimit);
}

// The version text of a skill whose VERSION.json exists, or an empty object
// when the file cannot be used; that case has been logged.
//
//     try:
//         data = json.loads(version_file.read_text(encoding="utf-8"))
//     except Exception as exc:
//         _logger.debug("跳过损坏的 VERSION.json: %s [%s]", version_file, exc)
//         continue
//     version = str(data.get("version", "unknown"))
template <class Fs>
nb::object read_version(Fs& fs, const Call& call, const typename Fs::Path& version_file) {
  nb::object parsed;
  nb::object failure;
  try {
    nb::object loads = native::getattr(call.global(names::json), names::loads);
    nb::object text = version_text(fs, version_file);
    parsed = loads(text);
  } catch (nb::python_error& error) {
    nb::object caught = nb::borrow(error.value());
    // Interrupts and requests to exit are not a broken file.
    native::Handling handling(caught);
    if (!native::matches(error, native::exception_class(call))) {
      throw;
    }
    failure = std::move(caught);
  }

  // A file that parses to an array, a string or a number has no "version"
  // to look up; it is skipped like one that does not parse, so that one
  // broken skill does not hide all the others.
  nb::object lookup;
  if (!failure.is_valid()) {
    PyObject* get = nullptr;
    if (PyObject_GetOptionalAttr(parsed.ptr(), names::get.get().ptr(), &get) < 0) {
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
    // Logged as from the `except` block that caught the broken file's
    // error: what the logger raises is chained to that error.
    native::Handling handling(failure);
    try {
      native::call_method(call.global(names::logger), names::debug, names::skipped_message.get(),
                          fs.to_path(version_file), failure);
    } catch (nb::python_error& error) {
      // A logger that raises without context (one made in C) is chained
      // here, as the interpreter would chain it.
      PyObject* raised = error.value().ptr();
      nb::object context = nb::steal(PyException_GetContext(raised));
      if (!context.is_valid() && raised != failure.ptr()) {
        PyException_SetContext(raised, failure.release().ptr());  // steals
      }
      throw;
    }
    return {};
  }
  return native::str_of(call, lookup(names::version.get(), names::unknown.get()));
}

// The records of the skills in one candidate directory.
//
//     if not candidate.exists():
//         continue
//     for skill_dir in sorted(p for p in candidate.iterdir() if p.is_dir()):
//         version_file = skill_dir / "data" / "VERSION.json"
//         data_dir = skill_dir / "data"
//         if version_file.exists(): version = ... (read_version)
//         elif data_dir.exists(): version = "v0.0.0"
//         else: continue
//         records.append(SkillRecord(name=skill_dir.name, version=version,
//                                    runtime=self._infer_runtime(skill_dir),
//                                    root=skill_dir, version_file=version_file))
template <class Fs>
void scan_candidate(Fs& fs, const Call& call, nb::handle candidate_object, nb::list& records) {
  nb::handle self = call.arg(0);
  auto candidate = fs.argument(candidate_object);
  if (!fs.exists(candidate)) {
    return;
  }
  auto entries = fs.each(fs::sorted_subdirectories(fs, candidate));
  typename Fs::Path entry;
  while (entries.next(entry)) {
    fs.checkpoint();
    auto version_file = fs.child(fs.child(entry, names::data), names::version_json);
    auto data_dir = fs.child(entry, names::data);

    nb::object version;
    if (fs.exists(version_file)) {
      version = read_version(fs, call, version_file);
      if (!version.is_valid()) {
        continue;
      }
    } else if (fs.exists(data_dir)) {
      version = nb::borrow(names::data_only_version.get());
    } else {
      continue;
    }

    nb::object record_type = call.global(names::SkillRecord);
    nb::object name = fs.name_object(entry);
    nb::object root = fs.to_path(entry);
    // `self._infer_runtime` is looked up for every record; the class's own
    // method is answered here on the native path.
    nb::object infer = native::getattr(self, names::infer_runtime);
    nb::object runtime = fs.inline_siblings() && is_own_method(infer, self, names::infer_runtime)
                             ? nb::borrow(runtime_of(fs.text_of(entry)).get())
                             : infer(root);
    nb::object record =
        record_type(nb::arg("name") = name, nb::arg("version") = version,
                    nb::arg("runtime") = runtime, nb::arg("root") = root,
                    nb::arg("version_file") = fs.to_path(version_file));
    records.append(record);
  }
}

}  // namespace
//     cwd = cwd or Path.cwd()
//     candidates = []
//     if skills_dir:
//         candidates.append(Path(skills_dir).expanduser())
//     env_dir = os.getenv("TARVEK_SKILLS_DIR")
//     if env_dir:
//         candidates.append(Path(env_dir).expanduser())
//     home = Path.home()
//     opencode = self._opencode_skills_dir()
//     candidates += [cwd / ".claude" / "skills", home / ".claude" / "skills", ..., opencode, ...]
//     seen = set()
//     result = []
//     for candidate in candidates:
//         key = str(candidate.resolve()) if candidate.exists() else str(candidate.expanduser())
//         if key in seen:
//             continue
//         seen.add(key)
//         result.append(candidate)
//     return result
nb::object candidate_dirs(const Call& call) {
  nb::handle self = call.arg(0);
  nb::handle skills_dir = call.arg(1);
  nb::object cwd = working_dir(call, call.arg(2));

  nb::list candidates;
  // A relative skills_dir stays relative to the process, not to `cwd`.
  if (native::truthy(skills_dir)) {
    candidates.append(expanded_path(call, skills_dir));
  }
  nb::object from_env =
      native::call_method(call.global(names::os), names::getenv, names::skills_dir_env.get());
  if (native::truthy(from_env)) {
    candidates.append(expanded_path(call, from_env));
  }

  nb::object home = home_dir(call);
  nb::object opencode = native::call_method(self, names::opencode_skills_dir);
  candidates.append(cwd / names::dot_claude.get() / names::skills.get());
  for (const Runtime& runtime : kRuntimes) {
    if (&runtime.name == &names::opencode) {
      candidates.append(opencode);
    } else {
      candidates.append(home / runtime.tool_dir.get() / names::skills.get());
    }
  }

  nb::object seen = native::set_of(call);
  nb::list result;
  for (nb::handle candidate : nb::handle(candidates)) {
    nb::object key = candidate_key(call, candidate);
    if (native::contains(seen, key)) {
      continue;
    }
    add_to(seen, key);
    result.append(candidate);
  }
  return result;
}

nb::object discover(const Call& call) {
  nb::list records;
  nb::object candidates = native::call_method(call.arg(0), names::candidate_dirs,
                                              nb::arg("skills_dir") = call.arg(1),
                                              nb::arg("cwd") = call.arg(2));
  for (nb::handle candidate : candidates) {
    fs::choose(call, {candidate}, {}, [&](auto& fs) {
      scan_candidate(fs, call, candidate, records);
      return 0;
    });
  }
  return records;
}

}  // namespace tarvek::detector
