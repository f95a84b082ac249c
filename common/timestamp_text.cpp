#include "timestamp_text.h"

#include <cstring>
#include <string>
#include <string_view>

#include "korvel/date.h"

namespace korvel::common {

namespace {

// The rewriting below adds at most six characters (a space, "00", and three
// fraction digits); the copy reserves more so that it never reallocates.
constexpr std::size_t kSpareRoom = 32;

constexpr std::size_t kDateAloneLength = 10;  // 2024-02-29
constexpr std::string_view kDateAloneFormat = "%Y-%m-%d";
constexpr std::string_view kResultFormat = "%Y-%m-%d %H:%M:%S %z";

bool isTrailingSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool isSign(char c) noexcept { return c == '+' || c == '-'; }

// The characters up to the first NUL within length, without trailing white
// space, in a private copy.
std::string workCopy(const char* buffer, std::int32_t length) {
  std::string text;
  if (buffer == nullptr || length <= 0) return text;
  const auto limit = static_cast<std::size_t>(length);
  const void* nul = std::memchr(buffer, '\0', limit);
  std::size_t size = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer) : limit;
  while (size > 0 && isTrailingSpace(buffer[size - 1])) --size;
  text.reserve(size + kSpareRoom);
  text.assign(buffer, size);
  return text;
}

// +05:30 at the end becomes +0530.
void dropOffsetColon(std::string& text) {
  const std::size_t n = text.size();
  if (n > 5 && text[n - 3] == ':' && isSign(text[n - 6])) text.erase(n - 3, 1);
}

// Position of the offset's sign, or npos. Walking back, a space or colon met
// before any sign means the text ends with the time, not an offset; a sign
// at the very start is the year's, not an offset's.
std::size_t findOffsetSign(const std::string& text) {
  for (std::size_t i = text.size(); i-- > 0;) {
    const char c = text[i];
    if (isSign(c)) return i == 0 ? std::string::npos : i;
    if (c == ' ' || c == ':') return std::string::npos;
  }
  return std::string::npos;
}

// Brings the offset at `sign` to the " +HHMM" shape and gives where the
// seconds part ends.
std::size_t normaliseOffset(std::string& text, std::size_t sign) {
  if (isDigit(text[sign - 1])) text.insert(sign++, 1, ' ');
  if (text.size() == sign + 3 && isDigit(text[sign + 1]) && isDigit(text[sign + 2])) text.append("00");
  return text[sign - 1] == ' ' ? sign - 1 : sign;
}

// Makes the digit run after the last full stop of the seconds part exactly
// three digits long. Tells whether there was a full stop.
bool normaliseFraction(std::string& text, std::size_t secondsEnd) {
  const std::size_t stop = std::string_view(text).substr(0, secondsEnd).rfind('.');
  if (stop == std::string_view::npos) return false;
  const std::size_t first = stop + 1;
  std::size_t end = first;
  while (end < text.size() && isDigit(text[end])) ++end;
  const std::size_t digits = end - first;
  if (digits < 3) {
    text.insert(end, 3 - digits, '0');
  } else if (digits > 3) {
    text.erase(first + 3, digits - 3);
  }
  return true;
}

std::string_view formatFor(bool hasFraction, bool hasOffset) {
  if (hasFraction) return hasOffset ? "%Y-%m-%d %H:%M:%S.%F %z" : "%Y-%m-%d %H:%M:%S.%F";
  return hasOffset ? "%Y-%m-%d %H:%M:%S %z" : "%Y-%m-%d %H:%M:%S";
}

}  // namespace

Value dbToDateFromBuffer(const char* buffer, std::int32_t length) {
  std::string text = workCopy(buffer, length);
  if (text.empty()) return {};
  if (text.size() == kDateAloneLength) {
    Ref<Date> date = Date::parse(text, kDateAloneFormat);
    return date ? Value(std::move(date)) : Value();
  }
  dropOffsetColon(text);
  const std::size_t sign = findOffsetSign(text);
  const bool hasOffset = sign != std::string::npos;
  const std::size_t secondsEnd = hasOffset ? normaliseOffset(text, sign) : text.size();
  const bool hasFraction = normaliseFraction(text, secondsEnd);
  // The formats hold only ASCII, so a text that is not UTF-8 cannot match;
  // the parser's refusal covers that check.
  Ref<Date> parsed = Date::parse(text, formatFor(hasFraction, hasOffset));
  if (!parsed) return {};
  return Value(parsed->withCalendarFormat(kResultFormat));
}

}  // namespace korvel::common
