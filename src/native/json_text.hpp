// A JSON text read as `json.loads` reads it, without making its objects:
// the values are found where they lie in the text, so that a step that only
// looks up a few members (an admission flag, a version) pays for no dict,
// list or str it does not use.
//
// It reads only what it is sure `json.loads` reads the same way, into the
// same values: a text it has any doubt about (not valid JSON, not valid
// UTF-8, a byte-order mark, nesting deeper than kMaxDepth, an integer of
// more digits than the interpreter may convert, a lone surrogate escape) is
// refused, and the caller hands the text to `json.loads` itself, which then
// raises (or returns) what it always does.  Numbers keep their text: an
// integer's value, a float's value (as `float()` converts it) and the
// constants NaN, Infinity and -Infinity are made only when asked for.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nanobind/nanobind.h>

namespace tarvek::native {

namespace nb = nanobind;

class JsonText {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  static constexpr int kMaxDepth = 64;

  enum class Type : std::uint8_t { Null, False, True, Int, Float, Constant, String, Array, Object };

  // Reads `text` (UTF-8 bytes).  False when it is not sure json.loads would
  // read it into the values it describes.
  bool read(std::string_view text);

  // The top-level value (after a successful read).
  std::uint32_t root() const { return 0; }
  Type type(std::uint32_t value) const { return values_[value].type; }
  // Members of an object, items of an array.
  std::uint32_t size(std::uint32_t value) const { return values_[value].count; }

  // The value of the last member called `key` (UTF-8) of object `object`
  // (what the dict json.loads makes holds under that key), or kNone.
  std::uint32_t member(std::uint32_t object, std::string_view wanted) const;
  // Calls `each(key, value)` for every member of `object`, in the text's
  // order (a repeated key comes once per time it is written).
  template <class Each>
  void members(std::uint32_t object, Each&& each) const {
    std::uint32_t at = object + 1;
    for (std::uint32_t i = 0; i < values_[object].count; ++i) {
      each(key(at), at + 1);
      at = values_[at + 1].next;
    }
  }

  // bool() of the value json.loads makes.
  bool truthy(std::uint32_t value) const;
  // A string's value, UTF-8 (escapes undone).
  std::string_view string(std::uint32_t value) const;
  // Whether a string value is blank as `str.strip()` sees it.
  bool blank(std::uint32_t value) const;
  // str() of a value that is no array or object (invalid for those).
  nb::object str(std::uint32_t value) const;
  // The object json.loads makes of the value (dicts, lists, str, int,
  // float, True, False, None).
  nb::object object(std::uint32_t value) const;

 private:
  struct Value {
    Type type;
    bool escaped = false;     // a string holding escapes
    std::uint32_t begin = 0;  // its text (a string: between the quotes)
    std::uint32_t end = 0;
    std::uint32_t count = 0;  // members or items
    std::uint32_t next = 0;   // the value after it and all it holds
  };

  class Reader;
  std::string_view key(std::uint32_t string) const;
  double number(std::uint32_t value) const;

  std::string_view text_;
  std::vector<Value> values_;
  // Strings with escapes, undone once (stable addresses).
  mutable std::deque<std::string> undone_;
  mutable std::vector<std::uint32_t> undone_at_;  // per value: index in undone_, or kNone
  // Members of large objects by key, made on the first lookup: an open
  // addressing table of key values (kNone: empty), the last member of a
  // key standing for it.
  struct Index {
    std::vector<std::uint32_t> slots;
  };
  mutable std::unordered_map<std::uint32_t, Index> indexes_;
};

}  // namespace tarvek::native
