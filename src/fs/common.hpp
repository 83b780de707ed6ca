// What both backends share, on every platform.
#pragma once

#include "fs/layer.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <span>

#include "native/python.hpp"

// The native walker is built where the system has directory descriptors
// (openat, fstatat, unlinkat); elsewhere every call takes the object path.
// (A build may set TARVEK_NATIVE_WALKER=0 to check the object-only build.)
#ifndef TARVEK_NATIVE_WALKER
#if defined(__unix__) || defined(__APPLE__)
#define TARVEK_NATIVE_WALKER 1
#else
#define TARVEK_NATIVE_WALKER 0
#endif
#endif

namespace tarvek::fs {

// What a recursive glob matches: every name (`rglob("*")`), or one file
// name without wildcards (`rglob(name)`).
struct Glob {
  const native::Name* literal = nullptr;  // null: every name

  static Glob any() { return {}; }
  static Glob named(const native::Name& name) { return {&name}; }
  const char* pattern() const { return literal != nullptr ? literal->text() : "*"; }
};

// The parts of a relative path made of plain names, as `Path(*parts)`
// takes them.
using NameParts = std::span<const native::Name* const>;

// What a call does with the tree: reads it, or deletes in it.
enum class Reach : std::uint8_t { Reading, Deleting };

inline bool mode_is_dir(unsigned mode) { return (mode & S_IFMT) == S_IFDIR; }
inline bool mode_is_regular(unsigned mode) { return (mode & S_IFMT) == S_IFREG; }

}  // namespace tarvek::fs
