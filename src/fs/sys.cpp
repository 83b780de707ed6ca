#include "fs/sys.hpp"

#include "fs/common.hpp"

#if TARVEK_NATIVE_WALKER

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace tarvek::fs {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Kind kind_of_mode(mode_t mode) {
  if (S_ISDIR(mode)) {
    return Kind::Dir;
  }
  if (S_ISREG(mode)) {
    return Kind::File;
  }
  if (S_ISLNK(mode)) {
    return Kind::Link;
  }
  return Kind::Other;
}

namespace {

Kind kind_of_dtype(unsigned char type) {
  switch (type) {
    case DT_DIR:
      return Kind::Dir;
    case DT_REG:
      return Kind::File;
    case DT_LNK:
      return Kind::Link;
    case DT_UNKNOWN:
      return Kind::Unknown;
    default:
      return Kind::Other;
  }
}

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int retry(int result) { return result < 0 ? errno : 0; }

}  // namespace

void DirEntries::add(std::string_view name, Kind kind) {
  entries.push_back(
      {static_cast<std::uint32_t>(names.size()), static_cast<std::uint16_t>(name.size()), kind});
  names.append(name);
  names.push_back('\0');
}

int open_dir(int dir, const char* name, bool follow, Fd& out) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd;
  do {
    fd = ::openat(dir, name, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return errno;
  }
  out = Fd(fd);
  return 0;
}

#if defined(__linux__)

namespace {
// The kernel's record of one entry, as getdents64 lays it out.
struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];  // as long as the record: NUL-terminated
};
}  // namespace

int read_dir(int dir, DirEntries& out) {
  alignas(8) char buffer[32768];
  const std::size_t names_size = out.names.size();
  const std::size_t entries_size = out.entries.size();
  for (;;) {
    long count = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      int error = errno;
      out.truncate(names_size, entries_size);
      return error;
    }
    if (count == 0) {
      return 0;
    }
    for (long offset = 0; offset < count;) {
      const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
      if (!is_dot_or_dotdot(entry->d_name)) {
        out.add(entry->d_name, kind_of_dtype(entry->d_type));
      }
      offset += entry->d_reclen;
    }
  }
}

#else

int read_dir(int dir, DirEntries& out) {
  const std::size_t names_size = out.names.size();
  const std::size_t entries_size = out.entries.size();
  // readdir takes the descriptor over; it works on a duplicate of ours.
  int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    return errno;
  }
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    int error = errno;
    ::close(copy);
    return error;
  }
  int error = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    if (!is_dot_or_dotdot(entry->d_name)) {
      out.add(entry->d_name, kind_of_dtype(entry->d_type));
    }
  }
  ::closedir(stream);
  if (error != 0) {
    out.truncate(names_size, entries_size);
  }
  return error;
}

#endif

int stat_at(int dir, const char* name, bool follow, struct stat& out) {
  return retry(::fstatat(dir, name, &out, follow ? 0 : AT_SYMLINK_NOFOLLOW));
}

int stat_fd(int fd, struct stat& out) { return retry(::fstat(fd, &out)); }

int unlink_at(int dir, const char* name) { return retry(::unlinkat(dir, name, 0)); }

int rmdir_at(int dir, const char* name) { return retry(::unlinkat(dir, name, AT_REMOVEDIR)); }

int read_file(int dir, const char* name, std::size_t limit, std::size_t expected,
              std::string& out) {
  int fd;
  do {
    fd = ::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return errno;
  }
  Fd owned(fd);
  out.clear();
  out.resize((expected < limit ? expected : limit) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (out.size() > limit) {
        return EFBIG;
      }
      out.resize(out.size() * 2 > limit + 1 ? limit + 1 : out.size() * 2);
    }
    ssize_t count = ::read(fd, out.data() + used, out.size() - used);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (count == 0) {
      break;
    }
    used += static_cast<std::size_t>(count);
    // A regular file of the size seen has been read whole when a read
    // returns less than it was asked for.
    if (expected > 0 && used == expected && used < out.size()) {
      break;
    }
  }
  out.resize(used);
  return 0;
}

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
