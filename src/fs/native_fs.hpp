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
// whose descriptor was closed is opened again from its parent's (each step
// without following a link), or from a child's "..", and must then be the
// same directory (device and inode) as before when it was identified (a
// node is identified before it is evicted, and ".." is taken only from
// identified ones).  So a walk is not limited in depth by descriptors or by
// PATH_MAX.
//
// Listings are kept compactly (fs::Listings): names in one buffer, kinds
// beside them, and the paths of a listing made one at a time as a step
// takes them, so that a walk of a large tree holds no path per entry.  The
// listings one recursive glob made answer the next recursive glob of the
// same tree in the same call, less what the call itself has deleted since
// (it raises the same audit events and lists again any directory the call
// changed otherwise): `_remove_packaging_junk` lists the tree twice, the
// second time after deleting only what the first found.
//
// Every primitive runs with the interpreter's lock held when it is called,
// raises the audit event of the os call it stands for, releases the lock
// around its system calls and raises OSError as the os module would.
#pragma once

#include "fs/layer.hpp"

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

#include "fs/pathlib.hpp"
#include "fs/sys.hpp"
#include "native/python.hpp"

#if TARVEK_NATIVE_WALKER

namespace tarvek::fs {

namespace nb = nanobind;

struct DirNode;

// The open directories of a walk, most recently used first: a list through
// the nodes themselves, so that using, adding and evicting one costs the
// same however many are open.  A node leaves it when its descriptor is
// closed or when it goes away; the list never keeps a node alive.
class OpenDirs {
 public:
  OpenDirs() = default;
  OpenDirs(const OpenDirs&) = delete;
  OpenDirs& operator=(const OpenDirs&) = delete;
  ~OpenDirs();

  void add(DirNode& node);
  void remove(DirNode& node);
  void touch(DirNode& node);
  DirNode* oldest() const { return oldest_; }
  std::size_t size() const { return size_; }

 private:
  DirNode* newest_ = nullptr;
  DirNode* oldest_ = nullptr;
  std::size_t size_ = 0;
};

class Listings;

struct DirNode : std::enable_shared_from_this<DirNode> {
  DirNode() = default;
  DirNode(const DirNode&) = delete;
  DirNode& operator=(const DirNode&) = delete;
  ~DirNode();

  std::shared_ptr<DirNode> parent;  // null: opened by `text` from the process
  std::string name;                 // the entry name in `parent`
  std::string text;                 // the full path text
  bool follow = false;              // whether opening it follows a symbolic link
  Fd fd;
  dev_t dev = 0;
  ino_t ino = 0;
  bool identified = false;  // dev and ino are those of the first open
  int searchable = -1;      // listing kinds may stand in for fstatat (-1: not yet known)
  // Its place among the open directories while `fd` is open.
  OpenDirs* open_dirs = nullptr;
  DirNode* newer = nullptr;
  DirNode* older = nullptr;
  // The record of this directory in a walk's listings, which learn what
  // is deleted in it and keep its identity when the node goes.
  std::shared_ptr<Listings> listings;
  std::uint32_t record = 0;
};

// The directories a walk listed and their entries, compactly: the names in
// one buffer, the kinds beside them, and for each directory where its
// entries lie.  Directories are records, linked to the entry they were
// found as; a record's node (DirNode) exists only while something uses it,
// and is made again from the record when needed.
class Listings : public std::enable_shared_from_this<Listings> {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  struct Record {
    std::uint32_t parent = kNone;  // the record it was listed in; kNone for the walk's root
    std::uint32_t entry = kNone;   // its entry in the parent's listing
    std::uint32_t first = 0;       // its listing: entries [first, first + count)
    std::uint32_t count = 0;
    bool listed = false;
    // Changed by this call in a way the entries do not show: listed again.
    bool changed = false;
    bool identified = false;
    std::int8_t searchable = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    DirNode* node = nullptr;  // while it has one
  };

  // The walk's root: how its node is made.
  struct Root {
    std::shared_ptr<DirNode> parent;
    std::string name;
    std::string text;
  };

  explicit Listings(Root anchor);

  DirEntries listed;                 // every entry, in listing order per directory
  std::vector<std::uint32_t> child;  // per entry: the record of the directory it is, or kNone
  std::vector<bool> gone;            // per entry: deleted by this call
  std::vector<Record> records;
  Root root;

  // A new record for entry `entry` of record `parent`.
  std::uint32_t add_record(std::uint32_t parent, std::uint32_t entry);
  // The record of the directory entry `entry` of record `parent` is.
  std::uint32_t record_of(std::uint32_t parent, std::uint32_t entry) {
    return child[entry] != kNone ? child[entry] : add_record(parent, entry);
  }
  // Makes `node` (new) the node of `record`, with what the record knows.
  void attach(std::uint32_t record, DirNode& node);
  // After entries were added to `listed`: they get no child and are not gone.
  void grow();
  std::string_view name(std::uint32_t entry) const { return listed.name(listed.entries[entry]); }
  Kind kind(std::uint32_t entry) const { return listed.entries[entry].kind; }
  // The node of `record`, made (with its parents) if it has none now.
  std::shared_ptr<DirNode> node(std::uint32_t record);
  // Called when the node of `record` goes: what it learnt stays.
  void forget(DirNode& node);
  // Notes a deletion of entry `entry` (kNone: of an entry of `record`
  // that the listing does not name).
  void deleted(std::uint32_t record, std::uint32_t entry);
};

struct NativePath {
  // The directory it was found in; null for an argument.  A path made by
  // `child` below a path without a node of its own has the nearest node
  // here and the way from it in `name` ("skill/data/VERSION.json").
  std::shared_ptr<DirNode> dir;
  std::string name;                         // the entry name (the whole text when `dir` is null)
  std::string text;                         // the path text, as str() of the Path gives it
  mutable Kind kind = Kind::Unknown;        // not following links: from the listing or a query
  mutable std::shared_ptr<DirNode> opened;  // this directory's own node, once listed
  // The last stat() (following links) made of it, reused by the next step.
  mutable bool stated = false;
  mutable unsigned mode = 0;
  mutable std::uint64_t size = 0;
  // Its entry in the listings of `dir` (Listings::kNone: not from a walk).
  std::uint32_t entry = Listings::kNone;
};

class NativeFs {
 public:
  using Path = NativePath;
  using Paths = std::vector<NativePath>;
  using NameSet = std::unordered_set<std::string>;

  // The paths of a listing, one at a time: made as they are taken, from a
  // walk's listings (runs of entries of one directory each) or from paths
  // made beforehand.
  class Cursor {
   public:
    struct Run {
      std::uint32_t record;
      std::uint32_t begin;
      std::uint32_t end;
    };

    Cursor() = default;
    explicit Cursor(Paths paths) : paths_(std::move(paths)) {}
    Cursor(std::shared_ptr<Listings> listings, std::vector<Run> runs)
        : listings_(std::move(listings)), runs_(std::move(runs)) {
      at_ = runs_.empty() ? 0 : runs_.front().begin;
    }
    // The entries of one directory, `node`, in the order of `order` (entry
    // numbers in `listings`).
    Cursor(std::shared_ptr<Listings> listings, std::shared_ptr<DirNode> node,
           std::vector<std::uint32_t> order)
        : listings_(std::move(listings)), order_(std::move(order)), node_(std::move(node)) {}
    bool next(Path& out);
    // Paths taken from now on have no kind: every status query of them asks.
    void forget_kinds() { forget_kinds_ = true; }

   private:
    bool forget_kinds_ = false;
    Paths paths_;
    std::size_t next_path_ = 0;
    std::shared_ptr<Listings> listings_;
    std::vector<Run> runs_;
    std::size_t run_ = 0;
    std::uint32_t at_ = 0;
    std::vector<std::uint32_t> order_;
    std::size_t next_order_ = 0;
    std::shared_ptr<DirNode> node_;  // the node of the directory being yielded from
  };

  // sorted(p for p in root.iterdir() if p.is_dir()): the entries of one
  // listing, in the interpreter's path order.
  struct Sorted {
    std::shared_ptr<Listings> listings;
    std::shared_ptr<DirNode> node;  // the directory listed
    std::vector<std::uint32_t> order;
    Paths paths;  // or paths made beforehand
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
  Cursor iterdir(const Path& path);
  // list(path.rglob(pattern)), with pathlib's audit events, in pathlib's
  // order: complete before the first path is taken.
  Cursor rglob(const Path& path, Glob glob);
  Cursor rglob_lazy(const Path& path, Glob glob) { return rglob(path, glob); }
  // sorted(p for p in root.iterdir() if p.is_dir())
  Sorted sorted_subdirectories(const Path& root);
  // sorted(p for p in items if keep(p))
  template <class Keep>
  Sorted sorted_where(Cursor items, Keep&& keep) {
    Sorted kept;
    Path item;
    while (items.next(item)) {
      checkpoint();
      if (keep(item)) {
        kept.paths.push_back(std::move(item));
      }
    }
    sort(kept.paths);
    return kept;
  }
  Cursor each(Sorted sorted) const;
  void unlink(const Path& path);
  void rmdir(const Path& path);
  // stat() following links: the mode and size, or OSError as os.stat raises it.
  std::pair<unsigned, std::uint64_t> stat_mode_size(const Path& path);
  // The file read as text as `read_text(encoding="utf-8")` reads it, and at
  // most `limit` bytes of it (OSError EFBIG beyond).
  nb::object read_text(const Path& path, std::size_t limit) {
    return decode_text(read_bytes(path, limit));
  }
  // The same read, before decoding: its bytes.
  std::string read_bytes(const Path& path, std::size_t limit);
  // Bytes read decoded as that read decodes them (strict UTF-8, then
  // universal newlines).
  static nb::object decode_text(std::string_view bytes);

  // Path.name: the final component ("" for "." and the root).
  std::string_view name(const Path& path) const;
  nb::object name_object(const Path& path) const;
  // names.append(p.name) for every p of `sorted`
  void append_names(const Sorted& sorted, nb::list& names) const;
  std::string_view suffix(const Path& path) const;
  bool same(std::string_view value, const native::Name& name) const { return value == name.text(); }
  // Whether a component of `path` (below `below` when it is given) is `name`.
  bool has_component(const Path& path, const native::Name& name, const Path* below) const;

  NameSet name_set(nb::handle names) const;
  bool contains(const NameSet& set, const Path& path) const {
    return set.count(std::string(name(path))) != 0;
  }

  // In the interpreter's path order.
  void sort(Paths& paths) const;
  nb::object to_path(const Path& path) const;
  // f"{path}"
  nb::str format(const Path& path) const { return to_str(path); }
  nb::str to_str(const Path& path) const;
  nb::list to_paths(const Sorted& sorted) const;
  // str(Path(*base) / path.parent.relative_to(root)), for a path made by
  // joining names to `root`, and str(Path(*base)).
  nb::str relocated_parent(NameParts base, const Path& root, const Path& path) const;
  nb::str joined(NameParts base) const;
  // str(path.resolve()) and str(path.expanduser()).
  nb::object resolved_str(const Path& path);
  nb::object expanded_str(const Path& path) const;
  // The position in `candidates` of the first that is one of the path's
  // parts lower-cased (`{p.lower() for p in path.parts}`), or
  // candidates.size().
  std::size_t first_lowered_part(const Path& path, NameParts candidates);

  // Called once per step of a long loop: notices Ctrl-C.
  void checkpoint();

  // The steps do the work of the module's own functions themselves, and a
  // recursive step always continues inline: this backend only runs while
  // the module's own functions are bound.
  bool steps_inline() const { return true; }
  bool is_own(const native::Name&) const { return true; }

 private:
  static constexpr std::size_t kMaxOpen = 48;

  // For a read-only step: the nearest open ancestor's descriptor, with the
  // rest of the way in `rest` (links on it are followed, as by the path).
  int query_fd(const Path& path, std::string& rest);
  std::shared_ptr<DirNode> node_for(const Path& path) const;
  // The node of the directory `path` is in (made, with the ones on the way,
  // for a path `child` made below one without a node), and how a walk's
  // listings make the node of `path` itself.
  std::shared_ptr<DirNode> parent_node(const Path& path) const;
  Listings::Root anchor(const Path& path) const;
  int node_fd(const std::shared_ptr<DirNode>& node, const std::shared_ptr<DirNode>& hint);
  int open_node(const std::shared_ptr<DirNode>& node, int parent_fd, const char* name, bool follow);
  // Adds a freshly opened node to the open directories, closing the least
  // recently used one beyond kMaxOpen.
  void remember(DirNode& node);
  void close_node(DirNode& node);
  bool trusted(const Path& path);
  bool trusted_dir(DirNode& dir);
  bool identify(DirNode& node);
  // Lists `path` (or `node`) into `out`: 0 or an errno value.  Lock
  // released by the caller.
  int list(const Path& path, std::shared_ptr<DirNode>& node, DirEntries& out);
  int list_node(const std::shared_ptr<DirNode>& node, DirEntries& out);
  bool query(const Path& path, bool follow, struct stat& out);
  // path.iterdir(), listed whole: listings of their own (record 0), and
  // the node of the directory.
  std::pair<std::shared_ptr<Listings>, std::shared_ptr<DirNode>> listing(const Path& path);
  // Notes that the call deleted `path`, for the listings it came from.
  void note_deleted(const Path& path);
  // Whether pathlib, handing `text` whole to the kernel, would be refused
  // with ENAMETOOLONG (on a reading call only).
  bool too_long(std::string_view text) const;
  bool too_long_size(std::size_t size) const;
  // Sorts entries of one listing by name, in the interpreter's order.
  void sort_names(const Listings& listings, std::vector<std::uint32_t>& order) const;

  bool limited_;
  OpenDirs open_;
  // The listings of the last complete recursive glob, which the next one of
  // the same tree may take over.
  std::shared_ptr<Listings> last_walk_;
  // The candidates first_lowered_part found among the segments of the last
  // directory it was asked about (held, so that its address stays its own).
  std::shared_ptr<DirNode> lowered_anchor_;
  const DirNode* lowered_dir_ = nullptr;
  const void* lowered_candidates_ = nullptr;
  std::vector<char> lowered_present_;
  std::uint32_t steps_ = 0;
};

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
