// A native function's signature, stated once, beside its body: the
// parameter list with each parameter's kind, annotation and default, the
// return annotation and the docstring, as a `def` states them:
//
//     constexpr auto kGreet = native::signature(
//         "greet",
//         {native::positional("name", "str"),
//          native::keyword_only("greeting", "str | None", native::kNone)},
//         "str", "Greets `name`.");
//
// From it the function object gets `__defaults__`, `__kwdefaults__`,
// `__annotations__`, `__code__` and its argument checks; the body reads its
// arguments by name (`call["name"]`, native/function.hpp), a name checked
// against the parameter list when compiling.  Everything here is checked
// when compiling: a signature a `def` could not have does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvek::native {

class Name;  // native/python.hpp

enum class ParamKind : std::uint8_t {
  PositionalOrKeyword,
  KeywordOnly,
};

// Checks made on an argument before the body runs, derived from its
// annotation: a parameter annotated with a built-in type (`str`, `dict`,
// `list`, with or without parameters) must be exactly of that type (an
// instance of a subclass is refused), or None where the annotation admits
// None.  Any other annotation (`Path | None`) checks nothing.
enum class TypeRule : std::uint8_t {
  None,        // any value
  Str,         // exactly str
  StrOrNone,   // exactly str, or None
  Dict,        // exactly dict
  DictOrNone,  // exactly dict, or None
  List,        // exactly list
  ListOrNone,  // exactly list, or None
};

// A parameter's default.
struct Default {
  enum class Kind : std::uint8_t {
    Required,  // no default
    None,      // `=None`
    Global,    // `=NAME`: the value NAME has in the module when the function is made
  };
  Kind kind = Kind::Required;
  const Name* global = nullptr;  // Kind::Global: the module-level name
};

inline constexpr Default kRequired{};
inline constexpr Default kNone{Default::Kind::None, nullptr};
// `def f(x=NAME)`: evaluated once, when the module binds the function.
// `name` is the interned name the module binds the value under, so the
// default and the binding cannot drift apart.
consteval Default module_value(const Name& name) { return {Default::Kind::Global, &name}; }

struct Param {
  const char* name;
  ParamKind kind = ParamKind::PositionalOrKeyword;
  const char* annotation = nullptr;  // nullptr: not annotated (as `self`)
  TypeRule rule = TypeRule::None;
  Default default_value{};
};

inline constexpr std::size_t kMaxParams = 8;

namespace signature_detail {

consteval std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace signature_detail

// The check an annotation asks for (see TypeRule).
consteval TypeRule rule_of(const char* annotation) {
  if (annotation == nullptr) {
    return TypeRule::None;
  }
  enum Builtin { Nothing, Str, Dict, List };
  Builtin builtin = Nothing;
  bool none = false;
  bool other = false;
  std::string_view rest(annotation);
  while (true) {
    // The alternatives of a union, outside brackets.
    std::size_t end = 0;
    int depth = 0;
    while (end < rest.size() && (depth > 0 || rest[end] != '|')) {
      depth += rest[end] == '[' ? 1 : rest[end] == ']' ? -1 : 0;
      ++end;
    }
    std::string_view alternative = signature_detail::trimmed(rest.substr(0, end));
    std::string_view base = alternative.substr(0, alternative.find('['));
    Builtin found = base == "str" ? Str : base == "dict" ? Dict : base == "list" ? List : Nothing;
    if (base == "None") {
      none = true;
    } else if (found == Nothing || builtin != Nothing) {
      other = true;
    } else {
      builtin = found;
    }
    if (end == rest.size()) {
      break;
    }
    rest.remove_prefix(end + 1);
  }
  if (other || builtin == Nothing) {
    return TypeRule::None;
  }
  switch (builtin) {
    case Str:
      return none ? TypeRule::StrOrNone : TypeRule::Str;
    case Dict:
      return none ? TypeRule::DictOrNone : TypeRule::Dict;
    case List:
      return none ? TypeRule::ListOrNone : TypeRule::List;
    case Nothing:
      break;
  }
  return TypeRule::None;
}

// A parameter that may be passed by position or by name.
consteval Param positional(const char* name, const char* annotation, Default value = kRequired) {
  return {name, ParamKind::PositionalOrKeyword, annotation, rule_of(annotation), value};
}

// A parameter after `*`: passed by name only.
consteval Param keyword_only(const char* name, const char* annotation, Default value = kRequired) {
  return {name, ParamKind::KeywordOnly, annotation, rule_of(annotation), value};
}

// A method's first parameter.
inline constexpr Param kSelf{"self"};

template <std::size_t N>
struct Signature {
  const char* qualname;  // "greet", "Greeter.greet"
  std::array<Param, N> params;
  const char* returns;  // the return annotation
  const char* doc;      // nullptr: no docstring

  // The function's own name: the last part of its qualified name.
  constexpr const char* name() const {
    std::string_view text(qualname);
    std::size_t dot = text.rfind('.');
    return dot == std::string_view::npos ? qualname : qualname + dot + 1;
  }

  // The position of the parameter called `name`; not a constant (so not
  // compiling) for a name the function does not have.
  consteval std::size_t index(std::string_view name) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (name == params[i].name) {
        return i;
      }
    }
    throw "no parameter of this name";
  }
};

namespace signature_detail {

// What a `def` requires of a parameter list: positional-or-keyword
// parameters before keyword-only ones, no positional parameter without a
// default after one with a default, no name twice.
template <std::size_t N>
consteval void check(const std::array<Param, N>& params) {
  static_assert(N <= kMaxParams, "too many parameters for a native function");
  bool keyword_only = false;
  bool defaulted = false;
  for (std::size_t i = 0; i < N; ++i) {
    const Param& param = params[i];
    if (param.kind == ParamKind::KeywordOnly) {
      keyword_only = true;
    } else {
      if (keyword_only) {
        throw "a positional parameter follows a keyword-only one";
      }
      if (defaulted && param.default_value.kind == Default::Kind::Required) {
        throw "a parameter without a default follows one with a default";
      }
      defaulted = defaulted || param.default_value.kind != Default::Kind::Required;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(params[j].name) == param.name) {
        throw "two parameters of one name";
      }
    }
  }
}

}  // namespace signature_detail

// `def qualname(params) -> returns: """doc"""`.
template <std::size_t N>
consteval Signature<N> signature(const char* qualname, const Param (&params)[N],
                                 const char* returns, const char* doc = nullptr) {
  std::array<Param, N> list{};
  for (std::size_t i = 0; i < N; ++i) {
    list[i] = params[i];
  }
  signature_detail::check(list);
  return {qualname, list, returns, doc};
}

// A function without parameters.
consteval Signature<0> signature(const char* qualname, const char* returns,
                                 const char* doc = nullptr) {
  return {qualname, {}, returns, doc};
}

}  // namespace tarvek::native
