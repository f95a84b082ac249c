// PostgreSQL value codecs: the pure functions with which the Postgres module
// turns the server's text output into Korvel values, and byte buffers and
// lists into SQL literals.
//
// Every decoder here reads server data and is safe on any bytes: it reads
// only the `length` bytes it is given (a NUL among them ends the text, as it
// would end a libpq value), never writes into them, and never raises. A
// decoder that cannot make sense of its text gives an empty Value
// ("nothing"), which the caller passes on.
//
// Thread-safety: all functions may be called from any thread at once. The
// shared values (null marker, zones, "YES"/"NO") are made on first use under
// the C++ guarantee for function-local statics and are read-only afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "korvel/date.h"
#include "korvel/korvel.h"
#include "korvel/value.h"

namespace korvel::pg {

// ---- Shared values -------------------------------------------------------

// The null marker put where a field or array element is SQL NULL.
const Value& nullMarker() noexcept;
// Entry i is the fixed zone (i - 23) hours east of UTC; entry 23 is UTC.
// Whole-hour offsets of timestamps take their zone from here.
const std::array<Ref<TimeZone>, 47>& zones();
// The texts that booleans decode to.
const Value& yesText();
const Value& noText();
// 9999-01-01 00:00:00 +0000, parsed once; kept for the module's class set-up.
const Ref<Date>& future();

// ---- bytea ---------------------------------------------------------------

// The number of characters copyEscapedBLOB writes for `blob`: E'...' with the
// bytea escape form inside. Raises InvalidArgumentException when that count
// does not fit 32 bits, since callers size their buffer from it.
std::uint32_t lengthOfEscapedBLOB(const Bytes& blob);

// Writes the escaped form of `blob` at `into`, which must have room for
// lengthOfEscapedBLOB(blob) characters; writes no NUL. Returns the count
// written (equal to lengthOfEscapedBLOB).
std::uint32_t copyEscapedBLOB(const Bytes& blob, char* into) noexcept;

// A new byte buffer from bytea text in the hex form (\x and two hex digits
// per byte) or the escape form (\\ for a backslash, \ooo for any byte, other
// characters as they are). Reads at most `length` bytes, ending at a NUL
// among them; a null `text` counts as empty. Never fails: characters that
// are not digits produce bytes by the same arithmetic, an unpaired final hex
// digit is ignored, and a backslash with fewer than three characters after
// it (an incomplete escape) stands for itself.
Value dataFromBLOB(const char* text, std::size_t length);
// The same for a NUL-terminated text (null counts as empty).
Value dataFromBLOB(const char* text);

// ---- Timestamps ------------------------------------------------------------

// The date of a timestamp in the server's ISO layout, or nothing:
//   YYYY-MM-DD                           midnight, local zone
//   YYYY-MM-DD HH:MM:SS[.f][zone]        f: 1 or more digits (microseconds
//                                        kept, further digits skipped)
//   zone: +HH, +HH:MM, +HH:MM:SS, +HHMM (or -); without one the local zone.
//   Anything after what is read is ignored; a trailing " BC" makes the date
//   the distant past, as do years 0 and 1; years from 4001 on (also of more
//   than four digits) and "infinity" give the distant future, "-infinity"
//   the distant past.
// Whole-hour zones come from zones(); the result's calendar format is
// "%Y-%m-%d %H:%M:%S %z". Reads at most `length` bytes.
Value newDateFromBuffer(const char* text, std::size_t length);

// ---- Arrays ----------------------------------------------------------------

// How the elements of an array are converted; the letters are the kinds'
// historical character codes.
enum class ElementKind : char {
  Text = 0,         // every element a text
  Boolean = 'B',    // unquoted: "YES" when it starts with t, else "NO"
  Bytes = 'D',      // byte buffers through dataFromBLOB
  Float = 'F',      // unquoted: literal texts
  Integer = 'I',    // unquoted: literal texts
  Timestamp = 'T',  // dates through newDateFromBuffer
};

// Parses the array text at `from` (which must point at its opening brace and
// lie before `end`) into `list`, one nested List per inner brace level. An
// unquoted NULL becomes nullMarker(); elements that convert to nothing are
// left out. Returns the position just after this array's closing brace, or
// where the text ends (at `end` or a NUL). The text is only read. Returns
// `from` unchanged when it does not point at a brace.
const char* parseIntoArray(List& list, ElementKind kind, const char* from, const char* end);
// The same elements in a new list (empty when `from` is not at a brace),
// each list sized to its elements: what queries use.
Ref<List> newArrayFromText(ElementKind kind, const char* from, const char* end);

// ---- Fields ------------------------------------------------------------------

// What field decoding reads from the client.
struct DecodeContext {
  bool shouldTrim = false;  // drop trailing white space of text fields
  unsigned debugging = 0;   // 3 and up: each parsed array goes to the process log
};

// The value of one non-null field of `length` bytes whose column has type
// `typeOid`: texts, literal texts for integers and floats, "YES"/"NO" for
// booleans, byte buffers for bytea, dates for timestamps, lists for the
// known array types. Nothing when a timestamp does not parse or a text is
// not valid UTF-8 (ASCII for date and time). Reads at most `length` bytes.
Value newParseField(const char* text, std::uint32_t typeOid, std::size_t length,
                    const DecodeContext& context);

// ---- Array literals --------------------------------------------------------

// Appends `list` as ARRAY[...] to `into` and returns `into`. Elements: nested
// lists as nested ARRAY[...]; texts through client.quoteString when
// quotingStrings, else as they are; dates as client.quote(date) followed by
// "::timestamp with time zone"; byte buffers as the escaped bytea constant
// followed by "::bytea"; anything else (numbers, literal texts, the null
// marker) through client.quote. Raises InternalInconsistencyException when
// `list` is not a list, and passes on what client.quote raises; in both
// cases `into` is left as it was.
std::string& quoteArray(const Value& list, std::string& into, bool quotingStrings, Korvel& client);
// The same into a new text (room for 1000 characters).
std::string quoteArray(const Value& list, bool quotingStrings, Korvel& client);

}  // namespace korvel::pg
