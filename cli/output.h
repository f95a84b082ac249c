// The three output formats of the korvel client, and the value texts they
// share.
//
// A formatter writes the records of one query, the count of one statement,
// or one database notification, to a stream. It may keep state between
// results (the table format separates results by a blank line), so one
// formatter serves one output stream. Formatters never raise for a value:
// every kind has a text.
//
// Thread-safety: a formatter belongs to one thread; the free functions are
// pure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/notification.h"
#include "options.h"

namespace korvel::cli {

// What the output shows of a database notification.
struct ReceivedNotification {
  std::string name;  // the channel
  // Nothing when the notification carried no payload text (the backend
  // drops a payload that is not valid UTF-8).
  std::optional<std::string> payload;
  bool local = false;  // sent by this client's own connection
  bool async = false;  // drained while waiting, not with a statement's reply
  friend bool operator==(const ReceivedNotification&, const ReceivedNotification&) = default;
};

// Reads the backend's user information: "Payload" (text), "Local" and
// "Async" (booleans); a key left out counts as no payload, or false.
ReceivedNotification receivedNotification(const Notification& notification);

class Formatter {
 public:
  virtual ~Formatter() = default;
  // Writes the records of a query (a list of Records; other values count as
  // one-column rows).
  virtual void writeRecords(const List& rows, std::ostream& out) = 0;
  // Writes the count a statement gave; -1 means the backend reports none.
  virtual void writeCount(std::int64_t count, std::ostream& out) = 0;
  // Writes one notification (see korvel --help for each format's form).
  virtual void writeNotification(const ReceivedNotification& notification, std::ostream& out) = 0;
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
