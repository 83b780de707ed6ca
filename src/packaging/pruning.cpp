// Cutting a copied templates tree down to the admitted skills, and listing
// the files of the admitted skills for the single-file packager.
//
// Each function's steps are written once, for either backend (fs/); the
// native one deletes relative to open directory descriptors, so deletion
// stays inside the tree it is given whatever is swapped in meanwhile.  On
// both, a symbolic link met on the way is removed as a link and never
// followed.
#include "packaging/packaging.hpp"

#include "native/lazy.hpp"

namespace tarvek::packaging {
namespace {

using native::contains;
using native::equals;

// The name, suffix and bytecode-cache tests of a packable file, on a path
// already known to be a regular file.  With `below`, only the components
// below that root count for the "__pycache__" test.
template <class Fs>
bool packable_regular_file(Fs& fs, const typename Fs::Path& path, const typename Fs::Path* below) {
  if (fs.same(fs.name(path), names::ds_store)) {
    return false;
  }
  auto suffix = fs.suffix(path);
  if (fs.same(suffix, names::pyc) || fs.same(suffix, names::pyo)) {
    return false;
  }
  return !fs.has_component(path, names::pycache, below);
}

template <class Fs>
bool packable(Fs& fs, const typename Fs::Path& path) {
  return fs.is_file(path) && packable_regular_file(fs, path, nullptr);
}

// `_is_packable_file(path)` for an entry found below `root`.  In the normal
// case this is the module function itself; below a root inside a
// "__pycache__" directory the same tests apply to the part below the root,
// where the full path would condemn every file (`known_file`: the caller
// has just seen that the entry is a regular file).
template <class Fs>
bool packable_below(Fs& fs, const Call& call, const typename Fs::Path& root,
                    const typename Fs::Path& path, bool restricted, bool known_file) {
  if (!restricted) {
    if (fs.inline_is_packable()) {
      return packable(fs, path);
    }
    return native::truthy(call_global(call, names::is_packable_file, fs.to_path(path)));
  }
  if (!known_file && !fs.is_file(path)) {
    return false;
  }
  return packable_regular_file(fs, path, &root);
}

// `_remove_tree(path)`: depth first, children before parents.  The one
// step the plain steps lack is the first: a path that is a symbolic link
// is unlinked, never descended into, so that deleting never reaches
// outside the tree (`is_dir` follows links).  A directory is descended
// into here while `_remove_tree` is the module's own (so depth is no
// limit), and handed to whatever the name is bound to otherwise.
//
//     def _remove_tree(path):
//         if path.is_symlink():
//             path.unlink()
//             return
//         for child in path.iterdir():
//             if child.is_dir():
//                 _remove_tree(child)
//             else:
//                 child.unlink()
//         path.rmdir()
template <class Fs>
void remove_tree_steps(Fs& fs, const Call& call, const typename Fs::Path& path) {
  using Path = typename Fs::Path;
  struct Frame {
    Path dir;
    typename Fs::Cursor entries;
  };
  std::vector<Frame> stack;
  auto enter = [&](const Path& dir) {
    if (fs.is_symlink(dir)) {
      fs.unlink(dir);
      return;
    }
    auto entries = fs.iterdir(dir);
    stack.push_back({dir, std::move(entries)});
  };
  enter(path);
  while (!stack.empty()) {
    Path entry;
    if (!stack.back().entries.next(entry)) {
      Path dir = std::move(stack.back().dir);
      stack.pop_back();
      fs.rmdir(dir);
      continue;
    }
    fs.checkpoint();
    if (fs.is_dir(entry)) {
      if (fs.inline_remove_tree()) {
        enter(entry);
      } else {
        call_global(call, names::remove_tree, fs.to_path(entry));
      }
    } else {
      fs.unlink(entry);
    }
  }
}

// A directory handed to `_remove_tree` as bound now.
template <class Fs>
void remove_tree_call(Fs& fs, const Call& call, const typename Fs::Path& path) {
  if (fs.inline_remove_tree()) {
    remove_tree_steps(fs, call, path);
  } else {
    call_global(call, names::remove_tree, fs.to_path(path));
  }
}

//     for cache_dir in list(root.rglob("__pycache__")):
//         if cache_dir.is_dir():
//             _remove_tree(cache_dir)
//     for path in list(root.rglob("*")):
//         if path.is_file() and not _is_packable_file(path):
//             path.unlink()
template <class Fs>
void remove_packaging_junk_steps(Fs& fs, const Call& call, const typename Fs::Path& root) {
  // Both listings are complete before anything they list is deleted.
  for (auto& entry : fs.rglob(root, fs::Glob::Pycache)) {
    fs.checkpoint();
    if (fs.is_dir(entry)) {
      remove_tree_call(fs, call, entry);
    }
  }
  const bool restricted = fs.has_component(root, names::pycache, nullptr);
  for (auto& entry : fs.rglob(root, fs::Glob::Any)) {
    fs.checkpoint();
    if (fs.is_file(entry) && !packable_below(fs, call, root, entry, restricted, true)) {
      fs.unlink(entry);
    }
  }
}

//     if not target.exists():
//         return []
//     _remove_packaging_junk(target)
//     resolved = profile or current_profile()
//     if resolved in ("dev", "internal"):
//         return [p.name for p in list_template_dirs(target)]
//     allowed = set(selected_skill_names(profile=resolved, artifact=artifact,
//                                        templates_dir=manifest_templates_dir
//                                        or get_builtin_templates_dir()))
//     for entry in target.iterdir():
//         if entry.is_dir() and entry.name not in allowed:
//             _remove_tree(entry)
//     return sorted(name for name in allowed if (target / name).exists())
template <class Fs>
nb::object prune_steps(Fs& fs, const Call& call, nb::handle target_object) {
  nb::handle given_profile = call.arg(1);
  nb::handle artifact = call.arg(2);
  nb::handle manifest_templates_dir = call.arg(3);
  auto target = fs.argument(target_object);

  if (!fs.exists(target)) {
    return nb::list();
  }
  if (fs.inline_siblings()) {
    remove_packaging_junk_steps(fs, call, target);
  } else {
    call_global(call, names::remove_packaging_junk, target_object);
  }

  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : call_global(call, names::current_profile);
  if (admits_everything(profile)) {
    return template_dir_names(fs, call, target, target_object);
  }

  nb::object manifest_root = native::truthy(manifest_templates_dir)
                                 ? nb::borrow(manifest_templates_dir)
                                 : call_global(call, names::get_builtin_templates_dir);
  nb::object selected = call.global(names::selected_skill_names)(
      nb::arg("profile") = profile, nb::arg("artifact") = artifact,
      nb::arg("templates_dir") = manifest_root);
  nb::object admitted = native::set_of(call, selected);
  auto admitted_names = fs.name_set(admitted);

  auto entries = fs.iterdir(target);
  typename Fs::Path entry;
  while (entries.next(entry)) {
    fs.checkpoint();
    if (fs.is_dir(entry) && !fs.contains(admitted_names, entry)) {
      remove_tree_call(fs, call, entry);
    }
  }

  if (!native::builtins_intact(call)) {
    // Only on the object path: the generator for a rebound `sorted`.
    nb::object target_path = nb::borrow(target_object);
    return call.global(names::sorted)(
        native::lazy(admitted, [target_path](nb::handle name) -> nb::object {
          nb::object candidate = target_path / name;
          return native::truthy(native::call_method(candidate, names::exists)) ? nb::borrow(name)
                                                                               : nb::object();
        }));
  }
  nb::list remaining;
  for (nb::handle name : admitted) {
    if (fs.exists(fs.child(target, name))) {
      remaining.append(name);
    }
  }
  native::check(PyList_Sort(remaining.ptr()));
  return remaining;
}

//     for name in names:
//         files = sorted(p for p in (root / name).rglob("*") if _is_packable_file(p))
//         for file in files:
//             datas.append((str(file), str(Path("tarvek", "skills", "templates")
//                                          / file.parent.relative_to(root))))
//     manifest_file = root / MANIFEST_FILENAME
//     if manifest_file.exists():
//         datas.append((str(manifest_file), str(Path("tarvek", "skills", "templates"))))
template <class Fs>
nb::object collect_steps(Fs& fs, const Call& call, nb::handle root_object, nb::handle skill_names) {
  auto root = fs.argument(root_object);
  // How the bytecode-cache test has to look at paths below this root.
  const bool restricted = fs.has_component(root, names::pycache, nullptr);

  nb::list datas;
  for (nb::handle name : skill_names) {
    auto skill_dir = fs.child(root, name);
    auto files = fs.each(fs.sorted_where(
        fs.rglob_lazy(skill_dir, fs::Glob::Any), [&](const typename Fs::Path& entry) {
          return packable_below(fs, call, root, entry, restricted, false);
        }));
    typename Fs::Path file;
    while (files.next(file)) {
      nb::object source = fs.to_str(file);
      datas.append(nb::make_tuple(source, fs.destination(root, file)));
    }
  }

  auto manifest_file = fs.child(root, call.global(names::MANIFEST_FILENAME));
  if (fs.exists(manifest_file)) {
    nb::object source = fs.to_str(manifest_file);
    datas.append(nb::make_tuple(source, fs.destination_root()));
  }
  return datas;
}

// The siblings whose work the native steps do themselves.
#define TARVEK_PRUNING_SIBLINGS                                                          \
  {&names::remove_tree, &names::is_packable_file, &names::remove_packaging_junk,         \
   &names::list_template_dirs, &names::selected_skill_names, &names::MANIFEST_FILENAME}

}  // namespace

nb::object prune_templates_dir(const Call& call) {
  nb::handle target = call.arg(0);
  return fs::choose(
      call, {target}, TARVEK_PRUNING_SIBLINGS,
      [&](auto& fs) { return prune_steps(fs, call, target); }, fs::Reach::Deleting);
}

nb::object collect_skill_datas(const Call& call) {
  nb::handle given_profile = call.arg(0);
  nb::object root = templates_root(call, call.arg(1));
  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : nb::borrow(names::binary_minimal.get());
  nb::object selected = call.global(names::selected_skill_names)(
      nb::arg("profile") = profile, nb::arg("artifact") = names::binary.get(),
      nb::arg("templates_dir") = root);
  return fs::choose(call, {root}, TARVEK_PRUNING_SIBLINGS,
                    [&](auto& fs) { return collect_steps(fs, call, root, selected); });
}

nb::object remove_tree(const Call& call) {
  nb::handle path = call.arg(0);
  return fs::choose(
      call, {path}, TARVEK_PRUNING_SIBLINGS,
      [&](auto& fs) {
        remove_tree_steps(fs, call, fs.argument(path));
        return nb::none();
      },
      fs::Reach::Deleting);
}

nb::object is_packable_file(const Call& call) {
  nb::handle path = call.arg(0);
  return fs::choose(call, {path}, {}, [&](auto& fs) {
    return nb::bool_(packable(fs, fs.argument(path)));
  });
}

nb::object remove_packaging_junk(const Call& call) {
  nb::handle root = call.arg(0);
  return fs::choose(
      call, {root}, TARVEK_PRUNING_SIBLINGS,
      [&](auto& fs) {
        remove_packaging_junk_steps(fs, call, fs.argument(root));
        return nb::none();
      },
      fs::Reach::Deleting);
}

}  // namespace tarvek::packaging
