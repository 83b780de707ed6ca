#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>

#include "fs/pathlib.hpp"
#include "fs/session.hpp"
#include "native/errors.hpp"

namespace tarvek::fs {
namespace {

// What pathlib's status queries treat as "not there" instead of raising.
bool ignored(int error) {
  return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}

const uid_t kEffectiveUser = ::geteuid();

// Whether this process may search every directory whatever its mode: root
// with the capability to bypass the checks (a root without it, as in some
// containers, is held to the mode like anyone).
bool searches_everything() {
  static const bool answer = [] {
    if (kEffectiveUser != 0) {
      return false;
    }
#if defined(__linux__)
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) {
      return false;
    }
    char line[256];
    unsigned long long effective = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::sscanf(line, "CapEff: %llx", &effective) == 1) {
        break;
      }
    }
    std::fclose(status);
    constexpr unsigned long long kDacOverride = 1ULL << 1;
    constexpr unsigned long long kDacReadSearch = 1ULL << 2;
    return (effective & (kDacOverride | kDacReadSearch)) != 0;
#else
    return true;
#endif
  }();
  return answer;
}

bool searchable(const struct stat& status) {
  if (status.st_uid == kEffectiveUser) {
    return (status.st_mode & S_IXUSR) != 0;
  }
  return (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == (S_IXUSR | S_IXGRP | S_IXOTH);
}

}  // namespace

NativePath NativeFs::argument(nb::handle path) const {
  NativePath result;
  result.text = path_text(path);
  result.name = result.text;
  return result;
}

std::shared_ptr<DirNode> NativeFs::node_for(const Path& path) const {
  if (!path.opened) {
    auto node = std::make_shared<DirNode>();
    node->parent = path.dir;
    node->name = path.name;
    node->text = path.text;
    // Only a directory known to be a real one is opened without following.
    node->follow = path.kind != Kind::Dir;
    path.opened = std::move(node);
  }
  return path.opened;
}

NativePath NativeFs::child(const Path& parent, std::string_view name) const {
  if (name.empty()) {
    return parent;
  }
  NativePath result;
  result.dir = node_for(parent);
  result.name = std::string(name);
  result.text = join(parent.text, name);
  return result;
}

NativePath NativeFs::parent(const Path& path) const {
  NativePath result;
  const DirNode& node = *path.dir;
  result.dir = node.parent;
  result.name = node.name;
  result.text = node.text;
  result.opened = path.dir;
  result.kind = node.follow ? Kind::Unknown : Kind::Dir;
  return result;
}

std::string_view NativeFs::name(const Path& path) const {
  if (path.dir) {
    return path.name;
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
  std::string_view rest = below != nullptr ? relative(below->text, path.text) : std::string_view(path.text);
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
    return path.dir && path.dir == paths.front().dir;
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

nb::list NativeFs::to_paths(const Paths& paths) const {
  nb::list result;
  for (const Path& path : paths) {
    result.append(make_path(path.text));
  }
  return result;
}

nb::str NativeFs::destination(const Path& root, const Path& file) const {
  std::string_view parent = file.text;
  std::size_t slash = parent.rfind('/');
  parent = slash == std::string_view::npos ? std::string_view(".") : parent.substr(0, slash == 0 ? 1 : slash);
  return decode_path(join("tarvek/skills/templates", relative(root.text, parent)));
}

nb::str NativeFs::destination_root() const { return decode_path("tarvek/skills/templates"); }

void NativeFs::checkpoint() {
  if (++steps_ % 64 == 0) {
    check_signals();
  }
}

// ---------------------------------------------------------------------------
// Descriptors.

void NativeFs::remember(const std::shared_ptr<DirNode>& node) {
  node->last_use = ++clock_;
  open_.push_back(node);
  if (open_.size() <= kMaxOpen) {
    return;
  }
  // Close the least recently used descriptor; forget nodes that are gone.
  std::erase_if(open_, [](const std::weak_ptr<DirNode>& weak) {
    auto locked = weak.lock();
    return !locked || !locked->fd.valid();
  });
  if (open_.size() <= kMaxOpen) {
    return;
  }
  auto oldest = std::min_element(open_.begin(), open_.end(), [](const auto& a, const auto& b) {
    return a.lock()->last_use < b.lock()->last_use;
  });
  auto evicted = oldest->lock();
  open_.erase(oldest);
  // Identified before it is closed, so that it can be reopened safely.
  if (identify(*evicted)) {
    evicted->fd.reset();
  }
}

int NativeFs::open_node(const std::shared_ptr<DirNode>& node, int parent_fd, const char* name,
                        bool follow) {
  Fd fd;
  if (int error = open_dir(parent_fd, name, follow, fd)) {
    return -error;
  }
  if (node->identified) {
    struct stat status {};
    if (int error = stat_fd(fd.get(), status)) {
      return -error;
    }
    if (status.st_dev != node->dev || status.st_ino != node->ino) {
      return -ESTALE;  // another directory now stands where this one was
    }
  }
  node->fd = std::move(fd);
  remember(node);
  return node->fd.get();
}

int NativeFs::node_fd(const std::shared_ptr<DirNode>& node, const std::shared_ptr<DirNode>& hint) {
  if (node->fd.valid()) {
    node->last_use = ++clock_;
    return node->fd.get();
  }
  if (hint && hint->parent == node && hint->fd.valid() && node->identified) {
    return open_node(node, hint->fd.get(), "..", false);
  }
  // Open the closed ancestors downwards from the nearest open one.
  std::vector<std::shared_ptr<DirNode>> chain{node};
  while (chain.back()->parent && !chain.back()->parent->fd.valid()) {
    chain.push_back(chain.back()->parent);
  }
  int fd = -1;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const std::shared_ptr<DirNode>& current = *it;
    if (!current->parent) {
      fd = open_node(current, AT_FDCWD, current->text.c_str(), current->follow);
    } else {
      int parent_fd = current->parent->fd.valid() ? current->parent->fd.get() : fd;
      fd = open_node(current, parent_fd, current->name.c_str(), current->follow);
    }
    if (fd < 0) {
      return fd;
    }
  }
  return fd;
}

int NativeFs::query_fd(const Path& path, std::string& rest) {
  rest = path.name;
  const DirNode* node = path.dir.get();
  while (node != nullptr && !node->fd.valid()) {
    if (!node->parent) {
      rest = join(node->text, rest);
      break;
    }
    rest = join(node->name, rest);
    node = node->parent.get();
  }
  if (rest.size() >= static_cast<std::size_t>(PATH_MAX) && path.dir) {
    // Too long a way from the nearest open directory: open the path's own
    // directory instead, one level at a time, as listing it would.
    int fd = node_fd(path.dir, nullptr);
    if (fd >= 0) {
      rest = path.name;
      return fd;
    }
  }
  if (node == nullptr || !node->fd.valid()) {
    return AT_FDCWD;
  }
  return node->fd.get();
}

bool NativeFs::identify(DirNode& node) {
  if (node.identified) {
    return true;
  }
  struct stat status {};
  if (stat_fd(node.fd.get(), status) != 0) {
    return false;
  }
  node.dev = status.st_dev;
  node.ino = status.st_ino;
  node.identified = true;
  node.searchable = searchable(status) ? 1 : 0;
  return true;
}

int NativeFs::dir_fd(const Path& path, const std::shared_ptr<DirNode>& hint) {
  return path.dir ? node_fd(path.dir, hint) : AT_FDCWD;
}

bool NativeFs::trusted(const Path& path) {
  return path.dir && path.kind != Kind::Unknown && trusted_dir(*path.dir);
}

bool NativeFs::trusted_dir(DirNode& dir) {
  if (dir.searchable < 0) {
    // A privileged process searches every directory; others ask the mode.
    if (searches_everything()) {
      dir.searchable = 1;
    } else if (!dir.fd.valid() || !identify(dir)) {
      return false;
    }
  }
  return dir.searchable == 1;
}

// ---------------------------------------------------------------------------
// Status queries.

bool NativeFs::too_long(std::string_view text) const {
  return limited_ && text.size() >= static_cast<std::size_t>(PATH_MAX);
}

bool NativeFs::query(const Path& path, bool follow, struct stat& out) {
  if (too_long(path.text)) {
    raise_os_error(ENAMETOOLONG, path.text);
  }
  std::string rest;
  int error = unlocked([&] {
    int fd = query_fd(path, rest);
    return stat_at(fd, rest.c_str(), follow, out);
  });
  if (error == 0) {
    if (follow) {
      path.stated = true;
      path.mode = out.st_mode;
      path.size = static_cast<std::uint64_t>(out.st_size);
    }
    return true;
  }
  if (ignored(error)) {
    return false;
  }
  raise_os_error(error, path.text);
}

std::pair<unsigned, std::uint64_t> NativeFs::stat_mode_size(const Path& path) {
  if (path.stated) {
    return {path.mode, path.size};
  }
  if (too_long(path.text)) {
    raise_os_error(ENAMETOOLONG, path.text);
  }
  struct stat status {};
  std::string rest;
  if (int error = unlocked([&] {
        int fd = query_fd(path, rest);
        return stat_at(fd, rest.c_str(), true, status);
      })) {
    raise_os_error(error, path.text);
  }
  return {static_cast<unsigned>(status.st_mode), static_cast<std::uint64_t>(status.st_size)};
}

nb::object NativeFs::name_object(const Path& path) const { return decode_path(name(path)); }

bool NativeFs::exists(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return true;
  }
  struct stat status {};
  return query(path, true, status);
}

bool NativeFs::is_dir(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return path.kind == Kind::Dir;
  }
  struct stat status {};
  return query(path, true, status) && S_ISDIR(status.st_mode);
}

bool NativeFs::is_file(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return path.kind == Kind::File;
  }
  struct stat status {};
  return query(path, true, status) && S_ISREG(status.st_mode);
}

bool NativeFs::is_symlink(const Path& path) {
  if (trusted(path) && !too_long(path.text)) {
    return path.kind == Kind::Link;
  }
  struct stat status {};
  bool found = query(path, false, status);
  // Remembered, so that listing it later opens exactly this directory.
  path.kind = found ? kind_of_mode(status.st_mode) : Kind::Unknown;
  return found && S_ISLNK(status.st_mode);
}

// ---------------------------------------------------------------------------
// Listing and deleting.

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
  // entries of the first listing serve both.  rglob("__pycache__") lists a
  // directory once, on its turn, and yields the "__pycache__" of each
  // directory in the order the directories were found (looked up in the
  // directory's own listing when it is read, or with an lstat of it when
  // the listing cannot stand for one).
  audit_rglob(path.text, glob == Glob::Any ? "*" : "__pycache__");
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
    std::size_t slot = 0;  // Pycache: where its match goes
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
  auto find_pycache = [&](Pending& pending) {
    bool from_listing = pending.listed && trusted_dir(*pending.dir.opened);
    if (from_listing) {
      for (const Path& item : pending.entries) {
        if (item.name == "__pycache__") {
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
    probe_text += "__pycache__";
    if (too_long(probe_text)) {
      return;
    }
    Path candidate = child(pending.dir, std::string_view("__pycache__"));
    struct stat status {};
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
    if (glob == Glob::Pycache) {
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
    if (glob == Glob::Pycache) {
      list_as_globber(current);
      find_pycache(current);
    } else {
      // The second listing of the directory, for its subdirectories.
      audit_scandir(current.text);
    }
    for (Path& item : current.entries) {
      bool real_dir = item.kind == Kind::Dir;
      std::string text = dot ? "./" + item.text : item.text;
      if (item.kind == Kind::Unknown && !too_long(text)) {
        struct stat status {};
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
      own->fd.reset();
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
