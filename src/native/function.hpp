// The native function type shared by both extension modules.
//
// A Python function defined in a module carries everything that callers and
// `inspect` look at: its names, docstring, defaults, annotations, a code
// object naming its parameters, the module namespace it reads its globals
// from, and it binds as a method when it is placed on a class.  `NativeFunction` gives a C++ body the same face: the
// arguments are bound by name and position exactly as the interpreter binds
// them for a `def`, the exact-type checks run before the body, and the body
// sees its module namespace at the moment of the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

enum class ParamKind : std::uint8_t {
  PositionalOrKeyword,
  KeywordOnly,
};

// Checks made on an argument before the body runs.  "Exact" means that an
// instance of a subclass is refused as well.
enum class TypeRule : std::uint8_t {
  None,        // any value
  Str,         // exactly str
  StrOrNone,   // exactly str, or None
  DictOrNone,  // exactly dict, or None
  List,        // exactly list
  ListOrNone,  // exactly list, or None
};

struct Param {
  const char* name;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  const char* annotation = nullptr;  // nullptr: not annotated (as `self`)
  TypeRule rule = TypeRule::None;
};

class Call;
using Body = nb::object (*)(const Call&);

// Everything about a function that is fixed when its module is written.
// Positional-or-keyword parameters come first, keyword-only ones after them.
struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: no docstring
  std::span<const Param> params;
  const char* return_annotation;
  Body body;
};

inline constexpr std::size_t kMaxParams = 8;

// What a body sees of its call: the bound arguments in parameter order and
// the namespace of the module that defined the function.
class Call {
 public:
  Call(nb::handle function, nb::handle globals, nb::handle builtins, const nb::handle* args,
       std::size_t count)
      : function_(function), globals_(globals), builtins_(builtins), args_(args), count_(count) {}

  nb::handle arg(std::size_t index) const { return args_[index]; }
  std::size_t arg_count() const { return count_; }
  nb::handle function() const { return function_; }
  nb::handle globals() const { return globals_; }
  // The builtins the function's names fall back to: those of the module's
  // loading, as a Python function keeps the builtins of its definition.
  nb::handle builtins() const { return builtins_; }

  // The value a global name has right now: the module namespace first, then
  // the builtins, as a name in a Python function body is resolved.  Raises
  // NameError when it is bound in neither.
  nb::object global(nb::handle name) const;
  nb::object global(const char* name) const;

 private:
  nb::handle function_;
  nb::handle globals_;
  nb::handle builtins_;
  const nb::handle* args_;
  std::size_t count_;
};

// Creates a function object for `spec` whose globals are `module_globals`.
// `defaults` is the tuple of defaults of the trailing positional parameters
// (or None) and `kwdefaults` the dict of defaults of keyword-only parameters
// (or None), as `__defaults__` and `__kwdefaults__` report them.  The spec
// must outlive the function object (specs are static data).
nb::object make_function(const FunctionSpec& spec, nb::handle module_globals,
                         nb::handle defaults, nb::handle kwdefaults);

// The type object of native functions; created on first use.
nb::handle function_type();

}  // namespace tarvek::native
