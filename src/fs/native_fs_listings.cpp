// The native backend's listings: what listing directories found, kept
// compactly, and the paths of a listing made one at a time as a step takes
// them.
#include "fs/native_fs.hpp"

#if TARVEK_NATIVE_WALKER

#include "fs/pathlib.hpp"

namespace tarvek::fs {

DirNode::~DirNode() {
  if (open_dirs != nullptr) {
    open_dirs->remove(*this);
  }
  if (listings) {
    listings->forget(*this);
  }
}

Listings::Listings(Root anchor) : root(std::move(anchor)) { add_record(kNone, kNone); }

std::uint32_t Listings::add_record(std::uint32_t parent, std::uint32_t entry) {
  auto index = static_cast<std::uint32_t>(records.size());
  Record record;
  record.parent = parent;
  record.entry = entry;
  records.push_back(record);
  if (entry != kNone) {
    child[entry] = index;
  }
  return index;
}

void Listings::grow() {
  child.resize(listed.entries.size(), kNone);
  gone.resize(listed.entries.size(), false);
}

std::shared_ptr<DirNode> Listings::node(std::uint32_t index) {
  // The records up to the nearest one that has a node (or the root), made
  // downwards from there: no recursion, however deep the tree.
  std::vector<std::uint32_t> way;
  std::shared_ptr<DirNode> above;
  for (std::uint32_t at = index;; at = records[at].parent) {
    if (records[at].node != nullptr) {
      above = records[at].node->shared_from_this();
      break;
    }
    way.push_back(at);
    if (records[at].parent == kNone) {
      break;
    }
  }
  for (auto it = way.rbegin(); it != way.rend(); ++it) {
    auto node = std::make_shared<DirNode>();
    if (records[*it].parent == kNone) {
      node->parent = root.parent;
      node->name = root.name;
      node->text = root.text;
      node->follow = true;
    } else {
      std::uint32_t entry = records[*it].entry;
      node->parent = std::move(above);
      node->name = std::string(name(entry));
      node->text = join(node->parent->text, node->name);
      // Only a directory known to be a real one is opened without following.
      node->follow = kind(entry) != Kind::Dir;
    }
    attach(*it, *node);
    above = std::move(node);
  }
  return above;
}

void Listings::attach(std::uint32_t index, DirNode& node) {
  Record& record = records[index];
  node.identified = record.identified;
  node.dev = record.dev;
  node.ino = record.ino;
  node.searchable = record.searchable;
  node.listings = shared_from_this();
  node.record = index;
  record.node = &node;
}

void Listings::forget(DirNode& node) {
  Record& record = records[node.record];
  if (record.node == &node) {
    record.node = nullptr;
  }
  record.identified = node.identified;
  record.dev = node.dev;
  record.ino = node.ino;
  record.searchable = static_cast<std::int8_t>(node.searchable);
}

void Listings::deleted(std::uint32_t record, std::uint32_t entry) {
  if (entry != kNone) {
    gone[entry] = true;
  } else {
    records[record].changed = true;
  }
}

bool NativeFs::Cursor::next(Path& out) {
  if (!listings_) {
    if (next_path_ == paths_.size()) {
      return false;
    }
    out = std::move(paths_[next_path_++]);
    return true;
  }
  std::uint32_t entry;
  if (!runs_.empty()) {
    while (run_ < runs_.size() && at_ == runs_[run_].end) {
      if (++run_ < runs_.size()) {
        at_ = runs_[run_].begin;
        if (!node_ || node_->record != runs_[run_].record || node_->listings != listings_) {
          node_ = listings_->node(runs_[run_].record);
        }
      }
    }
    if (run_ == runs_.size()) {
      return false;
    }
    if (!node_) {
      node_ = listings_->node(runs_[run_].record);
    }
    entry = at_++;
  } else {
    if (next_order_ == order_.size()) {
      return false;
    }
    entry = order_[next_order_++];
  }
  out = Path();
  out.dir = node_;
  out.name = std::string(listings_->name(entry));
  out.text = join(node_->text, out.name);
  out.kind = forget_kinds_ ? Kind::Unknown : listings_->kind(entry);
  out.entry = node_->listings == listings_ ? entry : Listings::kNone;
  return true;
}

NativeFs::Cursor NativeFs::each(Sorted sorted) const {
  if (!sorted.listings) {
    return Cursor(std::move(sorted.paths));
  }
  return Cursor(std::move(sorted.listings), std::move(sorted.node), std::move(sorted.order));
}

void NativeFs::note_deleted(const Path& path) {
  DirNode* node = path.dir.get();
  if (node != nullptr && node->listings && path.entry != Listings::kNone) {
    node->listings->deleted(node->record, path.entry);
    return;
  }
  // The nearest directory above it that a walk listed has changed below.
  for (; node != nullptr; node = node->parent.get()) {
    if (node->listings) {
      node->listings->deleted(node->record, Listings::kNone);
      return;
    }
  }
  // Nothing listed knows of it: the last walk's listings may not hold.
  last_walk_.reset();
}

}  // namespace tarvek::fs

#endif  // TARVEK_NATIVE_WALKER
