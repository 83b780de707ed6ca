// The native backend's directory descriptors: a cache of at most kMaxOpen
// open directories, reopened from a parent (or a child's "..") and checked
// to be the same directory as before, and whether a directory's listing
// may answer status queries for its entries.
#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace tarvek::fs {
namespace {

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

OpenDirs::~OpenDirs() {
  // Nodes that outlive the walk keep their descriptors until they go.
  while (newest_ != nullptr) {
    remove(*newest_);
  }
}

void OpenDirs::add(DirNode& node) {
  node.open_dirs = this;
  node.older = newest_;
  node.newer = nullptr;
  if (newest_ != nullptr) {
    newest_->newer = &node;
  } else {
    oldest_ = &node;
  }
  newest_ = &node;
  ++size_;
}

void OpenDirs::remove(DirNode& node) {
  (node.newer != nullptr ? node.newer->older : newest_) = node.older;
  (node.older != nullptr ? node.older->newer : oldest_) = node.newer;
  node.open_dirs = nullptr;
  node.newer = node.older = nullptr;
  --size_;
}

void OpenDirs::touch(DirNode& node) {
  if (newest_ != &node) {
    remove(node);
    add(node);
  }
}

void NativeFs::remember(DirNode& node) {
  open_.add(node);
  while (open_.size() > kMaxOpen) {
    // Identified before it is closed, so that it can be reopened safely; a
    // directory that cannot be identified stays open, outside the cache.
    DirNode& evicted = *open_.oldest();
    open_.remove(evicted);
    if (identify(evicted)) {
      evicted.fd.reset();
    }
  }
}

void NativeFs::close_node(DirNode& node) {
  if (node.open_dirs != nullptr) {
    node.open_dirs->remove(node);
  }
  node.fd.reset();
}

int NativeFs::open_node(const std::shared_ptr<DirNode>& node, int parent_fd, const char* name,
                        bool follow) {
  Fd fd;
  if (int error = open_dir(parent_fd, name, follow, fd)) {
    return -error;
  }
  if (node->identified) {
    struct stat status{};
    if (int error = stat_fd(fd.get(), status)) {
      return -error;
    }
    if (status.st_dev != node->dev || status.st_ino != node->ino) {
      return -ESTALE;  // another directory now stands where this one was
    }
  }
  close_node(*node);
  node->fd = std::move(fd);
  remember(*node);
  return node->fd.get();
}

int NativeFs::node_fd(const std::shared_ptr<DirNode>& node, const std::shared_ptr<DirNode>& hint) {
  if (node->fd.valid()) {
    if (node->open_dirs == &open_) {
      open_.touch(*node);
    }
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
  struct stat status{};
  if (stat_fd(node.fd.get(), status) != 0) {
    return false;
  }
  node.dev = status.st_dev;
  node.ino = status.st_ino;
  node.identified = true;
  node.searchable = searchable(status) ? 1 : 0;
  return true;
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

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
