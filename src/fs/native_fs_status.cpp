// The native backend's status queries (exists, is_dir, is_file,
// is_symlink, stat), answered from a listing's entry kinds where they may
// be and by fstatat relative to the nearest open directory otherwise, with
// the errors pathlib ignores ignored and the others raised as os raises them.
#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "fs/interpreter_duties.hpp"
#include "native/names.hpp"

namespace tarvek::fs {
namespace {

// What pathlib's status queries treat as "not there" instead of raising.
bool ignored(int error) {
  return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP;
}

}  // namespace

bool NativeFs::too_long(std::string_view text) const { return too_long_size(text.size()); }

bool NativeFs::too_long_size(std::size_t size) const {
  return limited_ && size >= static_cast<std::size_t>(PATH_MAX);
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
  struct stat status{};
  std::string rest;
  if (int error = unlocked([&] {
        int fd = query_fd(path, rest);
        return stat_at(fd, rest.c_str(), true, status);
      })) {
    raise_os_error(error, path.text);
  }
  return {static_cast<unsigned>(status.st_mode), static_cast<std::uint64_t>(status.st_size)};
}

bool NativeFs::exists(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return true;
  }
  struct stat status{};
  return query(path, true, status);
}

bool NativeFs::is_dir(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return path.kind == Kind::Dir;
  }
  struct stat status{};
  return query(path, true, status) && S_ISDIR(status.st_mode);
}

bool NativeFs::is_file(const Path& path) {
  if (trusted(path) && path.kind != Kind::Link && !too_long(path.text)) {
    return path.kind == Kind::File;
  }
  struct stat status{};
  return query(path, true, status) && S_ISREG(status.st_mode);
}

bool NativeFs::is_symlink(const Path& path) {
  if (trusted(path) && !too_long(path.text)) {
    return path.kind == Kind::Link;
  }
  struct stat status{};
  bool found = query(path, false, status);
  // Remembered, so that listing it later opens exactly this directory.
  path.kind = found ? kind_of_mode(status.st_mode) : Kind::Unknown;
  return found && S_ISLNK(status.st_mode);
}

nb::object NativeFs::resolved_str(const Path& path) {
  // realpath(3) is os.path.realpath for a path that exists, but for a
  // leading "//", which the interpreter keeps; that path, and one that
  // realpath(3) cannot resolve (it went away meanwhile, a loop), are
  // resolved by pathlib's own `resolve`, which this backend stands for.
  const std::string& text = path.text;
  bool double_slash = text.starts_with("//") && !text.starts_with("///");
  if (!double_slash) {
    std::string resolved;
    int error = unlocked([&] {
      char* real = ::realpath(text.c_str(), nullptr);
      if (real == nullptr) {
        return errno;
      }
      resolved = real;
      std::free(real);
      return 0;
    });
    if (error == 0) {
      return decode_path(resolved);
    }
  }
  return native::to_str(native::call_method(to_path(path), names::resolve));
}

nb::object NativeFs::expanded_str(const Path& path) const {
  if (!path.text.starts_with('~')) {
    return decode_path(path.text);
  }
  return native::to_str(native::call_method(to_path(path), names::expanduser));
}

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
