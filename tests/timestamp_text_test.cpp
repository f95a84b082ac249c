#include "timestamp_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "korvel/date.h"

namespace korvel {
namespace {

constexpr std::string_view kResultFormat = "%Y-%m-%d %H:%M:%S %z";

Value decode(std::string_view text) {
  return common::dbToDateFromBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

// The server's text, the text the decoder should hand to the parser and the
// format it should parse it with.
struct Rewrite {
  const char* given;
  const char* parsed;
  const char* format;
};

const Rewrite kRewrites[] = {
    {"2024-01-02 03:04:05", "2024-01-02 03:04:05", "%Y-%m-%d %H:%M:%S"},
    {"2024-01-02 03:04:05.5", "2024-01-02 03:04:05.500", "%Y-%m-%d %H:%M:%S.%F"},
    {"2024-01-02 03:04:05.123456", "2024-01-02 03:04:05.123", "%Y-%m-%d %H:%M:%S.%F"},
    {"2024-01-02 03:04:05.999999", "2024-01-02 03:04:05.999", "%Y-%m-%d %H:%M:%S.%F"},
    {"2024-01-02 03:04:05.", "2024-01-02 03:04:05.000", "%Y-%m-%d %H:%M:%S.%F"},
    {"2024-01-02 03:04:05+01", "2024-01-02 03:04:05 +0100", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05-08", "2024-01-02 03:04:05 -0800", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05+05:30", "2024-01-02 03:04:05 +0530", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05-03:30", "2024-01-02 03:04:05 -0330", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05.5+01", "2024-01-02 03:04:05.500 +0100", "%Y-%m-%d %H:%M:%S.%F %z"},
    {"2024-01-02 03:04:05.12-08", "2024-01-02 03:04:05.120 -0800", "%Y-%m-%d %H:%M:%S.%F %z"},
    {"2024-01-02 03:04:05.123456+05:30", "2024-01-02 03:04:05.123 +0530", "%Y-%m-%d %H:%M:%S.%F %z"},
    {"2024-01-02 03:04:05 +0100", "2024-01-02 03:04:05 +0100", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05 +01", "2024-01-02 03:04:05 +0100", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05+0100   ", "2024-01-02 03:04:05 +0100", "%Y-%m-%d %H:%M:%S %z"},
    {"2024-01-02 03:04:05.25+00\t\r\n\v\f ", "2024-01-02 03:04:05.250 +0000", "%Y-%m-%d %H:%M:%S.%F %z"},
    {"0001-01-01 00:00:00+00", "0001-01-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z"},
    {"9999-12-31 23:59:59.999+14", "9999-12-31 23:59:59.999 +1400", "%Y-%m-%d %H:%M:%S.%F %z"},
    {"2024-02-29 13:45:07-23", "2024-02-29 13:45:07 -2300", "%Y-%m-%d %H:%M:%S %z"},
};

TEST(TimestampText, RewritesServerTexts) {
  for (const auto& row : kRewrites) {
    SCOPED_TRACE(row.given);
    const Ref<Date> expected = Date::parse(row.parsed, row.format);
    ASSERT_TRUE(expected) << "expected text does not parse";
    const Value value = decode(row.given);
    const Date* date = value.asDate();
    ASSERT_NE(date, nullptr);
    EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(), expected->timeIntervalSinceReferenceDate());
    EXPECT_TRUE(date->timeZone()->equals(*expected->timeZone()));
    EXPECT_EQ(date->calendarFormat(), kResultFormat);
  }
}

TEST(TimestampText, DateAloneKeepsItsFormat) {
  const Value value = decode("2024-02-29");
  const Date* date = value.asDate();
  ASSERT_NE(date, nullptr);
  const Ref<Date> expected = Date::parse("2024-02-29", "%Y-%m-%d");
  ASSERT_TRUE(expected);
  EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(), expected->timeIntervalSinceReferenceDate());
  EXPECT_EQ(date->calendarFormat(), "%Y-%m-%d");
  EXPECT_EQ(date->timeZone().get(), TimeZone::local().get());
  EXPECT_EQ(date->description(), "2024-02-29");

  // Ten characters left after trimming count as a date alone as well.
  const Value trimmed = decode("2024-02-29 \n");
  ASSERT_NE(trimmed.asDate(), nullptr);
  EXPECT_EQ(trimmed.asDate()->calendarFormat(), "%Y-%m-%d");
}

TEST(TimestampText, OffsetWithSecondsIsNotAnOffset) {
  // The walk back meets a colon first, so the text is read without an offset
  // and the parser refuses the characters left over.
  EXPECT_TRUE(decode("2024-01-02 03:04:05+05:53:28").isEmpty());
}

TEST(TimestampText, TextsThatAreNotDates) {
  const char* const texts[] = {
      "infinity",
      "-infinity",
      "2024-13-02 03:04:05",
      "2024-02-30",
      "2024-01-02 24:00:00",
      "2024-01-02 03:04",
      "2024-01-02T03:04:05",
      "2024-01-02 03:04:05+1",
      "2024-01-02 03:04:05+01:3",
      "2024-01-02 03:04:05+24",
      "2024-01-02 03:04:05 BC",
      "12345-01-02 03:04:05+00x",
      "+2024-01-02 03:04:05",
      "2024-01-02 03:04:05\xff",
  };
  for (const char* text : texts) EXPECT_TRUE(decode(text).isEmpty()) << text;
}

TEST(TimestampText, EmptyTexts) {
  EXPECT_TRUE(decode("").isEmpty());
  EXPECT_TRUE(decode(" \t\r\n\v\f").isEmpty());
  const char text[] = "2024-01-02 03:04:05";
  EXPECT_TRUE(common::dbToDateFromBuffer(text, 0).isEmpty());
  EXPECT_TRUE(common::dbToDateFromBuffer(text, -1).isEmpty());
  EXPECT_TRUE(common::dbToDateFromBuffer(text, INT32_MIN).isEmpty());
  EXPECT_TRUE(common::dbToDateFromBuffer(nullptr, 0).isEmpty());
  const std::string nulFirst("\0 2024-01-02", 12);
  EXPECT_TRUE(decode(nulFirst).isEmpty());
}

TEST(TimestampText, NulEndsTheText) {
  // The offset after the NUL is not seen; the text is read in the local zone.
  const std::string withNul("2024-01-02 03:04:05\0+01", 23);
  const Value value = decode(withNul);
  ASSERT_NE(value.asDate(), nullptr);
  const Ref<Date> expected = Date::parse("2024-01-02 03:04:05", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(expected);
  EXPECT_DOUBLE_EQ(value.asDate()->timeIntervalSinceReferenceDate(), expected->timeIntervalSinceReferenceDate());
  EXPECT_EQ(value.asDate()->timeZone().get(), TimeZone::local().get());

  const std::string dateThenNul("2024-02-29\0 03:04:05", 20);
  ASSERT_NE(decode(dateThenNul).asDate(), nullptr);
  EXPECT_EQ(decode(dateThenNul).asDate()->calendarFormat(), "%Y-%m-%d");
}

TEST(TimestampText, ReadsOnlyLengthCharacters) {
  // Exactly sized heap copies without a NUL: any read past the end is caught
  // by the address sanitizer.
  for (std::string_view text : {"2024-01-02 03:04:05+05:30", "2024-01-02 03:04:05.5+01", "2024-02-29",
                                "2024-01-02 03:04:05.123456", "2024-01-02 03:04:05+01"}) {
    SCOPED_TRACE(text);
    auto exact = std::make_unique<char[]>(text.size());
    std::memcpy(exact.get(), text.data(), text.size());
    const Value value = common::dbToDateFromBuffer(exact.get(), static_cast<std::int32_t>(text.size()));
    EXPECT_NE(value.asDate(), nullptr);
  }
  // Characters beyond the length are not part of the text.
  const char longer[] = "2024-01-02 03:04:05+01:30 and more";
  const Value value = common::dbToDateFromBuffer(longer, 22);
  ASSERT_NE(value.asDate(), nullptr);
  EXPECT_EQ(value.asDate()->timeZone()->secondsFromGMT(0), 3600);
}

TEST(TimestampText, LeavesTheCallersBufferAlone) {
  for (const auto& row : kRewrites) {
    std::string buffer = row.given;
    const std::string before = buffer;
    common::dbToDateFromBuffer(buffer.data(), static_cast<std::int32_t>(buffer.size()));
    EXPECT_EQ(buffer, before);
  }
}

TEST(TimestampText, KeepsTheOffsetsZone) {
  const Value value = decode("2024-02-29 13:45:07.5-03:30");
  ASSERT_NE(value.asDate(), nullptr);
  EXPECT_EQ(value.asDate()->timeZone()->secondsFromGMT(0), -12600);
  EXPECT_EQ(value.asDate()->description(), "2024-02-29 13:45:07 -0330");
  EXPECT_DOUBLE_EQ(value.asDate()->timeIntervalSince1970(), 1709214307.5 + 12600);
}

}  // namespace
}  // namespace korvel
