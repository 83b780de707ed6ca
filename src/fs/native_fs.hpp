// The native file-system backend: the path operations the modules' steps
// are made of, done with descriptors relative to the directory an entry was
// listed from.
//
// A path found by listing a directory keeps that directory's node, so every
// later step on it (a status query, unlinking it, listing it) is made
// relative to the open directory and never resolves the path text again:
// a directory of the tree swapped for a symbolic link during the walk is
// never followed.  A directory known to be a real directory is opened with
// O_NOFOLLOW; only an argument or an entry that is itself a link is
// followed, as pathlib follows it.  The kind an entry had in its listing
// answers the status queries without a system call while its directory is
// searchable; links and unknown kinds are asked for with fstatat.
//
// Directory descriptors are cached (at most kMaxOpen at a time); a node
// whose descriptor was closed is opened again from its parent's, or from a
// child's "..", and must then be the same directory (device and inode) as
// before.  So a walk is not limited in depth by descriptors or by PATH_MAX.
//
// Every primitive runs with the interpreter's lock held when it is called,
// raises the audit event of the os call it stands for, releases the lock
// around its system calls and raises OSError as the os module would.
#pragma once

#include "fs/common.hpp"

#if TARVEK_NATIVE_WALKER
#include <sys/types.h>
#endif


#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "fs/common.hpp"
#include "fs/pathlib.hpp"
#include "fs/sys.hpp"
#include "native/python.hpp"

#if TARVEK_NATIVE_WALKER

namespace tarvek::fs {

namespace nb = nanobind;

struct DirNode {
  std::shared_ptr<DirNode> parent;  // null: opened by `text` from the process
  std::string name;                 // the entry name in `parent`
  std::string text;                 // the full path text
  bool follow = false;              // whether opening it follows a symbolic link
  Fd fd;
  dev_t dev = 0;
  ino_t ino = 0;
  bool identified = false;          // dev and ino are those of the first open
  int searchable = -1;              // listing kinds may stand in for fstatat (-1: not yet known)
  std::uint64_t last_use = 0;
};

struct NativePath {
  std::shared_ptr<DirNode> dir;  // the directory it was found in; null for an argument
  std::string name;              // the entry name (the whole text when `dir` is null)
  std::string text;              // the path text, as str() of the Path gives it
  mutable Kind kind = Kind::Unknown;  // not following links: from the listing or a query
  mutable std::shared_ptr<DirNode> opened;  // this directory's own node, once listed
  // The last stat() (following links) made of it, reused by the next step.
  mutable bool stated = false;
  mutable unsigned mode = 0;
  mutable std::uint64_t size = 0;
};

class NativeFs {
 public:
  using Path = NativePath;
  using Paths = std::vector<NativePath>;
  using Sorted = Paths;
  using NameSet = std::unordered_set<std::string>;

  // The paths of a listing, one at a time.
  class Cursor {
   public:
    explicit Cursor(Paths paths) : paths_(std::move(paths)) {}
    bool next(Path& out) {
      if (next_ == paths_.size()) {
        return false;
      }
      out = std::move(paths_[next_++]);
      return true;
    }

   private:
    Paths paths_;
    std::size_t next_ = 0;
  };

  // `reach`: whether the call only reads, and so meets the limit the kernel
  // puts on a path text (PATH_MAX) where pathlib hands it the whole text,
  // or deletes, and so has no depth limit at all.
  explicit NativeFs(Reach reach = Reach::Reading) : limited_(reach == Reach::Reading) {}

  // A path argument (an exact PosixPath).
  Path argument(nb::handle path) const;
  // `parent / name` for a plain file name.
  Path child(const Path& parent, std::string_view name) const;
  Path child(const Path& parent, const native::Name& name) const {
    return child(parent, std::string_view(name.text()));
  }
  Path child(const Path& parent, nb::handle name) const {
    return child(parent, std::string_view(encode_name(name)));
  }
  // Path.parent of a path made by `child`.
  Path parent(const Path& path) const;

  bool exists(const Path& path);
  bool is_dir(const Path& path);
  bool is_file(const Path& path);
  bool is_symlink(const Path& path);
  Cursor iterdir(const Path& path) { return Cursor(listing(path)); }
  // path.rglob(pattern), with pathlib's audit events, in pathlib's order.
  Paths rglob(const Path& path, Glob glob);
  Cursor rglob_lazy(const Path& path, Glob glob) { return Cursor(rglob(path, glob)); }
  // sorted(p for p in root.iterdir() if p.is_dir())
  Sorted sorted_subdirectories(const Path& root);
  // sorted(p for p in items if keep(p))
  template <class Keep>
  Sorted sorted_where(Cursor items, Keep&& keep) {
    Paths kept;
    Path item;
    while (items.next(item)) {
      checkpoint();
      if (keep(item)) {
        kept.push_back(std::move(item));
      }
    }
    sort(kept);
    return kept;
  }
  Cursor each(Sorted sorted) const { return Cursor(std::move(sorted)); }
  void unlink(const Path& path);
  void rmdir(const Path& path);
  // stat() following links: the mode and size, or OSError as os.stat raises it.
  std::pair<unsigned, std::uint64_t> stat_mode_size(const Path& path);
  // The file read as text as `read_text(encoding="utf-8")` reads it, and at
  // most `limit` bytes of it (OSError EFBIG beyond).
  nb::object read_text(const Path& path, std::size_t limit);

  // Path.name: the final component ("" for "." and the root).
  std::string_view name(const Path& path) const;
  nb::object name_object(const Path& path) const;
  std::string_view suffix(const Path& path) const;
  bool same(std::string_view value, const native::Name& name) const { return value == name.text(); }
  // Whether a component of `path` (below `root` when `below` is given) is `name`.
  bool has_component(const Path& path, const native::Name& name, const Path* below) const;

  NameSet name_set(nb::handle names) const;
  bool contains(const NameSet& set, const Path& path) const { return set.count(path.name) != 0; }

  // In the interpreter's path order.
  void sort(Paths& paths) const;
  nb::object to_path(const Path& path) const;
  // f"{path}"
  nb::str format(const Path& path) const { return to_str(path); }
  nb::str to_str(const Path& path) const;
  nb::list to_paths(const Paths& paths) const;
  // Where collected files go: str(Path("tarvek", "skills", "templates") /
  // file.parent.relative_to(root)), and that base alone.
  nb::str destination(const Path& root, const Path& file) const;
  nb::str destination_root() const;

  const std::string& text_of(const Path& path) const { return path.text; }

  // Called once per step of a long loop: notices Ctrl-C.
  void checkpoint();

  // The kinds of recursion the steps ask for: the native backend always
  // continues inline, since it only runs while the module's own functions
  // are bound.
  bool inline_remove_tree() const { return true; }
  bool inline_siblings() const { return true; }
  bool inline_is_packable() const { return true; }

 private:
  static constexpr std::size_t kMaxOpen = 48;

  int dir_fd(const Path& path, const std::shared_ptr<DirNode>& hint);
  // For a read-only step: the nearest open ancestor's descriptor, with the
  // rest of the way in `rest` (links on it are followed, as by the path).
  int query_fd(const Path& path, std::string& rest);
  std::shared_ptr<DirNode> node_for(const Path& path) const;
  int node_fd(const std::shared_ptr<DirNode>& node, const std::shared_ptr<DirNode>& hint);
  int open_node(const std::shared_ptr<DirNode>& node, int parent_fd, const char* name, bool follow);
  void remember(const std::shared_ptr<DirNode>& node);
  bool trusted(const Path& path);
  bool trusted_dir(DirNode& dir);
  bool identify(DirNode& node);
  // Lists `path` into `out`: 0 or an errno value.  Lock released by the caller.
  int list(const Path& path, std::shared_ptr<DirNode>& node, std::vector<DirEntry>& out);
  Path entry(const std::shared_ptr<DirNode>& node, DirEntry&& entry) const;
  bool query(const Path& path, bool follow, struct stat& out);
  Paths listing(const Path& path);
  // Whether pathlib, handing `text` whole to the kernel, would be refused
  // with ENAMETOOLONG (on a reading call only).
  bool too_long(std::string_view text) const;

  bool limited_;
  std::vector<std::weak_ptr<DirNode>> open_;
  std::uint64_t clock_ = 0;
  std::uint32_t steps_ = 0;
};

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
