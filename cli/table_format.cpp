// Aligned table output in the manner of psql:
//
//   id | name
//  ----+-------
//    1 | ann
//    2 | Zoë
//  (2 rows)
//
// Widths count code points, so that accented and other multi-byte
// characters line up. A value with line breaks spans several lines, each
// continued line marked by a '+' after the cell, as psql does. Lines carry no
// trailing spaces. A notification is one line, "jobs: done (async)", so that
// a stream of them reads like a log.
#include <algorithm>

#include <fmt/format.h>

#include "output.h"

namespace korvel::cli {

namespace {

struct Cell {
  std::vector<std::string> lines;
  bool alignRight = false;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
    lines.push_back(text.substr(from, at - from));
  lines.push_back(text.substr(from));
  return lines;
}

// Numbers read best aligned on their last digit, as psql shows numeric
// columns; literal texts are how some backends give numbers.
bool alignsRight(const Value& value) {
  Kind kind = value.kind();
  if (kind == Kind::Int32 || kind == Kind::Int64 || kind == Kind::Float || kind == Kind::Double) return true;
  return kind == Kind::Literal && isJSONNumber(value.text());
}

std::string padded(std::string_view text, std::size_t width, bool alignRight) {
  std::size_t fill = width - std::min(width, displayWidth(text));
  return alignRight ? std::string(fill, ' ') + std::string(text) : std::string(text) + std::string(fill, ' ');
}

std::string centered(std::string_view text, std::size_t width) {
  std::size_t fill = width - std::min(width, displayWidth(text));
  return std::string(fill / 2, ' ') + std::string(text) + std::string(fill - fill / 2, ' ');
}

void endLine(std::string& out, std::string& line) {
  line.erase(line.find_last_not_of(' ') + 1);
  out += line;
  out.push_back('\n');
  line.clear();
}

class TableFormatter final : public Formatter {
 public:
  void writeRecords(const List& rows, std::ostream& out) override {
    if (wroteAnything_) out << '\n';
    wroteAnything_ = lastWasTable_ = true;

    const std::vector<std::string> names = columnNames(rows);
    std::vector<std::vector<Cell>> cells;
    cells.reserve(rows.size());
    std::vector<std::size_t> widths;
    for (const std::string& name : names) widths.push_back(displayWidth(name));
    for (const Value& row : rows) {
      std::vector<Value> values = rowValues(row);
      values.resize(names.size());
      std::vector<Cell>& rowCells = cells.emplace_back();
      for (std::size_t i = 0; i < values.size(); ++i) {
        Cell cell{splitLines(cellText(values[i])), alignsRight(values[i])};
        for (const std::string& line : cell.lines) widths[i] = std::max(widths[i], displayWidth(line));
        rowCells.push_back(std::move(cell));
      }
    }

    std::string text;
    if (!names.empty()) {
      appendHeader(text, names, widths);
      for (const std::vector<Cell>& row : cells) appendRow(text, row, widths);
    }
    text += rows.size() == 1 ? std::string("(1 row)\n") : fmt::format("({} rows)\n", rows.size());
    out << text;
  }

  void writeCount(std::int64_t count, std::ostream& out) override {
    if (lastWasTable_) out << '\n';
    wroteAnything_ = true;
    lastWasTable_ = false;
    if (count < 0)
      out << "OK\n";
    else
      out << "OK, " << count << (count == 1 ? " row" : " rows") << " affected\n";
  }

  void writeNotification(const ReceivedNotification& notification, std::ostream& out) override {
    if (lastWasTable_) out << '\n';
    wroteAnything_ = true;
    lastWasTable_ = false;
    std::string line = notification.name;
    if (notification.payload && !notification.payload->empty()) line += ": " + *notification.payload;
    if (notification.local && notification.async)
      line += " (local, async)";
    else if (notification.local)
      line += " (local)";
    else if (notification.async)
      line += " (async)";
    out << line << '\n';
  }

 private:
  static void appendHeader(std::string& text, const std::vector<std::string>& names,
                           const std::vector<std::size_t>& widths) {
    std::string line, rule;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) {
        line += "|";
        rule += "+";
      }
      line += ' ';
      line += centered(names[i], widths[i]);
      line += ' ';
      rule += std::string(widths[i] + 2, '-');
    }
    endLine(text, line);
    text += rule + "\n";
  }

  static void appendRow(std::string& text, const std::vector<Cell>& row, const std::vector<std::size_t>& widths) {
    std::size_t height = 1;
    for (const Cell& cell : row) height = std::max(height, cell.lines.size());
    std::string line;
    for (std::size_t k = 0; k < height; ++k) {
      for (std::size_t i = 0; i < row.size(); ++i) {
        const Cell& cell = row[i];
        std::string_view part = k < cell.lines.size() ? std::string_view(cell.lines[k]) : std::string_view();
        bool continues = k + 1 < cell.lines.size();
        if (i) line += "|";
        line += ' ';
        line += padded(part, widths[i], cell.alignRight);
        line += continues ? '+' : ' ';
      }
      endLine(text, line);
    }
  }

  bool wroteAnything_ = false;
  bool lastWasTable_ = false;
};

}  // namespace

std::unique_ptr<Formatter> makeTableFormatter() { return std::make_unique<TableFormatter>(); }

}  // namespace korvel::cli
