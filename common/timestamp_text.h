// Decoding of PostgreSQL date and timestamp texts into dates, shared by the
// Postgres and ECPG modules (their dbToDateFromBuffer hooks call it).
//
// The server's text is rewritten into one of four fixed shapes and read by
// Date::parse. The offset forms the server writes (+01, +05:30, +0100, with
// or without a space before the sign) become " +HHMM"; a fraction of any
// length becomes exactly three digits of milliseconds (cut, not rounded).
#pragma once

#include <cstdint>

#include "korvel/value.h"

namespace korvel::common {

// The date in `buffer`, or an empty Value when the text is not a date or
// timestamp. At most `length` characters are read; a NUL among them ends the
// text, trailing white space is ignored, and a length of 0 or less gives an
// empty Value. The buffer is only read, never changed. A date alone
// (2024-02-29) is midnight in the local zone and keeps the calendar format
// "%Y-%m-%d"; any other text without an offset is read in the local zone; a
// text with an offset gets a fixed zone of that offset. Every result but a
// date alone carries the calendar format "%Y-%m-%d %H:%M:%S %z".
// Raises nothing; thread-safe (keeps no state).
Value dbToDateFromBuffer(const char* buffer, std::int32_t length);

}  // namespace korvel::common
