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

struct DirEntry {
  std::string name;
  Kind kind;
};

// openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC [| O_NOFOLLOW]).
int open_dir(int dir, const char* name, bool follow, Fd& out);

// Every entry of the open directory `dir` except "." and "..", in the order
// the directory yields them.  Reads from the descriptor's current offset.
int read_dir(int dir, std::vector<DirEntry>& out);

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
