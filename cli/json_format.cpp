// JSON Lines output: one object per record, one {"count":...} per statement,
// one {"name":...,"payload":...,"local":...,"async":...} per notification.
#include "output.h"

namespace korvel::cli {

namespace {

class JsonFormatter final : public Formatter {
 public:
  void writeRecords(const List& rows, std::ostream& out) override {
    std::string text;
    const std::vector<std::string> names = columnNames(rows);
    for (const Value& row : rows) {
      const std::vector<Value> values = rowValues(row);
      text.push_back('{');
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text.push_back(',');
        appendJSONString(text, names[i]);
        text.push_back(':');
        appendJSONValue(text, values[i]);
      }
      text += "}\n";
    }
    out << text;
  }

  void writeCount(std::int64_t count, std::ostream& out) override {
    if (count < 0)
      out << "{\"count\":null}\n";
    else
      out << "{\"count\":" << count << "}\n";
  }

  void writeNotification(const ReceivedNotification& notification, std::ostream& out) override {
    std::string text = "{\"name\":";
    appendJSONString(text, notification.name);
    text += ",\"payload\":";
    if (notification.payload)
      appendJSONString(text, *notification.payload);
    else
      text += "null";
    text += notification.local ? ",\"local\":true" : ",\"local\":false";
    text += notification.async ? ",\"async\":true}\n" : ",\"async\":false}\n";
    out << text;
  }
};

}  // namespace

std::unique_ptr<Formatter> makeJsonFormatter() { return std::make_unique<JsonFormatter>(); }

}  // namespace korvel::cli
