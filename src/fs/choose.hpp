// The one choice every file-system operation makes: its steps, written once
// as a generic function of the backend, run on the native backend when the
// call may run natively and on the object backend otherwise.
#pragma once

#include <initializer_list>

#include <nanobind/nanobind.h>

#include "fs/common.hpp"
#include "fs/native_fs.hpp"
#include "fs/object_fs.hpp"
#include "fs/pathlib.hpp"
#include "native/names.hpp"
#include "native/own.hpp"

namespace tarvek::fs {

// Whether the module's `Path` and pathlib are their own, the builtins the
// steps use are the interpreter's and unshadowed, every path is an exact
// PosixPath, and every sibling in `siblings` is the module's own.
bool may_run_natively(const native::Call& call, std::initializer_list<nb::handle> paths,
                      std::initializer_list<const native::Name*> siblings);

// `reach` says whether the steps only read (and so meet the kernel's limit
// on path texts as pathlib does) or delete (and so have no depth limit).
template <typename Steps>
auto choose(const native::Call& call, [[maybe_unused]] std::initializer_list<nb::handle> paths,
            [[maybe_unused]] std::initializer_list<const native::Name*> siblings, Steps&& steps,
            [[maybe_unused]] Reach reach = Reach::Reading) {
#if TARVEK_NATIVE_WALKER
  if (may_run_natively(call, paths, siblings)) {
    NativeFs fs(reach);
    return steps(fs);
  }
#endif
  ObjectFs fs(call);
  return steps(fs);
}

// sorted(p for p in root.iterdir() if p.is_dir()): the listing that both
// template listing and discovery make.
template <class Fs>
typename Fs::Sorted sorted_subdirectories(Fs& fs, const typename Fs::Path& root) {
  return fs.sorted_subdirectories(root);
}

// What reading a small file found before reading it: a FIFO, a device or a
// socket is never read, nor a regular file larger than the limit.  A
// directory is left to the read, which reports it.
enum class FileProblem { None, NotRegular, TooLarge };

template <class Fs>
FileProblem file_problem(Fs& fs, const typename Fs::Path& path, std::size_t limit) {
  auto [mode, size] = fs.stat_mode_size(path);
  if (mode_is_dir(mode)) {
    return FileProblem::None;
  }
  if (!mode_is_regular(mode)) {
    return FileProblem::NotRegular;
  }
  return size > limit ? FileProblem::TooLarge : FileProblem::None;
}

}  // namespace tarvek::fs
