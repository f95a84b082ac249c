#include "korvel/date.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvel {
namespace {

constexpr std::int32_t kHour = 3600;

// --- civil arithmetic ------------------------------------------------------

struct KnownDay {
  std::int64_t year;
  unsigned month;
  unsigned day;
  std::int64_t daysSince1970;
};

// Day numbers counted independently (a plain year-by-year walk), covering the
// era boundaries, century rules and the years before 1 and after 9999.
const KnownDay kKnownDays[] = {
    {1970, 1, 1, 0},        {1969, 12, 31, -1},      {2001, 1, 1, 11323},
    {2000, 2, 29, 11016},   {1900, 3, 1, -25508},    {1600, 2, 29, -135081},
    {1, 1, 1, -719162},     {0, 3, 1, -719468},      {0, 2, 29, -719469},
    {-1, 12, 31, -719529},  {-44, 3, 15, -735525},   {9999, 12, 31, 2932896},
    {10000, 1, 1, 2932897}, {999999, 12, 31, 364522971}, {-999999, 1, 1, -365961662},
};

TEST(CivilArithmetic, KnownDaysBothWays) {
  for (const auto& known : kKnownDays) {
    SCOPED_TRACE(testing::Message() << known.year << "-" << known.month << "-" << known.day);
    EXPECT_EQ(daysFromCivil(known.year, known.month, known.day), known.daysSince1970);
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(known.daysSince1970, year, month, day);
    EXPECT_EQ(year, known.year);
    EXPECT_EQ(month, known.month);
    EXPECT_EQ(day, known.day);
  }
}

// Every day over four 400-year eras around 1970 and year 0 maps back to
// itself, and consecutive days step through valid dates one at a time.
TEST(CivilArithmetic, ConsecutiveDaysRoundTripAndStayValid) {
  for (std::int64_t days = -1000000; days <= 300000; ++days) {
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(days, year, month, day);
    ASSERT_TRUE(isValidCivilDate(year, static_cast<int>(month), static_cast<int>(day))) << days;
    ASSERT_EQ(daysFromCivil(year, month, day), days);
  }
}

TEST(CivilArithmetic, OutOfRangeFieldsCountOn) {
  EXPECT_EQ(daysFromCivil(2024, 4, 31), daysFromCivil(2024, 5, 1));
  EXPECT_EQ(daysFromCivil(2023, 2, 29), daysFromCivil(2023, 3, 1));
  EXPECT_EQ(daysFromCivil(2024, 13, 1), daysFromCivil(2025, 1, 1));
  EXPECT_EQ(daysFromCivil(2024, 0, 1), daysFromCivil(2023, 12, 1));
  EXPECT_EQ(daysFromCivil(2024, 25, 1), daysFromCivil(2026, 1, 1));
}

TEST(CivilArithmetic, ExtremeArgumentsDoNotOverflow) {
  // Clamped rather than overflowing; only the absence of undefined behaviour
  // (checked by the sanitizers) and monotony matter here.
  const auto low = daysFromCivil(INT64_MIN, 1, 1);
  const auto high = daysFromCivil(INT64_MAX, 0xffffffffu, 0xffffffffu);
  EXPECT_LT(low, 0);
  EXPECT_GT(high, 0);
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civilFromDays(INT64_MIN, year, month, day);
  EXPECT_LT(year, 0);
  civilFromDays(INT64_MAX, year, month, day);
  EXPECT_GT(year, 0);
}

TEST(CivilArithmetic, ValidDates) {
  struct Case {
    std::int64_t year;
    int month;
    int day;
    bool valid;
  };
  const Case cases[] = {
      {2024, 2, 29, true},  {2023, 2, 29, false}, {1900, 2, 29, false}, {2000, 2, 29, true},
      {0, 2, 29, true},     {2024, 4, 30, true},  {2024, 4, 31, false}, {2024, 12, 31, true},
      {2024, 0, 1, false},  {2024, 13, 1, false}, {2024, 1, 0, false},  {2024, 1, 32, false},
      {999999, 12, 31, true}, {1000000, 1, 1, false}, {-999999, 1, 1, true}, {-1000000, 1, 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidCivilDate(c.year, c.month, c.day), c.valid)
        << c.year << "-" << c.month << "-" << c.day;
  }
}

// --- time zones --------------------------------------------------------------

TEST(TimeZone, Names) {
  EXPECT_EQ(TimeZone::utc()->name(), "UTC");
  EXPECT_EQ(TimeZone::local()->name(), "local");
  EXPECT_EQ(TimeZone::fixed(0)->name(), "UTC");
  EXPECT_EQ(TimeZone::fixed(5 * kHour + 1800)->name(), "+0530");
  EXPECT_EQ(TimeZone::fixed(-(3 * kHour + 1800))->name(), "-0330");
  EXPECT_EQ(TimeZone::fixed(-8 * kHour)->name(), "-0800");
  EXPECT_EQ(TimeZone::fixed(5 * kHour + 45 * 60)->name(), "+0545");
  EXPECT_EQ(TimeZone::fixed(-(53 * 60 + 28))->name(), "-005328");
  EXPECT_EQ(TimeZone::fixed(1000000)->name(), "+2400");
  EXPECT_EQ(TimeZone::fixed(-1000000)->name(), "-2400");
  EXPECT_EQ(TimeZone::fixed(-1000000)->secondsFromGMT(0), -24 * kHour);
}

TEST(TimeZone, FixedZonesAreShared) {
  for (std::int32_t offset : {0, kHour, -23 * kHour, 19800, -12600, 20700, 3601, -1234}) {
    SCOPED_TRACE(offset);
    const Ref<TimeZone> first = TimeZone::fixed(offset);
    const Ref<TimeZone> second = TimeZone::fixed(offset);
    EXPECT_EQ(first.get(), second.get());
    EXPECT_TRUE(first->isFixed());
    EXPECT_EQ(first->secondsFromGMT(123456.0), offset);
    EXPECT_EQ(first->secondsFromGMTForLocal(123456.0), offset);
  }
  EXPECT_EQ(TimeZone::fixed(0).get(), TimeZone::utc().get());
  EXPECT_EQ(TimeZone::local().get(), TimeZone::local().get());
  EXPECT_FALSE(TimeZone::local()->isFixed());
}

TEST(TimeZone, SharedAcrossThreads) {
  constexpr int kThreads = 4;
  std::vector<std::vector<const TimeZone*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (std::int32_t offset = -2000; offset <= 2000; offset += 7) {
        seen[static_cast<std::size_t>(t)].push_back(TimeZone::fixed(offset).get());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[static_cast<std::size_t>(t)], seen[0]);
}

TEST(TimeZone, Equality) {
  EXPECT_TRUE(TimeZone::fixed(3600)->equals(*TimeZone::fixed(3600)));
  EXPECT_FALSE(TimeZone::fixed(3600)->equals(*TimeZone::fixed(-3600)));
  EXPECT_FALSE(TimeZone::utc()->equals(*TimeZone::local()));
  EXPECT_TRUE(TimeZone::local()->equals(*TimeZone::local()));
  EXPECT_FALSE(TimeZone::utc()->equals(*Date::make(0)));
}

// --- parsing and writing -----------------------------------------------------

double unixToReference(double unixSeconds) { return unixSeconds - kReferenceDateFromUnix; }

struct RoundTrip {
  const char* text;
  const char* format;
  double unixSeconds;       // the instant the text stands for
  std::int32_t zoneOffset;  // of the zone the date carries
};

// Instants computed independently of the code under test.
const RoundTrip kRoundTrips[] = {
    {"2024-02-29 13:45:07 +0000", "%Y-%m-%d %H:%M:%S %z", 1709214307, 0},
    {"2024-02-29 13:45:07 +0200", "%Y-%m-%d %H:%M:%S %z", 1709214307 - 7200, 7200},
    {"2024-02-29 13:45:07.123 +0530", "%Y-%m-%d %H:%M:%S.%F %z", 1709214307 - 19800 + 0.123, 19800},
    {"2024-02-29 13:45:07.001 -0330", "%Y-%m-%d %H:%M:%S.%F %z", 1709214307 + 12600 + 0.001, -12600},
    {"2024-02-29 13:45:07.999 -0800", "%Y-%m-%d %H:%M:%S.%F %z", 1709214307 + 28800 + 0.999, -28800},
    {"1999-12-31 23:59:59 -0330", "%Y-%m-%d %H:%M:%S %z", 946684799 + 12600, -12600},
    {"2000-02-29 00:00:00 +2359", "%Y-%m-%d %H:%M:%S %z", 951782400 - 86340, 86340},
    {"1900-03-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", -2203891200, 0},
    {"0001-01-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", -62135596800, 0},
    {"4001-01-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", 64092211200, 0},
    {"9999-12-31 23:59:59 +0000", "%Y-%m-%d %H:%M:%S %z", 253402300799, 0},
    {"10000-01-01 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", 253402300800, 0},
    {"0000-02-29 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", -62162121600, 0},
    {"-0044-03-15 00:00:00 +0000", "%Y-%m-%d %H:%M:%S %z", -63549360000, 0},
    {"69-07-20 20:17:40 +0000", "%y-%m-%d %H:%M:%S %z", -14182940, 0},
    {"68-01-01 00:00:00 +0000", "%y-%m-%d %H:%M:%S %z", 3092601600, 0},
    {"20240229T134507Z+0000", "%Y%m%dT%H%M%SZ%z", 1709214307, 0},
    {"29.02.2024 13h45 100% +0100", "%d.%m.%Y %Hh%M 100%% %z", 1709214300 - 3600, 3600},
};

TEST(DateParse, RoundTrips) {
  for (const auto& row : kRoundTrips) {
    SCOPED_TRACE(row.text);
    const Ref<Date> date = Date::parse(row.text, row.format);
    ASSERT_TRUE(date);
    EXPECT_NEAR(date->timeIntervalSince1970(), row.unixSeconds, 1e-6);
    EXPECT_TRUE(date->timeZone()->isFixed());
    EXPECT_EQ(date->timeZone()->secondsFromGMT(0), row.zoneOffset);
    EXPECT_EQ(date->calendarFormat(), row.format);
    EXPECT_EQ(date->description(), row.text);
    EXPECT_EQ(date->format(row.format), row.text);
  }
}

TEST(DateParse, WithoutOffsetUsesDefaultZone) {
  const Ref<Date> date = Date::parse("2024-02-29 13:45:07", "%Y-%m-%d %H:%M:%S", TimeZone::fixed(-3600));
  ASSERT_TRUE(date);
  EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), 1709214307 + 3600);
  EXPECT_EQ(date->timeZone().get(), TimeZone::fixed(-3600).get());

  const Ref<Date> local = Date::parse("2024-02-29", "%Y-%m-%d");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->timeZone().get(), TimeZone::local().get());
  EXPECT_EQ(local->format("%Y-%m-%d %H:%M:%S"), "2024-02-29 00:00:00");
}

TEST(DateParse, MissingFieldsDefaultToReferenceDate) {
  const Ref<Date> date = Date::parse("13:45", "%H:%M", TimeZone::utc());
  ASSERT_TRUE(date);
  EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(), 13 * 3600 + 45 * 60);
}

TEST(DateParse, RejectsTextsThatDoNotMatch) {
  const char* const kFormat = "%Y-%m-%d %H:%M:%S %z";
  const char* const kFractionFormat = "%Y-%m-%d %H:%M:%S.%F %z";
  struct Case {
    const char* text;
    const char* format;
  };
  const Case cases[] = {
      {"2024-13-01 00:00:00 +0000", kFormat},     // month 13
      {"2024-00-01 00:00:00 +0000", kFormat},     // month 0
      {"2024-02-30 00:00:00 +0000", kFormat},     // February 30
      {"2023-02-29 00:00:00 +0000", kFormat},     // not a leap year
      {"2024-04-31 00:00:00 +0000", kFormat},     // April 31
      {"2024-01-00 00:00:00 +0000", kFormat},     // day 0
      {"2024-01-02 24:00:00 +0000", kFormat},     // hour 24
      {"2024-01-02 03:60:00 +0000", kFormat},     // minute 60
      {"2024-01-02 03:04:60 +0000", kFormat},     // second 60
      {"2024-01-02 03:04:05 +0000x", kFormat},    // trailing character
      {"2024-01-02 03:04:05 +0000 ", kFormat},    // trailing space
      {"2024-01-02 03:04:05", kFormat},           // offset missing
      {"2024-1-02 03:04:05 +0000", kFormat},      // missing digit in month
      {"2024-01-02 03:04:5 +0000", kFormat},      // missing digit in second
      {"--01-02 03:04:05 +0000", kFormat},        // sign without year digits
      {"2024-01-02 03:04:05 +05:30", kFormat},    // colon in offset
      {"2024-01-02 03:04:05 +05", kFormat},       // short offset
      {"2024-01-02 03:04:05 0530", kFormat},      // offset without sign
      {"2024-01-02 03:04:05 +2400", kFormat},     // offset hours
      {"2024-01-02 03:04:05 +0560", kFormat},     // offset minutes
      {"2024-01-02 03:04:05.12 +0000", kFractionFormat},    // two fraction digits
      {"2024-01-02 03:04:05.1234 +0000", kFractionFormat},  // four fraction digits
      {"2024-01-02 03:04:05 +0000", kFractionFormat},       // fraction missing
      {"2024-01-02T03:04:05 +0000", kFormat},     // other separator
      {"", kFormat},
      {"2024", "%Y-%m-%d"},
      {"1000000-01-01", "%Y-%m-%d"},              // beyond the supported years
      {"99999999999999999999-01-01", "%Y-%m-%d"},
      {"2024-01-02", "%Y-%m-%d%%"},               // literal percent missing
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Date::parse(c.text, c.format, TimeZone::utc())) << c.text << " / " << c.format;
  }
}

TEST(DateParse, UnknownDirectiveStandsForItself) {
  const Ref<Date> date = Date::parse("2024-01-02%Q", "%Y-%m-%d%Q", TimeZone::utc());
  ASSERT_TRUE(date);
  EXPECT_EQ(date->description(), "2024-01-02%Q");
  EXPECT_FALSE(Date::parse("2024-01-02Q", "%Y-%m-%d%Q", TimeZone::utc()));
  EXPECT_EQ(Date::make(0)->format("%Y%"), "2001%");
}

// --- writing -----------------------------------------------------------------

TEST(DateFormat, MillisecondsRoundWithoutReaching1000) {
  struct Case {
    double seconds;  // since 2001, shown in UTC
    const char* text;
  };
  const Case cases[] = {
      {0.0, "2001-01-01 00:00:00.000"},
      {0.1234, "2001-01-01 00:00:00.123"},
      {0.1236, "2001-01-01 00:00:00.124"},
      {59.9996, "2001-01-01 00:01:00.000"},
      {86399.9999, "2001-01-02 00:00:00.000"},
      {-0.5, "2000-12-31 23:59:59.500"},
      {-0.0004, "2001-01-01 00:00:00.000"},
      {-0.0006, "2000-12-31 23:59:59.999"},
      {-86400.25, "2000-12-30 23:59:59.750"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Date::make(c.seconds)->format("%Y-%m-%d %H:%M:%S.%F"), c.text) << c.seconds;
  }
}

TEST(DateFormat, Directives) {
  const Ref<Date> date = Date::make(unixToReference(1709214307.042), TimeZone::fixed(-12600));
  EXPECT_EQ(date->format("%Y|%y|%m|%d|%H|%M|%S|%F|%z|%%"), "2024|24|02|29|10|15|07|042|-0330|%");
  EXPECT_EQ(date->format("%Y-%m-%d %H:%M:%S %z", *TimeZone::utc()), "2024-02-29 13:45:07 +0000");
  EXPECT_EQ(date->description(), "2024-02-29 10:15:07 -0330");
  EXPECT_EQ(Date::make(unixToReference(-62162121600 - 86400 * 366))->format("%Y %y"), "-0001 99");
  EXPECT_EQ(Date::make(unixToReference(253402300800))->format("%Y"), "10000");
}

TEST(DateFormat, NonFiniteAndHugeInstantsStayInRange) {
  const double infinity = std::numeric_limits<double>::infinity();
  for (double seconds : {std::nan(""), infinity, -infinity, 1e300, -1e300}) {
    const Ref<Date> date = Date::make(seconds, TimeZone::fixed(1234));
    const std::string text = date->description();
    EXPECT_FALSE(text.empty()) << seconds;
    const CivilTime civil = date->civil();
    EXPECT_TRUE(isValidCivilDate(civil.year, civil.month, civil.day)) << seconds;
  }
}

// --- building dates ----------------------------------------------------------

TEST(DateMake, FromCivilChecksEveryField) {
  CivilTime good;
  good.year = 2024;
  good.month = 2;
  good.day = 29;
  good.hour = 23;
  good.minute = 59;
  good.second = 59;
  good.fraction = 0.5;
  const Ref<Date> date = Date::fromCivil(good, TimeZone::fixed(3600));
  ASSERT_TRUE(date);
  EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), 1709251199.5 - 3600);
  EXPECT_EQ(date->calendarFormat(), Date::kDefaultFormat);

  struct Bad {
    const char* what;
    void (*spoil)(CivilTime&);
  };
  const Bad bads[] = {
      {"month 13", [](CivilTime& c) { c.month = 13; }},
      {"month 0", [](CivilTime& c) { c.month = 0; }},
      {"day 30 of February", [](CivilTime& c) { c.day = 30; }},
      {"day 0", [](CivilTime& c) { c.day = 0; }},
      {"hour 24", [](CivilTime& c) { c.hour = 24; }},
      {"hour -1", [](CivilTime& c) { c.hour = -1; }},
      {"minute 60", [](CivilTime& c) { c.minute = 60; }},
      {"second 60", [](CivilTime& c) { c.second = 60; }},
      {"second -1", [](CivilTime& c) { c.second = -1; }},
      {"fraction 1", [](CivilTime& c) { c.fraction = 1; }},
      {"negative fraction", [](CivilTime& c) { c.fraction = -0.1; }},
      {"NaN fraction", [](CivilTime& c) { c.fraction = std::nan(""); }},
      {"year 1000000", [](CivilTime& c) { c.year = 1000000; }},
  };
  for (const auto& bad : bads) {
    CivilTime civil = good;
    bad.spoil(civil);
    EXPECT_FALSE(Date::fromCivil(civil, TimeZone::utc())) << bad.what;
  }
}

TEST(DateMake, CivilFieldsRoundTrip) {
  for (double unixSeconds : {1709214307.25, -14182940.5, -62135596800.0, 0.0, -0.75}) {
    SCOPED_TRACE(unixSeconds);
    for (std::int32_t offset : {0, 19800, -12600}) {
      const Ref<Date> date = Date::fromUnix(unixSeconds, TimeZone::fixed(offset));
      const CivilTime civil = date->civil();
      EXPECT_GE(civil.fraction, 0.0);
      EXPECT_LT(civil.fraction, 1.0);
      const Ref<Date> back = Date::fromCivil(civil, date->timeZone());
      ASSERT_TRUE(back);
      EXPECT_DOUBLE_EQ(back->timeIntervalSince1970(), unixSeconds);
    }
  }
  const CivilTime civil = Date::fromUnix(-0.75)->civil();
  EXPECT_EQ(civil.year, 1969);
  EXPECT_EQ(civil.month, 12);
  EXPECT_EQ(civil.day, 31);
  EXPECT_EQ(civil.hour, 23);
  EXPECT_EQ(civil.minute, 59);
  EXPECT_EQ(civil.second, 59);
  EXPECT_DOUBLE_EQ(civil.fraction, 0.25);
}

TEST(DateMake, DistantDates) {
  EXPECT_DOUBLE_EQ(Date::distantPast()->timeIntervalSince1970(), -62135596800.0);
  EXPECT_DOUBLE_EQ(Date::distantFuture()->timeIntervalSince1970(), 64092211200.0);
  EXPECT_EQ(Date::distantPast()->description(), "0001-01-01 00:00:00 +0000");
  EXPECT_EQ(Date::distantFuture()->description(), "4001-01-01 00:00:00 +0000");
  EXPECT_EQ(Date::distantPast().get(), Date::distantPast().get());
}

TEST(DateMake, DefaultsAndVariants) {
  const Ref<Date> date = Date::make(100);
  EXPECT_EQ(date->timeZone().get(), TimeZone::utc().get());
  EXPECT_EQ(date->calendarFormat(), Date::kDefaultFormat);
  EXPECT_DOUBLE_EQ(Date::fromUnix(kReferenceDateFromUnix + 5)->timeIntervalSinceReferenceDate(), 5);

  const Ref<Date> shifted = date->withTimeZone(TimeZone::fixed(-8 * kHour));
  EXPECT_DOUBLE_EQ(shifted->timeIntervalSinceReferenceDate(), 100);
  EXPECT_EQ(shifted->description(), "2000-12-31 16:01:40 -0800");
  EXPECT_EQ(date->withTimeZone({})->timeZone().get(), TimeZone::utc().get());

  const Ref<Date> reformatted = shifted->withCalendarFormat("%H:%M");
  EXPECT_EQ(reformatted->description(), "16:01");
  EXPECT_EQ(reformatted->timeZone().get(), shifted->timeZone().get());
  EXPECT_EQ(shifted->description(), "2000-12-31 16:01:40 -0800");  // unchanged

  // Same instant in another zone or format is the same date.
  EXPECT_TRUE(date->equals(*reformatted));
  EXPECT_FALSE(date->equals(*Date::make(100.001)));
  EXPECT_FALSE(date->equals(*TimeZone::utc()));
  EXPECT_EQ(Value(date), Value(reformatted));

  const double before = Date::now()->timeIntervalSince1970();
  const double wall = static_cast<double>(::time(nullptr));
  EXPECT_NEAR(before, wall, 2.0);
  EXPECT_EQ(Date::now()->timeZone().get(), TimeZone::local().get());
}

TEST(DateMake, DatesShareTheirFormatText) {
  const Ref<Date> a = Date::parse("2024-01-02 03:04:05 +0000", Date::kDefaultFormat);
  const Ref<Date> b = Date::make(7);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->calendarFormat().data(), b->calendarFormat().data());
}

// --- the local zone ----------------------------------------------------------

// Sets TZ for one test and puts the previous setting back afterwards.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTZ(const ScopedTZ&) = delete;
  ScopedTZ& operator=(const ScopedTZ&) = delete;

 private:
  std::optional<std::string> previous_;
};

bool haveZoneInfo(const char* name) {
  return std::filesystem::exists(std::filesystem::path("/usr/share/zoneinfo") / name);
}

TEST(LocalZone, FollowsDaylightSavingTime) {
  if (!haveZoneInfo("America/New_York")) GTEST_SKIP() << "no time-zone database";
  ScopedTZ tz("America/New_York");
  const Ref<TimeZone> local = TimeZone::local();
  const double summer = unixToReference(1719835200);  // 2024-07-01 12:00 UTC
  const double winter = unixToReference(1705320000);  // 2024-01-15 12:00 UTC
  EXPECT_EQ(local->secondsFromGMT(summer), -4 * kHour);
  EXPECT_EQ(local->secondsFromGMT(winter), -5 * kHour);

  const Ref<Date> july = Date::parse("2024-07-01 08:00:00", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(july);
  EXPECT_DOUBLE_EQ(july->timeIntervalSinceReferenceDate(), summer);
  EXPECT_EQ(july->format("%H:%M %z"), "08:00 -0400");
  const Ref<Date> january = Date::parse("2024-01-15 07:00:00", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(january);
  EXPECT_DOUBLE_EQ(january->timeIntervalSinceReferenceDate(), winter);
  EXPECT_EQ(january->format("%H:%M %z"), "07:00 -0500");

  // Right after the spring change (07:00 UTC on 2024-03-10) and in the hour
  // it skips: the first is exact, the second takes one of the two offsets.
  const Ref<Date> after = Date::parse("2024-03-10 03:30:00", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(after);
  EXPECT_DOUBLE_EQ(after->timeIntervalSince1970(), 1710055800);  // 07:30 UTC
  const Ref<Date> skipped = Date::parse("2024-03-10 02:30:00", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(skipped);
  const double skippedUnix = skipped->timeIntervalSince1970();
  EXPECT_TRUE(skippedUnix == 1710052200 || skippedUnix == 1710055800) << skippedUnix;
  // In the repeated hour of the autumn change either reading is right.
  const Ref<Date> repeated = Date::parse("2024-11-03 01:30:00", "%Y-%m-%d %H:%M:%S");
  ASSERT_TRUE(repeated);
  const double repeatedUnix = repeated->timeIntervalSince1970();
  EXPECT_TRUE(repeatedUnix == 1730611800 || repeatedUnix == 1730615400) << repeatedUnix;
  EXPECT_EQ(repeated->format("%H:%M"), "01:30");
}

TEST(LocalZone, FixedZonesIgnoreTZ) {
  const char* const text = "2024-07-01 08:00:00 +0530";
  const char* const format = "%Y-%m-%d %H:%M:%S %z";
  const Ref<Date> reference = Date::parse(text, format);
  ASSERT_TRUE(reference);
  for (const char* zone : {"America/New_York", "Australia/Lord_Howe", "UTC"}) {
    if (!haveZoneInfo(zone)) continue;
    ScopedTZ tz(zone);
    const Ref<Date> date = Date::parse(text, format);
    ASSERT_TRUE(date);
    EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(), reference->timeIntervalSinceReferenceDate());
    EXPECT_EQ(date->description(), text);
    const CivilTime civil{2024, 7, 1, 8, 0, 0, 0};
    EXPECT_DOUBLE_EQ(Date::fromCivil(civil, TimeZone::fixed(-3 * kHour))->timeIntervalSince1970(),
                     1719835200 - 4 * kHour + 3 * kHour);
  }
}

TEST(LocalZone, ShowsLocalCivilTime) {
  if (!haveZoneInfo("Asia/Kolkata")) GTEST_SKIP() << "no time-zone database";
  ScopedTZ tz("Asia/Kolkata");
  const Ref<Date> date = Date::fromUnix(1709214307, TimeZone::local());
  EXPECT_EQ(date->description(), "2024-02-29 19:15:07 +0530");
  const CivilTime civil = date->civil();
  EXPECT_EQ(civil.hour, 19);
  EXPECT_EQ(civil.minute, 15);
}

}  // namespace
}  // namespace korvel
