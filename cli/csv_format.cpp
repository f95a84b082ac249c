// RFC 4180 output: a header line per result, CRLF line ends. Notifications
// share one header, written before the first of them.
#include "output.h"

namespace korvel::cli {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

class CsvFormatter final : public Formatter {
 public:
  void writeRecords(const List& rows, std::ostream& out) override {
    // An empty result has no records to take column names from, and a
    // header-only line would pretend to know them: write nothing.
    if (rows.empty()) return;
    std::string text;
    const std::vector<std::string> names = columnNames(rows);
    appendLine(text, names.size(), [&](std::size_t i) { return csvField(names[i]); });
    for (const Value& row : rows) {
      const std::vector<Value> values = rowValues(row);
      appendLine(text, names.size(), [&](std::size_t i) { return i < values.size() ? field(values[i]) : std::string(); });
    }
    out << text;
  }

  // Statements print nothing, so that the output is only query results.
  void writeCount(std::int64_t, std::ostream&) override {}

  void writeNotification(const ReceivedNotification& notification, std::ostream& out) override {
    std::string text;
    if (!wroteNotificationHeader_) {
      text += "name,payload,local,async";
      text += kLineEnd;
      wroteNotificationHeader_ = true;
    }
    text += csvField(notification.name);
    text.push_back(',');
    // As for records: no payload is an empty field, an empty one "".
    if (notification.payload) text += notification.payload->empty() ? "\"\"" : csvField(*notification.payload);
    text += notification.local ? ",true" : ",false";
    text += notification.async ? ",true" : ",false";
    text += kLineEnd;
    out << text;
  }

 private:
  // NULL is an empty field; an empty text is "" so that the two stay apart.
  static std::string field(const Value& value) {
    if (value.isText() && value.text().empty()) return "\"\"";
    return csvField(cellText(value));
  }

  template <class FieldAt>
  static void appendLine(std::string& text, std::size_t count, FieldAt fieldAt) {
    for (std::size_t i = 0; i < count; ++i) {
      if (i) text.push_back(',');
      text += fieldAt(i);
    }
    text += kLineEnd;
  }

  bool wroteNotificationHeader_ = false;
};

}  // namespace

std::unique_ptr<Formatter> makeCsvFormatter() { return std::make_unique<CsvFormatter>(); }

}  // namespace korvel::cli
