// JSON reader and writer for the graph documents.
//
// The reader builds a read-only document from one text: at most 127 nested levels, the last
// of several equal keys wins, strings must be valid UTF-8 and escapes are decoded (surrogate
// pairs included). It never recurses, so no input can exhaust the C stack. The writer is
// compact (no whitespace) and writes object members in ascending byte order of their keys.
//
// This unit depends on the standard library only, so that the fuzz target can be built with
// a compiler other than the one that builds the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::json {

enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

// Deepest accepted nesting of arrays and objects; opening one more level is an error.
inline constexpr std::size_t kMaxDepth = 127;

class Document;

// Handle to one value inside a Document; valid while the Document lives.
class Value {
 public:
  Kind kind() const;
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  // Accessors for the matching kind only.
  bool as_bool() const;
  double as_number() const;
  std::string_view as_string() const;

  // Elements of an array or members of an object (duplicates already merged); 0 otherwise.
  std::size_t size() const;
  // Array element i.
  Value at(std::size_t i) const;
  // Object member i, in the order of first appearance in the text.
  std::string_view key_at(std::size_t i) const;
  Value value_at(std::size_t i) const;
  // The member named `key`; nullopt when absent or when this is not an object.
  std::optional<Value> find(std::string_view key) const;

 private:
  friend class Document;
  Value(const Document* doc, std::size_t node) : doc_(doc), node_(node) {}
  const Document* doc_;
  std::size_t node_;
};

struct ParseError {
  std::string message;   // one of the reader's fixed texts
  std::size_t line = 0;  // counted from 1
  // Column of the offending character, counting characters (not bytes) from 1; an error at
  // the end of the text gives the number of characters on the last line.
  std::size_t column = 0;
  // "{message} at line {line} column {column}".
  std::string describe() const;
};

class Document {
 public:
  // The whole text as one JSON value, or the first error met.
  static std::optional<Document> parse(std::string_view text, ParseError& error);

  Value root() const { return Value(this, 0); }

 private:
  friend class Value;
  friend class Parser;
  struct Node {
    Kind kind = Kind::Null;
    bool flag = false;  // Bool: the value
    // String: offset and length in text_. Array: first element in links_ and count.
    // Object: first member (key node, value node) in links_ and member count.
    // Number: the double's bits in a.
    std::size_t a = 0;
    std::size_t b = 0;
  };
  Document() = default;

  std::string text_;  // a copy of the input, followed by decoded strings that had escapes
  std::vector<Node> nodes_;
  std::vector<std::size_t> links_;
};

// Compact text of `value`, object members in ascending key order.
std::string write(const Value& value);

// Appends `s` as a JSON string literal: quotation mark and backslash escaped, \b \t \n \f \r,
// other characters below U+0020 as \u00xx, everything else unchanged.
void append_string(std::string& out, std::string_view s);

// Streaming compact writer. Callers write the members of each object in ascending key order
// (checked in debug builds), which keeps output identical to write() of the same document.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view k);
  void string(std::string_view s);
  void number(double d);
  void boolean(bool b);
  void null();

 private:
  void before_value();
  std::string& out_;
  // Per open container: whether an item was written yet, and for objects whether a key
  // waits for its value. Debug builds also keep the last key to check the order.
  struct Level {
    bool object = false;
    bool has_item = false;
    bool after_key = false;
#ifndef NDEBUG
    std::string last_key;
#endif
  };
  std::vector<Level> levels_;
};

}  // namespace velmora::json
