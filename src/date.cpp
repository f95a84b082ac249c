// Dates and time zones: civil-calendar arithmetic, the zone objects, and the
// calendar-format reader and writer.
//
// All arithmetic on instants uses floor division, so dates before 2001 (with
// negative seconds) and before 1970 (negative day numbers) fall into the right
// day, hour and second instead of being rounded towards zero.

#include "korvel/date.h"

#include <time.h>

#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace korvel {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kMillisPerDay = kSecondsPerDay * 1000;
constexpr std::int32_t kMaxOffset = 24 * 3600;

// Keeps the era arithmetic below far from int64 overflow whatever a caller
// passes; no real calendar question comes near these bounds.
constexpr std::int64_t kArithmeticYearLimit = std::int64_t{1} << 40;
constexpr std::int64_t kArithmeticDayLimit = kArithmeticYearLimit * 366;

// Years a Date can be made from or shown with. Inside this range a double
// holds every instant to well under a millisecond and every C library can
// represent the year in a struct tm.
constexpr std::int64_t kMinYear = -999999;
constexpr std::int64_t kMaxYear = 999999;

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr std::int64_t floorMod(std::int64_t a, std::int64_t b) noexcept {
  return a - floorDiv(a, b) * b;
}

// Days since 1970-01-01 of a proleptic Gregorian date. The year is split into
// 400-year eras (146097 days each); inside an era, years are counted from
// March so that the leap day falls at the end of the counted year and each
// month's start is a linear function of its number.
constexpr std::int64_t civilDays(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
  year -= month <= 2;
  const std::int64_t era = floorDiv(year, 400);
  const std::int64_t yearOfEra = year - era * 400;                            // [0, 399]
  const std::int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;      // [0, 11]
  const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;   // [0, 365] for valid days
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;  // 719468: days from 0000-03-01 to 1970-01-01
}

constexpr std::int64_t kDays1970To2001 = civilDays(2001, 1, 1);
static_assert(kDays1970To2001 * kSecondsPerDay == static_cast<std::int64_t>(kReferenceDateFromUnix));

constexpr double secondsSinceReferenceOf(std::int64_t year, std::int64_t month, std::int64_t day) {
  return static_cast<double>((civilDays(year, month, day) - kDays1970To2001) * kSecondsPerDay);
}

// Bounds of the instants that can be shown; instants beyond them (and NaN)
// are shown as the nearest bound rather than fed into integer conversions.
constexpr double kMinShownSeconds = secondsSinceReferenceOf(kMinYear, 1, 1) + 2 * kSecondsPerDay;
constexpr double kMaxShownSeconds = secondsSinceReferenceOf(kMaxYear, 12, 31) - 2 * kSecondsPerDay;

double clampForShowing(double seconds) noexcept {
  if (!(seconds >= kMinShownSeconds)) return kMinShownSeconds;  // NaN lands here too
  if (seconds > kMaxShownSeconds) return kMaxShownSeconds;
  return seconds;
}

bool isLeapYear(std::int64_t year) noexcept {
  return floorMod(year, 4) == 0 && (floorMod(year, 100) != 0 || floorMod(year, 400) == 0);
}

int daysInMonth(std::int64_t year, int month) noexcept {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// --- time zones -----------------------------------------------------------

std::int32_t localOffsetAt(double secondsSinceReference) noexcept {
  const double unixSeconds =
      std::floor(clampForShowing(secondsSinceReference) + kReferenceDateFromUnix);
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm fields {};
  if (localtime_r(&t, &fields) == nullptr) return 0;
  return static_cast<std::int32_t>(fields.tm_gmtoff);
}

// Zones live for the whole process: they are made once, never released, and
// handed out by adding a reference. The table covers UTC and every offset in
// whole quarter hours, which is every offset in use today; the rare others go
// through a small locked cache.
constexpr std::int32_t kQuarterHour = 900;
constexpr std::int32_t kQuarterHourSlots = 2 * (kMaxOffset / kQuarterHour) + 1;
constexpr std::size_t kOddOffsetCacheLimit = 1024;

TimeZone* immortalUTC() {
  static TimeZone* const zone = new TimeZone(TimeZone::Kind::UTC, 0);
  return zone;
}

TimeZone* immortalLocal() {
  static TimeZone* const zone = new TimeZone(TimeZone::Kind::Local, 0);
  return zone;
}

const std::array<TimeZone*, kQuarterHourSlots>& quarterHourZones() {
  static const auto* const table = [] {
    auto* zones = new std::array<TimeZone*, kQuarterHourSlots>();
    for (std::int32_t slot = 0; slot < kQuarterHourSlots; ++slot) {
      const std::int32_t offset = (slot - kMaxOffset / kQuarterHour) * kQuarterHour;
      (*zones)[static_cast<std::size_t>(slot)] =
          offset == 0 ? immortalUTC() : new TimeZone(TimeZone::Kind::Fixed, offset);
    }
    return zones;
  }();
  return *table;
}

Ref<TimeZone> oddOffsetZone(std::int32_t offset) {
  static std::mutex mutex;
  static auto* const cache = new std::unordered_map<std::int32_t, TimeZone*>();
  std::lock_guard<std::mutex> lock(mutex);
  if (auto found = cache->find(offset); found != cache->end()) return Ref<TimeZone>::share(found->second);
  if (cache->size() >= kOddOffsetCacheLimit) return makeRef<TimeZone>(TimeZone::Kind::Fixed, offset);
  auto* zone = new TimeZone(TimeZone::Kind::Fixed, offset);
  cache->emplace(offset, zone);
  return Ref<TimeZone>::share(zone);
}

void appendDigits(std::string& out, std::uint64_t value, int minimumDigits) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int pad = count; pad < minimumDigits; ++pad) out.push_back('0');
  while (count > 0) out.push_back(digits[--count]);
}

// +HHMM, the form %z writes and reads.
void appendOffset(std::string& out, std::int32_t offset) {
  out.push_back(offset < 0 ? '-' : '+');
  const std::int32_t magnitude = offset < 0 ? -offset : offset;
  appendDigits(out, static_cast<std::uint64_t>(magnitude / 3600), 2);
  appendDigits(out, static_cast<std::uint64_t>(magnitude % 3600 / 60), 2);
}

// --- calendar formats -----------------------------------------------------

// Dates made by the decoders all carry one of a handful of formats; sharing
// one text for each keeps a result set of dates from holding a copy per cell.
Value sharedFormat(std::string_view format) {
  static const std::array<std::string_view, 5> kCommon = {
      Date::kDefaultFormat, "%Y-%m-%d", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M:%S.%F",
      "%Y-%m-%d %H:%M:%S.%F %z",
  };
  static const auto* const shared = [] {
    auto* values = new std::array<Value, kCommon.size()>();
    for (std::size_t i = 0; i < kCommon.size(); ++i) (*values)[i] = Value::textUnchecked(kCommon[i]);
    return values;
  }();
  for (std::size_t i = 0; i < kCommon.size(); ++i) {
    if (kCommon[i] == format) return (*shared)[i];
  }
  Value text = Value::text(format);
  // A format that is not UTF-8 still writes its bytes; keep them readable.
  if (text.isEmpty()) text = Value::textFromLatin1(format);
  return text;
}

// Civil fields in whole milliseconds, the resolution that formats show.
struct ShownFields {
  std::int64_t year;
  unsigned month;
  unsigned day;
  int hour;
  int minute;
  int second;
  int millisecond;
};

ShownFields shownFields(double secondsSinceReference, std::int32_t offset) {
  // Rounding the total first lets 59.9996 s carry into the next minute
  // instead of showing as second 59 with 1000 milliseconds.
  const auto totalMillis =
      static_cast<std::int64_t>(std::llround((secondsSinceReference + offset) * 1000.0));
  const std::int64_t days = floorDiv(totalMillis, kMillisPerDay);
  const std::int64_t millisOfDay = totalMillis - days * kMillisPerDay;
  ShownFields fields{};
  civilFromDays(days + kDays1970To2001, fields.year, fields.month, fields.day);
  fields.hour = static_cast<int>(millisOfDay / 3600000);
  fields.minute = static_cast<int>(millisOfDay / 60000 % 60);
  fields.second = static_cast<int>(millisOfDay / 1000 % 60);
  fields.millisecond = static_cast<int>(millisOfDay % 1000);
  return fields;
}

// What a calendar format read out of a text.
struct ReadFields {
  CivilTime civil;
  int millisecond = 0;
  bool hasOffset = false;
  std::int32_t offset = 0;
};

class TextReader {
 public:
  explicit TextReader(std::string_view text) : text_(text) {}

  bool atEnd() const noexcept { return pos_ == text_.size(); }

  bool literal(char c) noexcept {
    if (atEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Exactly `count` decimal digits.
  bool fixedDigits(int count, int& value) noexcept {
    int result = 0;
    for (int i = 0; i < count; ++i) {
      if (atEnd() || !isDigit(text_[pos_])) return false;
      result = result * 10 + (text_[pos_++] - '0');
    }
    value = result;
    return true;
  }

  // An optional minus sign and one or more digits (at most maxDigits), up to
  // the supported years.
  bool year(std::int64_t& value, std::size_t maxDigits) noexcept {
    const bool negative = literal('-');
    std::int64_t result = 0;
    std::size_t digits = 0;
    while (!atEnd() && isDigit(text_[pos_]) && digits < maxDigits) {
      result = result * 10 + (text_[pos_++] - '0');
      if (result > kMaxYear) return false;
      ++digits;
    }
    if (digits == 0) return false;
    value = negative ? -result : result;
    return true;
  }

  bool offset(std::int32_t& value) noexcept {
    if (atEnd() || (text_[pos_] != '+' && text_[pos_] != '-')) return false;
    const bool negative = text_[pos_++] == '-';
    int hours = 0;
    int minutes = 0;
    if (!fixedDigits(2, hours) || !fixedDigits(2, minutes) || hours > 23 || minutes > 59) return false;
    const std::int32_t magnitude = hours * 3600 + minutes * 60;
    value = negative ? -magnitude : magnitude;
    return true;
  }

 private:
  static bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
  std::string_view text_;
  std::size_t pos_ = 0;
};

// True when the format goes on at `next` with a directive that reads digits,
// so that a year before it cannot tell where it ends (%Y%m%d).
bool digitDirectiveAt(std::string_view format, std::size_t next) noexcept {
  if (next + 1 >= format.size() || format[next] != '%') return false;
  return std::string_view("ymdHMSF").find(format[next + 1]) != std::string_view::npos;
}

bool readDirective(TextReader& reader, char directive, bool digitsFollow, ReadFields& fields) {
  CivilTime& civil = fields.civil;
  int number = 0;
  switch (directive) {
    case 'Y':
      return reader.year(civil.year, digitsFollow ? 4 : std::numeric_limits<std::size_t>::max());
    case 'y':
      if (!reader.fixedDigits(2, number)) return false;
      civil.year = number >= 69 ? 1900 + number : 2000 + number;
      return true;
    case 'm': return reader.fixedDigits(2, civil.month);
    case 'd': return reader.fixedDigits(2, civil.day);
    case 'H': return reader.fixedDigits(2, civil.hour);
    case 'M': return reader.fixedDigits(2, civil.minute);
    case 'S': return reader.fixedDigits(2, civil.second);
    case 'F': return reader.fixedDigits(3, fields.millisecond);
    case 'z':
      fields.hasOffset = true;
      return reader.offset(fields.offset);
    case '%': return reader.literal('%');
    default:
      return reader.literal('%') && reader.literal(directive);
  }
}

bool readFields(std::string_view text, std::string_view format, ReadFields& fields) {
  TextReader reader(text);
  for (std::size_t i = 0; i < format.size(); ++i) {
    const bool isDirective = format[i] == '%' && i + 1 < format.size();
    if (!isDirective) {
      if (!reader.literal(format[i])) return false;
      continue;
    }
    ++i;
    if (!readDirective(reader, format[i], digitDirectiveAt(format, i + 1), fields)) return false;
  }
  return reader.atEnd();
}

bool isValidCivilTime(const CivilTime& civil) noexcept {
  return isValidCivilDate(civil.year, civil.month, civil.day) && civil.hour >= 0 &&
         civil.hour <= 23 && civil.minute >= 0 && civil.minute <= 59 && civil.second >= 0 &&
         civil.second <= 59 && civil.fraction >= 0 && civil.fraction < 1;
}

// The instant at which the (valid) civil time falls in the zone.
double instantOf(const CivilTime& civil, const TimeZone& zone) {
  const double wall = secondsSinceReferenceOf(civil.year, civil.month, civil.day) +
                      civil.hour * 3600.0 + civil.minute * 60.0 + civil.second;
  return wall - zone.secondsFromGMTForLocal(wall) + civil.fraction;
}

}  // namespace

// --- civil arithmetic -------------------------------------------------------

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) noexcept {
  if (year > kArithmeticYearLimit) year = kArithmeticYearLimit;
  if (year < -kArithmeticYearLimit) year = -kArithmeticYearLimit;
  // Months beyond 1-12 count on into the neighbouring years, as days beyond
  // the month's end count on into the next months.
  std::int64_t wholeMonth = static_cast<std::int64_t>(month) - 1;
  year += floorDiv(wholeMonth, 12);
  wholeMonth = floorMod(wholeMonth, 12);
  return civilDays(year, wholeMonth + 1, day);
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) noexcept {
  if (days > kArithmeticDayLimit) days = kArithmeticDayLimit;
  if (days < -kArithmeticDayLimit) days = -kArithmeticDayLimit;
  // The inverse of civilDays: find the era, then the March-based year inside
  // it (correcting for the leap days of the 4-, 100- and 400-year cycles),
  // then the month from the day of that year.
  const std::int64_t shifted = days + 719468;
  const std::int64_t era = floorDiv(shifted, 146097);
  const std::int64_t dayOfEra = shifted - era * 146097;  // [0, 146096]
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // [0, 399]
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;  // [0, 11]
  day = static_cast<unsigned>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  month = static_cast<unsigned>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  year = yearOfEra + era * 400 + (month <= 2);
}

bool isValidCivilDate(std::int64_t year, int month, int day) noexcept {
  return year >= kMinYear && year <= kMaxYear && month >= 1 && month <= 12 && day >= 1 &&
         day <= daysInMonth(year, month);
}

// --- TimeZone ---------------------------------------------------------------

Ref<TimeZone> TimeZone::utc() { return Ref<TimeZone>::share(immortalUTC()); }

Ref<TimeZone> TimeZone::local() { return Ref<TimeZone>::share(immortalLocal()); }

Ref<TimeZone> TimeZone::fixed(std::int32_t secondsFromGMT) {
  if (secondsFromGMT > kMaxOffset) secondsFromGMT = kMaxOffset;
  if (secondsFromGMT < -kMaxOffset) secondsFromGMT = -kMaxOffset;
  if (secondsFromGMT % kQuarterHour == 0) {
    const auto slot = secondsFromGMT / kQuarterHour + kMaxOffset / kQuarterHour;
    return Ref<TimeZone>::share(quarterHourZones()[static_cast<std::size_t>(slot)]);
  }
  return oddOffsetZone(secondsFromGMT);
}

std::int32_t TimeZone::secondsFromGMT(double at) const {
  return kind_ == Kind::Local ? localOffsetAt(at) : offset_;
}

std::int32_t TimeZone::secondsFromGMTForLocal(double wall) const {
  if (kind_ != Kind::Local) return offset_;
  // The offset in force at the wall time read as UTC is at most one change
  // away from the right one; the second pass settles it. When the passes
  // disagree the wall time lies in a gap or overlap, and either is taken.
  const std::int32_t first = localOffsetAt(wall - localOffsetAt(wall));
  const std::int32_t second = localOffsetAt(wall - first);
  return second == first ? first : second;
}

std::string TimeZone::name() const {
  switch (kind_) {
    case Kind::UTC: return "UTC";
    case Kind::Local: return "local";
    case Kind::Fixed: break;
  }
  std::string text;
  appendOffset(text, offset_);
  // Offsets with seconds exist only for historical local mean times; showing
  // the seconds keeps two such zones apart by name.
  const std::int32_t seconds = (offset_ < 0 ? -offset_ : offset_) % 60;
  if (seconds != 0) appendDigits(text, static_cast<std::uint64_t>(seconds), 2);
  return text;
}

bool TimeZone::equals(const Object& other) const {
  const auto* zone = dynamic_cast<const TimeZone*>(&other);
  return zone != nullptr && zone->kind_ == kind_ && zone->offset_ == offset_;
}

// --- Date -------------------------------------------------------------------

namespace {

// The text object behind a format text; a short text (held inside its
// Value) gets one of its own.
Ref<TextObject> formatObject(const Value& format) {
  if (!format.isText()) return formatObject(sharedFormat(Date::kDefaultFormat));
  if (const Object* object = format.asObject())
    return Ref<TextObject>::share(const_cast<TextObject*>(static_cast<const TextObject*>(object)));
  return Ref<TextObject>::adopt(TextObject::make(format.text()));
}

}  // namespace

Date::Date(double secondsSinceReference, Ref<TimeZone> zone, Value calendarFormat)
    : seconds_(secondsSinceReference),
      zone_(zone ? std::move(zone) : TimeZone::utc()),
      format_(formatObject(calendarFormat)) {}

Date::Date(double secondsSinceReference, Ref<TimeZone> zone, Ref<TextObject> calendarFormat)
    : seconds_(secondsSinceReference), zone_(zone ? std::move(zone) : TimeZone::utc()),
      format_(std::move(calendarFormat)) {}

Ref<Date> Date::make(double secondsSinceReference, Ref<TimeZone> zone, std::string_view calendarFormat) {
  return makeRef<Date>(secondsSinceReference, std::move(zone), sharedFormat(calendarFormat));
}

Ref<Date> Date::fromUnix(double secondsSince1970, Ref<TimeZone> zone) {
  return make(secondsSince1970 - kReferenceDateFromUnix, std::move(zone));
}

Ref<Date> Date::now() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return fromUnix(std::chrono::duration<double>(sinceEpoch).count(), TimeZone::local());
}

Ref<Date> Date::fromCivil(const CivilTime& civil, Ref<TimeZone> zone, std::string_view calendarFormat) {
  if (!isValidCivilTime(civil)) return {};
  if (!zone) zone = TimeZone::utc();
  const double instant = instantOf(civil, *zone);
  return makeRef<Date>(instant, std::move(zone), sharedFormat(calendarFormat));
}

Ref<Date> Date::parse(std::string_view text, std::string_view format, Ref<TimeZone> defaultZone) {
  ReadFields fields;
  if (!readFields(text, format, fields) || !isValidCivilTime(fields.civil)) return {};
  Ref<TimeZone> zone = fields.hasOffset ? TimeZone::fixed(fields.offset)
                                        : (defaultZone ? std::move(defaultZone) : TimeZone::local());
  fields.civil.fraction = fields.millisecond / 1000.0;
  const double instant = instantOf(fields.civil, *zone);
  return makeRef<Date>(instant, std::move(zone), sharedFormat(format));
}

Ref<Date> Date::distantPast() {
  static Date* const date = make(secondsSinceReferenceOf(1, 1, 1)).detach();
  return Ref<Date>::share(date);
}

Ref<Date> Date::distantFuture() {
  static Date* const date = make(secondsSinceReferenceOf(4001, 1, 1)).detach();
  return Ref<Date>::share(date);
}

Ref<Date> Date::withCalendarFormat(std::string_view format) const {
  return makeRef<Date>(seconds_, zone_, sharedFormat(format));
}

Ref<Date> Date::withTimeZone(Ref<TimeZone> zone) const {
  return Ref<Date>::adopt(new Date(seconds_, std::move(zone), format_));
}

CivilTime Date::civil() const { return civil(*zone_); }

CivilTime Date::civil(const TimeZone& zone) const {
  const double instant = clampForShowing(seconds_);
  const double wall = instant + zone.secondsFromGMT(instant);
  auto days = static_cast<std::int64_t>(std::floor(wall / kSecondsPerDay));
  double secondsOfDay = wall - static_cast<double>(days) * kSecondsPerDay;
  // A wall time a hair below a day boundary can round up to the full day.
  if (secondsOfDay >= kSecondsPerDay) {
    ++days;
    secondsOfDay = 0;
  }
  if (secondsOfDay < 0) secondsOfDay = 0;
  CivilTime civil;
  unsigned month = 0;
  unsigned day = 0;
  civilFromDays(days + kDays1970To2001, civil.year, month, day);
  civil.month = static_cast<int>(month);
  civil.day = static_cast<int>(day);
  const double wholeSeconds = std::floor(secondsOfDay);
  const auto seconds = static_cast<int>(wholeSeconds);
  civil.hour = seconds / 3600;
  civil.minute = seconds / 60 % 60;
  civil.second = seconds % 60;
  civil.fraction = secondsOfDay - wholeSeconds;
  return civil;
}

std::string Date::format(std::string_view calendarFormat) const { return format(calendarFormat, *zone_); }

const TimeZone& Date::zoneForOffsetText() const {
  if (zone_->secondsFromGMT(clampForShowing(seconds_)) % 60 == 0) return *zone_;
  static const Ref<TimeZone> utc = TimeZone::utc();
  return *utc;
}

std::string Date::format(std::string_view calendarFormat, const TimeZone& zone) const {
  const double instant = clampForShowing(seconds_);
  const std::int32_t offset = zone.secondsFromGMT(instant);
  const ShownFields fields = shownFields(instant, offset);
  std::string out;
  out.reserve(calendarFormat.size() + 16);
  for (std::size_t i = 0; i < calendarFormat.size(); ++i) {
    const char c = calendarFormat[i];
    if (c != '%' || i + 1 == calendarFormat.size()) {
      out.push_back(c);
      continue;
    }
    const char directive = calendarFormat[++i];
    switch (directive) {
      case 'Y':
        if (fields.year < 0) out.push_back('-');
        appendDigits(out, static_cast<std::uint64_t>(fields.year < 0 ? -fields.year : fields.year), 4);
        break;
      case 'y': appendDigits(out, static_cast<std::uint64_t>(floorMod(fields.year, 100)), 2); break;
      case 'm': appendDigits(out, fields.month, 2); break;
      case 'd': appendDigits(out, fields.day, 2); break;
      case 'H': appendDigits(out, static_cast<std::uint64_t>(fields.hour), 2); break;
      case 'M': appendDigits(out, static_cast<std::uint64_t>(fields.minute), 2); break;
      case 'S': appendDigits(out, static_cast<std::uint64_t>(fields.second), 2); break;
      case 'F': appendDigits(out, static_cast<std::uint64_t>(fields.millisecond), 3); break;
      case 'z': appendOffset(out, offset); break;
      case '%': out.push_back('%'); break;
      default:
        out.push_back('%');
        out.push_back(directive);
        break;
    }
  }
  return out;
}

std::string Date::description() const { return format(format_->text()); }

bool Date::equals(const Object& other) const {
  const auto* date = dynamic_cast<const Date*>(&other);
  return date != nullptr && date->seconds_ == seconds_;
}

}  // namespace korvel
