// The system calls the walker is made of, without the interpreter: owned
// descriptors, directory entries read with their type, and status queries
// relative to a directory descriptor.  Every function reports failure by
// its errno value (0 for success) and never throws.
#pragma once

#include "fs/layer.hpp"

#include "fs/common.hpp"

#if TARVEK_NATIVE_WALKER

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvek::fs {

// An owned file descriptor, closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// The kind of a directory entry, as the directory reports it (d_type), or
// Unknown when it does not say.
enum class Kind : std::uint8_t { Unknown, Dir, File, Link, Other };

Kind kind_of_mode(mode_t mode);

// One entry of a listing: its name, NUL-terminated in the listing's buffer
// of names, and its kind.
struct DirEntry {
  std::uint32_t name;  // offset in DirEntries::names
  std::uint16_t size;  // bytes, without the NUL
  Kind kind;
};

// What listings read: every entry's name in one buffer, so that a listing
// costs no allocation per entry.
struct DirEntries {
  std::string names;
  std::vector<DirEntry> entries;

  std::string_view name(const DirEntry& entry) const {
    return {names.data() + entry.name, entry.size};
  }
  const char* c_name(const DirEntry& entry) const { return names.data() + entry.name; }
  // Appends an entry (and its name) of the caller's.
  void add(std::string_view name, Kind kind);
  // Forgets what was added after `names_size` and `entries_size`.
  void truncate(std::size_t names_size, std::size_t entries_size) {
    names.resize(names_size);
    entries.resize(entries_size);
  }
};

// openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC [| O_NOFOLLOW]).
int open_dir(int dir, const char* name, bool follow, Fd& out);

// Appends every entry of the open directory `dir` except "." and "..", in
// the order the directory yields them, to `out`.  Reads from the
// descriptor's current offset; on failure, `out` is as it was.
int read_dir(int dir, DirEntries& out);

// fstatat(dir, name, ...), following a final symbolic link or not.
int stat_at(int dir, const char* name, bool follow, struct stat& out);
int stat_fd(int fd, struct stat& out);

int unlink_at(int dir, const char* name);
int rmdir_at(int dir, const char* name);

// Reads the whole file `name` (relative to `dir`, links followed) into
// `out`, refusing to read more than `limit` bytes; `expected` is the size
// of the regular file the caller saw (0 when unknown).  The file is opened without blocking, so a
// FIFO swapped in after the caller looked at it can never block the read.  Returns EFBIG when the
// file holds more than `limit` bytes, EISDIR for a directory.
int read_file(int dir, const char* name, std::size_t limit, std::size_t expected, std::string& out);

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
