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

int NativeFs::list(const Path& path, std::shared_ptr<DirNode>& node, std::vector<DirEntry>& out) {
  node = node_for(path);
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

NativePath NativeFs::entry(const std::shared_ptr<DirNode>& node, DirEntry&& entry) const {
  NativePath result;
  result.dir = node;
  result.text = join(node->text, entry.name);
  result.name = std::move(entry.name);
  result.kind = entry.kind;
  return result;
}

NativeFs::Paths NativeFs::listing(const Path& path) {
  audit_scandir(path.text);
  if (too_long(path.text)) {
    raise_os_error(ENAMETOOLONG, path.text);
  }
  std::shared_ptr<DirNode> node;
  std::vector<DirEntry> entries;
  int error = unlocked([&] { return list(path, node, entries); });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
  Paths result;
  result.reserve(entries.size());
  for (DirEntry& item : entries) {
    result.push_back(entry(node, std::move(item)));
  }
  return result;
}

NativeFs::Sorted NativeFs::sorted_subdirectories(const Path& root) {
  Paths dirs;
  for (Path& entry : listing(root)) {
    checkpoint();
    if (is_dir(entry)) {
      dirs.push_back(std::move(entry));
    }
  }
  sort(dirs);
  return dirs;
}

NativeFs::Paths NativeFs::rglob(const Path& path, Glob glob) {
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
  audit_rglob(path.text, glob.pattern());
  const bool dot = path.text == ".";
  std::string root_text = path.text;
  if (root_text.empty() || root_text.back() != '/') {
    root_text.push_back('/');
  }
  struct Pending {
    Path dir;
    std::string text;  // as the globber hands it to os.scandir
    Paths entries;
    bool listed = false;
    std::size_t slot = 0;  // a literal name: where its match goes
  };
  Paths found;
  std::vector<std::optional<Path>> slots;
  auto list_as_globber = [&](Pending& pending) {
    audit_scandir(pending.text);
    pending.entries.clear();
    pending.listed = false;
    if (too_long(pending.text)) {
      return false;
    }
    std::shared_ptr<DirNode> node;
    std::vector<DirEntry> entries;
    pending.listed = unlocked([&] { return list(pending.dir, node, entries); }) == 0;
    for (DirEntry& item : entries) {
      pending.entries.push_back(entry(node, std::move(item)));
    }
    return pending.listed;
  };
  auto find_literal = [&](Pending& pending) {
    const std::string_view literal = glob.literal->text();
    bool from_listing = pending.listed && trusted_dir(*pending.dir.opened);
    if (from_listing) {
      for (const Path& item : pending.entries) {
        if (item.name == literal) {
          // Asked again when used: an earlier deletion may have taken it.
          slots[pending.slot] = item;
          slots[pending.slot]->kind = Kind::Unknown;
        }
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
    Path candidate = child(pending.dir, literal);
    struct stat status{};
    std::string rest;
    if (unlocked([&] {
          int fd = query_fd(candidate, rest);
          return stat_at(fd, rest.c_str(), false, status);
        }) == 0) {
      candidate.kind = kind_of_mode(status.st_mode);
      slots[pending.slot] = std::move(candidate);
    }
  };
  // Any: a directory's entries are found when it is; only its real
  // subdirectories are kept for its turn on the stack.
  auto discovered = [&](Pending& pending) {
    if (glob.literal != nullptr) {
      pending.slot = slots.size();
      slots.emplace_back();
    } else if (list_as_globber(pending)) {
      Paths subdirs;
      for (Path& item : pending.entries) {
        if (item.kind == Kind::Dir || item.kind == Kind::Unknown) {
          subdirs.push_back(item);
        }
        found.push_back(std::move(item));
      }
      pending.entries = std::move(subdirs);
    }
  };

  std::vector<Pending> stack;
  Path root = path;
  root.kind = Kind::Unknown;  // listed through a trailing slash: a link to it is followed
  stack.push_back({root, root_text, {}, false, 0});
  discovered(stack.back());
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
    for (Path& item : current.entries) {
      bool real_dir = item.kind == Kind::Dir;
      std::string text = dot ? "./" + item.text : item.text;
      if (item.kind == Kind::Unknown && !too_long(text)) {
        struct stat status{};
        std::string rest;
        real_dir = unlocked([&] {
                     int fd = query_fd(item, rest);
                     return stat_at(fd, rest.c_str(), false, status);
                   }) == 0 &&
                   S_ISDIR(status.st_mode);
        if (real_dir) {
          item.kind = Kind::Dir;
        }
      }
      if (real_dir) {
        stack.push_back({item, std::move(text), {}, false, 0});
        discovered(stack.back());
      }
    }
  }
  for (auto& slot : slots) {
    if (slot) {
      found.push_back(std::move(*slot));
    }
  }
  return found;
}

void NativeFs::unlink(const Path& path) {
  audit_remove(path.text);
  int error = unlocked([&] {
    int fd = dir_fd(path, nullptr);
    return fd < 0 && fd != AT_FDCWD ? -fd : unlink_at(fd, path.name.c_str());
  });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
}

void NativeFs::rmdir(const Path& path) {
  audit_rmdir(path.text);
  std::shared_ptr<DirNode> own = path.opened;
  int error = unlocked([&] {
    int fd = dir_fd(path, own);
    if (own) {
      close_node(*own);
    }
    return fd < 0 && fd != AT_FDCWD ? -fd : rmdir_at(fd, path.name.c_str());
  });
  if (error != 0) {
    raise_os_error(error, path.text);
  }
}

nb::object NativeFs::read_text(const Path& path, std::size_t limit) {
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
