#include <cstring>

#include "pg_values.h"

namespace korvel::pg {
namespace {

// Reads the server's ISO timestamp layout at fixed positions. Every read is
// guarded by the length, so truncated texts fail instead of reading on.
class Reader {
 public:
  Reader(const char* text, std::size_t length)
      : s_(reinterpret_cast<const unsigned char*>(text)), n_(length) {}

  std::size_t size() const noexcept { return n_; }
  bool has(std::size_t at) const noexcept { return at < n_; }
  bool is(std::size_t at, char c) const noexcept { return at < n_ && s_[at] == static_cast<unsigned char>(c); }
  bool isDigit(std::size_t at) const noexcept { return at < n_ && static_cast<unsigned>(s_[at] - '0') < 10u; }
  unsigned digit(std::size_t at) const noexcept { return s_[at] - '0'; }

  // Two digits at `at` no greater than `max`.
  bool twoDigits(std::size_t at, unsigned max, unsigned& value) const noexcept {
    if (!isDigit(at) || !isDigit(at + 1)) return false;
    value = 10 * digit(at) + digit(at + 1);
    return value <= max;
  }

 private:
  const unsigned char* s_;
  std::size_t n_;
};

struct Fields {
  std::int64_t year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint32_t microseconds = 0;
  bool hasOffset = false;
  std::int32_t offsetSeconds = 0;
};

// Years beyond this all give the distant future; capping keeps the digit
// loop free of overflow whatever the text.
constexpr std::int64_t kYearCap = 1000000;

// The year: four digits as the server pads it, or more for years past 9999.
// Gives the position after the digits, or 0 when there are fewer than four.
std::size_t readYear(const Reader& r, std::int64_t& year) {
  std::size_t at = 0;
  year = 0;
  while (r.isDigit(at)) {
    if (year < kYearCap) year = 10 * year + r.digit(at);
    ++at;
  }
  return at >= 4 ? at : 0;
}

// A zone at `at` (just after the seconds or their fraction): a sign, hours,
// then :MM and :SS, or MM. A text without a sign there has no zone, and what
// follows is ignored.
bool readOffset(const Reader& r, std::size_t at, Fields& f) {
  if (!r.is(at, '+') && !r.is(at, '-')) return true;
  const bool negative = r.is(at, '-');
  unsigned hours, minutes = 0, seconds = 0;
  if (!r.twoDigits(at + 1, 23, hours)) return false;
  at += 3;
  if (r.is(at, ':')) {
    if (!r.twoDigits(at + 1, 59, minutes)) return false;
    at += 3;
    // Offsets of local mean time, which the server writes for old dates,
    // carry seconds: +05:53:28.
    if (r.is(at, ':') && !r.twoDigits(at + 1, 59, seconds)) return false;
  } else if (r.isDigit(at) && r.isDigit(at + 1)) {
    if (!r.twoDigits(at, 59, minutes)) return false;
  }
  const std::int32_t total = static_cast<std::int32_t>(hours * 3600 + minutes * 60 + seconds);
  f.hasOffset = true;
  f.offsetSeconds = negative ? -total : total;
  return true;
}

// Hours, minutes, seconds, fraction and zone, from position `at` (the
// separator after the date).
bool readTime(const Reader& r, std::size_t at, Fields& f) {
  if (!r.has(at + 8) || !r.is(at, ' ')) return false;
  if (!r.twoDigits(at + 1, 23, f.hour) || !r.is(at + 3, ':') || !r.twoDigits(at + 4, 59, f.minute) ||
      !r.is(at + 6, ':') || !r.twoDigits(at + 7, 60, f.second))
    return false;
  at += 9;
  if (r.is(at, '.')) {
    ++at;
    if (!r.isDigit(at)) return false;
    // Microseconds, the server's precision; any further digits are skipped.
    std::uint32_t scale = 100000;
    for (; r.isDigit(at); ++at) {
      f.microseconds += r.digit(at) * scale;
      scale /= 10;
    }
  }
  return readOffset(r, at, f);
}

bool readTimestamp(const Reader& r, Fields& f) {
  const std::size_t afterYear = readYear(r, f.year);
  if (afterYear == 0) return false;
  if (!r.is(afterYear, '-') || !r.twoDigits(afterYear + 1, 12, f.month) || f.month == 0 ||
      !r.is(afterYear + 3, '-') || !r.twoDigits(afterYear + 4, 31, f.day) || f.day == 0)
    return false;
  const std::size_t afterDate = afterYear + 6;
  if (r.size() == afterDate) return true;
  return readTime(r, afterDate, f);
}

double distantPastInterval() {
  static const double interval = Date::distantPast()->timeIntervalSinceReferenceDate();
  return interval;
}

double distantFutureInterval() {
  static const double interval = Date::distantFuture()->timeIntervalSinceReferenceDate();
  return interval;
}

const Value& calendarFormat() {
  static const Value* const format = new Value(Value::textUnchecked(Date::kDefaultFormat));
  return *format;
}

Value makeDate(double seconds, Ref<TimeZone> zone) {
  return Value(makeRef<Date>(seconds, std::move(zone), calendarFormat()));
}

Ref<TimeZone> zoneOf(const Fields& f) {
  if (!f.hasOffset) return TimeZone::local();
  if (f.offsetSeconds % 3600 == 0) return zones()[static_cast<std::size_t>(f.offsetSeconds / 3600 + 23)];
  return TimeZone::fixed(f.offsetSeconds);
}

bool endsWith(const char* text, std::size_t length, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return length >= n && std::memcmp(text + length - n, suffix, n) == 0;
}

bool equals(const char* text, std::size_t length, const char* word) {
  return length == std::strlen(word) && std::memcmp(text, word, length) == 0;
}

}  // namespace

Value newDateFromBuffer(const char* text, std::size_t length) {
  if (text == nullptr || length == 0) return {};
  if (const void* nul = std::memchr(text, '\0', length)) length = static_cast<const char*>(nul) - text;
  if (equals(text, length, "infinity")) return makeDate(distantFutureInterval(), TimeZone::local());
  if (equals(text, length, "-infinity")) return makeDate(distantPastInterval(), TimeZone::local());
  // The server marks years before the common era with a suffix; all of them
  // lie before the distant past.
  const bool beforeCommonEra = endsWith(text, length, " BC");
  if (beforeCommonEra) length -= 3;

  Fields f;
  if (!readTimestamp(Reader(text, length), f)) return {};
  Ref<TimeZone> zone = zoneOf(f);
  if (beforeCommonEra || f.year <= 1) return makeDate(distantPastInterval(), std::move(zone));
  if (f.year >= 4001) return makeDate(distantFutureInterval(), std::move(zone));

  // Wall-clock seconds since 2001 read as if the clock were UTC; the zone's
  // offset at that wall time turns them into the instant. Day 31 of a
  // shorter month counts on into the next month.
  const std::int64_t days = daysFromCivil(f.year, f.month, f.day);
  const double wall = static_cast<double>(days * 86400 + f.hour * 3600 + f.minute * 60 + f.second) -
                      kReferenceDateFromUnix;
  const std::int32_t offset = f.hasOffset ? f.offsetSeconds : zone->secondsFromGMTForLocal(wall);
  double seconds = wall - offset;
  if (f.microseconds > 0) seconds += f.microseconds / 1e6;
  return makeDate(seconds, std::move(zone));
}

}  // namespace korvel::pg
