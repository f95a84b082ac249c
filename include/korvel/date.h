// Dates and time zones.
//
// A date is a point in time, kept as seconds (a double) since the reference
// date 2001-01-01 00:00:00 UTC, together with the time zone it is shown in
// and a calendar format, the text form it shows itself in.
//
// Calendar formats use these directives, with no locale:
//   %Y  year, four digits when writing (0001, 2024, 10000); one or more
//       digits when parsing (four when a number directive follows at once,
//       as in %Y%m%d)
//   %y  year in two digits; parsing maps 69-99 to 1969-1999, 00-68 to 2000-2068
//   %m  month 01-12     %d  day 01-31
//   %H  hour 00-23      %M  minute 00-59     %S  second 00-59
//   %F  three digits of milliseconds (exactly three when parsing)
//   %z  offset from UTC as a sign and four digits, +HHMM (-0330)
//   %%  a percent sign
// Any other character stands for itself and must match exactly.
//
// Civil fields use the proleptic Gregorian calendar with astronomical year
// numbers (year 0 is 1 BC); dates can be made for the years -999999 to 999999.
// %Y writes a year before 1 with a leading minus sign (-0044) and reads one
// back. Writing rounds to the nearest millisecond, carrying into the seconds
// (and further) rather than writing 1000 milliseconds; an instant outside the
// supported years (or NaN) is written as the nearest end of that range.
// Parsing takes exactly two digits for %y %m %d %H %M %S, and for %z a sign
// and exactly four digits (hours up to 23, minutes up to 59); the whole text
// must be consumed. A % before any other character stands for both
// characters. Fields that the format lacks default to 2001-01-01 00:00:00.
//
// Conversions in a fixed
// offset zone are pure arithmetic; only the local zone asks the C library
// (localtime_r) for its offset at an instant, never mktime.
//
// Thread-safety: dates and zones are immutable values; all functions here may
// be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvel/value.h"

namespace korvel {

// Seconds between 1970-01-01 (the Unix epoch) and 2001-01-01, both UTC.
inline constexpr double kReferenceDateFromUnix = 978307200.0;

class TimeZone final : public Object {
 public:
  static Ref<TimeZone> utc();
  // The process's local zone, as the TZ environment variable or the system
  // says; its offset may change with daylight-saving time.
  static Ref<TimeZone> local();
  // A zone at a fixed offset east of UTC, with no daylight-saving rules.
  // Offsets beyond +-24 hours are clamped (they cannot come from a server).
  static Ref<TimeZone> fixed(std::int32_t secondsFromGMT);

  bool isFixed() const noexcept { return kind_ != Kind::Local; }
  // Seconds east of UTC in force at an instant (seconds since 2001).
  std::int32_t secondsFromGMT(double at) const;
  // Seconds east of UTC in force at a wall-clock time in this zone, given as
  // seconds since 2001-01-01 00:00:00 read as if that clock were UTC. For a
  // wall time that a daylight-saving change skips or repeats, one of the two
  // neighbouring offsets is taken.
  std::int32_t secondsFromGMTForLocal(double wall) const;
  // "UTC", "+0530", "-0800", or "local".
  std::string name() const;
  std::string description() const override { return name(); }
  bool equals(const Object& other) const override;

  enum class Kind { UTC, Fixed, Local };
  TimeZone(Kind kind, std::int32_t offset) : kind_(kind), offset_(offset) {}

 private:
  Kind kind_;
  std::int32_t offset_;
};

// Civil fields of a time in some zone.
struct CivilTime {
  std::int64_t year = 2001;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  double fraction = 0;  // [0, 1)
};

class Date final : public Object {
 public:
  // The display format dates get when none is given.
  static constexpr std::string_view kDefaultFormat = "%Y-%m-%d %H:%M:%S %z";

  Date(double secondsSinceReference, Ref<TimeZone> zone, Value calendarFormat);

  // A date at seconds since 2001-01-01 UTC, shown in zone (UTC when empty)
  // with the default format when none is given.
  static Ref<Date> make(double secondsSinceReference, Ref<TimeZone> zone = {},
                        std::string_view calendarFormat = kDefaultFormat);
  static Ref<Date> fromUnix(double secondsSince1970, Ref<TimeZone> zone = {});
  // The current time, shown in the local zone.
  static Ref<Date> now();
  // A date from civil fields read in zone (UTC when empty); empty when a
  // field is out of range (month 13, day 31 of April, hour 24, second 60, a
  // fraction outside [0, 1), a year outside -999999..999999).
  static Ref<Date> fromCivil(const CivilTime& civil, Ref<TimeZone> zone,
                             std::string_view calendarFormat = kDefaultFormat);
  // Parses text through a calendar format. A text with an offset (%z) gets a
  // fixed zone of that offset; without one it is read in defaultZone (the
  // local zone when empty). Gives an empty Ref when the text does not match
  // the format completely. The result keeps `format` as its calendar format.
  static Ref<Date> parse(std::string_view text, std::string_view format,
                         Ref<TimeZone> defaultZone = {});
  // 0001-01-01 00:00:00 UTC and 4001-01-01 00:00:00 UTC.
  static Ref<Date> distantPast();
  static Ref<Date> distantFuture();

  double timeIntervalSinceReferenceDate() const noexcept { return seconds_; }
  double timeIntervalSince1970() const noexcept { return seconds_ + kReferenceDateFromUnix; }
  const Ref<TimeZone>& timeZone() const noexcept { return zone_; }
  std::string_view calendarFormat() const noexcept { return format_->text(); }
  // The same instant and zone with another calendar format.
  Ref<Date> withCalendarFormat(std::string_view format) const;
  // The same instant shown in another zone.
  Ref<Date> withTimeZone(Ref<TimeZone> zone) const;
  // Civil fields of this instant in its own zone (or the zone given), exact
  // to the double's precision (not rounded to milliseconds).
  CivilTime civil() const;
  CivilTime civil(const TimeZone& zone) const;
  // Writes the date through a calendar format in its own zone (or the zone given).
  std::string format(std::string_view calendarFormat) const;
  std::string format(std::string_view calendarFormat, const TimeZone& zone) const;
  // The zone in which %z can state this instant exactly: its own, or UTC
  // when its offset has seconds (the local mean time of old dates, such as
  // +05:53:28), which +HHMM cannot hold. Writers whose text is read back as
  // an instant (SQL literals, JSON) use it.
  const TimeZone& zoneForOffsetText() const;

  // The date through its own calendar format.
  std::string description() const override;
  // Same instant (the zone and format are presentation only).
  bool equals(const Object& other) const override;

 private:
  Date(double secondsSinceReference, Ref<TimeZone> zone, Ref<TextObject> calendarFormat);

  double seconds_;
  Ref<TimeZone> zone_;
  // The format's text object rather than a Value: a query may hold millions
  // of dates, and 8 bytes less puts each one in a smaller allocation.
  Ref<TextObject> format_;
};

// Civil-calendar arithmetic, exposed for the decoders that need it.
// Days since 1970-01-01 of a proleptic Gregorian date, and back. Days past
// the month's end and months past 12 count on into the following months and
// years (April 31 is May 1); years beyond +-2^40 are clamped to that bound.
// isValidCivilDate also checks the year against -999999..999999.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) noexcept;
void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) noexcept;
bool isValidCivilDate(std::int64_t year, int month, int day) noexcept;

}  // namespace korvel
