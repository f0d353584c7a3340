// libFuzzer target for the JSON reader and writer. Run through `make fuzz`.
//
// Checks, besides the sanitizers: a refusal carries one of the reader's messages and a
// position inside the text; an accepted text writes out as canonical JSON that reads back
// and writes out identically.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json.hpp"

namespace {

constexpr std::string_view kMessages[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "expected `\"`",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

// Touches every value so that the accessors run on whatever the reader built.
std::size_t walk(const velmora::json::Value& v) {
  using velmora::json::Kind;
  std::size_t n = 1;
  switch (v.kind()) {
    case Kind::String:
      n += v.as_string().size();
      break;
    case Kind::Array:
      for (std::size_t i = 0; i < v.size(); ++i) n += walk(v.at(i));
      break;
    case Kind::Object:
      for (std::size_t i = 0; i < v.size(); ++i) {
        if (!v.find(v.key_at(i))) std::abort();  // every member is found by its key
        n += walk(v.value_at(i));
      }
      break;
    default:
      break;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  velmora::json::ParseError error;
  auto doc = velmora::json::Document::parse(text, error);
  if (!doc) {
    if (std::find(std::begin(kMessages), std::end(kMessages), error.message) ==
        std::end(kMessages)) {
      std::abort();
    }
    const auto lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (error.line < 1 || error.line > lines || error.column > size + 1) std::abort();
    return 0;
  }
  walk(doc->root());
  const std::string once = velmora::json::write(doc->root());
  auto again = velmora::json::Document::parse(once, error);
  if (!again) std::abort();
  if (velmora::json::write(again->root()) != once) std::abort();
  return 0;
}
