#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json.hpp"

namespace velmora::json {
namespace {

// "ok" or the error's full text.
std::string outcome(std::string_view text) {
  ParseError error;
  if (Document::parse(text, error)) return "ok";
  return error.describe();
}

std::string roundtrip(std::string_view text) {
  ParseError error;
  auto doc = Document::parse(text, error);
  if (!doc) return "error: " + error.describe();
  return write(doc->root());
}

TEST(JsonReader, EveryMessageWithItsPosition) {
  struct Case {
    std::string text;
    const char* expected;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trUe", "expected ident at line 1 column 3"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"[1,'a']", "expected value at line 1 column 4"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},  // no byte-order mark
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"[1e400]", "number out of range at line 1 column 2"},
      {"-1e400", "number out of range at line 1 column 1"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 1"},
      {"1e99999999999999999999", "number out of range at line 1 column 1"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 5"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\udc00\\ud800\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
       "column 3"},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 2"},          // overlong '/'
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 2"},      // a surrogate
      {"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 2"},  // > U+10FFFF
      {"\"\xe2\x82\"", "invalid unicode code point at line 1 column 2"},
      {"\"\xe2\x82", "EOF while parsing a string at line 1 column 2"},
      {"[]x", "trailing characters at line 1 column 3"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{} {}", "trailing characters at line 1 column 4"},
      // Lines count line feeds; columns count characters, not bytes.
      {"[\n  1,\n]", "trailing comma at line 3 column 1"},
      {"[\"\xc3\xa9\xe2\x82\xac\", x]", "expected value at line 1 column 8"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.expected) << c.text;
}

TEST(JsonReader, NestingStopsAtTheLimitWithoutRecursion) {
  const auto nested = [](std::size_t depth) {
    std::string s;
    for (std::size_t i = 0; i < depth; ++i) s += i % 2 ? "{\"k\":" : "[";
    s += "0";
    for (std::size_t i = depth; i-- > 0;) s += i % 2 ? "}" : "]";
    return s;
  };
  EXPECT_EQ(outcome(nested(kMaxDepth)), "ok");
  // The 128th opening bracket follows 64 "[" and 63 "{\"k\":".
  EXPECT_EQ(outcome(nested(kMaxDepth + 1)), "recursion limit exceeded at line 1 column 380");
  // Far deeper input is refused at the same point, however long it is.
  EXPECT_EQ(outcome(std::string(2'000'000, '[')), "recursion limit exceeded at line 1 column 128");
  // Width is not depth.
  std::string wide = "[";
  for (int i = 0; i < 200'000; ++i) wide += "[[]],";
  wide += "0]";
  EXPECT_EQ(outcome(wide), "ok");
}

TEST(JsonReader, DecodesStringsAndNumbers) {
  ParseError error;
  auto doc = Document::parse(
      R"(["\"\\\/\b\f\n\r\t", "\u00e9\u20AC\ud83d\ude00", "é€😀", 0, -0, 1.5e3, 1E-400,
          123456789012345678901234, -7, true, false, null])",
      error);
  ASSERT_TRUE(doc) << error.describe();
  const Value v = doc->root();
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ(v.at(0).as_string(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(v.at(1).as_string(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(v.at(2).as_string(), v.at(1).as_string());
  EXPECT_EQ(v.at(3).as_number(), 0.0);
  EXPECT_TRUE(std::signbit(v.at(4).as_number()));
  EXPECT_EQ(v.at(5).as_number(), 1500.0);
  EXPECT_EQ(v.at(6).as_number(), 0.0);  // underflow is zero, not an error
  EXPECT_EQ(v.at(7).as_number(), 1.2345678901234568e23);
  EXPECT_EQ(v.at(8).as_number(), -7.0);
  EXPECT_EQ(v.at(9).kind(), Kind::Bool);
  EXPECT_TRUE(v.at(9).as_bool());
  EXPECT_FALSE(v.at(10).as_bool());
  EXPECT_EQ(v.at(11).kind(), Kind::Null);
}

TEST(JsonReader, LastDuplicateKeyWins) {
  ParseError error;
  auto small = Document::parse(R"({"a":1,"b":2,"a":3,"a":{"x":[]}})", error);
  ASSERT_TRUE(small);
  const Value s = small->root();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s.key_at(0), "a");  // first position, last value
  EXPECT_EQ(s.value_at(0).kind(), Kind::Object);
  EXPECT_EQ(s.find("b")->as_number(), 2.0);
  EXPECT_FALSE(s.find("x"));
  EXPECT_FALSE(s.value_at(0).find("x")->find("x"));  // arrays have no members

  // Enough members to take the sorting path.
  const auto key = [](int k) { return std::string("k").append(std::to_string(k)); };
  std::string text = "{";
  for (int i = 0; i < 40; ++i)
    text.append("\"").append(key(i % 25)).append("\":").append(std::to_string(i)).append(",");
  text += "\"k3\":\"last\"}";
  auto big = Document::parse(text, error);
  ASSERT_TRUE(big);
  const Value b = big->root();
  ASSERT_EQ(b.size(), 25u);
  for (int k = 0; k < 25; ++k) EXPECT_EQ(b.key_at(k), key(k));
  EXPECT_EQ(b.find("k3")->as_string(), "last");
  EXPECT_EQ(b.find("k0")->as_number(), 25.0);
  EXPECT_EQ(b.find("k24")->as_number(), 24.0);
}

TEST(JsonWriter, CompactSortedAndEscaped) {
  EXPECT_EQ(
      roundtrip(" { \"b\" : [ 1 , 2.5 , true , null , \"x\" ] ,\n \"a\" : {\"d\":{},\"c\":[]} } "),
      R"({"a":{"c":[],"d":{}},"b":[1,2.5,true,null,"x"]})");
  // Keys compare byte by byte: upper case first, non-ASCII last.
  EXPECT_EQ(roundtrip(R"({"é":1,"b":2,"B":3,"":4})"), R"({"":4,"B":3,"b":2,"é":1})");
  EXPECT_EQ(roundtrip(R"(["\u0001\u001f\u007f\/"])"), "[\"\\u0001\\u001f\x7f/\"]");
  std::string all;
  for (int c = 1; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "\xc3\xa9\xf0\x9f\x98\x80";
  std::string literal;
  append_string(literal, all);
  EXPECT_EQ(literal.substr(0, 45), R"("\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b)");
  EXPECT_NE(literal.find(R"(\t\n\u000b\f\r\u000e)"), std::string::npos);
  EXPECT_NE(literal.find(R"( !\"#)"), std::string::npos);
  EXPECT_NE(literal.find(R"([\\])"), std::string::npos);
  ParseError error;
  auto back = Document::parse(literal, error);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->root().as_string(), all);
}

TEST(JsonWriter, StreamingWriterMatchesDocumentWriter) {
  std::string out;
  Writer w(out);
  w.begin_object();
  w.key("edges");
  w.begin_array();
  w.begin_object();
  w.key("from");
  w.string("a\"b");
  w.key("to");
  w.string("c");
  w.end_object();
  w.number(0.1);
  w.boolean(false);
  w.null();
  w.end_array();
  w.key("nodes");
  w.begin_array();
  w.end_array();
  w.end_object();
  EXPECT_EQ(out, R"({"edges":[{"from":"a\"b","to":"c"},0.1,false,null],"nodes":[]})");
  EXPECT_EQ(roundtrip(out), out);
}

}  // namespace
}  // namespace velmora::json
