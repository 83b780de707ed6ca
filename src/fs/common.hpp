// What both backends share, on every platform.
#pragma once

#include <sys/stat.h>

#include <cstdint>

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

enum class Glob : std::uint8_t { Any, Pycache };  // rglob("*"), rglob("__pycache__")

// What a call does with the tree: reads it, or deletes in it.
enum class Reach : std::uint8_t { Reading, Deleting };

inline bool mode_is_dir(unsigned mode) { return (mode & S_IFMT) == S_IFDIR; }
inline bool mode_is_regular(unsigned mode) { return (mode & S_IFMT) == S_IFREG; }

}  // namespace tarvek::fs
