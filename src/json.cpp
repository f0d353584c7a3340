#include "json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace velmora::json {

namespace {

// The reader's messages.
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListEnd = "expected `,` or `]`";
constexpr const char* kExpectedObjectEnd = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kNumberOutOfRange = "number out of range";
constexpr const char* kInvalidCodePoint = "invalid unicode code point";
constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyMustBeString = "key must be a string";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kTrailingComma = "trailing comma";
constexpr const char* kTrailingCharacters = "trailing characters";
constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
constexpr const char* kRecursionLimit = "recursion limit exceeded";

// Bytes that a string can hold without any further look: printable ASCII other than the
// quotation mark and the backslash.
constexpr std::array<bool, 256> make_plain_table() {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = c != '"' && c != '\\';
  return t;
}
constexpr std::array<bool, 256> kPlain = make_plain_table();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), 0 when it is not one,
// or -1 when the text ends inside an otherwise well-formed prefix.
int utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  int len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (p + i == end) return -1;
    const unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
  }
  return len;
}

// Converts a number whose syntax was already checked. Values beyond the double range are
// refused; values too small for it become zero.
std::optional<double> convert_number(const char* first, const char* last) {
  const bool negative = *first == '-';
  const char* digits = negative ? first + 1 : first;
  // Short integers: exact, and the common case in graph documents.
  if (last - digits <= 18 && std::all_of(digits, last, is_digit)) {
    std::int64_t v = 0;
    for (const char* p = digits; p != last; ++p) v = v * 10 + (*p - '0');
    const double d = static_cast<double>(v);
    return negative ? -d : d;
  }
  double d = 0;
  auto [ptr, ec] = std::from_chars(first, last, d);
  if (ec == std::errc() && ptr == last) return d;
  // Out of range: decide from the decimal magnitude whether it overflowed or underflowed.
  const char* p = digits;
  long long int_digits = 0, first_nonzero = -1, pos = 0;
  for (; p != last && is_digit(*p); ++p, ++pos) {
    if (first_nonzero < 0 && *p != '0') first_nonzero = pos;
    ++int_digits;
  }
  if (p != last && *p == '.') {
    for (++p; p != last && is_digit(*p); ++p, ++pos) {
      if (first_nonzero < 0 && *p != '0') first_nonzero = pos;
    }
  }
  long long exponent = 0;
  if (p != last && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool neg_exp = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; p != last; ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000'000'000LL);
    if (neg_exp) exponent = -exponent;
  }
  if (first_nonzero < 0) return negative ? -0.0 : 0.0;
  const long long magnitude = int_digits - first_nonzero + exponent;
  if (magnitude > 0) return std::nullopt;
  return negative ? -0.0 : 0.0;
}

}  // namespace

class Parser {
 public:
  Parser(std::string_view in, Document& doc)
      : begin_(in.data()), p_(in.data()), end_(in.data() + in.size()), doc_(doc) {}

  bool run();
  const char* error_message() const { return error_; }
  std::size_t error_offset() const { return static_cast<std::size_t>(error_at_ - begin_); }

 private:
  struct Frame {
    std::size_t node;
    std::size_t start;  // first pending entry of this container
    bool object;
  };

  bool fail(const char* message, const char* at) {
    error_ = message;
    error_at_ = at;
    return false;
  }
  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  std::size_t new_node(Kind kind) {
    doc_.nodes_.push_back(Document::Node{kind, false, 0, 0});
    return doc_.nodes_.size() - 1;
  }
  std::string_view text_of(std::size_t node) const {
    const Document::Node& n = doc_.nodes_[node];
    return std::string_view(doc_.text_).substr(n.a, n.b);
  }

  // One step at a value position: a scalar (done), an empty container (done), or a newly
  // opened container whose first item comes next (not done).
  bool value_step(bool& done);
  // After a value: closes finished containers and moves to the next item. `finished` is set
  // when the whole document has been read.
  bool after_value(bool& finished);
  bool open_key();  // a key and its colon; the member's value comes next
  bool parse_string();
  bool parse_literal(const char* rest, Kind kind, bool flag);
  bool parse_number();
  bool hex4(std::uint32_t& out);
  bool parse_unicode_escape(std::string& out);
  void close_container();
  void merge_duplicate_keys(std::size_t start);

  const char* begin_;
  const char* p_;
  const char* end_;
  Document& doc_;
  std::vector<std::size_t> pending_;  // finished values of the open containers, in order
  std::array<Frame, kMaxDepth> frames_{};
  std::size_t depth_ = 0;
  std::string scratch_;
  const char* error_ = nullptr;
  const char* error_at_ = nullptr;
};

bool Parser::run() {
  for (;;) {
    bool done = false;
    if (!value_step(done)) return false;
    if (!done) continue;
    bool finished = false;
    if (!after_value(finished)) return false;
    if (finished) return true;
  }
}

bool Parser::value_step(bool& done) {
  skip_ws();
  if (p_ == end_) return fail(kEofValue, p_);
  const char c = *p_;
  if (c == '[' || c == '{') {
    if (depth_ == kMaxDepth) return fail(kRecursionLimit, p_);
    const bool object = c == '{';
    frames_[depth_++] =
        Frame{new_node(object ? Kind::Object : Kind::Array), pending_.size(), object};
    ++p_;
    skip_ws();
    if (p_ == end_) return fail(object ? kEofObject : kEofList, p_);
    if (*p_ == (object ? '}' : ']')) {
      ++p_;
      close_container();
      done = true;
      return true;
    }
    done = false;
    if (!object) return true;
    if (*p_ != '"') return fail(kKeyMustBeString, p_);
    return open_key();
  }
  done = true;
  switch (c) {
    case '"':
      return parse_string();
    case 't':
      return parse_literal("rue", Kind::Bool, true);
    case 'f':
      return parse_literal("alse", Kind::Bool, false);
    case 'n':
      return parse_literal("ull", Kind::Null, false);
    default:
      if (c == '-' || is_digit(c)) return parse_number();
      return fail(kExpectedValue, p_);
  }
}

bool Parser::after_value(bool& finished) {
  for (;;) {
    skip_ws();
    if (depth_ == 0) {
      if (p_ != end_) return fail(kTrailingCharacters, p_);
      finished = true;
      return true;
    }
    const bool object = frames_[depth_ - 1].object;
    const char close = object ? '}' : ']';
    if (p_ == end_) return fail(object ? kEofObject : kEofList, p_);
    if (*p_ == close) {
      ++p_;
      close_container();
      continue;
    }
    if (*p_ != ',') return fail(object ? kExpectedObjectEnd : kExpectedListEnd, p_);
    ++p_;
    skip_ws();
    if (p_ == end_) return fail(kEofValue, p_);
    if (*p_ == close) return fail(kTrailingComma, p_);
    if (!object) return true;
    if (*p_ != '"') return fail(kKeyMustBeString, p_);
    return open_key();
  }
}

bool Parser::open_key() {
  if (!parse_string()) return false;
  skip_ws();
  if (p_ == end_) return fail(kEofObject, p_);
  if (*p_ != ':') return fail(kExpectedColon, p_);
  ++p_;
  return true;
}

bool Parser::parse_literal(const char* rest, Kind kind, bool flag) {
  ++p_;
  for (const char* r = rest; *r != '\0'; ++r, ++p_) {
    if (p_ == end_) return fail(kEofValue, p_);
    if (*p_ != *r) return fail(kExpectedIdent, p_);
  }
  const std::size_t node = new_node(kind);
  doc_.nodes_[node].flag = flag;
  pending_.push_back(node);
  return true;
}

bool Parser::parse_number() {
  const char* start = p_;
  if (*p_ == '-') ++p_;
  if (p_ == end_) return fail(kEofValue, p_);
  if (*p_ == '0') {
    ++p_;
    // A single leading zero only.
    if (p_ != end_ && is_digit(*p_)) return fail(kInvalidNumber, p_);
  } else if (is_digit(*p_)) {
    while (p_ != end_ && is_digit(*p_)) ++p_;
  } else {
    return fail(kInvalidNumber, p_);
  }
  if (p_ != end_ && *p_ == '.') {
    ++p_;
    if (p_ == end_) return fail(kEofValue, p_);
    if (!is_digit(*p_)) return fail(kInvalidNumber, p_);
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail(kEofValue, p_);
    if (!is_digit(*p_)) return fail(kInvalidNumber, p_);
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  const auto value = convert_number(start, p_);
  if (!value) return fail(kNumberOutOfRange, start);
  const std::size_t node = new_node(Kind::Number);
  doc_.nodes_[node].a = std::bit_cast<std::size_t>(*value);
  pending_.push_back(node);
  return true;
}

bool Parser::hex4(std::uint32_t& out) {
  out = 0;
  for (int i = 0; i < 4; ++i, ++p_) {
    if (p_ == end_) return fail(kEofString, p_);
    const int h = hex_value(*p_);
    if (h < 0) return fail(kInvalidEscape, p_);
    out = out * 16 + static_cast<std::uint32_t>(h);
  }
  return true;
}

// After "\u": one escape, or a surrogate pair written as two.
bool Parser::parse_unicode_escape(std::string& out) {
  std::uint32_t n = 0;
  if (!hex4(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail(kLoneSurrogate, p_ - 1);
  if (n >= 0xD800 && n <= 0xDBFF) {
    if (p_ == end_) return fail(kEofString, p_);
    if (*p_ != '\\') return fail(kUnexpectedEndOfHexEscape, p_);
    ++p_;
    if (p_ == end_) return fail(kEofString, p_);
    if (*p_ != 'u') return fail(kUnexpectedEndOfHexEscape, p_);
    ++p_;
    std::uint32_t low = 0;
    if (!hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(kLoneSurrogate, p_ - 1);
    n = 0x10000 + ((n - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, n);
  return true;
}

bool Parser::parse_string() {
  ++p_;  // the opening quotation mark
  const char* start = p_;
  // Fast path: no escapes, so the string is a slice of the text copy.
  while (p_ != end_ && kPlain[static_cast<unsigned char>(*p_)]) ++p_;
  bool escaped = false;
  for (;;) {
    if (p_ == end_) return fail(kEofString, p_);
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') break;
    if (c < 0x20) return fail(kControlCharacter, p_);
    if (c >= 0x80) {
      const int len = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                    reinterpret_cast<const unsigned char*>(end_));
      if (len < 0) return fail(kEofString, end_);
      if (len == 0) return fail(kInvalidCodePoint, p_);
      if (escaped) scratch_.append(p_, static_cast<std::size_t>(len));
      p_ += len;
    } else if (c == '\\') {
      if (!escaped) {
        escaped = true;
        scratch_.assign(start, p_);
      }
      ++p_;
      if (p_ == end_) return fail(kEofString, p_);
      const char e = *p_++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          scratch_.push_back(e);
          break;
        case 'b':
          scratch_.push_back('\b');
          break;
        case 'f':
          scratch_.push_back('\f');
          break;
        case 'n':
          scratch_.push_back('\n');
          break;
        case 'r':
          scratch_.push_back('\r');
          break;
        case 't':
          scratch_.push_back('\t');
          break;
        case 'u':
          if (!parse_unicode_escape(scratch_)) return false;
          break;
        default:
          return fail(kInvalidEscape, p_ - 1);
      }
    } else {
      if (escaped) scratch_.push_back(static_cast<char>(c));
      ++p_;
    }
    // Back to the fast path for the next plain run.
    const char* run = p_;
    while (p_ != end_ && kPlain[static_cast<unsigned char>(*p_)]) ++p_;
    if (escaped) scratch_.append(run, p_);
  }
  const std::size_t node = new_node(Kind::String);
  Document::Node& n = doc_.nodes_[node];
  if (escaped) {
    n.a = doc_.text_.size();
    n.b = scratch_.size();
    doc_.text_.append(scratch_);
  } else {
    n.a = static_cast<std::size_t>(start - begin_);
    n.b = static_cast<std::size_t>(p_ - start);
  }
  ++p_;  // the closing quotation mark
  pending_.push_back(node);
  return true;
}

void Parser::close_container() {
  const Frame f = frames_[--depth_];
  const std::size_t items = pending_.size() - f.start;
  if (f.object && items > 2) merge_duplicate_keys(f.start);
  Document::Node& n = doc_.nodes_[f.node];
  n.a = doc_.links_.size();
  n.b = f.object ? (pending_.size() - f.start) / 2 : items;
  doc_.links_.insert(doc_.links_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(f.start),
                     pending_.end());
  pending_.resize(f.start);
  pending_.push_back(f.node);
}

// Keys that occur more than once keep the position of their first occurrence and the value
// of their last; the later occurrences are dropped.
void Parser::merge_duplicate_keys(std::size_t start) {
  std::size_t* pairs = pending_.data() + start;
  const std::size_t m = (pending_.size() - start) / 2;
  const auto key = [&](std::size_t i) { return text_of(pairs[2 * i]); };
  const auto compact = [&](auto&& dropped) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < m; ++i) {
      if (dropped(i)) continue;
      pairs[2 * out] = pairs[2 * i];
      pairs[2 * out + 1] = pairs[2 * i + 1];
      ++out;
    }
    pending_.resize(start + 2 * out);
  };
  if (m <= 32) {
    // Small objects (every edge object): pairwise, with the dropped members as bits.
    std::uint32_t dropped = 0;
    for (std::size_t i = 0; i < m; ++i) {
      if (dropped >> i & 1) continue;
      for (std::size_t j = i + 1; j < m; ++j) {
        if (!(dropped >> j & 1) && key(j) == key(i)) {
          pairs[2 * i + 1] = pairs[2 * j + 1];
          dropped |= std::uint32_t{1} << j;
        }
      }
    }
    if (dropped != 0) compact([&](std::size_t i) { return (dropped >> i & 1) != 0; });
    return;
  }
  // Sort member positions by key (stable, so equal keys stay in text order).
  std::vector<std::size_t> order(m);
  for (std::size_t i = 0; i < m; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return key(x) < key(y); });
  std::vector<char> dropped(m, 0);
  bool any = false;
  for (std::size_t g = 0; g < m;) {
    std::size_t h = g + 1;
    while (h < m && key(order[h]) == key(order[g])) ++h;
    if (h - g > 1) {
      pairs[2 * order[g] + 1] = pairs[2 * order[h - 1] + 1];
      for (std::size_t k = g + 1; k < h; ++k) dropped[order[k]] = 1;
      any = true;
    }
    g = h;
  }
  if (any) compact([&](std::size_t i) { return dropped[i] != 0; });
}

std::optional<Document> Document::parse(std::string_view text, ParseError& error) {
  Document doc;
  doc.text_.assign(text);
  Parser parser(text, doc);
  if (parser.run()) return doc;
  // Position: line from 1; column counts the characters (UTF-8 lead bytes) before the
  // offending one on its line, plus one for the character itself when there is one.
  const std::size_t offset = parser.error_offset();
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = offset < text.size() ? 1 : 0;
  for (std::size_t i = line_start; i < offset; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++column;
  }
  error.message = parser.error_message();
  error.line = line;
  error.column = column;
  return std::nullopt;
}

std::string ParseError::describe() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---- values ----------------------------------------------------------------------------

Kind Value::kind() const { return doc_->nodes_[node_].kind; }

bool Value::as_bool() const { return doc_->nodes_[node_].flag; }

double Value::as_number() const { return std::bit_cast<double>(doc_->nodes_[node_].a); }

std::string_view Value::as_string() const {
  const auto& n = doc_->nodes_[node_];
  return std::string_view(doc_->text_).substr(n.a, n.b);
}

std::size_t Value::size() const {
  const auto& n = doc_->nodes_[node_];
  return n.kind == Kind::Array || n.kind == Kind::Object ? n.b : 0;
}

Value Value::at(std::size_t i) const {
  return Value(doc_, doc_->links_[doc_->nodes_[node_].a + i]);
}

std::string_view Value::key_at(std::size_t i) const {
  return Value(doc_, doc_->links_[doc_->nodes_[node_].a + 2 * i]).as_string();
}

Value Value::value_at(std::size_t i) const {
  return Value(doc_, doc_->links_[doc_->nodes_[node_].a + 2 * i + 1]);
}

std::optional<Value> Value::find(std::string_view key) const {
  if (kind() != Kind::Object) return std::nullopt;
  const std::size_t m = size();
  for (std::size_t i = 0; i < m; ++i) {
    if (key_at(i) == key) return value_at(i);
  }
  return std::nullopt;
}

// ---- writing ---------------------------------------------------------------------------

void append_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending unescaped run
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"':
      case '\\':
        out.push_back(static_cast<char>(c));
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\t':
        out.push_back('t');
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\f':
        out.push_back('f');
        break;
      case '\r':
        out.push_back('r');
        break;
      default:
        out.append("u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

namespace {

void append_number(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out.append("null");  // JSON has no infinities or NaN
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  out.append(buf, end);
}

void write_value(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      out.append("null");
      return;
    case Kind::Bool:
      out.append(v.as_bool() ? "true" : "false");
      return;
    case Kind::Number:
      append_number(out, v.as_number());
      return;
    case Kind::String:
      append_string(out, v.as_string());
      return;
    case Kind::Array: {
      out.push_back('[');
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) out.push_back(',');
        write_value(out, v.at(i));  // depth is bounded by the reader's nesting limit
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      std::vector<std::size_t> order(v.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::sort(order.begin(), order.end(),
                [&](std::size_t x, std::size_t y) { return v.key_at(x) < v.key_at(y); });
      out.push_back('{');
      for (std::size_t k = 0; k < order.size(); ++k) {
        if (k > 0) out.push_back(',');
        append_string(out, v.key_at(order[k]));
        out.push_back(':');
        write_value(out, v.value_at(order[k]));
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

std::string write(const Value& value) {
  std::string out;
  write_value(out, value);
  return out;
}

void Writer::before_value() {
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (level.object) {
    assert(level.after_key && "a member value needs its key first");
    level.after_key = false;
    return;
  }
  if (level.has_item) out_.push_back(',');
  level.has_item = true;
}

void Writer::begin_object() {
  before_value();
  out_.push_back('{');
  Level level;
  level.object = true;
  levels_.push_back(std::move(level));
}

void Writer::end_object() {
  assert(!levels_.empty() && levels_.back().object && !levels_.back().after_key);
  levels_.pop_back();
  out_.push_back('}');
}

void Writer::begin_array() {
  before_value();
  out_.push_back('[');
  levels_.push_back(Level{});
}

void Writer::end_array() {
  assert(!levels_.empty() && !levels_.back().object);
  levels_.pop_back();
  out_.push_back(']');
}

void Writer::key(std::string_view k) {
  assert(!levels_.empty() && levels_.back().object && !levels_.back().after_key);
  Level& level = levels_.back();
#ifndef NDEBUG
  assert((!level.has_item || level.last_key < k) && "object keys must ascend");
  level.last_key.assign(k);
#endif
  if (level.has_item) out_.push_back(',');
  level.has_item = true;
  level.after_key = true;
  append_string(out_, k);
  out_.push_back(':');
}

void Writer::string(std::string_view s) {
  before_value();
  append_string(out_, s);
}

void Writer::number(double d) {
  before_value();
  append_number(out_, d);
}

void Writer::boolean(bool b) {
  before_value();
  out_.append(b ? "true" : "false");
}

void Writer::null() {
  before_value();
  out_.append("null");
}

}  // namespace velmora::json
