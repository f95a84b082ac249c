#include "output.h"

#include <cmath>

#include <fmt/format.h>

namespace korvel::cli {

std::unique_ptr<Formatter> makeFormatter(OutputFormat format) {
  switch (format) {
    case OutputFormat::Csv: return makeCsvFormatter();
    case OutputFormat::Json: return makeJsonFormatter();
    case OutputFormat::Table: break;
  }
  return makeTableFormatter();
}

ReceivedNotification receivedNotification(const Notification& notification) {
  ReceivedNotification received{notification.name(), std::nullopt};
  if (const Ref<Dictionary>& info = notification.userInfo()) {
    if (const Value& payload = info->get("Payload"); payload.isText()) received.payload = std::string(payload.text());
    received.local = info->get("Local").asBool();
    received.async = info->get("Async").asBool();
  }
  return received;
}

namespace {

constexpr std::string_view kUnnamedColumn = "?column?";

// The length of the valid UTF-8 sequence at `i`, or 0 when the byte there
// does not start one.
std::size_t utf8SequenceAt(std::string_view text, std::size_t i) {
  auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  return isValidUTF8(text.substr(i, length)) ? length : 0;
}

void appendJSONObject(std::string& out, const std::vector<std::pair<std::string_view, const Value*>>& members) {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : members) {
    if (!first) out.push_back(',');
    first = false;
    appendJSONString(out, key);
    out.push_back(':');
    appendJSONValue(out, *value);
  }
  out.push_back('}');
}

void appendJSONRecord(std::string& out, const Record& record) {
  std::vector<std::pair<std::string_view, const Value*>> members;
  const KeySet* keys = record.keys().get();
  for (std::size_t i = 0; i < record.size(); ++i) {
    std::string_view key = keys && i < keys->size() ? std::string_view((*keys)[i]) : kUnnamedColumn;
    members.emplace_back(key, &record[i]);
  }
  appendJSONObject(out, members);
}

void appendJSONNumber(std::string& out, const Value& number) {
  if (number.kind() == Kind::Boolean) {
    out += number.asBool() ? "true" : "false";
    return;
  }
  if (!std::isfinite(number.asDouble())) {
    out += "null";  // JSON has no NaN or infinities
    return;
  }
  std::string text = number.description();
  if (isJSONNumber(text))
    out += text;
  else
    appendJSONString(out, text);
}

}  // namespace

std::vector<std::string> columnNames(const List& rows) {
  std::vector<std::string> names;
  std::size_t width = 0;
  for (const Value& row : rows) width = std::max(width, rowValues(row).size());
  if (!rows.empty()) {
    if (const Record* first = rows[0].asRecord(); first && first->keys()) {
      const KeySet& keys = *first->keys();
      for (std::size_t i = 0; i < keys.size() && i < width; ++i) names.push_back(keys[i]);
    }
  }
  while (names.size() < width) names.emplace_back(kUnnamedColumn);
  return names;
}

std::vector<Value> rowValues(const Value& row) {
  if (const Record* record = row.asRecord()) return std::vector<Value>(record->begin(), record->end());
  return {row};
}

std::string hexDigits(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::string dateText(const Date& date, char separator) {
  std::string text = date.format(fmt::format("%Y-%m-%d{}%H:%M:%S.%F%z", separator), date.zoneForOffsetText());
  // %z gives +HHMM; ISO 8601 extended form wants +HH:MM.
  if (text.size() >= 5) text.insert(text.size() - 2, 1, ':');
  return text;
}

std::string cellText(const Value& value) {
  if (value.isEmpty() || value.isNull()) return {};
  if (const Bytes* bytes = value.asBytes()) return "\\x" + hexDigits(bytes->view());
  if (const Date* date = value.asDate()) return dateText(*date, ' ');
  if (value.isText()) return std::string(value.text());
  return value.description();
}

std::size_t displayWidth(std::string_view utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size(); ++width) {
    std::size_t length = utf8SequenceAt(utf8, i);
    i += length ? length : 1;
  }
  return width;
}

bool isJSONNumber(std::string_view text) {
  std::size_t i = 0, n = text.size();
  auto digits = [&] {
    std::size_t from = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < n && text[i] == '-') ++i;
  if (i < n && text[i] == '0') {
    ++i;
  } else if (i < n && text[i] >= '1' && text[i] <= '9') {
    digits();
  } else {
    return false;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == n;
}

void appendJSONString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
      ++i;
    } else if (c < 0x20) {
      out += fmt::format("\\u{:04x}", c);
      ++i;
    } else if (std::size_t length = utf8SequenceAt(text, i)) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  out.push_back('"');
}

void appendJSONValue(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Kind::Empty:
    case Kind::Null: out += "null"; return;
    case Kind::Boolean:
    case Kind::Int32:
    case Kind::Int64:
    case Kind::Float:
    case Kind::Double: appendJSONNumber(out, value); return;
    case Kind::Text: appendJSONString(out, value.text()); return;
    case Kind::Literal:
      // Literal texts carry a backend's exact digits ("12.50"); anything
      // that is not a JSON number ("NaN", "1e", "0x1F") stays a string.
      if (isJSONNumber(value.text()))
        out += value.text();
      else
        appendJSONString(out, value.text());
      return;
    case Kind::Bytes:
      out += "{\"$bytes\":\"" + hexDigits(value.asBytes()->view()) + "\"}";
      return;
    case Kind::Date:
      out += "{\"$date\":";
      appendJSONString(out, dateText(*value.asDate(), 'T'));
      out.push_back('}');
      return;
    case Kind::List: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : *value.asList()) {
        if (!first) out.push_back(',');
        first = false;
        appendJSONValue(out, item);
      }
      out.push_back(']');
      return;
    }
    case Kind::Dictionary: {
      std::vector<std::pair<std::string_view, const Value*>> members;
      for (const auto& [key, item] : value.asDictionary()->entries()) members.emplace_back(key, &item);
      appendJSONObject(out, members);
      return;
    }
    case Kind::Record: appendJSONRecord(out, *value.asRecord()); return;
    case Kind::Object: break;
  }
  appendJSONString(out, value.description());
}

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace korvel::cli
