// The native function type shared by both extension modules
// (`tarvek.skills.native_function`).
//
// A Python function defined in a module carries everything that callers and
// `inspect` look at: its names, docstring, defaults, annotations, a code
// object naming its parameters, the module namespace it reads its globals
// from, and it binds as a method when it is placed on a class.  A native
// function gives a C++ body the same face, from its signature
// (native/signature.hpp): the arguments are bound by name and position
// exactly as the interpreter binds them for a `def`, the exact-type checks
// run before the body, and the body reads its arguments by name and sees its
// module namespace at the moment of the call.
//
// A function is its signature and its body, named after the Python name:
//
//     constexpr auto kGreet = native::signature("_greet", {...}, "str");
//     nb::object greet(const native::Args<kGreet>& call) {
//       ... call["name"] ... call.global(names::Path) ...
//     }
//     const native::FunctionSpec functions::greet = native::spec<kGreet, greet>();
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <nanobind/nanobind.h>

#include "native/signature.hpp"

namespace tarvek::native {

namespace nb = nanobind;

class Call;
using Body = nb::object (*)(const Call&);

// Everything about a function that is fixed when its module is written:
// its signature and its body.  Made by `spec` below.
struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;  // nullptr: no docstring
  std::span<const Param> params;
  const char* return_annotation;
  Body body;
};

// What a body sees of its call: the bound arguments in parameter order and
// the namespace of the module that defined the function.
class Call {
 public:
  Call(nb::handle function, nb::handle globals, nb::handle builtins, const nb::handle* args)
      : function_(function), globals_(globals), builtins_(builtins), args_(args) {}

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

 protected:
  // The argument bound to the parameter at `index`; bodies read their
  // arguments by name, through Args.
  nb::handle arg(std::size_t index) const { return args_[index]; }

 private:
  nb::handle function_;
  nb::handle globals_;
  nb::handle builtins_;
  const nb::handle* args_;
};

// What the body of a function with signature `Sig` sees of its call: the
// call, and each argument by its parameter's name (`call["name"]`; a
// name the signature lacks does not compile).
template <const auto& Sig>
class Args : public Call {
 public:
  explicit Args(const Call& call) : Call(call) {}

  // A parameter name of `Sig`, looked up when compiling.
  class Parameter {
   public:
    consteval Parameter(const char* name) : index_(Sig.index(name)) {}  // NOLINT: a name is a key
    std::size_t index() const { return index_; }

   private:
    std::size_t index_;
  };

  nb::handle operator[](Parameter param) const { return arg(param.index()); }
};

template <const auto& Sig, nb::object (*Body)(const Args<Sig>&)>
nb::object invoke(const Call& call) {
  return Body(Args<Sig>(call));
}

// The function whose signature is `Sig` and whose body is `Body`.
template <const auto& Sig, nb::object (*Body)(const Args<Sig>&)>
constexpr FunctionSpec spec() {
  return {Sig.name(), Sig.qualname, Sig.doc, Sig.params, Sig.returns, &invoke<Sig, Body>};
}

// Creates a function object for `spec` whose globals are `module_globals`.
// Its `__defaults__` and `__kwdefaults__` are made from the signature's
// defaults now (a default that names a module-level value takes the value
// bound in `module_globals` at this moment).  The spec must outlive the
// function object (specs are static data).
nb::object make_function(const FunctionSpec& spec, nb::handle module_globals);

// The type object of native functions; created on first use.
nb::handle function_type();

}  // namespace tarvek::native
