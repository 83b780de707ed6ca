// The native backend's path operations that need no system call: paths
// made from arguments and from names, their texts, names and suffixes, the
// interpreter's order of paths, and the Python objects made of them.
#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "fs/interpreter_duties.hpp"
#include "fs/pathlib.hpp"
#include "native/names.hpp"

namespace tarvek::fs {
NativePath NativeFs::argument(nb::handle path) const {
  NativePath result;
  result.text = path_text(path);
  result.name = result.text;
  return result;
}

namespace {

// A path `child` made below a path without a node of its own keeps the
// nearest node as its `dir` and the way from there in `name`.
bool composite(const NativePath& path) {
  return path.dir && path.name.find('/') != std::string::npos;
}

std::string_view last_name(const NativePath& path) {
  std::string_view name = path.name;
  std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

std::shared_ptr<DirNode> NativeFs::parent_node(const Path& path) const {
  if (!composite(path)) {
    return path.dir;
  }
  // The directories on the way, made as `child` would have made them: of
  // unknown kind, so opened following a link as pathlib follows it.
  std::shared_ptr<DirNode> node = path.dir;
  std::string_view rest = path.name;
  for (std::size_t slash = rest.find('/'); slash != std::string_view::npos;
       slash = rest.find('/')) {
    auto next = std::make_shared<DirNode>();
    next->parent = node;
    next->name = std::string(rest.substr(0, slash));
    next->text = join(node->text, next->name);
    next->follow = true;
    node = std::move(next);
    rest.remove_prefix(slash + 1);
  }
  return node;
}

Listings::Root NativeFs::anchor(const Path& path) const {
  return {parent_node(path), std::string(path.dir ? last_name(path) : path.name), path.text};
}

std::shared_ptr<DirNode> NativeFs::node_for(const Path& path) const {
  if (path.opened) {
    return path.opened;
  }
  // A directory a walk listed gets (or is) the node of its record there, so
  // that the walk's listings learn what is deleted in it.
  Listings* listings = nullptr;
  std::uint32_t record = Listings::kNone;
  if (path.dir && path.dir->listings && path.entry != Listings::kNone) {
    listings = path.dir->listings.get();
    record = listings->record_of(path.dir->record, path.entry);
    if (DirNode* known = listings->records[record].node; known != nullptr) {
      path.opened = known->shared_from_this();
      return path.opened;
    }
  }
  auto node = std::make_shared<DirNode>();
  node->parent = parent_node(path);
  node->name = composite(path) ? std::string(last_name(path)) : path.name;
  node->text = path.text;
  if (listings != nullptr) {
    listings->attach(record, *node);
  }
  // Only a directory known to be a real one is opened without following.
  node->follow = path.kind != Kind::Dir;
  path.opened = std::move(node);
  return path.opened;
}

NativePath NativeFs::child(const Path& parent, std::string_view name) const {
  if (name.empty()) {
    return parent;
  }
  NativePath result;
  if (!parent.opened && parent.dir && name.find('/') == std::string_view::npos) {
    // No node is made for a parent that has none: the way from the nearest
    // one serves queries and reads.
    result.dir = parent.dir;
    result.name.reserve(parent.name.size() + 1 + name.size());
    result.name.append(parent.name).append("/").append(name);
  } else {
    result.dir = node_for(parent);
    result.name = std::string(name);
  }
  result.text = join(parent.text, name);
  return result;
}

NativePath NativeFs::parent(const Path& path) const {
  NativePath result;
  std::shared_ptr<DirNode> node = parent_node(path);
  result.dir = node->parent;
  result.name = node->name;
  result.text = node->text;
  result.kind = node->follow ? Kind::Unknown : Kind::Dir;
  result.opened = std::move(node);
  return result;
}

std::string_view NativeFs::name(const Path& path) const {
  if (path.dir) {
    return last_name(path);
  }
  std::string_view text = path.text;
  if (text == ".") {
    return {};
  }
  std::size_t slash = text.rfind('/');
  return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

std::string_view NativeFs::suffix(const Path& path) const {
  std::string_view name = this->name(path);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) {
    return {};
  }
  return name.substr(dot);
}

bool NativeFs::has_component(const Path& path, const native::Name& name, const Path* below) const {
  std::string_view rest =
      below != nullptr ? relative(below->text, path.text) : std::string_view(path.text);
  std::string_view wanted = name.text();
  while (!rest.empty()) {
    std::size_t end = rest.find('/');
    if (rest.substr(0, end) == wanted) {
      return true;
    }
    if (end == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(end + 1);
  }
  return false;
}

NativeFs::NameSet NativeFs::name_set(nb::handle names) const {
  NameSet set;
  for (nb::handle name : names) {
    if (PyUnicode_Check(name.ptr())) {
      try {
        set.insert(encode_name(name));
      } catch (nb::python_error&) {
        // A name that cannot be a file name matches no entry.
      }
    }
  }
  return set;
}

void NativeFs::sort(Paths& paths) const {
  // Entries of one listed directory differ only in their names.  Sorted
  // through pointers, not by moving the paths; texts of ASCII bytes alone
  // compare byte by byte (their code points are their bytes).
  bool siblings = std::all_of(paths.begin(), paths.end(), [&](const Path& path) {
    return path.dir && path.dir == paths.front().dir && !composite(path);
  });
  struct Key {
    Path* path;
    std::string_view text;
    bool ascii;
  };
  std::vector<Key> order;
  order.reserve(paths.size());
  for (Path& path : paths) {
    std::string_view text = siblings ? std::string_view(path.name) : std::string_view(path.text);
    bool ascii = std::all_of(text.begin(), text.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    order.push_back({&path, text, ascii});
  }
  std::stable_sort(order.begin(), order.end(), [](const Key& a, const Key& b) {
    if (!a.ascii || !b.ascii) {
      return compare_paths(a.text, b.text) < 0;
    }
    // Component by component: a component that ends first (at a separator
    // or the end) is the smaller, so a separator weighs less than any byte.
    auto [x, y] = std::mismatch(a.text.begin(), a.text.end(), b.text.begin(), b.text.end());
    if (y == b.text.end()) {
      return false;
    }
    if (x == a.text.end()) {
      return true;
    }
    auto weight = [](char c) { return c == '/' ? -1 : static_cast<int>(c); };
    return weight(*x) < weight(*y);
  });
  Paths sorted;
  sorted.reserve(paths.size());
  for (const Key& key : order) {
    sorted.push_back(std::move(*key.path));
  }
  paths = std::move(sorted);
}

nb::object NativeFs::to_path(const Path& path) const { return make_path(path.text); }

nb::str NativeFs::to_str(const Path& path) const { return decode_path(path.text); }

void NativeFs::sort_names(const Listings& listings, std::vector<std::uint32_t>& order) const {
  // Names of one directory are distinct and hold no separator; while every
  // one decodes without escapes, their bytes sort as their code points.
  bool plain = std::all_of(order.begin(), order.end(), [&](std::uint32_t entry) {
    return is_plain_utf8(listings.name(entry));
  });
  if (plain) {
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return listings.name(a) < listings.name(b);
    });
  } else {
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return compare_paths(listings.name(a), listings.name(b)) < 0;
    });
  }
}

nb::list NativeFs::to_paths(const Sorted& sorted) const {
  nb::list result;
  if (!sorted.listings) {
    for (const Path& path : sorted.paths) {
      result.append(make_path(path.text));
    }
    return result;
  }
  std::string text = join(sorted.node->text, "x");
  const std::size_t prefix = text.size() - 1;
  for (std::uint32_t entry : sorted.order) {
    text.resize(prefix);
    text.append(sorted.listings->name(entry));
    result.append(make_path(text));
  }
  return result;
}

namespace {

std::string joined_text(NameParts base) {
  std::string text = ".";
  for (const native::Name* part : base) {
    text = join(text, part->text());
  }
  return text;
}

}  // namespace

nb::str NativeFs::relocated_parent(NameParts base, const Path& root, const Path& path) const {
  std::string_view parent = path.text;
  std::size_t slash = parent.rfind('/');
  parent = slash == std::string_view::npos ? std::string_view(".")
                                           : parent.substr(0, slash == 0 ? 1 : slash);
  return decode_path(join(joined_text(base), relative(root.text, parent)));
}

nb::str NativeFs::joined(NameParts base) const { return decode_path(joined_text(base)); }

namespace {

// Notes, in `present`, which candidates are among the lower-cased segments
// of `text` (str.lower's lower-casing: in place for ASCII segments, by the
// interpreter otherwise).
void note_lowered_segments(std::string_view text, NameParts candidates,
                           std::vector<char>& present) {
  std::size_t longest = 0;
  for (const native::Name* candidate : candidates) {
    longest = std::max(longest, std::string_view(candidate->text()).size());
  }
  auto note = [&](std::string_view lowered) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      present[i] = present[i] != 0 || lowered == candidates[i]->text() ? 1 : 0;
    }
  };
  std::string lowered;
  while (true) {
    std::size_t end = text.find('/');
    std::string_view segment = text.substr(0, end);
    bool ascii = std::all_of(segment.begin(), segment.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
      note(encode_name(native::call_method(decode_path(segment), names::lower)));
    } else if (segment.size() <= longest) {
      lowered.assign(segment);
      for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      note(lowered);
    }
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
}

}  // namespace

std::size_t NativeFs::first_lowered_part(const Path& path, NameParts candidates) {
  // Only the set of segments counts, not their order: a path listed in a
  // directory has that directory's segments and its own name, and the
  // directory's are noted once for all its entries.
  std::vector<char> present(candidates.size(), 0);
  if (path.dir && path.text.size() > path.name.size() &&
      std::string_view(path.text).substr(0, path.dir->text.size()) == path.dir->text) {
    if (lowered_dir_ != path.dir.get() || lowered_candidates_ != candidates.data() ||
        lowered_present_.size() != candidates.size()) {
      lowered_present_.assign(candidates.size(), 0);
      note_lowered_segments(path.dir->text, candidates, lowered_present_);
      lowered_dir_ = path.dir.get();
      lowered_candidates_ = candidates.data();
      lowered_anchor_ = path.dir;
    }
    present = lowered_present_;
    note_lowered_segments(path.name, candidates, present);
  } else {
    note_lowered_segments(path.text, candidates, present);
  }
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (present[i] != 0) {
      return i;
    }
  }
  return candidates.size();
}

nb::object NativeFs::name_object(const Path& path) const { return decode_path(name(path)); }

void NativeFs::append_names(const Sorted& sorted, nb::list& names) const {
  if (!sorted.listings) {
    for (const Path& path : sorted.paths) {
      names.append(name_object(path));
    }
    return;
  }
  for (std::uint32_t entry : sorted.order) {
    names.append(decode_path(sorted.listings->name(entry)));
  }
}

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
