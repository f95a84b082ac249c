// Values: kinds, text validation, sharing, equality and text forms.
#include <gtest/gtest.h>

#include <stdexcept>

#include "korvel/date.h"
#include "korvel/value.h"

namespace korvel {
namespace {

TEST(Value, EmptyAndNullAreDistinct) {
  Value nothing;
  Value null = Value::null();
  EXPECT_TRUE(nothing.isEmpty());
  EXPECT_FALSE(nothing.isNull());
  EXPECT_TRUE(null.isNull());
  EXPECT_FALSE(null.isEmpty());
  EXPECT_NE(nothing, null);
  EXPECT_EQ(Value::null(), null);
  EXPECT_EQ(nothing.description(), "(nil)");
  EXPECT_EQ(null.description(), "<null>");
}

TEST(Value, TextsKeepTheirBytesAcrossTheInlineLimit) {
  for (std::size_t n : {0u, 1u, 13u, 14u, 15u, 100u}) {
    std::string s(n, 'x');
    Value v = Value::text(s);
    ASSERT_EQ(v.kind(), Kind::Text) << n;
    EXPECT_EQ(v.text(), s) << n;
    Value copy = v;
    EXPECT_EQ(copy, v) << n;
    EXPECT_EQ(copy.text().data() == v.text().data(), n > 14) << "long texts are shared, short ones inline: " << n;
  }
}

// Lengths are held in 32 bits; a longer buffer is refused before a byte of
// it is read (the views below point at one real byte).
TEST(Value, BuffersOf4GiBOrMoreAreRefused) {
  const std::size_t tooLong = std::size_t{1} << 32;
  EXPECT_THROW(Value::textUnchecked(std::string_view("x", tooLong)), std::length_error);
  EXPECT_THROW(Value::bytes("x", tooLong), std::length_error);
}

TEST(Value, InvalidUTF8GivesNothing) {
  struct Case { std::string bytes; bool valid; } cases[] = {
      {"plain", true},
      {"caf\xc3\xa9", true},
      {"\xe2\x82\xac euro", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xff", false},
      {"caf\xc3", false},          // cut in the middle of a sequence
      {"\xc0\xaf", false},          // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // beyond U+10FFFF
      {"12345678\x80", false},      // after an all-ASCII word
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(Value::text(c.bytes).isEmpty(), !c.valid) << c.bytes;
    EXPECT_EQ(Value::literal(c.bytes).isEmpty(), !c.valid) << c.bytes;
  }
  // The ASCII check reads whole words: a stray byte must be seen wherever it
  // stands, in texts shorter and longer than a word.
  for (std::size_t length = 1; length <= 20; ++length) {
    std::string ascii(length, 'a');
    EXPECT_TRUE(isValidUTF8(ascii)) << length;
    for (std::size_t at = 0; at < length; ++at) {
      std::string stray = ascii;
      stray[at] = '\xff';
      EXPECT_FALSE(isValidUTF8(stray)) << "length " << length << ", at " << at;
    }
  }
  EXPECT_TRUE(Value::textFromASCII("caf\xc3\xa9").isEmpty());
  EXPECT_EQ(Value::textFromLatin1("caf\xe9").text(), "caf\xc3\xa9");
}

TEST(Value, LiteralsUnwrapToPlainTextSharingStorage) {
  std::string digits(30, '7');
  Value lit = KorvelNewLiteral(digits.data(), digits.size());
  ASSERT_EQ(lit.kind(), Kind::Literal);
  Value plain = KorvelUnProxyLiteral(lit);
  EXPECT_EQ(plain.kind(), Kind::Text);
  EXPECT_EQ(plain.text().data(), lit.text().data());
  EXPECT_EQ(KorvelUnProxyLiteral(Value::int32(3)), Value::int32(3));
  EXPECT_NE(lit, plain) << "a literal and a text are different kinds";
}

TEST(Value, NumbersKeepTheirKindAndShortestForm) {
  struct Case { Value v; Kind kind; const char* text; } cases[] = {
      {Value::boolean(true), Kind::Boolean, "true"},
      {Value::int32(-7), Kind::Int32, "-7"},
      {Value::int64(4294967297LL), Kind::Int64, "4294967297"},
      {Value::float32(0.1f), Kind::Float, "0.1"},
      {Value::float64(0.1), Kind::Double, "0.1"},
      {Value::float64(1e300), Kind::Double, "1e+300"},
      {Value::float64(2.5), Kind::Double, "2.5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.v.kind(), c.kind) << c.text;
    EXPECT_EQ(c.v.description(), c.text);
  }
  EXPECT_NE(Value::int32(1), Value::int64(1));
  EXPECT_EQ(Value::int64(4294967297LL).asInt64(), 4294967297LL);
}

TEST(Value, ContainersCompareDeeplyAndDescribeThemselves) {
  auto list = makeRef<List>();
  list->append(Value::int32(1));
  list->append(Value::text("a"));
  auto same = makeRef<List>(std::vector<Value>{Value::int32(1), Value::text("a")});
  EXPECT_EQ(Value(list), Value(same));
  EXPECT_EQ(Value(list).description(), "(1, a)");

  auto dict = makeRef<Dictionary>();
  dict->set("Payload", Value::text("x"));
  dict->set("Local", Value::boolean(true));
  dict->set("Payload", Value::text("y"));
  EXPECT_EQ(dict->size(), 2u);
  EXPECT_EQ(dict->get("Payload").text(), "y");
  EXPECT_TRUE(dict->get("missing").isEmpty());

  Value bytes = Value::bytes("\x00\xab\xff", 3);
  EXPECT_EQ(bytes.description(), "<00abff>");
  EXPECT_EQ(bytes.asBytes()->length(), 3u);
  EXPECT_EQ(bytes, Value::bytes("\x00\xab\xff", 3));
}

TEST(Record, SharesKeysAndGivesValuesByIndexAndName) {
  Value keys[] = {Value::text("id"), Value::text("name"), Value::text("gone")};
  Value row1[] = {Value::int32(1), Value::text("ann"), Value()};
  const RecordType& type = defaultRecordType();
  Value first = type.newWithValues(row1, keys, 3);
  Ref<KeySet> shared = type.keysOf(first);
  ASSERT_TRUE(shared);
  Value row2[] = {Value::int32(2), Value::text("bob"), Value::null()};
  Value second = type.newWithValues(row2, shared);

  const Record& r1 = *first.asRecord();
  const Record& r2 = *second.asRecord();
  EXPECT_EQ(r1.keys().get(), r2.keys().get()) << "later rows share the first row's key set";
  EXPECT_EQ(r1["name"].text(), "ann");
  EXPECT_EQ(r2[std::size_t{1}].text(), "bob");
  EXPECT_TRUE(r1["gone"].isEmpty());
  EXPECT_TRUE(r2["gone"].isNull());
  EXPECT_TRUE(r1["nonexistent"].isEmpty());
  EXPECT_EQ(r1.description(), "{id = 1; name = ann; gone = (nil)}");
}

TEST(Record, OutlivesTheListThatHeldIt) {
  Value kept;
  {
    auto list = defaultListType().newList(2);
    Value keys[] = {Value::text("t")};
    Value row[] = {Value::text(std::string(40, 'q'))};
    list->append(defaultRecordType().newWithValues(row, keys, 1));
    kept = (*list)[0];
  }
  EXPECT_EQ(kept.asRecord()->at("t").text(), std::string(40, 'q'));
}

}  // namespace
}  // namespace korvel
