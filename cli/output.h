// The three output formats of the korvel client, and the value texts they
// share.
//
// A formatter writes the records of one query, or the count of one
// statement, to a stream. It may keep state between results (the table
// format separates results by a blank line), so one formatter serves one
// output stream. Formatters never raise for a value: every kind has a text.
//
// Thread-safety: a formatter belongs to one thread; the free functions are
// pure.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/korvel.h"
#include "options.h"

namespace korvel::cli {

class Formatter {
 public:
  virtual ~Formatter() = default;
  // Writes the records of a query (a list of Records; other values count as
  // one-column rows).
  virtual void writeRecords(const List& rows, std::ostream& out) = 0;
  // Writes the count a statement gave; -1 means the backend reports none.
  virtual void writeCount(std::int64_t count, std::ostream& out) = 0;
};

std::unique_ptr<Formatter> makeFormatter(OutputFormat format);
// The three formats, each in a file of its own.
std::unique_ptr<Formatter> makeTableFormatter();
std::unique_ptr<Formatter> makeCsvFormatter();
std::unique_ptr<Formatter> makeJsonFormatter();

// ---- Shared pieces, exposed for tests ------------------------------------

// The column names of a result: those of the first record, then "?column?"
// for slots that no record names; as many as the widest record has.
std::vector<std::string> columnNames(const List& rows);
// The values of a row, one per column (a non-record row is one column).
std::vector<Value> rowValues(const Value& row);

// Lower-case hexadecimal digits of the bytes.
std::string hexDigits(std::string_view bytes);
// The date in its own zone as "YYYY-MM-DD<separator>HH:MM:SS.mmm+HH:MM".
std::string dateText(const Date& date, char separator);
// The text of a value in the table and csv formats: empty for the null
// marker and nothing, "\x00abff" for byte buffers, dates as dateText with a
// space, everything else its description.
std::string cellText(const Value& value);

// The number of code points of UTF-8 text (each invalid byte counts as one).
std::size_t displayWidth(std::string_view utf8);
// True when the text is a number in JSON's grammar.
bool isJSONNumber(std::string_view text);
// Appends the text as a JSON string: quotes, backslashes and control
// characters escaped, valid UTF-8 passed through, each invalid byte written
// as U+FFFD.
void appendJSONString(std::string& out, std::string_view text);
// Appends a value as JSON (see korvel --help for the mapping).
void appendJSONValue(std::string& out, const Value& value);
// Quotes a CSV field when RFC 4180 needs it (a comma, quote, CR or LF).
std::string csvField(std::string_view text);

}  // namespace korvel::cli
