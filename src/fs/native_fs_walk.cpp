// The native backend's listings (iterdir, pathlib's recursive glob in its
// order, with its audit events), deleting (unlink, rmdir) and reading a
// file as text.
#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "fs/interpreter_duties.hpp"
#include "fs/pathlib.hpp"
#include "native/errors.hpp"

namespace tarvek::fs {
void NativeFs::checkpoint() {
  if (++steps_ % 64 == 0) {
    check_signals();
  }
}

int NativeFs::list(const Path& path, std::shared_ptr<DirNode>& node, DirEntries& out) {
  node = node_for(path);
  return list_node(node, out);
}

int NativeFs::list_node(const std::shared_ptr<DirNode>& node, DirEntries& out) {
  bool reused = node->fd.valid();
  int fd = node_fd(node, nullptr);
  if (fd < 0) {
    return -fd;
  }
  if (reused && ::lseek(fd, 0, SEEK_SET) < 0) {
    return errno;
  }
  return read_dir(fd, out);
}

std::pair<std::shared_ptr<Listings>, std::shared_ptr<DirNode>> NativeFs::listing(const Path& path) {
  audit_scandir(path.text);
  if (too_long(path.text)) {
    raise_os_error(ENAMETOOLONG, path.text);
  }
  auto listings = std::make_shared<Listings>(anchor(path));
  std::shared_ptr<DirNode> node;
  int error = unlocked([&] { return list(path, node, listings->listed); });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
  listings->grow();
  Listings::Record& record = listings->records[0];
  record.count = static_cast<std::uint32_t>(listings->listed.entries.size());
  record.listed = true;
  return {std::move(listings), std::move(node)};
}

NativeFs::Cursor NativeFs::iterdir(const Path& path) {
  auto [listings, node] = listing(path);
  std::vector<std::uint32_t> order(listings->listed.entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  return Cursor(std::move(listings), std::move(node), std::move(order));
}

NativeFs::Sorted NativeFs::sorted_subdirectories(const Path& root) {
  auto [listings, node] = listing(root);
  Sorted sorted;
  const auto count = static_cast<std::uint32_t>(listings->listed.entries.size());
  // A listed kind answers is_dir() where a path made of it would: a
  // searchable directory, no link, a text the kernel takes.
  const bool trusted_kinds = trusted_dir(*node);
  const std::size_t prefix = join(node->text, "x").size() - 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    checkpoint();
    Kind kind = listings->kind(i);
    bool dir;
    if (trusted_kinds && kind != Kind::Unknown && kind != Kind::Link &&
        !too_long_size(prefix + listings->listed.entries[i].size)) {
      dir = kind == Kind::Dir;
    } else {
      Path entry;
      entry.dir = node;
      entry.name = std::string(listings->name(i));
      entry.text = join(node->text, entry.name);
      entry.kind = kind;
      dir = is_dir(entry);
    }
    if (dir) {
      sorted.order.push_back(i);
    }
  }
  sort_names(*listings, sorted.order);
  sorted.listings = std::move(listings);
  sorted.node = std::move(node);
  return sorted;
}

NativeFs::Cursor NativeFs::rglob(const Path& path, Glob glob) {
  // The order of pathlib's recursive glob (`glob._StringGlobber`): the
  // root is searched through its text with a trailing slash, directories
  // are searched from a stack, and symbolic links to directories are not
  // entered.  Directories that cannot be read are passed over.
  //
  // rglob("*") lists each directory twice: once when it is found, for its
  // entries (all of them are matches), and once when its turn on the stack
  // comes, for its subdirectories; the audit events say so, and the
  // entries of the first listing serve both.  rglob(name) of a literal name
  // lists a directory once, on its turn, and yields the entry `name` of
  // each directory in the order the directories were found (looked up in
  // the directory's own listing when it is read, or with an lstat of it
  // when the listing cannot stand for one).
  //
  // A directory the last walk of this tree listed, and that the call has
  // not changed since but for deletions it noted, is not read again: its
  // listing, less what was deleted, answers (with the same audit events).
  // While an audit hook listens, every directory is read again: a hook
  // may change the tree at the events of this walk.
  const bool heard = audit_rglob(path.text, glob.pattern());
  const bool dot = path.text == ".";
  std::string root_text = path.text;
  if (root_text.empty() || root_text.back() != '/') {
    root_text.push_back('/');
  }
  std::shared_ptr<Listings> listings;
  if (!heard && last_walk_ && last_walk_->root.text == path.text &&
      last_walk_->root.parent == path.dir && !last_walk_->records[0].changed) {
    listings = std::move(last_walk_);
  } else {
    listings = std::make_shared<Listings>(anchor(path));
  }
  last_walk_.reset();
  Listings& tree = *listings;

  struct Pending {
    std::uint32_t record;
    std::string text;  // as the globber hands it to os.scandir
    std::string path;  // as the path of the directory reads
    // The node of the directory it was found in, while that has one (so
    // that listing it opens it from there), and its own once it is read.
    std::shared_ptr<DirNode> parent;
    std::shared_ptr<DirNode> node;
    bool listed = false;
    std::size_t slot = 0;  // a literal name: where its match goes
  };
  std::vector<Cursor::Run> found;
  std::vector<Cursor::Run> slots;  // a literal name: {record, entry, entry + 1}, or empty
  auto add_runs = [&](std::uint32_t record) {
    const Listings::Record& listed = tree.records[record];
    std::uint32_t begin = listed.first;
    const std::uint32_t end = listed.first + listed.count;
    for (std::uint32_t i = begin; i < end; ++i) {
      if (tree.gone[i]) {
        if (i > begin) {
          found.push_back({record, begin, i});
        }
        begin = i + 1;
      }
    }
    if (end > begin) {
      found.push_back({record, begin, end});
    }
  };
  auto list_as_globber = [&](Pending& pending) {
    audit_scandir(pending.text);
    pending.listed = false;
    if (too_long(pending.text)) {
      return false;
    }
    if (tree.records[pending.record].listed && !tree.records[pending.record].changed) {
      pending.listed = true;
      return true;
    }
    pending.node = tree.node(pending.record);
    const auto first = static_cast<std::uint32_t>(tree.listed.entries.size());
    if (unlocked([&] { return list_node(pending.node, tree.listed); }) != 0) {
      return false;
    }
    tree.grow();
    Listings::Record& record = tree.records[pending.record];
    record.first = first;
    record.count = static_cast<std::uint32_t>(tree.listed.entries.size()) - first;
    record.listed = true;
    record.changed = false;
    pending.listed = true;
    return true;
  };
  auto find_literal = [&](Pending& pending) {
    const std::string_view literal = glob.literal->text();
    const Listings::Record record = tree.records[pending.record];
    auto listed_entry = [&]() -> std::uint32_t {
      for (std::uint32_t i = record.first; i < record.first + record.count; ++i) {
        if (!tree.gone[i] && tree.name(i) == literal) {
          return i;
        }
      }
      return Listings::kNone;
    };
    std::shared_ptr<DirNode> node = pending.node ? pending.node : tree.node(pending.record);
    if (pending.listed && trusted_dir(*node)) {
      if (std::uint32_t match = listed_entry(); match != Listings::kNone) {
        slots[pending.slot] = {pending.record, match, match + 1};
      }
      return;
    }
    std::string probe_text = pending.text;
    if (probe_text.back() != '/') {
      probe_text.push_back('/');
    }
    probe_text += literal;
    if (too_long(probe_text)) {
      return;
    }
    Path candidate;
    candidate.dir = node;
    candidate.name = std::string(literal);
    candidate.text = join(node->text, literal);
    struct stat status{};
    std::string rest;
    if (unlocked([&] {
          int fd = query_fd(candidate, rest);
          return stat_at(fd, rest.c_str(), false, status);
        }) == 0) {
      // The listing's own entry when there is one, so that deleting it is
      // noted; else an entry of no listing.
      std::uint32_t match = pending.listed ? listed_entry() : Listings::kNone;
      if (match == Listings::kNone) {
        match = static_cast<std::uint32_t>(tree.listed.entries.size());
        tree.listed.add(literal, kind_of_mode(status.st_mode));
        tree.grow();
      }
      slots[pending.slot] = {pending.record, match, match + 1};
    }
  };
  // Any: a directory's entries are found when it is.
  auto discovered = [&](Pending& pending) {
    if (glob.literal != nullptr) {
      pending.slot = slots.size();
      slots.push_back({pending.record, 0, 0});
    } else if (list_as_globber(pending)) {
      add_runs(pending.record);
    }
  };

  std::vector<Pending> stack;
  stack.push_back({0, root_text, path.text, nullptr, nullptr, false, 0});
  discovered(stack.back());
  std::string text;
  while (!stack.empty()) {
    checkpoint();
    Pending current = std::move(stack.back());
    stack.pop_back();
    if (glob.literal != nullptr) {
      list_as_globber(current);
      find_literal(current);
    } else {
      // The second listing of the directory, for its subdirectories.
      audit_scandir(current.text);
    }
    if (!current.listed) {
      continue;
    }
    const Listings::Record record = tree.records[current.record];
    // Its node, while it has one, keeps the way open for its subdirectories.
    std::shared_ptr<DirNode> holder = current.node;
    if (!holder && record.node != nullptr) {
      holder = record.node->shared_from_this();
    }
    for (std::uint32_t i = record.first; i < record.first + record.count; ++i) {
      Kind kind = tree.kind(i);
      if ((kind != Kind::Dir && kind != Kind::Unknown) || tree.gone[i]) {
        continue;
      }
      std::string entry_path = join(current.path, tree.name(i));
      text = dot ? "./" + entry_path : entry_path;
      if (kind == Kind::Unknown && !too_long(text)) {
        if (!holder) {
          holder = tree.node(current.record);
        }
        Path item;
        item.dir = holder;
        item.name = std::string(tree.name(i));
        item.text = entry_path;
        struct stat status{};
        std::string rest;
        if (unlocked([&] {
              int fd = query_fd(item, rest);
              return stat_at(fd, rest.c_str(), false, status);
            }) == 0) {
          // What the lstat found stands for the listing's kind from now on.
          kind = kind_of_mode(status.st_mode);
          tree.listed.entries[i].kind = kind;
        }
      }
      if (kind == Kind::Dir) {
        stack.push_back({tree.record_of(current.record, i), std::move(text), std::move(entry_path),
                         holder, nullptr, false, 0});
        discovered(stack.back());
      }
    }
  }
  if (glob.literal != nullptr) {
    std::erase_if(slots, [](const Cursor::Run& run) { return run.begin == run.end; });
    found = std::move(slots);
  }
  // Complete: the next walk of this tree may take its listings over.
  last_walk_ = listings;
  Cursor cursor(std::move(listings), std::move(found));
  if (glob.literal != nullptr) {
    // Asked again when used: an earlier deletion may have taken a match.
    cursor.forget_kinds();
  }
  return cursor;
}

void NativeFs::unlink(const Path& path) {
  audit_remove(path.text);
  std::shared_ptr<DirNode> parent = parent_node(path);
  std::string name(path.dir ? this->name(path) : std::string_view(path.name));
  int error = unlocked([&] {
    int fd = parent ? node_fd(parent, nullptr) : AT_FDCWD;
    return fd < 0 && fd != AT_FDCWD ? -fd : unlink_at(fd, name.c_str());
  });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
  note_deleted(path);
}

void NativeFs::rmdir(const Path& path) {
  audit_rmdir(path.text);
  std::shared_ptr<DirNode> own = path.opened;
  std::shared_ptr<DirNode> parent = own && own->parent ? own->parent : parent_node(path);
  std::string name(path.dir ? this->name(path) : std::string_view(path.name));
  int error = unlocked([&] {
    int fd = parent ? node_fd(parent, own) : AT_FDCWD;
    if (own) {
      close_node(*own);
    }
    return fd < 0 && fd != AT_FDCWD ? -fd : rmdir_at(fd, name.c_str());
  });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
  note_deleted(path);
}

std::string NativeFs::read_bytes(const Path& path, std::size_t limit) {
  audit_open(path.text);
  if (too_long(path.text)) {
    raise_os_error(ENAMETOOLONG, path.text);
  }
  std::string rest;
  std::string bytes;
  std::size_t expected =
      path.stated && mode_is_regular(path.mode) ? static_cast<std::size_t>(path.size) : 0;
  if (int error = unlocked([&] {
        int fd = query_fd(path, rest);
        return read_file(fd, rest.c_str(), limit, expected, bytes);
      })) {
    raise_os_error(error, path.text);
  }
  return bytes;
}

nb::object NativeFs::decode_text(std::string_view bytes) {
  // Decoded, then with universal newlines, as a text-mode read gives it.
  nb::object text = native::check(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  if (bytes.find('\r') != std::string::npos) {
    nb::str cr("\r");
    nb::str lf("\n");
    nb::str crlf("\r\n");
    text = native::check(PyUnicode_Replace(text.ptr(), crlf.ptr(), lf.ptr(), -1));
    text = native::check(PyUnicode_Replace(text.ptr(), cr.ptr(), lf.ptr(), -1));
  }
  return text;
}

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
