// The PostgreSQL value codecs, without a server: bytea, timestamps, arrays,
// field decoding by type OID and array literals.
#include "pg_values.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/date.h"
#include "korvel/korvel.h"
#include "support/test_support.h"

namespace korvel {
namespace {

using pg::ElementKind;

// Decoders are handed exactly the bytes of the text in a heap block of that
// size, so that AddressSanitizer catches any read beyond them.
class Exact {
 public:
  explicit Exact(std::string_view text) : data_(new char[text.size() ? text.size() : 1]), size_(text.size()) {
    std::memcpy(data_.get(), text.data(), text.size());
  }
  const char* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  const char* end() const { return data_.get() + size_; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

Value blobOf(std::string_view text) {
  Exact exact(text);
  return pg::dataFromBLOB(exact.data(), exact.size());
}

Value dateOf(std::string_view text) {
  Exact exact(text);
  return pg::newDateFromBuffer(exact.data(), exact.size());
}

Value fieldOf(std::string_view text, std::uint32_t oid, bool trim = false, unsigned debugging = 0) {
  Exact exact(text);
  return pg::newParseField(exact.data(), oid, exact.size(), pg::DecodeContext{trim, debugging});
}

std::string bytesAsString(const Value& v) {
  const Bytes* blob = v.asBytes();
  return blob ? std::string(blob->view()) : std::string("<not bytes>");
}

std::string escaped(std::string_view bytes) {
  Value blob = Value::bytes(bytes);
  std::string out(pg::lengthOfEscapedBLOB(*blob.asBytes()), '\0');
  EXPECT_EQ(pg::copyEscapedBLOB(*blob.asBytes(), out.data()), out.size());
  return out;
}

// What the server sees inside E'...': each doubled backslash is one.
std::string stringConstantContents(std::string_view constant) {
  EXPECT_GE(constant.size(), 3u);
  EXPECT_EQ(constant.substr(0, 2), "E'");
  EXPECT_EQ(constant.back(), '\'');
  std::string inner(constant.substr(2, constant.size() - 3));
  std::string out;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size()) ++i;
    out.push_back(inner[i]);
  }
  return out;
}

std::string serverHex(std::string_view bytes) {
  std::string out = "\\x";
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    out += pair;
  }
  return out;
}

// The server's escape output form (bytea_output = escape).
std::string serverEscape(std::string_view bytes) {
  std::string out;
  char octal[5];
  for (unsigned char b : bytes) {
    if (b == '\\') {
      out += "\\\\";
    } else if (b >= 32 && b <= 126) {
      out.push_back(static_cast<char>(b));
    } else {
      std::snprintf(octal, sizeof octal, "\\%03o", b);
      out += octal;
    }
  }
  return out;
}

std::string everyByte() {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  return all;
}

// ---- bytea -------------------------------------------------------------------

TEST(Bytea, EveryByteRoundTripsThroughEachForm) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    SCOPED_TRACE(b);
    EXPECT_EQ(bytesAsString(blobOf(serverHex(one))), one);
    EXPECT_EQ(bytesAsString(blobOf(serverEscape(one))), one);
    EXPECT_EQ(bytesAsString(blobOf(stringConstantContents(escaped(one)))), one);
  }
  const std::string all = everyByte();
  EXPECT_EQ(bytesAsString(blobOf(serverHex(all))), all);
  EXPECT_EQ(bytesAsString(blobOf(serverEscape(all))), all);
  EXPECT_EQ(bytesAsString(blobOf(stringConstantContents(escaped(all)))), all);
  const std::string twice = all + all;
  EXPECT_EQ(bytesAsString(blobOf(serverHex(twice))), twice);
}

TEST(Bytea, EscapedForms) {
  const struct {
    std::string bytes;
    const char* expected;
  } cases[] = {
      {"", "E''"},
      {std::string(1, '\0'), "E'\\\\000'"},
      {"'", "E'\\\\047'"},
      {"\\", "E'\\\\\\\\'"},
      {"\x7f", "E'\\\\177'"},
      {"\xff", "E'\\\\377'"},
      {" ~", "E' ~'"},
      {std::string("\x00" "A", 2), "E'\\\\000A'"},
      {"a\nb", "E'a\\\\012b'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(escaped(c.bytes), c.expected);
  }
}

TEST(Bytea, LengthMatchesWhatIsWrittenForEveryByte) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const std::uint32_t expected = (b == '\\') ? 7 : (b >= 32 && b <= 126 && b != '\'') ? 4 : 8;
    EXPECT_EQ(escaped(one).size(), expected) << b;
  }
}

TEST(Bytea, DecodesServerTextsAndMalformedOnesWithinBounds) {
  const struct {
    std::string text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"\\x", ""},
      {"\\x00ff", std::string("\x00\xff", 2)},
      // The server writes lowercase digits only; others are not checked and
      // give what the one-comparison rule makes of them.
      {"\\xDEADbeef", "\xbe\x8d\xbe\xef"},
      {"\\x0", ""},                          // an unpaired digit is ignored
      {"\\x41f", "A"},
      {"\\X00", std::string(1, '\0')},  // not the hex form: \X00 is an octal escape of X, 0, 0
      {"\\\\", "\\"},
      {"\\047", "'"},
      {"abc", "abc"},
      {"a\\\\b\\000c", std::string("a\\b\x00" "c", 5)},
      {"\\", "\\"},  // escapes cut short stand for themselves
      {"ab\\", "ab\\"},
      {"ab\\1", "ab\\1"},
      {"ab\\12", "ab\\12"},
      {"ab\\123", "abS"},
      {"x", "x"},
      {std::string("ab\0cd", 5), "ab"},  // a NUL ends the text
      {std::string("\\x41\0" "42", 7), "A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(bytesAsString(blobOf(c.text)), c.bytes);
  }
  EXPECT_EQ(bytesAsString(pg::dataFromBLOB(nullptr)), "");
  EXPECT_EQ(bytesAsString(pg::dataFromBLOB(nullptr, 10)), "");
  EXPECT_EQ(bytesAsString(pg::dataFromBLOB("\\x4142")), "AB");
}

// ---- Timestamps ----------------------------------------------------------------

Ref<Date> utc(const char* text) { return Date::parse(text, "%Y-%m-%d %H:%M:%S %z"); }
Ref<Date> local(const char* text) { return Date::parse(text, "%Y-%m-%d %H:%M:%S"); }

struct TimestampCase {
  const char* text;
  Ref<Date> instant;     // before the fraction is added
  double microseconds;   // added to instant
  const char* zoneName;  // of the result
};

TEST(Timestamp, GivesTheServersInstantForEveryOffsetForm) {
  const TimestampCase cases[] = {
      {"2024-02-29", local("2024-02-29 00:00:00"), 0, "local"},
      {"2024-02-29 13:45:07", local("2024-02-29 13:45:07"), 0, "local"},
      {"2024-02-29 13:45:07+00", utc("2024-02-29 13:45:07 +0000"), 0, "UTC"},
      {"2024-02-29 13:45:07+02", utc("2024-02-29 11:45:07 +0000"), 0, "+0200"},
      {"2024-02-29 13:45:07-08", utc("2024-02-29 21:45:07 +0000"), 0, "-0800"},
      {"2024-02-29 13:45:07+14", utc("2024-02-28 23:45:07 +0000"), 0, "+1400"},
      {"2024-02-29 13:45:07-12", utc("2024-03-01 01:45:07 +0000"), 0, "-1200"},
      {"2024-02-29 13:45:07+05:30", utc("2024-02-29 08:15:07 +0000"), 0, "+0530"},
      {"2024-02-29 13:45:07-03:30", utc("2024-02-29 17:15:07 +0000"), 0, "-0330"},
      {"2024-07-01 13:45:07-02:30", utc("2024-07-01 16:15:07 +0000"), 0, "-0230"},
      {"2024-02-29 13:45:07+05:45", utc("2024-02-29 08:00:07 +0000"), 0, "+0545"},
      {"2024-02-29 13:45:07+0530", utc("2024-02-29 08:15:07 +0000"), 0, "+0530"},
      {"2024-02-29 13:45:07+02:00", utc("2024-02-29 11:45:07 +0000"), 0, "+0200"},
      // Local mean time before 1900: offsets with seconds.
      {"1850-06-01 12:00:00+05:53:28", utc("1850-06-01 06:06:32 +0000"), 0, "+055328"},
      {"1880-01-01 00:00:00-00:25:21", utc("1880-01-01 00:25:21 +0000"), 0, "-002521"},
      {"1850-06-01 12:00:00.5+05:53:28", utc("1850-06-01 06:06:32 +0000"), 500000, "+055328"},
      {"2024-02-29 13:45:07.5+00", utc("2024-02-29 13:45:07 +0000"), 500000, "UTC"},
      {"2024-02-29 13:45:07.25+00", utc("2024-02-29 13:45:07 +0000"), 250000, "UTC"},
      {"2024-02-29 13:45:07.123+00", utc("2024-02-29 13:45:07 +0000"), 123000, "UTC"},
      {"2024-02-29 13:45:07.1234+00", utc("2024-02-29 13:45:07 +0000"), 123400, "UTC"},
      {"2024-02-29 13:45:07.12345-03:30", utc("2024-02-29 17:15:07 +0000"), 123450, "-0330"},
      {"2024-02-29 13:45:07.123456+00", utc("2024-02-29 13:45:07 +0000"), 123456, "UTC"},
      {"2024-02-29 13:45:07.1234567+00", utc("2024-02-29 13:45:07 +0000"), 123456, "UTC"},
      {"2024-02-29 13:45:07.000+00", utc("2024-02-29 13:45:07 +0000"), 0, "UTC"},
      {"2024-02-29 13:45:07.999999", local("2024-02-29 13:45:07"), 999999, "local"},
      {"2024-02-29 13:45:07 +02", local("2024-02-29 13:45:07"), 0, "local"},  // rest ignored
      {"2024-02-29 13:45:60+00", utc("2024-02-29 13:46:00 +0000"), 0, "UTC"},
      {"2024-04-31 00:00:00+00", utc("2024-05-01 00:00:00 +0000"), 0, "UTC"},
      {"0002-01-01 00:00:00+00", utc("0002-01-01 00:00:00 +0000"), 0, "UTC"},
      {"4000-12-31 23:59:59+00", utc("4000-12-31 23:59:59 +0000"), 0, "UTC"},
      {"0000-06-01 00:00:00+00", Date::distantPast(), 0, "UTC"},
      {"0001-01-01", Date::distantPast(), 0, "local"},
      {"0044-03-15 12:00:00+00 BC", Date::distantPast(), 0, "UTC"},
      {"0044-03-15 BC", Date::distantPast(), 0, "local"},
      {"-infinity", Date::distantPast(), 0, "local"},
      {"4001-01-01 00:00:00+00", Date::distantFuture(), 0, "UTC"},
      {"4001-01-01 00:00:00.5+03", Date::distantFuture(), 0, "+0300"},
      {"10000-01-01 00:00:00+00", Date::distantFuture(), 0, "UTC"},
      {"294276-12-31 23:59:59.999999+00", Date::distantFuture(), 0, "UTC"},
      {"infinity", Date::distantFuture(), 0, "local"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(c.instant);
    Value v = dateOf(c.text);
    const Date* date = v.asDate();
    ASSERT_NE(date, nullptr);
    EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(),
                     c.instant->timeIntervalSinceReferenceDate() + c.microseconds / 1e6);
    EXPECT_EQ(date->timeZone()->name(), c.zoneName);
    EXPECT_EQ(date->calendarFormat(), "%Y-%m-%d %H:%M:%S %z");
  }
}

TEST(Timestamp, WholeHourZonesComeFromTheTable) {
  for (int hours = -23; hours <= 23; ++hours) {
    char text[40];
    std::snprintf(text, sizeof text, "2024-02-29 13:45:07%+03d", hours);
    SCOPED_TRACE(text);
    Value v = dateOf(text);
    ASSERT_TRUE(v.asDate());
    EXPECT_EQ(v.asDate()->timeZone().get(), pg::zones()[static_cast<std::size_t>(hours + 23)].get());
  }
}

TEST(Timestamp, OtherZonesAreSharedAcrossValues) {
  for (const char* offset : {"+05:30", "-03:30", "+05:45", "+05:53:28"}) {
    const std::string text = std::string("2024-02-29 13:45:07") + offset;
    Value first = dateOf(text), second = dateOf(text);
    ASSERT_TRUE(first.asDate() && second.asDate()) << offset;
    EXPECT_EQ(first.asDate()->timeZone().get(), second.asDate()->timeZone().get()) << offset;
  }
}

TEST(Timestamp, RejectsWhatIsNotTheServersLayout) {
  const char* rejected[] = {
      "", "2", "2024", "2024-02", "2024-02-2", "abcd-ef-gh", "2024/02/29", "202-02-29",
      "2024-02-29T13:45:07", "2024-00-29", "2024-13-29", "2024-02-00", "2024-02-32",
      "2024-02-29 24:00:00", "2024-02-29 13:60:07", "2024-02-29 13:45:61", "2024-02-29 1a:45:07",
      "2024-02-29 13-45-07", "2024-02-29 13:45:07.", "2024-02-29 13:45:07.x", "2024-02-29 13:45:07+",
      "2024-02-29 13:45:07+1", "2024-02-29 13:45:07+24", "2024-02-29 13:45:07+05:", "2024-02-29 13:45:07+05:6",
      "2024-02-29 13:45:07+05:60", "2024-02-29 13:45:07+05:30:", "2024-02-29 13:45:07+05:30:60",
      "2024-02-29 13:45:07+0560", "2024-02-29 13:45:07-x", "infinityx", "Infinity", " BC", "BC",
      "2024-02-29 BCE",
  };
  for (const char* text : rejected) EXPECT_FALSE(dateOf(text)) << text;
  // Every truncation of a full text either fails or reads a shorter layout.
  const std::string full = "2024-02-29 13:45:07.123456+05:53:28 BC";
  for (std::size_t n = 11; n < 19; ++n) EXPECT_FALSE(dateOf(full.substr(0, n))) << n;
  for (std::size_t n = 0; n <= full.size(); ++n) dateOf(full.substr(0, n));
}

TEST(Timestamp, ANulEndsTheText) {
  const std::string text("2024-02-29 13:45:07+02\0garbage", 30);
  Value v = dateOf(text);
  ASSERT_TRUE(v.asDate());
  EXPECT_EQ(v.asDate()->timeZone()->name(), "+0200");
  EXPECT_FALSE(dateOf(std::string("2024-02-29 13:4\0:07", 19)));
  EXPECT_FALSE(pg::newDateFromBuffer(nullptr, 19));
}

// ---- Arrays --------------------------------------------------------------------

Value lit(const char* text) { return KorvelNewLiteral(text, std::strlen(text)); }
Value txt(std::string_view text) { return Value::text(text); }
Value list(std::initializer_list<Value> items) { return Value(makeRef<List>(std::vector<Value>(items))); }
Value bytes(std::string_view b) { return Value::bytes(b); }

struct ArrayCase {
  const char* text;
  ElementKind kind;
  Value expected;
};

Value parsed(std::string_view text, ElementKind kind, std::size_t* consumed = nullptr) {
  Exact exact(text);
  Ref<List> result = makeRef<List>(10);
  const char* after = pg::parseIntoArray(*result, kind, exact.data(), exact.end());
  EXPECT_GE(after, exact.data());
  EXPECT_LE(after, exact.end());
  if (consumed) *consumed = static_cast<std::size_t>(after - exact.data());
  return Value(result);
}

TEST(Array, ParsesTheServersForms) {
  const Value null = pg::nullMarker();
  const Value yes = pg::yesText(), no = pg::noText();
  const std::string longQuoted = "{\"" + std::string(300, 'x') + "\\\"" + std::string(300, 'y') + "\"}";
  const ArrayCase cases[] = {
      {"{}", ElementKind::Text, list({})},
      {"{{}}", ElementKind::Text, list({list({})})},
      {"{ }", ElementKind::Text, list({txt("")})},
      {"{1,2,3}", ElementKind::Integer, list({lit("1"), lit("2"), lit("3")})},
      {"{1,NULL,3}", ElementKind::Integer, list({lit("1"), null, lit("3")})},
      {"{-9223372036854775808,0}", ElementKind::Integer, list({lit("-9223372036854775808"), lit("0")})},
      {"{1.5,-2.5e+10,NaN,Infinity}", ElementKind::Float,
       list({lit("1.5"), lit("-2.5e+10"), lit("NaN"), lit("Infinity")})},
      {"{\"NULL\",NULL}", ElementKind::Text, list({txt("NULL"), null})},
      {"{NULLx,null}", ElementKind::Text, list({txt("NULLx"), txt("null")})},
      {"{\"a\\\"b\"}", ElementKind::Text, list({txt("a\"b")})},
      {"{\"c\\\\d\"}", ElementKind::Text, list({txt("c\\d")})},
      {"{\"a,b\",\"{x}\",\"\"}", ElementKind::Text, list({txt("a,b"), txt("{x}"), txt("")})},
      {"{t,f}", ElementKind::Boolean, list({yes, no})},
      {"{true,false,NULL}", ElementKind::Boolean, list({yes, no, null})},
      {"{\"t\"}", ElementKind::Boolean, list({txt("t")})},
      {"{{1,2},{3,4}}", ElementKind::Integer, list({list({lit("1"), lit("2")}), list({lit("3"), lit("4")})})},
      {"{{{1}},{{2}}}", ElementKind::Integer, list({list({list({lit("1")})}), list({list({lit("2")})})})},
      {"{ a , b }", ElementKind::Text, list({txt("a "), txt("b ")})},
      {"{h\xc3\xa9llo,\"w\xc3\xb6rld\"}", ElementKind::Text, list({txt("h\xc3\xa9llo"), txt("w\xc3\xb6rld")})},
      {"{\xff,a}", ElementKind::Text, list({txt("a")})},  // not UTF-8: left out
      {"{\"\\\\x00ff\",\"\\\\x41\",NULL}", ElementKind::Bytes,
       list({bytes(std::string("\x00\xff", 2)), bytes("A"), null})},
      {"{\\\\x41}", ElementKind::Bytes, list({bytes("\\x41")})},
      {"{abc}", ElementKind::Bytes, list({bytes("abc")})},
      {longQuoted.c_str(), ElementKind::Text, list({txt(std::string(300, 'x') + "\"" + std::string(300, 'y'))})},
      // Text that the server never writes: read within bounds, as far as it goes.
      {"{", ElementKind::Text, list({})},
      {"{,}", ElementKind::Text, list({txt("")})},
      {"{\"abc", ElementKind::Text, list({txt("abc")})},
      {"{\"abc\\", ElementKind::Text, list({txt("abc")})},
      {"{\"a\\", ElementKind::Integer, list({txt("a")})},
      {"{1,2", ElementKind::Integer, list({lit("1"), lit("2")})},
      {"{1, ", ElementKind::Integer, list({lit("1"), lit("")})},
      {"{{1,2}", ElementKind::Integer, list({list({lit("1"), lit("2")})})},
      {"{\"a\"x,b}", ElementKind::Text, list({txt("a"), txt("x"), txt("b")})},
      {"{{1}x,2}", ElementKind::Integer, list({list({lit("1")}), lit("x"), lit("2")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parsed(c.text, c.kind), c.expected) << parsed(c.text, c.kind).description();
  }
}

TEST(Array, TimestampElementsThatDoNotParseAreLeftOut) {
  Value v = parsed("{\"2024-01-02 03:04:05+00\",2024-01-02 03:04:05+00  ,\"nope\",NULL}", ElementKind::Timestamp);
  const List* items = v.asList();
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(items->size(), 3u);
  const Ref<Date> expected = utc("2024-01-02 03:04:05 +0000");
  for (std::size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE((*items)[i].asDate()) << i;
    EXPECT_EQ((*items)[i].asDate()->timeIntervalSinceReferenceDate(), expected->timeIntervalSinceReferenceDate());
  }
  EXPECT_TRUE((*items)[2].isNull());
}

TEST(Array, ReturnsThePositionAfterItsClosingBrace) {
  const struct {
    const char* text;
    std::size_t consumed;
  } cases[] = {
      {"{{1,2},{3,4}}", 13}, {"{{1,2},{3,4}}xyz", 13}, {"{1}}}", 3}, {"{1,2", 4}, {"{\"a}", 4}, {"{}", 2},
  };
  for (const auto& c : cases) {
    std::size_t consumed = 0;
    parsed(c.text, ElementKind::Integer, &consumed);
    EXPECT_EQ(consumed, c.consumed) << c.text;
  }
  std::size_t consumed = 0;
  parsed(std::string("{1,\0" "2}", 6), ElementKind::Integer, &consumed);
  EXPECT_EQ(consumed, 3u);
  Ref<List> untouched = makeRef<List>();
  const char* text = "[1:2]={1,2}";
  EXPECT_EQ(pg::parseIntoArray(*untouched, ElementKind::Integer, text, text + 11), text);
  EXPECT_TRUE(untouched->empty());
}

TEST(Array, DeepNestingStaysWithinTheStack) {
  const std::string deep = std::string(100000, '{') + std::string(100000, '}');
  Value v = parsed(deep, ElementKind::Integer);
  std::size_t depth = 0;
  for (const List* level = v.asList(); level != nullptr && !level->empty(); level = (*level)[0].asList()) ++depth;
  EXPECT_GE(depth, 6u);
  EXPECT_LT(depth, 1000u);
}

// ---- Fields --------------------------------------------------------------------

struct FieldCase {
  std::uint32_t oid;
  const char* text;
  bool trim;
  Value expected;
};

TEST(Field, DecodesEachTypeByItsOid) {
  const Value yes = pg::yesText(), no = pg::noText(), null = pg::nullMarker();
  const FieldCase cases[] = {
      {16, "t", false, yes},
      {16, "f", false, no},
      {16, "", false, no},
      {17, "\\x0001ff", false, bytes(std::string("\x00\x01\xff", 3))},
      {17, "a\\\\b", false, bytes("a\\b")},
      {18, " ", true, txt(" ")},
      {18, "a ", true, txt("a ")},
      {20, "-9223372036854775808", false, lit("-9223372036854775808")},
      {21, "7", false, lit("7")},
      {23, "42  ", false, lit("42")},
      {23, "42  ", true, lit("42")},
      {700, "1.5\t", false, lit("1.5")},
      {701, "-1.25e-300", false, lit("-1.25e-300")},
      {701, "NaN", false, lit("NaN")},
      {1082, "2024-02-29 ", false, txt("2024-02-29")},
      {1082, "2024-02-29 BC", false, txt("2024-02-29 BC")},
      {1082, "2024\xc3\xa9", false, Value()},  // date and time texts are ASCII
      {1083, "13:45:07.5\n", false, txt("13:45:07.5")},
      {25, "abc  ", false, txt("abc  ")},
      {25, "abc  ", true, txt("abc")},
      {25, "abc \xc3\xa9 ", true, txt("abc \xc3\xa9")},
      {25, "\xff\xfe", false, Value()},
      {1043, "abc  ", false, txt("abc  ")},
      {1043, "abc  ", true, txt("abc")},
      {1042, "ab   ", false, txt("ab   ")},
      {1042, "ab   ", true, txt("ab")},
      {1700, "12345678901234567890.5", false, txt("12345678901234567890.5")},
      {1000, "{t,f,NULL}", false, list({yes, no, null})},
      {1001, "{\"\\\\x41\"}", false, list({bytes("A")})},
      {1005, "{1,2}", false, list({lit("1"), lit("2")})},
      {1007, "{1,2,3}", false, list({lit("1"), lit("2"), lit("3")})},
      {1016, "{{1},{2}}", false, list({list({lit("1")}), list({lit("2")})})},
      {1021, "{1.5}", false, list({lit("1.5")})},
      {1022, "{-0,2.5}", false, list({lit("-0"), lit("2.5")})},
      {1002, "{a,b}", false, list({txt("a"), txt("b")})},
      {1009, "{\"a b\",c}", false, list({txt("a b"), txt("c")})},
      {1014, "{\"ab \"}", true, list({txt("ab ")})},
      {1015, "{x}", false, list({txt("x")})},
      {1182, "{2024-02-29}", false, list({txt("2024-02-29")})},
      {1183, "{13:45:07}", false, list({txt("13:45:07")})},
      {1263, "{c}", false, list({txt("c")})},
      {1231, "{1.5,2.5}", false, txt("{1.5,2.5}")},
      {1007, "[0:1]={1,2}", false, txt("[0:1]={1,2}")},
      {1007, "[0:1]={1,2}  ", true, txt("[0:1]={1,2}")},
      {1009, "", false, txt("")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.oid << " " << c.text << (c.trim ? " trimmed" : ""));
    Value v = fieldOf(c.text, c.oid, c.trim);
    EXPECT_EQ(v, c.expected) << v.description();
  }
}

TEST(Field, TimestampsBecomeDates) {
  for (std::uint32_t oid : {1114u, 1184u}) {
    Value v = fieldOf("2024-02-29 13:45:07+02  ", oid);
    ASSERT_TRUE(v.asDate()) << oid;
    EXPECT_EQ(v.asDate()->timeIntervalSinceReferenceDate(),
              utc("2024-02-29 11:45:07 +0000")->timeIntervalSinceReferenceDate());
    EXPECT_FALSE(fieldOf("garbage", oid)) << oid;
  }
  Value array = fieldOf("{\"2024-02-29 13:45:07+02\",\"bad\"}", 1185);
  ASSERT_TRUE(array.asList());
  ASSERT_EQ(array.asList()->size(), 1u);
  EXPECT_TRUE((*array.asList())[0].asDate());
  EXPECT_EQ(fieldOf("{}", 1115), list({}));
}

TEST(Field, ParsedArraysAreLoggedFromDebuggingLevelThree) {
  auto log = test::CapturedLog::processLog();
  fieldOf("{1,2,3}", 1007, false, 2);
  EXPECT_TRUE(log->lines().empty());
  fieldOf("{1,2,3}", 1007, false, 3);
  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(log->lines()[0], "Parsed array is (1, 2, 3)");
}

// ---- Array literals ----------------------------------------------------------------

class QuoteArray : public ::testing::Test {
 protected:
  std::unique_ptr<Korvel> client = Korvel::create({.backend = "SQLite", .database = ":memory:"});
};

TEST_F(QuoteArray, WritesEachKindOfElement) {
  Korvel& c = *client;
  const Value date = Value(utc("2024-02-29 11:45:07 +0000"));
  const struct {
    Value list;
    bool quotingStrings;
    std::string expected;
  } cases[] = {
      {list({}), true, "ARRAY[]"},
      {list({txt("a"), txt("b")}), true, "ARRAY[" + c.quoteString("a") + "," + c.quoteString("b") + "]"},
      {list({txt("a"), txt("b")}), false, "ARRAY[a,b]"},
      {list({txt("it's")}), true, "ARRAY['it''s']"},
      {list({list({Value::int32(1), Value::int32(2)}), list({Value::int32(3)})}), true,
       "ARRAY[ARRAY[" + c.quote(Value::int32(1)) + "," + c.quote(Value::int32(2)) + "],ARRAY[" +
           c.quote(Value::int32(3)) + "]]"},
      {list({date}), true, "ARRAY[" + c.quote(date) + "::timestamp with time zone]"},
      {list({bytes(std::string("\x00" "A", 2))}), true, "ARRAY[E'\\\\000A'::bytea]"},
      {list({bytes("")}), true, "ARRAY[E''::bytea]"},
      {list({lit("42"), pg::nullMarker(), Value::boolean(true), Value::float64(2.5)}), true,
       "ARRAY[42," + c.quote(pg::nullMarker()) + "," + c.quote(Value::boolean(true)) + "," +
           c.quote(Value::float64(2.5)) + "]"},
      {list({list({}), list({list({})})}), false, "ARRAY[ARRAY[],ARRAY[ARRAY[]]]"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.expected);
    EXPECT_EQ(pg::quoteArray(k.list, k.quotingStrings, c), k.expected);
  }
}

TEST_F(QuoteArray, AppendsToTheTextGiven) {
  std::string text = "SELECT ";
  std::string& result = pg::quoteArray(list({Value::int32(1)}), text, true, *client);
  EXPECT_EQ(&result, &text);
  EXPECT_EQ(text, "SELECT ARRAY[" + client->quote(Value::int32(1)) + "]");
}

TEST_F(QuoteArray, FailuresLeaveTheTextAsItWas) {
  std::string text = "SELECT ";
  EXPECT_THROW(pg::quoteArray(txt("not a list"), text, true, *client), InternalInconsistencyException);
  EXPECT_EQ(text, "SELECT ");
  // quote raises for a dictionary element; what was written before it goes.
  Value dictionary = Value(makeRef<Dictionary>());
  EXPECT_THROW(pg::quoteArray(list({Value::int32(1), list({dictionary})}), text, true, *client),
               InvalidArgumentException);
  EXPECT_EQ(text, "SELECT ");
}

// ---- Shared values -------------------------------------------------------------------

TEST(Statics, AreMadeOnceWithTheirValues) {
  const auto& zones = pg::zones();
  for (std::size_t i = 0; i < zones.size(); ++i)
    EXPECT_EQ(zones[i]->secondsFromGMT(0), -82800 + 3600 * static_cast<int>(i)) << i;
  EXPECT_EQ(zones[23]->name(), "UTC");
  EXPECT_EQ(&pg::zones(), &zones);
  EXPECT_TRUE(pg::nullMarker().isNull());
  EXPECT_EQ(pg::yesText(), txt("YES"));
  EXPECT_EQ(pg::noText(), txt("NO"));
  ASSERT_TRUE(pg::future());
  EXPECT_EQ(pg::future()->timeIntervalSinceReferenceDate(),
            utc("9999-01-01 00:00:00 +0000")->timeIntervalSinceReferenceDate());
}

}  // namespace
}  // namespace korvel
