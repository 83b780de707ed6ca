#include "native/json_text.hpp"

#include <cmath>

#include "native/errors.hpp"

namespace tarvek::native {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// The code unit of the four hex digits at `text[at]`, or -1.
long hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) {
    return -1;
  }
  long value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    int digit = hex_value(text[i]);
    if (digit < 0) {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The code point of the UTF-8 sequence at `text[at]`, advancing `at`; -1
// for bytes the interpreter's strict decoder refuses.
long next_code_point(std::string_view text, std::size_t& at) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  auto continuation = [&](std::size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  std::uint8_t lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  if (lead >= 0xC2 && lead <= 0xDF && continuation(at + 1)) {
    long code = ((lead & 0x1F) << 6) | (byte(at + 1) & 0x3F);
    at += 2;
    return code;
  }
  if (lead >= 0xE0 && lead <= 0xEF && continuation(at + 1) && continuation(at + 2)) {
    std::uint8_t second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F)) {
      return -1;  // overlong, or a surrogate
    }
    long code = ((lead & 0x0F) << 12) | ((second & 0x3F) << 6) | (byte(at + 2) & 0x3F);
    at += 3;
    return code;
  }
  if (lead >= 0xF0 && lead <= 0xF4 && continuation(at + 1) && continuation(at + 2) &&
      continuation(at + 3)) {
    std::uint8_t second = byte(at + 1);
    if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
      return -1;  // overlong, or beyond U+10FFFF
    }
    long code = ((lead & 0x07) << 18) | ((second & 0x3F) << 12) | ((byte(at + 2) & 0x3F) << 6) |
                (byte(at + 3) & 0x3F);
    at += 4;
    return code;
  }
  return -1;
}

// The most digits an integer may have and still convert under any limit
// the interpreter may be given (sys.set_int_max_str_digits takes 640 at
// least, or 0 for none).
constexpr std::size_t kSafeIntegerDigits = 640;

}  // namespace

// The grammar of json.loads for a str without hooks: its scanner's (in
// `_json`) and its decoder's white space ([ \t\n\r] around the value).
class JsonText::Reader {
 public:
  Reader(std::string_view text, std::vector<Value>& values) : text_(text), values_(values) {}

  bool document() {
    white();
    if (!value(0)) {
      return false;
    }
    white();
    return at_ == text_.size();
  }

 private:
  void white() {
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        return;
      }
      ++at_;
    }
  }

  bool literal(std::string_view word, Type type) {
    if (text_.substr(at_, word.size()) != word) {
      return false;
    }
    push(type, at_, at_ + word.size());
    at_ += word.size();
    return true;
  }

  std::uint32_t push(Type type, std::size_t begin, std::size_t end) {
    auto index = static_cast<std::uint32_t>(values_.size());
    Value value;
    value.type = type;
    value.begin = static_cast<std::uint32_t>(begin);
    value.end = static_cast<std::uint32_t>(end);
    value.next = index + 1;
    values_.push_back(value);
    return index;
  }

  bool value(int depth) {
    if (at_ >= text_.size()) {
      return false;
    }
    switch (text_[at_]) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return string();
      case 'n':
        return literal("null", Type::Null);
      case 't':
        return literal("true", Type::True);
      case 'f':
        return literal("false", Type::False);
      case 'N':
        return literal("NaN", Type::Constant);
      case 'I':
        return literal("Infinity", Type::Constant);
      case '-':
        if (at_ + 1 < text_.size() && text_[at_ + 1] == 'I') {
          return literal("-Infinity", Type::Constant);
        }
        return number();
      default:
        return number();
    }
  }

  bool number() {
    std::size_t begin = at_;
    if (at_ < text_.size() && text_[at_] == '-') {
      ++at_;
    }
    if (at_ >= text_.size()) {
      return false;
    }
    if (text_[at_] == '0') {
      ++at_;
    } else if (text_[at_] >= '1' && text_[at_] <= '9') {
      while (at_ < text_.size() && is_digit(text_[at_])) {
        ++at_;
      }
    } else {
      return false;
    }
    std::size_t integer_end = at_;
    bool real = false;
    if (at_ + 1 < text_.size() && text_[at_] == '.' && is_digit(text_[at_ + 1])) {
      real = true;
      at_ += 2;
      while (at_ < text_.size() && is_digit(text_[at_])) {
        ++at_;
      }
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      std::size_t exponent = at_++;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
        ++at_;
      }
      if (at_ < text_.size() && is_digit(text_[at_])) {
        real = true;
        while (at_ < text_.size() && is_digit(text_[at_])) {
          ++at_;
        }
      } else {
        at_ = exponent;  // not an exponent: the number ends before it
      }
    }
    if (!real && integer_end - begin > kSafeIntegerDigits) {
      return false;
    }
    push(real ? Type::Float : Type::Int, begin, at_);
    return true;
  }

  bool string() {
    std::size_t begin = ++at_;
    bool escaped = false;
    while (at_ < text_.size()) {
      auto c = static_cast<std::uint8_t>(text_[at_]);
      if (c == '"') {
        std::uint32_t index = push(Type::String, begin, at_);
        values_[index].escaped = escaped;
        ++at_;
        return true;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) {
          return false;
        }
      } else if (c < 0x20) {
        return false;  // a control character (the scanner is strict)
      } else if (c < 0x80) {
        ++at_;
      } else if (next_code_point(text_, at_) < 0) {
        return false;
      }
    }
    return false;
  }

  bool escape() {
    if (at_ + 1 >= text_.size()) {
      return false;
    }
    char kind = text_[at_ + 1];
    if (kind != 'u') {
      at_ += 2;
      return kind == '"' || kind == '\\' || kind == '/' || kind == 'b' || kind == 'f' ||
             kind == 'n' || kind == 'r' || kind == 't';
    }
    long unit = hex4(text_, at_ + 2);
    if (unit < 0) {
      return false;
    }
    at_ += 6;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;  // a lone low surrogate
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      // Only a pair makes one character; a lone high surrogate is refused.
      if (at_ + 1 >= text_.size() || text_[at_] != '\\' || text_[at_ + 1] != 'u') {
        return false;
      }
      long low = hex4(text_, at_ + 2);
      if (low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      at_ += 6;
    }
    return true;
  }

  bool object(int depth) {
    if (depth > kMaxDepth) {
      return false;
    }
    std::uint32_t index = push(Type::Object, at_, at_);
    ++at_;
    white();
    std::uint32_t count = 0;
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
    } else {
      for (;;) {
        if (at_ >= text_.size() || text_[at_] != '"' || !string()) {
          return false;
        }
        white();
        if (at_ >= text_.size() || text_[at_] != ':') {
          return false;
        }
        ++at_;
        white();
        if (!value(depth)) {
          return false;
        }
        ++count;
        white();
        if (at_ < text_.size() && text_[at_] == '}') {
          ++at_;
          break;
        }
        if (at_ >= text_.size() || text_[at_] != ',') {
          return false;
        }
        ++at_;
        white();
      }
    }
    finish(index, count);
    return true;
  }

  bool array(int depth) {
    if (depth > kMaxDepth) {
      return false;
    }
    std::uint32_t index = push(Type::Array, at_, at_);
    ++at_;
    white();
    std::uint32_t count = 0;
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
    } else {
      for (;;) {
        if (!value(depth)) {
          return false;
        }
        ++count;
        white();
        if (at_ < text_.size() && text_[at_] == ']') {
          ++at_;
          break;
        }
        if (at_ >= text_.size() || text_[at_] != ',') {
          return false;
        }
        ++at_;
        white();
      }
    }
    finish(index, count);
    return true;
  }

  void finish(std::uint32_t index, std::uint32_t count) {
    values_[index].count = count;
    values_[index].end = static_cast<std::uint32_t>(at_);
    values_[index].next = static_cast<std::uint32_t>(values_.size());
  }

  std::string_view text_;
  std::vector<Value>& values_;
  std::size_t at_ = 0;
};

bool JsonText::read(std::string_view text) {
  values_.clear();
  undone_.clear();
  indexes_.clear();
  text_ = text;
  if (text.size() >= kNone) {
    return false;
  }
  Reader reader(text, values_);
  if (!reader.document()) {
    values_.clear();
    return false;
  }
  undone_at_.assign(values_.size(), kNone);
  return true;
}

std::string_view JsonText::string(std::uint32_t index) const {
  const Value& value = values_[index];
  std::string_view raw = text_.substr(value.begin, value.end - value.begin);
  if (!value.escaped) {
    return raw;
  }
  if (undone_at_[index] != kNone) {
    return undone_[undone_at_[index]];
  }
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size();) {
    if (raw[i] != '\\') {
      out.push_back(raw[i++]);
      continue;
    }
    char kind = raw[i + 1];
    i += 2;
    switch (kind) {
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        auto unit = static_cast<std::uint32_t>(hex4(raw, i));
        i += 4;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          auto low = static_cast<std::uint32_t>(hex4(raw, i + 2));
          i += 6;
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, unit);
        break;
      }
      default:  // " \ /
        out.push_back(kind);
    }
  }
  undone_at_[index] = static_cast<std::uint32_t>(undone_.size());
  undone_.push_back(std::move(out));
  return undone_.back();
}

std::string_view JsonText::key(std::uint32_t string) const { return this->string(string); }

std::uint32_t JsonText::member(std::uint32_t object, std::string_view wanted) const {
  const Value& value = values_[object];
  if (value.type != Type::Object) {
    return kNone;
  }
  constexpr std::uint32_t kIndexFrom = 16;
  if (value.count < kIndexFrom) {
    std::uint32_t found = kNone;
    members(object, [&](std::string_view name, std::uint32_t item) {
      if (name == wanted) {
        found = item;
      }
    });
    return found;
  }
  Index& index = indexes_[object];
  auto hash = [](std::string_view text) {
    std::uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (char c : text) {
      h = (h ^ static_cast<std::uint8_t>(c)) * 1099511628211ULL;
    }
    return h;
  };
  std::size_t mask = 0;
  if (index.slots.empty()) {
    std::size_t capacity = 64;
    while (capacity < 2 * static_cast<std::size_t>(value.count)) {
      capacity *= 2;
    }
    index.slots.assign(capacity, kNone);
    mask = capacity - 1;
    std::uint32_t at = object + 1;
    for (std::uint32_t i = 0; i < value.count; ++i) {
      std::string_view name = key(at);
      for (std::size_t slot = hash(name) & mask;; slot = (slot + 1) & mask) {
        std::uint32_t& taken = index.slots[slot];
        if (taken == kNone || key(taken) == name) {
          taken = at;  // the last member of a key stands for it
          break;
        }
      }
      at = values_[at + 1].next;
    }
  }
  mask = index.slots.size() - 1;
  for (std::size_t slot = hash(wanted) & mask;; slot = (slot + 1) & mask) {
    std::uint32_t taken = index.slots[slot];
    if (taken == kNone) {
      return kNone;
    }
    if (key(taken) == wanted) {
      return taken + 1;
    }
  }
}

double JsonText::number(std::uint32_t index) const {
  const Value& value = values_[index];
  std::string literal(text_.substr(value.begin, value.end - value.begin));
  if (value.type == Type::Constant) {
    return literal == "NaN" ? Py_NAN : literal[0] == '-' ? -Py_HUGE_VAL : Py_HUGE_VAL;
  }
  // As float() converts it: the interpreter's own conversion, which does
  // not depend on the locale; overflow gives an infinity, as float() does.
  double result = PyOS_string_to_double(literal.c_str(), nullptr, nullptr);
  if (result == -1.0 && PyErr_Occurred() != nullptr) {
    throw nb::python_error();
  }
  return result;
}

bool JsonText::truthy(std::uint32_t index) const {
  const Value& value = values_[index];
  switch (value.type) {
    case Type::Null:
    case Type::False:
      return false;
    case Type::True:
    case Type::Constant:  // NaN and the infinities are true
      return true;
    case Type::Int:
      for (std::uint32_t i = value.begin; i < value.end; ++i) {
        if (text_[i] >= '1' && text_[i] <= '9') {
          return true;
        }
      }
      return false;
    case Type::Float:
      return number(index) != 0.0;
    case Type::String:
      return value.end > value.begin;
    case Type::Array:
    case Type::Object:
      return value.count > 0;
  }
  return false;
}

bool JsonText::blank(std::uint32_t index) const {
  std::string_view text = string(index);
  for (std::size_t at = 0; at < text.size();) {
    long code = next_code_point(text, at);
    if (code < 0 || !Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(code))) {
      return false;
    }
  }
  return true;
}

nb::object JsonText::str(std::uint32_t index) const {
  const Value& value = values_[index];
  switch (value.type) {
    case Type::Null:
      return check(PyObject_Str(Py_None));
    case Type::False:
      return check(PyObject_Str(Py_False));
    case Type::True:
      return check(PyObject_Str(Py_True));
    case Type::Int: {
      // The text of a JSON integer is its value's but for "-0".
      std::string_view literal = text_.substr(value.begin, value.end - value.begin);
      if (literal == "-0") {
        literal = "0";
      }
      return check(
          PyUnicode_FromStringAndSize(literal.data(), static_cast<Py_ssize_t>(literal.size())));
    }
    case Type::Float:
    case Type::Constant: {
      nb::object number = check(PyFloat_FromDouble(this->number(index)));
      return check(PyObject_Str(number.ptr()));
    }
    case Type::String: {
      std::string_view text = string(index);
      return check(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    }
    case Type::Array:
    case Type::Object:
      break;
  }
  raise(PyExc_SystemError, "str() of a JSON container");
}

nb::object JsonText::object(std::uint32_t index) const {
  const Value& value = values_[index];
  switch (value.type) {
    case Type::Null:
      return nb::none();
    case Type::False:
      return nb::bool_(false);
    case Type::True:
      return nb::bool_(true);
    case Type::Int: {
      std::string literal(text_.substr(value.begin, value.end - value.begin));
      return check(PyLong_FromString(literal.c_str(), nullptr, 10));
    }
    case Type::Float:
    case Type::Constant:
      return check(PyFloat_FromDouble(number(index)));
    case Type::String:
      return str(index);
    case Type::Array: {
      nb::object list = check(PyList_New(0));
      std::uint32_t at = index + 1;
      for (std::uint32_t i = 0; i < value.count; ++i) {
        check(PyList_Append(list.ptr(), object(at).ptr()));
        at = values_[at].next;
      }
      return list;
    }
    case Type::Object: {
      nb::object dict = check(PyDict_New());
      std::uint32_t at = index + 1;
      for (std::uint32_t i = 0; i < value.count; ++i) {
        check(PyDict_SetItem(dict.ptr(), str(at).ptr(), object(at + 1).ptr()));
        at = values_[at + 1].next;
      }
      return dict;
    }
  }
  return nb::none();
}

}  // namespace tarvek::native
