// Where a new skill goes: project-level targets below a working directory,
// per-user targets below the home directory, and their de-duplication.
// Nothing here creates or changes anything on disk.
#include "detector/detector.hpp"

namespace tarvek::detector {
namespace {


nb::object pair(nb::handle first, nb::handle second) { return nb::make_tuple(first, second); }

// `shutil.which(command)` found something.
bool command_available(const Call& call, const Name& command) {
  nb::object found = native::call_method(call.global(names::shutil), names::which, command.get());
  return !found.is_none();
}

// detect_install_target's steps below the working directory `cwd`.
template <class Fs>
nb::object install_target_steps(Fs& fs, nb::handle cwd_object, nb::handle preferred) {
  auto cwd = fs.argument(cwd_object);
  // The six project-level skills directories, in table order; built before
  // anything is tested.
  std::array<typename Fs::Path, kRuntimes.size()> runtime_dirs;
  for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
    runtime_dirs[i] = fs.child(fs.child(cwd, kRuntimes[i].tool_dir), names::skills);
  }

  // A requested runtime is taken as it is asked for, whether or not its
  // directory exists yet; an unknown name is no error and is ignored.
  if (native::truthy(preferred)) {
    for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
      if (preferred.equal(kRuntimes[i].name.get())) {
        return pair(preferred, fs.to_path(runtime_dirs[i]));
      }
    }
  }

  for (std::size_t i = 0; i < kRuntimes.size(); ++i) {
    if (fs.exists(fs.parent(runtime_dirs[i]))) {
      return pair(kRuntimes[i].name.get(), fs.to_path(runtime_dirs[i]));
    }
  }
  return pair(names::claude.get(), fs.to_path(runtime_dirs[0]));
}

// detect_available_install_targets' steps: only Claude Code and OpenClaw
// count as available at project level.
template <class Fs>
nb::list available_steps(Fs& fs, nb::handle cwd_object) {
  auto cwd = fs.argument(cwd_object);
  nb::list targets;
  for (const Runtime& runtime : {kRuntimes[0], kRuntimes[1]}) {
    auto tool_dir = fs.child(cwd, runtime.tool_dir);
    if (fs.exists(tool_dir)) {
      targets.append(pair(runtime.name.get(), fs.to_path(fs.child(tool_dir, names::skills))));
    }
  }
  return targets;
}

nb::object dedupe(const Call& call, nb::handle targets) {
  return list_result(native::call_method(call.arg(0), names::dedupe_targets, targets),
                     names::dedupe_targets);
}

}  // namespace

nb::object detect_install_target(const Call& call) {
  nb::object cwd = working_dir(call, call.arg(1));
  nb::handle preferred = call.arg(2);
  return fs::choose(call, {cwd}, {},
                    [&](auto& fs) { return install_target_steps(fs, cwd, preferred); });
}

nb::object detect_install_targets(const Call& call) {
  nb::handle self = call.arg(0);
  nb::handle requested = call.arg(2);
  // Determined once and handed on, so the methods below never consult the
  // process's current directory themselves.
  nb::object cwd = working_dir(call, call.arg(1));

  if (native::truthy(requested)) {
    nb::list targets;
    for (nb::handle element : requested) {
      nb::object name = native::call_method(native::call_method(element, names::strip), names::lower);
      // "all" asks for every per-user directory, instead of anything else.
      if (name.equal(names::all.get())) {
        return list_result(native::call_method(self, names::detect_all_install_targets), names::detect_all_install_targets);
      }
      nb::object chosen = native::call_method(self, names::detect_install_target,
                                              nb::arg("cwd") = cwd,
                                              nb::arg("preferred_runtime") = name);
      // Labelled with the name asked for, also where the directory was
      // inferred because the name is unknown.
      auto [runtime, path] = unpack_pair(chosen);
      (void)runtime;
      targets.append(pair(name, path));
    }
    return dedupe(call, targets);
  }

  // A list result of another method is held to its type where it is
  // received, whether or not it is then returned.
  nb::object available =
      list_result(native::call_method(self, names::detect_available_install_targets,
                                      nb::arg("cwd") = cwd),
                  names::detect_available_install_targets);
  if (native::truthy(available)) {
    return available;
  }
  nb::object chosen = native::call_method(self, names::detect_install_target, nb::arg("cwd") = cwd,
                                          nb::arg("preferred_runtime") = nb::none());
  auto [runtime, path] = unpack_pair(chosen);
  nb::list targets;
  targets.append(pair(runtime, path));
  return targets;
}

nb::object detect_available_install_targets(const Call& call) {
  nb::object cwd = working_dir(call, call.arg(1));
  nb::list targets = fs::choose(call, {cwd}, {}, [&](auto& fs) { return available_steps(fs, cwd); });
  return dedupe(call, targets);
}

nb::object detect_global_install_targets(const Call& call) {
  nb::handle self = call.arg(0);
  nb::object home = home_dir(call);
  nb::list targets;
  for (const Runtime& runtime : kRuntimes) {
    if (&runtime.name == &names::opencode) {
      // OpenCode is known by its configuration directory.
      nb::object config_dir = native::call_method(self, names::opencode_config_dir);
      if (exists(call, config_dir) || command_available(call, runtime.command)) {
        targets.append(
            pair(runtime.name.get(), native::call_method(self, names::opencode_skills_dir)));
      }
      continue;
    }
    nb::object tool_dir = home / runtime.tool_dir.get();
    if (exists(call, tool_dir) || command_available(call, runtime.command)) {
      targets.append(pair(runtime.name.get(), tool_dir / names::skills.get()));
    }
  }
  return dedupe(call, targets);
}

nb::object detect_all_install_targets(const Call& call) {
  nb::handle self = call.arg(0);
  nb::object home = home_dir(call);
  nb::list targets;
  for (const Runtime& runtime : kRuntimes) {
    nb::object skills_dir = &runtime.name == &names::opencode
                                ? native::call_method(self, names::opencode_skills_dir)
                                : home / runtime.tool_dir.get() / names::skills.get();
    targets.append(pair(runtime.name.get(), skills_dir));
  }
  return dedupe(call, targets);
}

//     seen = set()
//     result = []
//     for runtime, path in targets:
//         key = (runtime, str(path))
//         if key in seen:
//             continue
//         seen.add(key)
//         result.append((runtime, path))
//     return result
nb::object dedupe_targets(const Call& call) {
  nb::object seen = native::set_of(call);
  nb::list result;
  // Iterated through the interpreter's iterator: the elements' own methods
  // may change the list while it is walked.
  for (nb::handle element : call.arg(1)) {
    auto [runtime, path] = unpack_pair(element);
    nb::object key = pair(runtime, native::str_of(call, path));
    if (native::contains(seen, key)) {
      continue;
    }
    add_to(seen, key);
    result.append(pair(runtime, path));
  }
  return result;
}

}  // namespace tarvek::detector
