// Cutting a copied templates tree down to the admitted skills, and listing
// the files of the admitted skills for the single-file packager.
//
// Deletion stays inside the tree it is given: a symbolic link met on the way
// is removed as a link and never followed, so whatever it points at survives.
#include "packaging/packaging.hpp"

namespace tarvek::packaging {
namespace {

using native::contains;
using native::equals;

const Name kPath{"Path"};
const Name kManifestFilename{"MANIFEST_FILENAME"};
const Name kCurrentProfile{"current_profile"};
const Name kListTemplateDirs{"list_template_dirs"};
const Name kGetBuiltinTemplatesDir{"get_builtin_templates_dir"};
const Name kSelectedSkillNames{"selected_skill_names"};
const Name kRemoveTree{"_remove_tree"};
const Name kIsPackableFile{"_is_packable_file"};
const Name kRemovePackagingJunk{"_remove_packaging_junk"};

const Name kIsDir{"is_dir"};
const Name kIsFile{"is_file"};
const Name kIsSymlink{"is_symlink"};
const Name kIterdir{"iterdir"};
const Name kRglob{"rglob"};
const Name kUnlink{"unlink"};
const Name kRmdir{"rmdir"};
const Name kRelativeTo{"relative_to"};
const Name kName{"name"};
const Name kSuffix{"suffix"};
const Name kParts{"parts"};
const Name kParent{"parent"};


const Name kPycache{"__pycache__"};
const Name kDsStore{".DS_Store"};
const Name kPyc{".pyc"};
const Name kPyo{".pyo"};
const Name kAnyName{"*"};
const Name kBinary{"binary"};
const Name kBinaryMinimal{"binary-minimal"};
const Name kTarvek{"tarvek"};
const Name kSkills{"skills"};
const Name kTemplates{"templates"};

bool test(nb::handle path, const Name& method) {
  return native::truthy(native::call_method(path, method));
}

// A complete list of `root.rglob(pattern)`, taken before anything changes.
nb::list rglob_list(nb::handle root, const Name& pattern) {
  nb::object found = native::call_method(root, kRglob, pattern.get());
  return nb::steal<nb::list>(native::check(PySequence_List(found.ptr())).release());
}

// The name, suffix and bytecode-cache tests of a packable file, on a path
// already known to be a regular file.  `components` are the parts in which
// a "__pycache__" directory makes the file junk.
bool packable_regular_file(nb::handle path, nb::handle components) {
  if (equals(native::getattr(path, kName), kDsStore)) {
    return false;
  }
  nb::object suffix = native::getattr(path, kSuffix);
  if (equals(suffix, kPyc) || equals(suffix, kPyo)) {
    return false;
  }
  return !contains(components, kPycache);
}

// Whether the files below `root` need their "__pycache__" test restricted to
// the components below the root: only when the root itself lies inside a
// "__pycache__" directory, where the full path would condemn every file.
bool root_inside_pycache(nb::handle root) {
  return contains(native::getattr(root, kParts), kPycache);
}

// `_is_packable_file(path)` for an entry found below `root`.  In the normal
// case this is the module function itself; below a root inside a
// "__pycache__" directory the same tests apply to the part below the root
// (`known_file`: the caller has just seen that the entry is a regular file).
bool packable_below(const Call& call, nb::handle root, nb::handle path, bool restricted,
                    bool known_file) {
  if (!restricted) {
    return native::truthy(call_global(call, kIsPackableFile, path));
  }
  if (!known_file && !test(path, kIsFile)) {
    return false;
  }
  nb::object below = native::call_method(path, kRelativeTo, root);
  return packable_regular_file(path, native::getattr(below, kParts));
}

}  // namespace

nb::object prune_templates_dir(const Call& call) {
  nb::handle target = call.arg(0);
  nb::handle given_profile = call.arg(1);
  nb::handle artifact = call.arg(2);
  nb::handle manifest_templates_dir = call.arg(3);

  if (!native::exists(target)) {
    return nb::list();
  }
  call_global(call, kRemovePackagingJunk, target);

  nb::object profile = native::truthy(given_profile) ? nb::borrow(given_profile)
                                                     : call_global(call, kCurrentProfile);
  if (admits_everything(profile)) {
    nb::list kept;
    for (nb::handle path : call_global(call, kListTemplateDirs, target)) {
      kept.append(native::getattr(path, kName));
    }
    return kept;
  }

  nb::object manifest_root = native::truthy(manifest_templates_dir)
                                 ? nb::borrow(manifest_templates_dir)
                                 : call_global(call, kGetBuiltinTemplatesDir);
  nb::object selected = call.global(kSelectedSkillNames)(
      nb::arg("profile") = profile, nb::arg("artifact") = artifact,
      nb::arg("templates_dir") = manifest_root);
  nb::object admitted = native::check(PySet_New(selected.ptr()));

  for (nb::handle entry : native::call_method(target, kIterdir)) {
    if (test(entry, kIsDir) && !contains(admitted, native::getattr(entry, kName))) {
      call_global(call, kRemoveTree, entry);
    }
  }

  nb::list remaining;
  for (nb::handle name : admitted) {
    if (native::exists(nb::borrow(target) / name)) {
      remaining.append(name);
    }
  }
  native::check(PyList_Sort(remaining.ptr()));
  return remaining;
}

nb::object collect_skill_datas(const Call& call) {
  nb::handle given_profile = call.arg(0);
  nb::object root = templates_root(call, call.arg(1));
  nb::object profile =
      native::truthy(given_profile) ? nb::borrow(given_profile) : nb::borrow(kBinaryMinimal.get());

  nb::object names = call.global(kSelectedSkillNames)(
      nb::arg("profile") = profile, nb::arg("artifact") = kBinary.get(),
      nb::arg("templates_dir") = root);

  // Fixed for the whole call: where the files go inside the binary, and how
  // the bytecode-cache test has to look at paths below this root.
  nb::object destination_base =
      call.global(kPath)(kTarvek.get(), kSkills.get(), kTemplates.get());
  const bool restricted = root_inside_pycache(root);

  nb::list datas;
  for (nb::handle name : names) {
    nb::object skill_dir = root / name;
    nb::list files;
    for (nb::handle entry : native::call_method(skill_dir, kRglob, kAnyName.get())) {
      if (packable_below(call, root, entry, restricted, false)) {
        files.append(entry);
      }
    }
    native::check(PyList_Sort(files.ptr()));
    for (nb::handle file : files) {
      nb::object parent = native::call_method(native::getattr(file, kParent), kRelativeTo, root);
      datas.append(nb::make_tuple(native::to_str(file), native::to_str(destination_base / parent)));
    }
  }

  nb::object manifest_file = root / call.global(kManifestFilename);
  if (native::exists(manifest_file)) {
    datas.append(nb::make_tuple(native::to_str(manifest_file), native::to_str(destination_base)));
  }
  return datas;
}

nb::object remove_tree(const Call& call) {
  nb::handle path = call.arg(0);
  // A link is removed as a link: what it points at lies outside the tree.
  if (test(path, kIsSymlink)) {
    native::call_method(path, kUnlink);
    return nb::none();
  }
  for (nb::handle entry : native::call_method(path, kIterdir)) {
    if (test(entry, kIsSymlink)) {
      native::call_method(entry, kUnlink);
    } else if (test(entry, kIsDir)) {
      call_global(call, kRemoveTree, entry);
    } else {
      native::call_method(entry, kUnlink);
    }
  }
  native::call_method(path, kRmdir);
  return nb::none();
}

nb::object is_packable_file(const Call& call) {
  nb::handle path = call.arg(0);
  if (!test(path, kIsFile)) {
    return nb::bool_(false);
  }
  return nb::bool_(packable_regular_file(path, native::getattr(path, kParts)));
}

nb::object remove_packaging_junk(const Call& call) {
  nb::handle root = call.arg(0);

  for (nb::handle entry : rglob_list(root, kPycache)) {
    if (test(entry, kIsDir)) {
      call_global(call, kRemoveTree, entry);
    }
  }

  const bool restricted = root_inside_pycache(root);
  for (nb::handle entry : rglob_list(root, kAnyName)) {
    if (test(entry, kIsFile) && !packable_below(call, root, entry, restricted, true)) {
      native::call_method(entry, kUnlink);
    }
  }
  return nb::none();
}

}  // namespace tarvek::packaging
