// Finding installed skills: the candidate directories in priority order, and
// the scan of each for skill directories holding `data/VERSION.json`.
#include "detector/detector.hpp"

#include "native/genuine_json.hpp"
#include "native/json_text.hpp"

namespace tarvek::detector {
namespace {

// VERSION.json is a small text file: anything else is skipped unread.
constexpr std::size_t kVersionLimit = std::size_t{1} << 20;

// Two candidates are one directory when they resolve to the same place; a
// candidate that does not exist can only be compared by its text.
//
//     key = str(candidate.resolve()) if candidate.exists() else str(candidate.expanduser())
template <class Fs>
nb::object candidate_key(Fs& fs, nb::handle candidate_object) {
  auto candidate = fs.argument(candidate_object);
  return fs.exists(candidate) ? fs.resolved_str(candidate) : fs.expanded_str(candidate);
}

// Raises the exception that makes a skill broken before its VERSION.json is
// read: not a regular file, too large.
template <class Fs>
void check_version_file(Fs& fs, const typename Fs::Path& version_file) {
  switch (fs::file_problem(fs, version_file, kVersionLimit)) {
    case fs::FileProblem::NotRegular:
      native::raise(PyExc_ValueError, "VERSION.json 不是普通文件");
    case fs::FileProblem::TooLarge:
      native::raise(PyExc_ValueError, "VERSION.json 超过 1 MiB");
    case fs::FileProblem::None:
      break;
  }
}

// The text of a VERSION.json that is there, or the exception that makes the
// skill broken: unreadable, not a regular file, too large.
template <class Fs>
nb::object version_text(Fs& fs, const typename Fs::Path& version_file) {
  check_version_file(fs, version_file);
  return fs.read_text(version_file, kVersionLimit);
}

// Whether a VERSION.json may be read natively: `json` is the interpreter's
// own and so are the builtins the steps name, so that nothing could tell a
// text read in place from the dict json.loads makes of it.
bool may_read_json_natively(const Call& call) {
  if (!native::builtins_intact(call)) {
    return false;
  }
  nb::object json = native::dict_get(call.globals(), names::json);
  return json.is_valid() && native::json_loads_is_genuine(json);
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
//
// Natively, the text is read in place (native/json_text.hpp) when it holds
// an object whose "version" is no array or object: its str() is made from
// the text.  Anything else goes to json.loads, as written.
template <class Fs>
nb::object read_version(Fs& fs, const Call& call, const typename Fs::Path& version_file,
                        bool natively) {
  nb::object parsed;
  nb::object failure;
  native::JsonText text;
  std::uint32_t version = native::JsonText::kNone;
  bool read_in_place = false;
  std::string bytes;
  try {
    nb::object loads = native::getattr(call.global(names::json), names::loads);
    if constexpr (requires { fs.read_bytes(version_file, kVersionLimit); }) {
      if (natively) {
        check_version_file(fs, version_file);
        bytes = fs.read_bytes(version_file, kVersionLimit);
        if (text.read(bytes) && text.type(text.root()) == native::JsonText::Type::Object) {
          version = text.member(text.root(), names::version.text());
          auto kind = version == native::JsonText::kNone ? native::JsonText::Type::Null
                                                         : text.type(version);
          read_in_place =
              kind != native::JsonText::Type::Array && kind != native::JsonText::Type::Object;
        }
        if (!read_in_place) {
          parsed = loads(fs.decode_text(bytes));
        }
      } else {
        parsed = loads(version_text(fs, version_file));
      }
    } else {
      parsed = loads(version_text(fs, version_file));
    }
  } catch (nb::python_error& error) {
    nb::object caught = nb::borrow(error.value());
    // Interrupts and requests to exit are not a broken file.
    native::Handling handling(caught);
    if (!native::matches(error, native::exception_class(call))) {
      throw;
    }
    failure = std::move(caught);
  }
  if (read_in_place) {
    return version == native::JsonText::kNone ? nb::borrow(names::unknown.get())
                                              : text.str(version);
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
void scan_candidate(Fs& fs, const Call& call, nb::handle self, nb::handle candidate_object,
                    nb::list& records) {
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
      version = read_version(fs, call, version_file, may_read_json_natively(call));
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
    nb::object runtime = fs.steps_inline() && is_own_method(infer, self, names::infer_runtime)
                             ? nb::borrow(runtime_steps(fs, entry).get())
                             : infer(root);
    nb::object version_path = fs.to_path(version_file);
    nb::object record = make_record(record_type, {name, version, runtime, root, version_path});
    records.append(record);
  }
}

constexpr auto kCandidateDirs = native::signature("SkillDetector.candidate_dirs",
                                                  {kSelf, kSkillsDirParam, kCwdParam}, "list[Path]",
                                                  "收集所有候选扫描目录，按优先级排列并去重。\n"
                                                  "\n"
                                                  "        优先级从高到低：\n"
                                                  "        1. 调用方显式指定的 skills_dir 参数\n"
                                                  "        2. 环境变量 TARVEK_SKILLS_DIR\n"
                                                  "        3. 当前工作目录下的 .claude/skills\n"
                                                  "        4. 用户主目录下的 .claude/skills\n"
                                                  "        5. 用户主目录下的 .openclaw/skills\n"
                                                  "        ");

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
nb::object candidate_dirs(const Args<kCandidateDirs>& call) {
  nb::handle self = call["self"];
  nb::handle skills_dir = call["skills_dir"];
  nb::object cwd = working_dir(call, call["cwd"]);

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
  candidates.append(cwd / kFallbackRuntime.tool_dir.get() / names::skills.get());
  for (const Runtime& runtime : kRuntimes) {
    if (runtime.per_user_by_method) {
      candidates.append(opencode);
    } else {
      candidates.append(home / runtime.tool_dir.get() / names::skills.get());
    }
  }

  nb::object seen = native::set_of(call);
  nb::list result;
  for (nb::handle candidate : nb::handle(candidates)) {
    nb::object key =
        fs::choose(call, {candidate}, {}, [&](auto& fs) { return candidate_key(fs, candidate); });
    if (native::contains(seen, key)) {
      continue;
    }
    add_to(seen, key);
    result.append(candidate);
  }
  return result;
}

constexpr auto kDiscover = native::signature(
    "SkillDetector.discover", {kSelf, kSkillsDirParam, kCwdParam}, "list[SkillRecord]",
    "扫描所有候选目录，发现已安装的 Skill。\n"
    "\n"
    "        判定条件：目录下必须存在 data/VERSION.json 文件。\n"
    "        解析失败（JSON 格式错误等）的目录会被静默跳过。\n"
    "        ");

nb::object discover(const Args<kDiscover>& call) {
  nb::list records;
  nb::object candidates =
      native::call_method(call["self"], names::candidate_dirs,
                          nb::arg("skills_dir") = call["skills_dir"], nb::arg("cwd") = call["cwd"]);
  for (nb::handle candidate : candidates) {
    fs::choose(call, {candidate}, {}, [&](auto& fs) {
      scan_candidate(fs, call, call["self"], candidate, records);
      return 0;
    });
  }
  return records;
}

}  // namespace

const native::FunctionSpec functions::candidate_dirs =
    native::spec<kCandidateDirs, detector::candidate_dirs>();
const native::FunctionSpec functions::discover = native::spec<kDiscover, detector::discover>();

}  // namespace tarvek::detector
